# Linux i686 (32-bit) build with the multilib g++ and Debian's i386 libraries,
# generating code as the Windows i686 DLL does. This machine's kernel cannot
# start 32-bit programs, so tests and tools run under qemu-i386.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
include(${CMAKE_CURRENT_LIST_DIR}/i686-codegen.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
# The slowest test program takes about 8 minutes under qemu-i386 on a busy
# 2-core machine (5 s natively): room for a slower one.
set(KELO_TEST_TIME_SCALE 4)
