# The backup benchmark runs the servant in the backup world (world/: the
# simulated CloudTower, ZBS library and backup server in process), and once
# through the starter program with the built module.
set(TEST_TARGET ${BENCH_TARGET})
include(${CMAKE_SOURCE_DIR}/sim/zbs/test_support.cmake)
add_dependencies(${BENCH_TARGET} smartx starter)
target_link_libraries(${BENCH_TARGET} PRIVATE world)
target_compile_definitions(${BENCH_TARGET} PRIVATE
  SMARTX_MODULE_PATH="$<TARGET_FILE:smartx>"
  STARTER_PATH="$<TARGET_FILE:starter>"
  BENCH_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures/cloudtower")
