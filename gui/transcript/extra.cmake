include(${CMAKE_CURRENT_LIST_DIR}/panel_bench.cmake)
