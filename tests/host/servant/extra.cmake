include(${CMAKE_SOURCE_DIR}/tests/host/servant/test_handler.cmake)
use_test_servant_handler(${TEST_TARGET})
# Threaded suite: also run under ThreadSanitizer (./run tsan).
set(TEST_LABELS tsan)
