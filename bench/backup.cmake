# The backup benchmark runs the servant against the simulated CloudTower, ZBS
# library and backup server in process, and once through the starter program
# with the built module.
set(TEST_TARGET ${BENCH_TARGET})
include(${CMAKE_SOURCE_DIR}/sim/zbs/test_support.cmake)
include(${CMAKE_SOURCE_DIR}/tests/host/servant/test_handler.cmake)
use_test_servant_handler(${BENCH_TARGET})
add_dependencies(${BENCH_TARGET} smartx)
target_include_directories(${BENCH_TARGET} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(${BENCH_TARGET} PRIVATE smartx_static cloudtower_sim backup_server_sim)
target_compile_definitions(${BENCH_TARGET} PRIVATE
  SMARTX_MODULE_PATH="$<TARGET_FILE:smartx>"
  BENCH_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures/cloudtower")
