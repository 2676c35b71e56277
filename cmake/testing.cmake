# GoogleTest is built from Debian's source package (/usr/src/googletest) so that
# the same framework serves the native and the MinGW builds.
#
# kelo_add_test(<name> SOURCES <files...> [LIBS <targets...>] [ARGS <args...>]
#                [LABELS <labels...>])
# builds one test program and registers it with ctest once, as a whole: under
# Wine every process start costs seconds, so there is no per-case discovery.
# Labels select stages of the test command: "tsan" runs under ThreadSanitizer
# too, "static" runs in the i686 build (checks that execute no target code),
# "fuzz" only in the fuzzing build.
if(KELO_BUILD_TESTS AND NOT TARGET gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()

function(kelo_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;ARGS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
  add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
