include(${CMAKE_CURRENT_LIST_DIR}/panel_bench.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/history_bench.cmake)
