# Compiler settings shared by every target of the project.
add_compile_options(-Wall -Wextra)
if(WIN32)
  # Keep windows.h lean and free of the min/max macros.
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)
endif()
if(KELO_SANITIZE)
  add_compile_options(-fsanitize=${KELO_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KELO_SANITIZE})
  if(KELO_SANITIZE MATCHES "address")
    # The host harness keeps loaded plug-ins mapped, so leak reports can name them.
    add_compile_definitions(KELO_KEEP_MODULES_MAPPED)
  endif()
endif()

# Rebuilds of the several build trees share one compiler cache when ccache is there.
find_program(KELO_CCACHE ccache)
if(KELO_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_C_COMPILER_LAUNCHER ${KELO_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${KELO_CCACHE})
endif()
