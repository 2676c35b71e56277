#!/usr/bin/env bash
# Runs every test: format check, native, native under AddressSanitizer and
# UndefinedBehaviorSanitizer, ThreadSanitizer on the concurrency tests, a short
# fuzz run, Windows x86_64 under Wine, and the compile-time and export checks of
# the Windows i686 build. Installs what it needs; exits non-zero on any failure.
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
"$here/tools/install-deps.sh"
finish "dependencies"

begin "format"
if ! "$here/tools/check-format.sh"; then failed+=("format"); fi
finish "format"

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
# The i686 build cannot run on this kernel: it is built in full and only its
# static checks (record layouts at compile time, export tables) run.
stage "windows i686 (static checks)" build/mingw32 "-L static" all -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw-i686.cmake"

echo
echo "=== total: $(($(date +%s) - total_start)) s"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all test stages passed"
