# The backup job runs through the job-engine program, which loads the built
# module and starts starter processes against the in-process backup world.
include(${CMAKE_SOURCE_DIR}/sim/zbs/test_support.cmake)
target_link_libraries(${TEST_TARGET} PRIVATE world)
add_dependencies(${TEST_TARGET} starter)
target_compile_definitions(${TEST_TARGET} PRIVATE STARTER_PATH="$<TARGET_FILE:starter>")
