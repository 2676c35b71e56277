# libpng 1.6 for the PNG resources. Provides the target kelo_png.
#
# Native builds use the system's libpng (Debian's libpng-dev). The MinGW builds
# compile Debian's libpng source package, fetched by tools/install-deps.sh into
# .deps/, as a static library on top of the cross zlib from libz-mingw-w64-dev.
if(TARGET kelo_png)
  return()
endif()

if(NOT WIN32)
  find_package(PNG REQUIRED)
  add_library(kelo_png INTERFACE)
  target_link_libraries(kelo_png INTERFACE PNG::PNG)
  return()
endif()

# Any Debian revision of the 1.6 series will do; take the newest present.
file(GLOB KELO_PNG_CANDIDATES LIST_DIRECTORIES true "${PROJECT_SOURCE_DIR}/.deps/libpng1.6-*")
set(KELO_PNG_SOURCE_DIR "")
foreach(dir IN LISTS KELO_PNG_CANDIDATES)
  if(EXISTS "${dir}/png.c")
    set(KELO_PNG_SOURCE_DIR "${dir}")
  endif()
endforeach()
if(NOT KELO_PNG_SOURCE_DIR)
  message(FATAL_ERROR "libpng source not found under .deps/: run tools/install-deps.sh")
endif()

set(KELO_ZLIB_ROOT "/usr/${KELO_MINGW_TRIPLE}")
if(NOT EXISTS "${KELO_ZLIB_ROOT}/lib/libz.a")
  message(FATAL_ERROR "${KELO_ZLIB_ROOT}/lib/libz.a missing: install libz-mingw-w64-dev")
endif()

# The prebuilt configuration replaces the configure step.
set(KELO_PNG_CONFIG_DIR "${CMAKE_BINARY_DIR}/libpng-config")
configure_file("${KELO_PNG_SOURCE_DIR}/scripts/pnglibconf.h.prebuilt"
               "${KELO_PNG_CONFIG_DIR}/pnglibconf.h" COPYONLY)

set(KELO_PNG_SOURCES png.c pngerror.c pngget.c pngmem.c pngpread.c pngread.c pngrio.c
    pngrtran.c pngrutil.c pngset.c pngtrans.c pngwio.c pngwrite.c pngwtran.c pngwutil.c)
list(TRANSFORM KELO_PNG_SOURCES PREPEND "${KELO_PNG_SOURCE_DIR}/")

add_library(kelo_png STATIC ${KELO_PNG_SOURCES})
target_include_directories(kelo_png SYSTEM PUBLIC "${KELO_PNG_SOURCE_DIR}" "${KELO_PNG_CONFIG_DIR}"
                           "${KELO_ZLIB_ROOT}/include")
# Plain portable C: no processor-specific filter code, and the third-party
# sources are compiled without our warning set.
target_compile_definitions(kelo_png PRIVATE PNG_ARM_NEON_OPT=0 PNG_INTEL_SSE_OPT=0
                           PNG_MIPS_MSA_OPT=0 PNG_POWERPC_VSX_OPT=0)
target_compile_options(kelo_png PRIVATE -w)
target_link_libraries(kelo_png PUBLIC "${KELO_ZLIB_ROOT}/lib/libz.a")
