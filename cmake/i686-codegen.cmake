# Code generation of every 32-bit x86 build: the Windows i686 DLL and the i686
# Linux build that runs the same code under qemu-i386. One place, so that what
# the tests run is what ships: x87 arithmetic and no SSE, for any processor from
# the Pentium Pro on. (Set, not appended: CMake reads a toolchain file more than once.)
set(KELO_I686_CODEGEN_FLAGS "-m32 -march=pentiumpro -mfpmath=387")
set(CMAKE_C_FLAGS_INIT "${KELO_I686_CODEGEN_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${KELO_I686_CODEGEN_FLAGS}")
# The plug-in binaries of such a build are checked to hold no SSE instruction.
set(KELO_X87_ONLY ON)
