# The jobs benchmark runs the job-engine program (which loads the built
# module and starts the starter per VM) against the backup world in process.
set(TEST_TARGET ${BENCH_TARGET})
include(${CMAKE_SOURCE_DIR}/sim/zbs/test_support.cmake)
add_dependencies(${BENCH_TARGET} smartx starter job-engine)
target_link_libraries(${BENCH_TARGET} PRIVATE world)
target_compile_definitions(${BENCH_TARGET} PRIVATE
  SMARTX_MODULE_PATH="$<TARGET_FILE:smartx>"
  STARTER_PATH="$<TARGET_FILE:starter>"
  JOB_ENGINE_PATH="$<TARGET_FILE:job-engine>"
  BENCH_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures/cloudtower")
