# Parlivo.exe (Windows GUI program, Unicode entry point) with its icon, version block and manifest,
# and the helper programs of the window's tests.
if(COLLOQUOR_WINDOWS)
  set(parlivo_libs app_win32)
  foreach(folder worker_link audio transcript)
    if(TARGET ${folder}_win32)
      list(APPEND parlivo_libs ${folder}_win32)
    endif()
    list(APPEND parlivo_libs ${folder}_core)
  endforeach()

  add_executable(Parlivo WIN32
    ${CMAKE_CURRENT_SOURCE_DIR}/parlivo_main.cpp
    ${CMAKE_SOURCE_DIR}/resources/parlivo.rc)
  target_link_options(Parlivo PRIVATE -municode)
  # The folders call into each other (the window into capture, capture back into the window's
  # state); a link group lets the static libraries resolve in any order.
  target_link_libraries(Parlivo PRIVATE -Wl,--start-group ${parlivo_libs} -Wl,--end-group
                        user32 gdi32 comctl32 comdlg32 ole32 shell32 uuid winmm)

  # Installs the crash handlers, then fails in the way its argument names (crash log tests).
  add_executable(crash_probe ${CMAKE_CURRENT_SOURCE_DIR}/tests/crash_probe_main.cpp)
  target_link_libraries(crash_probe PRIVATE -Wl,--start-group ${parlivo_libs} -Wl,--end-group
                        user32 gdi32 comctl32 comdlg32 ole32 shell32 uuid winmm)
  if(TARGET app_parlivo_exe_win32_test)
    add_dependencies(app_parlivo_exe_win32_test Parlivo)
    target_link_libraries(app_parlivo_exe_win32_test PRIVATE version)
  endif()
  if(TARGET app_crash_log_win32_test)
    add_dependencies(app_crash_log_win32_test crash_probe)
  endif()
endif()
