# Helpers that keep every folder's CMakeLists.txt to a few lines.
#
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
endfunction()

# tessera_plus_add_test(<file stem> <deps...>): one GoogleTest program from <stem>.cc in the
# current folder, linked with the shared test support and <deps>, registered with CTest.
function(tessera_plus_add_test stem)
  add_executable(${stem} ${CMAKE_CURRENT_SOURCE_DIR}/${stem}.cc)
  target_link_libraries(${stem} PRIVATE ${ARGN} tessera_plus_test_support GTest::gtest
                                        GTest::gmock GTest::gtest_main tessera_plus_warnings)
  add_dependencies(${stem} tessera-plus)
  gtest_discover_tests(${stem} DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "TESSERA_LOG_FILE=${CMAKE_BINARY_DIR}/test-logs/tessera_plus.log")
endfunction()

# tessera_plus_add_fuzzer(<file stem> <deps...>): one libFuzzer program from <stem>.cc in the
# current folder (TESSERA_PLUS_FUZZ builds only; scripts/fuzz.sh runs them).
function(tessera_plus_add_fuzzer stem)
  if(TESSERA_PLUS_FUZZ)
    add_executable(${stem} ${CMAKE_CURRENT_SOURCE_DIR}/${stem}.cc)
    target_link_libraries(${stem} PRIVATE ${ARGN} tessera_plus_warnings)
    target_link_options(${stem} PRIVATE -fsanitize=fuzzer)
  endif()
endfunction()
