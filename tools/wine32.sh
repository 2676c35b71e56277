#!/usr/bin/env bash
# 32-bit Wine for the i686 DLL's stage, where the kernel runs i386 programs or
# qemu-i386 can. Source this file, then:
#
#   wine32_init DIR PREFIX   # picks the way, makes the runner in DIR and the
#                            # prefix, starts one wineserver; 3 (with
#                            # $wine32_why) when 32-bit Wine cannot run here,
#                            # 1 when it should but does not
#   wine32 PROGRAM.exe ARGS  # a 32-bit Windows program
#   wine64 PROGRAM.exe ARGS  # a 64-bit one, in the same prefix and server
#   wine32_stop              # stops that wineserver (and the prefix's processes)
#
# Where the kernel starts no i386 program, the 32-bit loader runs under
# qemu-i386. Wine starts every process by exec'ing "wine-preloader" beside its
# loader, so DIR holds a private copy of the loaders with a wine-preloader
# script beside them that runs the 32-bit one under the emulator, with links
# that let the copies find Wine's libraries and data as from /usr/lib/wine.
# qemu-i386 reserves the whole 4 GiB guest space (-R 0xffff0000): otherwise it
# maps its own memory where Wine needs its shared page (0x7ffe0000) and Wine
# stops with "could not load kernel32.dll, status c0000135".
#
# Two limits of qemu-i386 (7.2) show under Wine:
#   - all guest threads share one table of TLS descriptors: a thread's
#     set_thread_area changes the segment of every thread that reloads it
#     (tools/wine32-tls-probe.c shows it). Wine reloads %fs/%gs on its own
#     transitions, so with two threads started beside the main one a thread
#     can find another's TEB and thread data ("wine client error: partial
#     wakeup read", a jump to address 0, "qemu: uncaught target signal 11").
#     Where the probe finds it, KELO_EMULATOR=qemu-i386 tells the programs,
#     and the validator checks two instances with their blocks in turn on one
#     thread, saying so.
#   - the trap number of a signal's context is -1, so Wine calls every fault
#     "unexpected trap -1" (an access violation or a division by zero is
#     reported as an illegal instruction). Faults still end the program.
#
# Every 32-bit process costs about a minute of CPU to start under the
# emulator: one wineserver is kept alive (wineserver -p), the installers of
# mono and gecko are skipped, and the stage's programs each do much.

# Where Wine and the emulator are (the runner's test points these elsewhere).
wine32_dir=${KELO_WINE_DIR:-/usr/lib/wine}
wine32_qemu=${KELO_QEMU_I386:-qemu-i386}
wine32_dlls=${KELO_WINE_I386_DLLS:-/usr/lib/i386-linux-gnu/wine/i386-windows}
wine32_probe_source=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wine32-tls-probe.c

wine32_mode=""   # native or qemu
wine32_why=""    # why 32-bit Wine cannot run here
wine32_tls=""    # what the TLS probe found under the emulator
wine32_loader="" # the 32-bit loader, and how it is started
wine32_start=()
wine64_loader=""

# wine32_runs_natively: the kernel starts i386 programs (Wine's own loader
# prints its version).
wine32_runs_natively() {
  "$wine32_dir/wine" --version >/dev/null 2>&1
}

# wine32_make_runner DIR: the private loaders under qemu-i386 (see above).
wine32_make_runner() {
  local dir=$1 lib=$1/lib
  mkdir -p "$lib/wine"
  cp -f "$wine32_dir/wine" "$wine32_dir/wine64" "$lib/wine/"
  ln -sfn /usr/lib/i386-linux-gnu "$lib/i386-linux-gnu"
  ln -sfn /usr/lib/x86_64-linux-gnu "$lib/x86_64-linux-gnu"
  ln -sfn /usr/share "$dir/share"
  cat >"$lib/wine/wine-preloader" <<SH
#!/bin/sh
# Wine runs "wine-preloader LOADER ARGS..." for each 32-bit process: the loader
# runs under qemu-i386 with the whole 32-bit guest space reserved.
exec $wine32_qemu -R 0xffff0000 -L / "\$@"
SH
  chmod +x "$lib/wine/wine-preloader"
}

# wine32_make_prefix DIR PREFIX: a 64-bit prefix with its 32-bit half. Where
# the kernel runs i386 programs, wineboot makes both. Under the emulator its
# 32-bit pass (the 32-bit rundll32 installing wine.inf, registering some
# hundred DLLs and starting their servers) costs two to seven minutes of a
# busy 2-core machine: the 64-bit Wine makes the 64-bit half alone (its 32-bit
# children cannot start), and the 32-bit half is Wine's 32-bit DLLs linked
# into syswow64, the files that pass would copy there. Left out are the 32-bit
# registrations of that pass (COM servers and the like): nothing here uses them.
wine32_make_prefix() {
  local dir=$1 prefix=$2 dll
  if [ "$wine32_mode" = native ]; then
    "$wine64_loader" wineboot --init >"$dir/wineboot.log" 2>&1 || true
  else
    "$wine32_dir/wine64" wineboot --init >"$dir/wineboot.log" 2>&1 || true
    mkdir -p "$prefix/drive_c/windows/syswow64"
    for dll in "$wine32_dlls"/*; do
      [ -e "$dll" ] && ln -sfn "$dll" "$prefix/drive_c/windows/syswow64/"
    done
  fi
  "$wine32_dir/wineserver" -w
  if [ ! -f "$prefix/drive_c/windows/syswow64/kernel32.dll" ]; then
    wine32_why="the prefix's 32-bit half was not made (see $dir/wineboot.log)"
    return 1
  fi
}

# wine32_probe_tls DIR: whether the emulator's threads share their TLS
# descriptors (see above); sets $wine32_tls and, when they do or the probe
# cannot tell, KELO_EMULATOR.
wine32_probe_tls() {
  local dir=$1 status=0
  if ! gcc -m32 -O1 -pthread "$wine32_probe_source" -o "$dir/tls-probe" >"$dir/tls-probe.log" 2>&1; then
    wine32_tls="tls probe: cannot build it (gcc -m32), taken as shared"
    status=2
  else
    wine32_tls=$("$wine32_qemu" "$dir/tls-probe" 2>&1) || status=$?
  fi
  [ "$status" -eq 0 ] || export KELO_EMULATOR=qemu-i386
}

wine32_init() {
  local dir=$1 prefix=$2
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  if [ ! -x "$wine32_dir/wine" ] || [ ! -x "$wine32_dir/wine64" ]; then
    wine32_why="wine32 or wine64 is not installed ($wine32_dir/wine, $wine32_dir/wine64)"
    return 3
  fi
  if wine32_runs_natively; then
    wine32_mode=native
    wine32_loader=$wine32_dir/wine
    wine32_start=("$wine32_loader")
    wine64_loader=$wine32_dir/wine64
  elif command -v "$wine32_qemu" >/dev/null 2>&1; then
    wine32_mode=qemu
    wine32_make_runner "$dir"
    wine32_loader=$dir/lib/wine/wine
    wine32_start=("$dir/lib/wine/wine-preloader" "$wine32_loader")
    wine64_loader=$dir/lib/wine/wine64
    wine32_probe_tls "$dir"
  else
    wine32_why="this kernel cannot run i386 programs and qemu-i386 (qemu-user) is not installed"
    return 3
  fi
  export WINEPREFIX=$prefix
  export WINEDEBUG=${WINEDEBUG:--all}
  # No mono or gecko installers; a crash ends the program instead of
  # starting the debugger (which would wait for a user).
  export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
  if [ ! -f "$prefix/drive_c/windows/syswow64/kernel32.dll" ]; then
    wine32_make_prefix "$dir" "$prefix" || return 1
  fi
  # One server for every program of the stage; it keeps Wine's own services.
  "$wine32_dir/wineserver" -p
}

wine32() { "${wine32_start[@]}" "$@"; }
wine64() { "$wine64_loader" "$@"; }

wine32_stop() {
  [ -z "${WINEPREFIX:-}" ] || "$wine32_dir/wineserver" -k 2>/dev/null || true
}
