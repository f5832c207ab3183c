target_link_libraries(${BENCH_TARGET} PRIVATE smartx_static cloudtower_sim CURL::libcurl)
target_compile_definitions(${BENCH_TARGET} PRIVATE BENCH_FIXTURES_DIR="${CMAKE_SOURCE_DIR}/tests/fixtures/cloudtower")
