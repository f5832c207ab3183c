# Faults and random chains through job-engine against the in-process backup
# world; labelled so that they run alone (ctest -L faults).
include(${CMAKE_SOURCE_DIR}/sim/zbs/test_support.cmake)
target_link_libraries(${TEST_TARGET} PRIVATE world)
set(TEST_LABELS faults)
add_dependencies(${TEST_TARGET} starter)
target_compile_definitions(${TEST_TARGET} PRIVATE STARTER_PATH="$<TARGET_FILE:starter>")
