target_link_libraries(${TEST_TARGET} PRIVATE backup_server_sim)
add_dependencies(${TEST_TARGET} backup-server-sim)
target_compile_definitions(${TEST_TARGET} PRIVATE BACKUP_SERVER_SIM_PATH="$<TARGET_FILE:backup-server-sim>")
