# history_wine_bench.exe: listing a history folder and viewing long saved sessions on real controls
# (run under Wine; prints figures, asserts nothing). Not part of the test run.
if(COLLOQUOR_WINDOWS)
  add_executable(history_wine_bench ${CMAKE_CURRENT_LIST_DIR}/bench/history_wine_bench_main.cpp)
  target_link_options(history_wine_bench PRIVATE -municode)
  target_link_libraries(history_wine_bench PRIVATE transcript_win32)
endif()
