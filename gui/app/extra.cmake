# Parlivo.exe (Windows GUI program, Unicode entry point) with its icon, version block and manifest,
# and the helper programs of the window's tests.
if(COLLOQUOR_WINDOWS)
  add_executable(Parlivo WIN32
    ${CMAKE_CURRENT_SOURCE_DIR}/parlivo_main.cpp
    ${CMAKE_SOURCE_DIR}/resources/parlivo.rc)
  target_link_options(Parlivo PRIVATE -municode)
  target_link_libraries(Parlivo PRIVATE app_win32)

  # Installs the crash handlers, then fails in the way its argument names (crash log tests).
  add_executable(crash_probe ${CMAKE_CURRENT_SOURCE_DIR}/tests/crash_probe_main.cpp)
  target_link_libraries(crash_probe PRIVATE app_win32)
  if(TARGET app_parlivo_exe_win32_test)
    add_dependencies(app_parlivo_exe_win32_test Parlivo)
    target_link_libraries(app_parlivo_exe_win32_test PRIVATE version)
  endif()
  if(TARGET app_crash_log_win32_test)
    add_dependencies(app_crash_log_win32_test crash_probe)
  endif()
endif()

# The window on small screens at 96, 120 and 144 dpi, each in a Wine environment of its own with
# that screen (the test display is 1600 x 1200 at 96 dpi).
if(COLLOQUOR_WINDOWS AND TARGET app_window_fits_screen_win32_test)
  foreach(screen "1366x768@96" "1366x768@120" "1280x720@96" "1920x1080@120" "1920x1080@144")
    string(REGEX MATCH "^([0-9]+)x([0-9]+)@([0-9]+)$" parsed "${screen}")
    set(name "app_window_fits_screen_${CMAKE_MATCH_1}x${CMAKE_MATCH_2}_${CMAKE_MATCH_3}dpi")
    add_test(NAME ${name}
             COMMAND env COLLOQUOR_SCREEN=${CMAKE_MATCH_1}x${CMAKE_MATCH_2}x24
                     COLLOQUOR_DPI=${CMAKE_MATCH_3} COLLOQUOR_EXPECT_SCREEN=${screen}
                     ${CMAKE_SOURCE_DIR}/scripts/with_wine.sh
                     ${CMAKE_CURRENT_SOURCE_DIR}/tests/unmanaged_window_run.sh
                     $<TARGET_FILE:app_window_fits_screen_win32_test>)
    set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  endforeach()
endif()

# The window without Msftedit.dll: a Wine environment of its own with that library switched off.
if(COLLOQUOR_WINDOWS AND TARGET app_startup_notices_win32_test)
  add_test(NAME app_startup_notices_without_rich_edit
           COMMAND env COLLOQUOR_EXPECT_NO_RICH_EDIT=1
                   ${CMAKE_SOURCE_DIR}/scripts/with_wine.sh
                   env WINEDLLOVERRIDES=mscoree,mshtml,msftedit=
                   wine $<TARGET_FILE:app_startup_notices_win32_test>)
  set_tests_properties(app_startup_notices_without_rich_edit PROPERTIES TIMEOUT 300)
endif()
