include(${CMAKE_SOURCE_DIR}/sim/zbs/test_support.cmake)
