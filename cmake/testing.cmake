# Test helpers shared by every folder.
#
# colloquor_test(NAME SOURCES... LIBS ...) adds a GoogleTest program and registers it with ctest.
# In the native build every test case is a ctest entry of its own (NAME.Suite.Case), so a failure
# names its case. In the windows build it is a MinGW program that ctest runs whole through Wine
# (CMAKE_CROSSCOMPILING_EMULATOR): a Wine process per case would cost seconds each. A Windows test
# that puts windows on the desktop (or dialogs, the clipboard, the keyboard focus) holds the
# "desktop" lock, so the Wine tier can run the others beside it.
# colloquor_benchmark(NAME SOURCES... LIBS ...) adds a Google Benchmark program (native build only).
# colloquor_fuzz(NAME SOURCE CORPUS LIBS ...) adds a libFuzzer program (fuzz build only) and lists
# it with its seed corpus and options in <build>/fuzz_targets.txt, which scripts/run_fuzz.sh reads.

if(COLLOQUOR_WINDOWS)
  if(NOT TARGET gtest)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
  set(COLLOQUOR_GTEST_LIBS gtest gtest_main)
else()
  include(GoogleTest)
  find_package(GTest REQUIRED)
  set(COLLOQUOR_GTEST_LIBS GTest::gtest GTest::gtest_main)
  find_package(benchmark QUIET)
endif()

if(COLLOQUOR_FUZZ)
  set(COLLOQUOR_FUZZ_MANIFEST ${CMAKE_BINARY_DIR}/fuzz_targets.txt)
  file(WRITE ${COLLOQUOR_FUZZ_MANIFEST} "")
  add_custom_target(fuzz_targets)
endif()

function(colloquor_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} ${COLLOQUOR_GTEST_LIBS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(NOT COLLOQUOR_WINDOWS)
    gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT ${T_TIMEOUT})
    return()
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  list(GET T_SOURCES 0 main_source)
  file(STRINGS ${main_source} desktop_use LIMIT_COUNT 1
       REGEX "CreateWindow|create_main_window|ParlivoRun|FindWindow|MessageBox|OpenClipboard|SetForegroundWindow|GetSaveFileName|IFileOpenDialog")
  if(desktop_use)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK desktop)
  endif()
endfunction()

function(colloquor_benchmark name)
  if(COLLOQUOR_WINDOWS OR NOT benchmark_FOUND)
    return()
  endif()
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES} ${B_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
endfunction()

function(colloquor_fuzz name)
  if(NOT COLLOQUOR_FUZZ)
    return()
  endif()
  cmake_parse_arguments(Z "" "SOURCE;CORPUS;OPTIONS;LABEL" "LIBS" ${ARGN})
  add_executable(${name} ${Z_SOURCE})
  target_link_libraries(${name} PRIVATE ${Z_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzz_targets ${name})
  if(NOT EXISTS ${Z_OPTIONS})
    set(Z_OPTIONS "")
  endif()
  file(APPEND ${COLLOQUOR_FUZZ_MANIFEST}
       "${Z_LABEL}\t${CMAKE_CURRENT_BINARY_DIR}/${name}\t${Z_CORPUS}\t${Z_OPTIONS}\n")
endfunction()

# colloquor_folder(NAME DEPS dep...) builds one source folder by its file-name conventions:
#   *.cpp (not *_win32.cpp)      -> library <NAME>_core, both builds (portable logic, no <windows.h>)
#   *_win32.cpp                  -> library <NAME>_win32, windows build only (thin Win32 shells)
#   tests/*_test.cpp             -> one test program each, both builds, linked with the core
#   tests/*_win32_test.cpp       -> one test program each, windows build only, run under Wine
#   bench/*_bench.cpp            -> one benchmark program each, native build only
#   fuzz/*_fuzz.cpp              -> one libFuzzer program each, fuzz build only (COLLOQUOR_FUZZ),
#                                   seeded from fuzz/corpus/<name>/, extra libFuzzer flags in
#                                   fuzz/<name>.options
#   <folder>/extra.cmake         -> anything else (programs, resources, helper programs of tests)
# DEPS names other folders' libraries (their NAME); the matching _core/_win32 libraries are linked.
function(colloquor_folder name)
  cmake_parse_arguments(F "" "" "DEPS;WIN32_LIBS" ${ARGN})
  set(dir ${CMAKE_CURRENT_SOURCE_DIR})
  file(GLOB all_sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  set(core_sources)
  set(win32_sources)
  foreach(src ${all_sources})
    if(src MATCHES "_win32\\.cpp$")
      list(APPEND win32_sources ${src})
    elseif(NOT src MATCHES "_main\\.cpp$")
      list(APPEND core_sources ${src})
    endif()
  endforeach()

  set(core_deps)
  set(win32_deps)
  foreach(dep ${F_DEPS})
    if(TARGET ${dep}_core)
      list(APPEND core_deps ${dep}_core)
    endif()
    if(TARGET ${dep}_win32)
      list(APPEND win32_deps ${dep}_win32)
    endif()
  endforeach()

  if(core_sources)
    add_library(${name}_core STATIC ${core_sources})
  else()
    add_library(${name}_core INTERFACE)
  endif()
  if(core_sources)
    target_include_directories(${name}_core PUBLIC ${CMAKE_SOURCE_DIR}/gui ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name}_core PUBLIC ${core_deps} Threads::Threads)
  else()
    target_include_directories(${name}_core INTERFACE ${CMAKE_SOURCE_DIR}/gui ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name}_core INTERFACE ${core_deps})
  endif()

  set(test_libs ${name}_core)
  if(COLLOQUOR_WINDOWS AND win32_sources)
    add_library(${name}_win32 STATIC ${win32_sources})
    target_link_libraries(${name}_win32 PUBLIC ${name}_core ${win32_deps} ${F_WIN32_LIBS})
    list(APPEND test_libs ${name}_win32)
  endif()

  file(GLOB tests CONFIGURE_DEPENDS ${dir}/tests/*_test.cpp)
  foreach(t ${tests})
    get_filename_component(tname ${t} NAME_WE)
    if(tname MATCHES "_win32_test$" AND NOT COLLOQUOR_WINDOWS)
      continue()
    endif()
    colloquor_test(${name}_${tname} SOURCES ${t} LIBS ${test_libs})
    target_include_directories(${name}_${tname} PRIVATE ${dir}/tests)
  endforeach()

  file(GLOB benches CONFIGURE_DEPENDS ${dir}/bench/*_bench.cpp)
  foreach(b ${benches})
    get_filename_component(bname ${b} NAME_WE)
    colloquor_benchmark(${name}_${bname} SOURCES ${b} LIBS ${name}_core)
  endforeach()

  file(GLOB fuzzers CONFIGURE_DEPENDS ${dir}/fuzz/*_fuzz.cpp)
  foreach(z ${fuzzers})
    get_filename_component(zname ${z} NAME_WE)
    string(REGEX REPLACE "_fuzz$" "" label ${zname})
    colloquor_fuzz(${name}_${zname} SOURCE ${z} LIBS ${name}_core LABEL ${label}
                   CORPUS ${dir}/fuzz/corpus/${label} OPTIONS ${dir}/fuzz/${label}.options)
  endforeach()

  if(EXISTS ${dir}/extra.cmake)
    include(${dir}/extra.cmake)
  endif()
endfunction()
