# The typed operations run against the simulated CloudTower, in process.
target_link_libraries(${TEST_TARGET} PRIVATE cloudtower_sim)
