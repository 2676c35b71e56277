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
  if("tsan" IN_LIST T_LABELS)
    add_dependencies(tsan_tests ${name})
  endif()
endfunction()

# Aggregate targets, so the ThreadSanitizer and fuzz stages of the test command
# build only what they run.
if(KELO_BUILD_TESTS AND NOT TARGET tsan_tests)
  add_custom_target(tsan_tests)
  add_custom_target(fuzz_targets)
endif()

# kelo_add_fuzz_target(<name> SOURCES <files...> INSTRUMENT <library targets...>
#                      [SECONDS <n>])
# A libFuzzer target (clang only, KELO_FUZZ=ON) that compiles the sources of the
# given libraries into itself so the fuzzer's coverage instrumentation reaches
# them, registered as a bounded "fuzz" test.
function(kelo_add_fuzz_target name)
  cmake_parse_arguments(F "" "SECONDS" "SOURCES;INSTRUMENT" ${ARGN})
  if(NOT F_SECONDS)
    set(F_SECONDS 20)
  endif()
  set(sources ${F_SOURCES})
  foreach(lib ${F_INSTRUMENT})
    get_target_property(lib_dir ${lib} SOURCE_DIR)
    get_target_property(lib_sources ${lib} SOURCES)
    foreach(source ${lib_sources})
      if(IS_ABSOLUTE ${source})
        list(APPEND sources ${source})
      else()
        list(APPEND sources ${lib_dir}/${source})
      endif()
    endforeach()
  endforeach()
  add_executable(${name} ${sources})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  add_test(NAME ${name}
    COMMAND ${name} -max_total_time=${F_SECONDS} -rss_limit_mb=1024 -print_final_stats=1)
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 120)
  add_dependencies(fuzz_targets ${name})
endfunction()
