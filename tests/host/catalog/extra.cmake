target_link_libraries(${TEST_TARGET} PRIVATE backup_server_sim)
