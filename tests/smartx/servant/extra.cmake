# The backup servant runs in the backup world (world/: simulated ZBS library,
# CloudTower and backup server in process), and through the starter program.
include(${CMAKE_SOURCE_DIR}/sim/zbs/test_support.cmake)
target_link_libraries(${TEST_TARGET} PRIVATE world)
add_dependencies(${TEST_TARGET} starter)
target_compile_definitions(${TEST_TARGET} PRIVATE STARTER_PATH="$<TARGET_FILE:starter>")
# Threaded suite: also run under ThreadSanitizer (./run tsan).
set(TEST_LABELS tsan)
# Where CloudTower's published API documents are (the request-body check is
# skipped without them).
set(CLOUDTOWER_API_DIR "/work/shared/reference" CACHE PATH "CloudTower OpenAPI documents")
target_compile_definitions(${TEST_TARGET} PRIVATE CLOUDTOWER_API_DIR="${CLOUDTOWER_API_DIR}")
