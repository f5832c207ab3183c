# The backup servant runs in the backup world (world/: simulated ZBS library,
# CloudTower and backup server in process), and through the starter program.
include(${CMAKE_SOURCE_DIR}/sim/zbs/test_support.cmake)
target_link_libraries(${TEST_TARGET} PRIVATE world)
add_dependencies(${TEST_TARGET} starter)
target_compile_definitions(${TEST_TARGET} PRIVATE STARTER_PATH="$<TARGET_FILE:starter>")
# Threaded suite: also run under ThreadSanitizer (./run tsan).
set(TEST_LABELS tsan)
