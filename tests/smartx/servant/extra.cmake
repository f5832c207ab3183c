# The backup servant runs against the simulated ZBS library, CloudTower and
# backup server, all in process, and through the starter program.
include(${CMAKE_SOURCE_DIR}/sim/zbs/test_support.cmake)
include(${CMAKE_SOURCE_DIR}/tests/host/servant/test_handler.cmake)
use_test_servant_handler(${TEST_TARGET})
target_link_libraries(${TEST_TARGET} PRIVATE cloudtower_sim backup_server_sim)
# Threaded suite: also run under ThreadSanitizer (./run tsan).
set(TEST_LABELS tsan)
