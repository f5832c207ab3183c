# The lister browses the simulated CloudTower, in process.
target_link_libraries(${TEST_TARGET} PRIVATE cloudtower_sim)
