#!/usr/bin/env bash
# Runs every test: format check, native, native under AddressSanitizer and
# UndefinedBehaviorSanitizer, ThreadSanitizer on the concurrency tests, a short
# fuzz run, Windows x86_64 under Wine, the compile-time and export checks of the
# Windows i686 build, the i686 DLL under 32-bit Wine, and the i686 Linux build
# under qemu-i386. Installs what it needs; exits non-zero on any failure.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
jobs=$(nproc)
failed=()

stage_start=0
begin() { stage_start=$(date +%s); echo; echo "=== $1"; }
finish() { echo "--- $1: $(($(date +%s) - stage_start)) s"; }

# configure DIR ARGS...: configures a build tree once, then only rebuilds it.
configure() {
  local dir=$1; shift
  cmake -S "$here" -B "$dir" -G "Unix Makefiles" "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
}

# stage NAME DIR CTEST_ARGS BUILD_TARGET -- CMAKE_ARGS...
stage() {
  local name=$1 dir=$2 ctest_args=$3 target=$4; shift 5
  begin "$name"
  mkdir -p "$(dirname "$dir")"
  if configure "$dir" "$@" &&
    cmake --build "$dir" -j"$jobs" --target "$target" >"$dir.build.log" 2>&1; then
    if ! (cd "$dir" && eval ctest --output-on-failure --no-tests=error "$ctest_args"); then
      failed+=("$name")
    fi
  else
    tail -n 60 "$dir.build.log" 2>/dev/null || true
    failed+=("$name (build)")
  fi
  finish "$name"
}

total_start=$(date +%s)
begin "dependencies"
# Exit status 3: everything but some 32-bit packages is installed (a package
# mirror may fail to serve them); the stages that need them are skipped and
# said so at the end. Anything else missing stops here.
skipped=()
deps_status=0
"$here/tools/install-deps.sh" || deps_status=$?
missing_i386=""
case $deps_status in
  0) ;;
  3) missing_i386=$(cat "$here/.deps/missing-i386") ;;
  *) echo "FAILED: dependencies"; exit 1 ;;
esac
# 32-bit Wine for the i686 DLL; the rest for the i686 Linux build.
missing_wine32=$(grep -x 'wine32:i386' <<<"$missing_i386" || true)
missing_linux_i686=$(grep -vx -e 'wine32:i386' -e '' <<<"$missing_i386" | tr '\n' ' ' || true)
finish "dependencies"

begin "format"
if ! "$here/tools/check-format.sh"; then failed+=("format"); fi
finish "format"

# The editor tests open windows (the X11 editor, Wine's windows): one private
# virtual X server serves every stage. With KELO_REQUIRE_DISPLAY set, a test
# that needs a display fails instead of skipping when there is none.
source "$here/tools/xvfb.sh"
begin "virtual X server"
if xvfb_start; then
  export KELO_REQUIRE_DISPLAY=1
else
  failed+=("virtual X server")
fi
finish "virtual X server"

stage "native" build/native "" all -- -DCMAKE_BUILD_TYPE=RelWithDebInfo
stage "native asan+ubsan" build/asan "" all -- -DCMAKE_BUILD_TYPE=Debug \
  -DKELO_SANITIZE=address,undefined
stage "native tsan" build/tsan "-L tsan" tsan_tests -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELO_SANITIZE=thread
stage "fuzz (short)" build/fuzz "-L fuzz" fuzz_targets -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKELO_FUZZ=ON

# Wine needs a prefix before the first test; making it once keeps the timings honest.
begin "wine prefix"
export KELO_WINEPREFIX="$here/build/wineprefix"
if [ ! -f "$KELO_WINEPREFIX/system.reg" ]; then
  WINEPREFIX="$KELO_WINEPREFIX" WINEDEBUG=-all /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
fi
finish "wine prefix"
stage "windows x86_64 (wine)" build/mingw64 "" all -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw-x86_64.cmake"
# The i686 build in full with its static checks (record layouts at compile
# time, export table, no SSE instruction); it runs in the stage after.
stage "windows i686 (static checks)" build/mingw32 "-L static" all -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw-i686.cmake"
# The i686 DLL runs under 32-bit Wine (through qemu-i386 where this kernel
# starts no i386 program): the validator, the editor and a render through the
# DLL, against the x86_64 DLL (tools/wine32-stage.sh).
begin "windows i686 (32-bit wine)"
if [ -n "$missing_wine32" ]; then
  skipped+=("windows i686 (32-bit wine): cannot install wine32:i386")
else
  wine32_status=0
  "$here/tools/wine32-stage.sh" build/wine32 || wine32_status=$?
  case $wine32_status in
    0) ;;
    3) skipped+=("windows i686 (32-bit wine): $(cat build/wine32/skipped)") ;;
    *) failed+=("windows i686 (32-bit wine)") ;;
  esac
fi
finish "windows i686 (32-bit wine)"
# The same code as the i686 DLL runs as an i686 Linux build under qemu-i386 (the
# same code-generation flags: x87, no SSE). Every test program runs at both x87
# precisions a host may have set (53 and 64 bits), the thread-crossing ones at 53
# only (cmake/testing.cmake); then the demo played through
# the i686 plug-in, at each precision, must match the x86_64 one sample by sample.
if [ -n "$missing_linux_i686" ]; then
  skipped+=("linux i686 (qemu-i386): cannot install $missing_linux_i686")
else
stage "linux i686 (qemu-i386)" build/i686 "-j$jobs" all -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-linux-i686.cmake"
begin "linux i686 against x86_64 (demo render)"
# The demo (made by each render tool), then the x86_64 result played again
# through both: the same input, so only the plug-ins differ.
i686_demo() {
  local native=build/native/tools/kelo-render bits
  cmake --build build/native --target kelo-render >/dev/null &&
    $native --output build/demo-x86_64.wav >/dev/null &&
    $native build/demo-x86_64.wav --output build/demo-again-x86_64.wav >/dev/null || return 1
  for bits in 53 64; do
    local i686=(qemu-i386 -E LD_PRELOAD="$here/build/i686/x87_precision.so"
      -E KELO_X87_PRECISION=$bits build/i686/tools/kelo-render)
    "${i686[@]}" --output build/demo-i686.wav >/dev/null &&
      "${i686[@]}" build/demo-x86_64.wav --output build/demo-again-i686.wav >/dev/null &&
      echo -n "x87 at $bits bits, the demo: " &&
      python3 tools/compare-wav.py build/demo-x86_64.wav build/demo-i686.wav 1e-6 &&
      echo -n "x87 at $bits bits, the same input: " &&
      python3 tools/compare-wav.py build/demo-again-x86_64.wav build/demo-again-i686.wav 1e-6 ||
      return 1
  done
}
if ! i686_demo; then failed+=("linux i686 against x86_64"); fi
finish "linux i686 against x86_64 (demo render)"
fi

echo
echo "=== total: $(($(date +%s) - total_start)) s"
for s in "${skipped[@]}"; do echo "SKIPPED: $s"; done
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all test stages passed"
