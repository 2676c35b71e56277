#!/bin/sh
# Runs a Windows x86_64 program under Wine with a private prefix and quiet logs.
# CMake uses it as the cross-compiling emulator, so ctest runs Windows tests like
# native ones.
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${KELO_WINEPREFIX:-$here/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec /usr/lib/wine/wine64 "$@"
