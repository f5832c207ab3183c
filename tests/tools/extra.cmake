# The starter tests run the starter program with the test servant handler.
include(${CMAKE_SOURCE_DIR}/tests/host/servant/test_handler.cmake)
use_test_servant_handler(${TEST_TARGET})
