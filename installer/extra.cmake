# The list tests read the shipped package list from the source tree.
if(TARGET installer_setup_rules_test)
  target_compile_definitions(installer_setup_rules_test PRIVATE COLLOQUOR_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()

if(NOT COLLOQUOR_WINDOWS OR NOT TARGET Parlivo)
  return()
endif()

# colloquor_setup_program(NAME EXE_TARGET MAIN) builds an installer whose payload carries the
# program of EXE_TARGET as Parlivo.exe and the scripts of the source tree byte for byte.
function(colloquor_setup_program name exe_target main)
  get_target_property(exe_dir ${exe_target} BINARY_DIR)
  set(exe_file ${exe_dir}/${exe_target}.exe)
  set(SETUP_ICON ${CMAKE_SOURCE_DIR}/resources/colloquor.ico)
  set(SETUP_MANIFEST ${CMAKE_SOURCE_DIR}/installer/setup.manifest)
  set(F_EXE ${exe_file})
  set(F_WORKER ${CMAKE_SOURCE_DIR}/worker/worker.py)
  set(F_DLPROG ${CMAKE_SOURCE_DIR}/worker/dl_progress.py)
  set(F_REQ ${CMAKE_SOURCE_DIR}/worker/requirements.txt)
  set(F_MODELS ${CMAKE_SOURCE_DIR}/installer/install_models.py)
  set(F_README ${CMAKE_SOURCE_DIR}/resources/README.md)
  configure_file(${CMAKE_SOURCE_DIR}/installer/setup.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc.in @ONLY)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
  configure_file(${CMAKE_CURRENT_BINARY_DIR}/${name}.rc.in ${rc} COPYONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS
    "${exe_file};${F_WORKER};${F_DLPROG};${F_REQ};${F_MODELS};${F_README};${SETUP_MANIFEST};${SETUP_ICON}")
  add_executable(${name} ${main} ${rc})
  add_dependencies(${name} ${exe_target})
  target_link_options(${name} PRIVATE -municode)
  target_link_libraries(${name} PRIVATE installer_win32 installer_core ole32 shell32 uuid urlmon advapi32)
endfunction()

colloquor_setup_program(ColloquorSetup Parlivo ${CMAKE_CURRENT_LIST_DIR}/setup_main.cpp)

# Helper programs of the installer's tests: an installer whose Parlivo.exe is a launch probe and
# whose folder choice, free space and download addresses come from the environment; a stand-in for
# every program the installer starts; a single download with its progress line.
set(installer_test_dir ${CMAKE_CURRENT_LIST_DIR}/tests)
add_executable(launch_probe ${installer_test_dir}/launch_probe_main.cpp)
target_link_options(launch_probe PRIVATE -municode)
colloquor_setup_program(setup_under_test launch_probe ${installer_test_dir}/setup_under_test_main.cpp)
add_executable(stand_in_tool ${installer_test_dir}/stand_in_tool_main.cpp)
target_link_options(stand_in_tool PRIVATE -municode)
target_include_directories(stand_in_tool PRIVATE ${CMAKE_SOURCE_DIR})
add_executable(download_probe ${installer_test_dir}/download_probe_main.cpp)
target_link_options(download_probe PRIVATE -municode)
target_link_libraries(download_probe PRIVATE installer_win32 installer_core ole32 urlmon)

foreach(t installer_setup_flow_win32_test installer_download_win32_test installer_payload_win32_test)
  if(TARGET ${t})
    add_dependencies(${t} setup_under_test stand_in_tool download_probe launch_probe ColloquorSetup)
    target_compile_definitions(${t} PRIVATE
      COLLOQUOR_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
      INSTALLER_BUILD_DIR="${CMAKE_CURRENT_BINARY_DIR}"
      LAUNCH_PROBE_EXE="${CMAKE_CURRENT_BINARY_DIR}/launch_probe.exe"
      PARLIVO_EXE="${CMAKE_BINARY_DIR}/gui/app/Parlivo.exe")
    target_link_libraries(${t} PRIVATE ws2_32 ole32 shell32 uuid advapi32)
  endif()
endforeach()
if(TARGET installer_setup_flow_win32_test)
  # Whole installer runs, one with a probe that hangs for its full minute: slow on a loaded machine.
  set_tests_properties(installer_setup_flow_win32_test PROPERTIES TIMEOUT 900)
endif()
