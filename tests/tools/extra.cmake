# The starter tests run the starter program with the test servant handler.
include(${CMAKE_SOURCE_DIR}/tests/host/servant/test_handler.cmake)
use_test_servant_handler(${TEST_TARGET})
# The world a person drives: the smartx-world program and the world's code.
target_link_libraries(${TEST_TARGET} PRIVATE world)
add_dependencies(${TEST_TARGET} smartx-world)
target_compile_definitions(${TEST_TARGET} PRIVATE SMARTX_WORLD_PATH="$<TARGET_FILE:smartx-world>")
# A port already served: the agent and both simulators started on it again.
add_dependencies(${TEST_TARGET} websvcs-agent cloudtower-sim backup-server-sim)
target_compile_definitions(${TEST_TARGET} PRIVATE
  WEBSVCS_AGENT_PATH="$<TARGET_FILE:websvcs-agent>"
  CLOUDTOWER_SIM_PATH="$<TARGET_FILE:cloudtower-sim>"
  BACKUP_SERVER_SIM_PATH="$<TARGET_FILE:backup-server-sim>")
