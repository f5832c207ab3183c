# The backup job runs through the job-engine program, which loads the built
# module and starts starter processes against the in-process backup world;
# some cases point the backup method at the test servant handler instead.
include(${CMAKE_SOURCE_DIR}/sim/zbs/test_support.cmake)
include(${CMAKE_SOURCE_DIR}/tests/host/servant/test_handler.cmake)
target_link_libraries(${TEST_TARGET} PRIVATE world)
use_test_servant_handler(${TEST_TARGET})
