# Threaded suite (calls to the backup server at once): also run under
# ThreadSanitizer (./run tsan). The TLS tests make their certificates with
# OpenSSL.
set(TEST_LABELS tsan)
target_link_libraries(${TEST_TARGET} PRIVATE backup_server_sim OpenSSL::Crypto)
