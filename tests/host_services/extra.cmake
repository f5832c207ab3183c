target_link_libraries(${TEST_TARGET} PRIVATE backup_server_sim)
# Threaded suite (calls to the backup server at once): also run under
# ThreadSanitizer (./run tsan).
set(TEST_LABELS tsan)
