# The websvcs-agent program loads the built module and serves the console's
# handlers; the simulators run in the test process. The clients run threads.
target_link_libraries(${TEST_TARGET} PRIVATE world)
add_dependencies(${TEST_TARGET} websvcs-agent smartx)
target_compile_definitions(${TEST_TARGET} PRIVATE
  WEBSVCS_AGENT_PATH="$<TARGET_FILE:websvcs-agent>"
  SMARTX_MODULE_PATH="$<TARGET_FILE:smartx>")
set(TEST_LABELS tsan)
