# Shared part of the two MinGW toolchain files; KELO_MINGW_TRIPLE is set by the caller.
set(CMAKE_C_COMPILER ${KELO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KELO_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KELO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the DLLs and test programs load on a bare Windows without
# libstdc++, libgcc or winpthread DLLs next to them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Only the 64-bit build can run here, through Wine.
if(KELO_MINGW_TRIPLE STREQUAL "x86_64-w64-mingw32")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-run.sh)
endif()
