# Restore runs against the in-process backup world: the executor's own
# checks in this process, whole jobs through the job-engine program.
include(${CMAKE_SOURCE_DIR}/sim/zbs/test_support.cmake)
target_link_libraries(${TEST_TARGET} PRIVATE world)
include(${CMAKE_SOURCE_DIR}/tests/host/servant/test_handler.cmake)
use_test_servant_handler(${TEST_TARGET})
