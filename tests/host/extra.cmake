# Threaded suite (the pool file's write-behind, the image writer's and
# reader's second threads): also run under ThreadSanitizer (./run tsan).
set(TEST_LABELS tsan)
