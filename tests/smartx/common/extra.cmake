# Threaded suite: also run under ThreadSanitizer (./run tsan).
set(TEST_LABELS tsan)
