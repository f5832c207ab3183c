# For a test folder's extra.cmake: builds the simulated ZBS library before
# ${TEST_TARGET} and tells it where the builds are.
#   ZBS_SIM_PATH           libzbs.so.1 with every function
#   ZBS_SIM_NO_WRITE_PATH  libzbs.so.1 without zbs_write
add_dependencies(${TEST_TARGET} zbs_sim zbs_sim_no_write)
target_compile_definitions(${TEST_TARGET} PRIVATE
  ZBS_SIM_PATH="$<TARGET_FILE:zbs_sim>"
  ZBS_SIM_NO_WRITE_PATH="$<TARGET_FILE:zbs_sim_no_write>")
