# panel_wine_bench.exe: the cost of writing to a transcript panel as it grows, in a real rich-edit
# control (run under Wine; prints figures, asserts nothing). Not part of the test run.
if(COLLOQUOR_WINDOWS)
  add_executable(panel_wine_bench ${CMAKE_CURRENT_LIST_DIR}/bench/panel_wine_bench_main.cpp)
  target_link_libraries(panel_wine_bench PRIVATE transcript_win32)
endif()

# process_memory.exe: the private memory of a running process (used by bench/parlivo_memory.sh).
if(COLLOQUOR_WINDOWS)
  add_executable(process_memory ${CMAKE_CURRENT_LIST_DIR}/bench/process_memory_main.cpp)
  target_link_options(process_memory PRIVATE -municode)
endif()
