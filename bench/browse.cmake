# The browse benchmark runs the websvcs-agent program (which loads the built
# module) against the CloudTower and backup server simulators in process.
add_dependencies(${BENCH_TARGET} websvcs-agent smartx)
target_link_libraries(${BENCH_TARGET} PRIVATE world CURL::libcurl)
target_compile_definitions(${BENCH_TARGET} PRIVATE
  WEBSVCS_AGENT_PATH="$<TARGET_FILE:websvcs-agent>"
  SMARTX_MODULE_PATH="$<TARGET_FILE:smartx>"
  BENCH_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures/cloudtower")
