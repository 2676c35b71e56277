# GoogleTest is built from Debian's source package (/usr/src/googletest) so that
# the same framework serves the native and the MinGW builds.
#
# kelo_add_test(<name> SOURCES <files...> [LIBS <targets...>] [ARGS <args...>]
#                [LABELS <labels...>] [RESOURCE_LOCK <resource>])
# builds one test program and registers it with ctest once, as a whole: under
# Wine every process start costs seconds, so there is no per-case discovery.
# Labels select stages of the test command: "tsan" runs under ThreadSanitizer
# too, "static" runs in the i686 build (checks that execute no target code),
# "fuzz" only in the fuzzing build. Programs that name the same resource lock
# never run at the same time (ctest -j), whatever the build.
if(KELO_BUILD_TESTS AND NOT TARGET gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()

# A 32-bit Windows host runs at the x87 precision its own runtime chose (53 bits
# under the common Windows compilers, 64 under MinGW) and the plug-in inherits it.
# The x87 builds that run their tests (i686 Linux) therefore register every test
# program once per precision, as "<name>.pc53" and "<name>.pc64" (but see
# kelo_add_test for the thread-crossing programs); the program
# sets the control word from KELO_X87_PRECISION before anything else runs.
# The same setting as a library to preload into other programs of the build
# (qemu-i386 -E LD_PRELOAD=.../x87_precision.so -E KELO_X87_PRECISION=53 ...).
if(KELO_X87_ONLY AND NOT WIN32)
  set(KELO_X87_PRECISIONS 53 64)
  if(KELO_BUILD_TESTS AND NOT TARGET x87_precision)
    add_library(x87_precision MODULE ${PROJECT_SOURCE_DIR}/tests/common/x87_precision.cpp)
    set_target_properties(x87_precision PROPERTIES PREFIX "")
  endif()
endif()

# Each test program has a time limit against hangs, never a measurement. Under
# qemu-i386 the programs run tens of times slower than natively (the x87 code is
# emulated instruction by instruction), so that build's toolchain scales the
# limits by KELO_TEST_TIME_SCALE.
if(NOT KELO_TEST_TIME_SCALE)
  set(KELO_TEST_TIME_SCALE 1)
endif()
math(EXPR KELO_TEST_TIMEOUT "600 * ${KELO_TEST_TIME_SCALE}")

function(kelo_add_test name)
  cmake_parse_arguments(T "" "RESOURCE_LOCK" "SOURCES;LIBS;ARGS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gtest_main)
  set(runs ${name})
  if(KELO_X87_PRECISIONS)
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/common/x87_precision.cpp)
    set(runs "")
    # The thread-crossing programs (label "tsan") test where threads meet, not
    # the arithmetic: they run at the first precision only. The effect's
    # arithmetic runs at both in its own programs, and at MinGW's 64 bits in
    # the i686 DLL's stage under 32-bit Wine.
    set(precisions ${KELO_X87_PRECISIONS})
    if("tsan" IN_LIST T_LABELS)
      list(GET KELO_X87_PRECISIONS 0 precisions)
    endif()
    foreach(bits ${precisions})
      add_test(NAME ${name}.pc${bits} COMMAND ${name} ${T_ARGS})
      set_tests_properties(${name}.pc${bits} PROPERTIES ENVIRONMENT KELO_X87_PRECISION=${bits})
      list(APPEND runs ${name}.pc${bits})
    endforeach()
  else()
    add_test(NAME ${name} COMMAND ${name} ${T_ARGS})
  endif()
  set_tests_properties(${runs} PROPERTIES TIMEOUT ${KELO_TEST_TIMEOUT})
  # Tests that sweep a table of rates or materials may check a part of it
  # under an emulator (see KELO_TEST_EMULATED in the tests).
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set_property(TEST ${runs} APPEND PROPERTY ENVIRONMENT KELO_TEST_EMULATED=1)
  endif()
  # What system libraries (fontconfig, under the Linux editor) leak is not ours.
  if(KELO_SANITIZE MATCHES "address")
    set_property(TEST ${runs} APPEND PROPERTY ENVIRONMENT
      "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan-system.supp")
  endif()
  if(T_LABELS)
    set_tests_properties(${runs} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(T_RESOURCE_LOCK)
    set_tests_properties(${runs} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  if("tsan" IN_LIST T_LABELS)
    add_dependencies(tsan_tests ${name})
  endif()
endfunction()

# kelo_add_x87_check(<plugin target>): in the x87 builds, a "static" test that
# the binary holds no SSE or MMX instruction (it must load on processors without).
function(kelo_add_x87_check target)
  if(NOT KELO_X87_ONLY)
    return()
  endif()
  add_test(NAME ${target}_x87_only
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DBINARY=$<TARGET_FILE:${target}>
            -P ${PROJECT_SOURCE_DIR}/tests/vst/check_x87_only.cmake)
  set_tests_properties(${target}_x87_only PROPERTIES LABELS static)
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
