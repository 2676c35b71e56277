# libsndfile for the render tool and the tests' drum material. Provides the
# target kelo_sndfile.
#
# Native builds use the system's libsndfile (Debian's libsndfile1-dev). The
# MinGW builds compile Debian's libsndfile source package, fetched by
# tools/install-deps.sh into .deps/, as a static library with its own CMake
# project: the formats it reads and writes by itself (WAV, AIFF, AU, CAF, W64,
# RF64 and the like), without the external codecs (FLAC, Ogg, Opus, MPEG).
if(TARGET kelo_sndfile)
  return()
endif()

if(NOT WIN32)
  find_path(KELO_SNDFILE_INCLUDE sndfile.h REQUIRED)
  find_library(KELO_SNDFILE_LIBRARY sndfile REQUIRED)
  add_library(kelo_sndfile INTERFACE)
  target_include_directories(kelo_sndfile SYSTEM INTERFACE ${KELO_SNDFILE_INCLUDE})
  target_link_libraries(kelo_sndfile INTERFACE ${KELO_SNDFILE_LIBRARY})
  return()
endif()

# Any Debian revision will do; take the newest present.
file(GLOB KELO_SNDFILE_CANDIDATES LIST_DIRECTORIES true "${PROJECT_SOURCE_DIR}/.deps/libsndfile-*")
set(KELO_SNDFILE_SOURCE_DIR "")
foreach(dir IN LISTS KELO_SNDFILE_CANDIDATES)
  if(EXISTS "${dir}/src/sndfile.c")
    set(KELO_SNDFILE_SOURCE_DIR "${dir}")
  endif()
endforeach()
if(NOT KELO_SNDFILE_SOURCE_DIR)
  message(FATAL_ERROR "libsndfile source not found under .deps/: run tools/install-deps.sh")
endif()

# The 32-bit build keeps to x87 arithmetic, the render tool too. (A cache
# entry: the project sets this option's cache entry over a plain variable.)
if(KELO_X87_ONLY)
  set(ENABLE_SSE2 OFF CACHE BOOL "libsndfile: no SSE2 in the x87 builds" FORCE)
endif()

# Its other options are set in a function's scope, so they reach its project only.
function(kelo_add_sndfile source_dir)
  set(BUILD_SHARED_LIBS OFF)
  set(BUILD_PROGRAMS OFF)
  set(BUILD_EXAMPLES OFF)
  set(BUILD_TESTING OFF)
  set(BUILD_REGTEST OFF)
  set(ENABLE_EXTERNAL_LIBS OFF)
  set(ENABLE_MPEG OFF)
  set(ENABLE_EXPERIMENTAL OFF)
  set(ENABLE_CPACK OFF)
  set(ENABLE_PACKAGE_CONFIG OFF)
  set(INSTALL_PKGCONFIG_MODULE OFF)
  set(INSTALL_MANPAGES OFF)
  set(CMAKE_MESSAGE_LOG_LEVEL WARNING)
  add_subdirectory(${source_dir} ${CMAKE_BINARY_DIR}/libsndfile EXCLUDE_FROM_ALL SYSTEM)
endfunction()
kelo_add_sndfile(${KELO_SNDFILE_SOURCE_DIR})
# Third-party sources are compiled without our warning set.
target_compile_options(sndfile PRIVATE -w)

add_library(kelo_sndfile INTERFACE)
target_link_libraries(kelo_sndfile INTERFACE sndfile)
