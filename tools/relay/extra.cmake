# relay.exe (windows build) and the launcher's tests (native build).
if(COLLOQUOR_WINDOWS)
  add_executable(relay ${CMAKE_CURRENT_LIST_DIR}/relay_main.cpp)
  target_link_libraries(relay PRIVATE relay_win32 ws2_32)
  target_link_options(relay PRIVATE -municode)
  if(TARGET relay_relay_roundtrip_win32_test)
    find_program(COLLOQUOR_HOST_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
    if(NOT COLLOQUOR_HOST_PYTHON)
      find_program(COLLOQUOR_HOST_PYTHON NAMES python3)
    endif()
    add_dependencies(relay_relay_roundtrip_win32_test relay)
    target_compile_definitions(relay_relay_roundtrip_win32_test PRIVATE
      RELAY_SOURCE_DIR="${CMAKE_CURRENT_LIST_DIR}"
      RELAY_HOST_PYTHON="${COLLOQUOR_HOST_PYTHON}")
  endif()
else()
  find_program(COLLOQUOR_HOST_PYTHON NAMES python3)
  if(COLLOQUOR_HOST_PYTHON)
    add_test(NAME relay_launcher_py
             COMMAND ${COLLOQUOR_HOST_PYTHON} -m unittest -v test_launcher
             WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/tests)
    set_tests_properties(relay_launcher_py PROPERTIES TIMEOUT 120 ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
  endif()
endif()
