# Helper programs of the worker bootstrap's tests (windows build only): stand_in_python.exe is copied
# by the tests to the places where the bootstrap looks for Python, winget and the environment.
if(COLLOQUOR_WINDOWS)
  add_executable(stand_in_python ${CMAKE_CURRENT_LIST_DIR}/tests/stand_in_python_main.cpp)
  target_link_options(stand_in_python PRIVATE -municode)
  target_include_directories(stand_in_python PRIVATE ${CMAKE_SOURCE_DIR})
  foreach(t worker_link_bootstrap_win32_test worker_link_bootstrap_launch_win32_test)
    if(TARGET ${t})
      add_dependencies(${t} stand_in_python)
      target_compile_definitions(${t} PRIVATE
        STAND_IN_PYTHON_EXE=L"$<TARGET_FILE_NAME:stand_in_python>")
      target_link_libraries(${t} PRIVATE shell32)
    endif()
  endforeach()
endif()
# The sample lines and frames shared with the worker's tests, found from any build folder.
if(TARGET worker_link_protocol_samples_test)
  target_compile_definitions(worker_link_protocol_samples_test PRIVATE
    COLLOQUOR_PROTOCOL_SAMPLES="${CMAKE_SOURCE_DIR}/tests/protocol")
endif()
