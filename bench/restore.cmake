# The restore benchmark restores in the backup world (world/: the simulated
# CloudTower, ZBS library and backup server in process).
set(TEST_TARGET ${BENCH_TARGET})
include(${CMAKE_SOURCE_DIR}/sim/zbs/test_support.cmake)
target_link_libraries(${BENCH_TARGET} PRIVATE world)
target_compile_definitions(${BENCH_TARGET} PRIVATE
  BENCH_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures/cloudtower")
