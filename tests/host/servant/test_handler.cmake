# The servant handler library of the servant and starter tests, and what a
# test program needs to run servants with it.
include_guard(GLOBAL)
add_library(test_servant_handler SHARED ${CMAKE_SOURCE_DIR}/tests/host/servant/test_servant_handler.cc)
target_compile_options(test_servant_handler PRIVATE ${PROJECT_WARNINGS})
target_link_libraries(test_servant_handler PRIVATE host)
set_target_properties(test_servant_handler PROPERTIES CXX_VISIBILITY_PRESET hidden)

function(use_test_servant_handler target)
  add_dependencies(${target} starter test_servant_handler)
  target_compile_definitions(${target} PRIVATE
    STARTER_PATH="$<TARGET_FILE:starter>"
    TEST_SERVANT_HANDLER_PATH="$<TARGET_FILE:test_servant_handler>")
endfunction()
