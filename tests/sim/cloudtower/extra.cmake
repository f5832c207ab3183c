# The simulated CloudTower, in process and as the cloudtower-sim program.
target_link_libraries(${TEST_TARGET} PRIVATE cloudtower_sim)
add_dependencies(${TEST_TARGET} cloudtower-sim)
target_compile_definitions(${TEST_TARGET} PRIVATE CLOUDTOWER_SIM_PATH="$<TARGET_FILE:cloudtower-sim>")

# The simulator's answers checked against CloudTower's published OpenAPI
# document (skipped when the document is not on this machine).
set(CLOUDTOWER_API_DOCUMENT "/work/shared/reference/cloudtower-api-4.1.0.json"
    CACHE FILEPATH "CloudTower 4.1.0 OpenAPI document")
add_test(NAME cloudtower_sim_openapi
         COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/sim/cloudtower/validate_answers.py
                 --sim $<TARGET_FILE:cloudtower-sim>
                 --document ${CLOUDTOWER_API_DOCUMENT}
                 --fixtures ${CMAKE_CURRENT_SOURCE_DIR}/fixtures/cloudtower)
set_tests_properties(cloudtower_sim_openapi PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300)
