# Helpers that keep every folder's CMakeLists.txt to a few lines.

# dev_<folder> (dev_market, dev_bundle_store, dev_cli) builds a folder's library and its unit test
# programs and nothing else, for scripts/dev.sh. Created on first use in the folder.
function(tessera_plus_dev_target out)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(REGEX REPLACE "^tessera_plus/" "" folder "${folder}")
  string(REPLACE "/" "_" folder "${folder}")
  if(NOT TARGET dev_${folder})
    add_custom_target(dev_${folder})
  endif()
  set(${out} dev_${folder} PARENT_SCOPE)
endfunction()

# tessera_plus_layer(<name> [PUBLIC deps...] [PRIVATE deps...]) builds the static library
# tessera_plus_<name> from the folder's *.cc files except *_test.cc, *_fuzz.cc and *_bench.cc.
# Only the layers named in PUBLIC/PRIVATE are linked, so a layer that calls into one it does not
# declare fails to link; scripts/check_layers.sh catches the header-only cases.
function(tessera_plus_layer name)
  cmake_parse_arguments(ARG "" "" "PUBLIC;PRIVATE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(FILTER sources EXCLUDE REGEX "_(test|fuzz|bench)\\.cc$")
  add_library(tessera_plus_${name} STATIC ${sources})
  target_include_directories(tessera_plus_${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(tessera_plus_${name}
    PUBLIC ${ARG_PUBLIC} tessera_plus_flags
    PRIVATE ${ARG_PRIVATE} tessera_plus_warnings)
  tessera_plus_dev_target(dev)
  add_dependencies(${dev} tessera_plus_${name})
endfunction()

# tessera_plus_add_test(<file stem> <label> [RUNS_CLI] <deps...>): one GoogleTest program from
# <stem>.cc in the current folder, linked with the shared test support and <deps>, registered with
# CTest under one label, which says what the program needs and scripts/dev.sh selects by:
#   unit         the library alone, in this process: seconds at most
#   integration  runs the program, many processes or whole updates
#   slow         takes long enough to leave out of the edit-build-test loop
# RUNS_CLI: the tests exec the tessera-plus program (testing::run_cli), so it is built first; the
# other test programs do not wait for it. Tests are listed when CTest runs, not at build time.
function(tessera_plus_add_test stem label)
  if(NOT label MATCHES "^(unit|integration|slow)$")
    message(FATAL_ERROR "${stem}: label must be unit, integration or slow, not '${label}'")
  endif()
  cmake_parse_arguments(ARG "RUNS_CLI" "" "" ${ARGN})
  add_executable(${stem} ${CMAKE_CURRENT_SOURCE_DIR}/${stem}.cc)
  target_link_libraries(${stem} PRIVATE ${ARG_UNPARSED_ARGUMENTS} tessera_plus_test_support
                                        GTest::gtest GTest::gmock GTest::gtest_main
                                        tessera_plus_warnings)
  if(ARG_RUNS_CLI)
    add_dependencies(${stem} tessera-plus)
  endif()
  if(label STREQUAL "unit")
    tessera_plus_dev_target(dev)
    add_dependencies(${dev} ${stem})
  endif()
  gtest_discover_tests(${stem} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${label}
               ENVIRONMENT "TESSERA_LOG_FILE=${CMAKE_BINARY_DIR}/test-logs/tessera_plus.log;XDG_CACHE_HOME=${CMAKE_BINARY_DIR}/test-cache")
endfunction()

# tessera_plus_add_fuzzer(<file stem> <deps...>): one libFuzzer program from <stem>.cc in the
# current folder (TESSERA_PLUS_FUZZ builds only; scripts/fuzz.sh runs them), with the harnesses'
# HDF5 set-up (h5/fuzz_internal.h), which stays out of the library.
function(tessera_plus_add_fuzzer stem)
  if(TESSERA_PLUS_FUZZ)
    add_executable(${stem} ${CMAKE_CURRENT_SOURCE_DIR}/${stem}.cc
                           ${PROJECT_SOURCE_DIR}/tessera_plus/h5/free_lists_fuzz.cc)
    target_link_libraries(${stem} PRIVATE ${ARGN} tessera_plus_base PkgConfig::HDF5
                                          tessera_plus_warnings)
    target_link_options(${stem} PRIVATE -fsanitize=fuzzer)
  endif()
endfunction()
