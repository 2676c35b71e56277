#!/usr/bin/env bash
# tools/wine32.sh against stand-ins for Wine and qemu-i386: which way it takes
# (the kernel runs i386 programs, the emulator does, or neither: skipped with
# the reason), the runner it makes for the emulator, and the prefix it makes
# once. Each case sources the runner in a subshell with KELO_WINE_DIR and
# KELO_QEMU_I386 pointing at the stand-ins, which log their calls.
set -uo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed_cases=()
fail() {
  echo "FAIL: $case_name: $*"
  [[ " ${failed_cases[*]} " == *" $case_name "* ]] || failed_cases+=("$case_name")
}

# The stand-ins: "wine" answers --version only when FAKE_NATIVE is set (as a
# kernel that runs it would); wine64 makes the prefix on "wineboot --init",
# its 32-bit half only where 32-bit programs run natively (FAKE_NATIVE, unless
# FAKE_NO_WOW64 is set); wineserver and qemu-i386 log; "dlls" stands for Wine's
# 32-bit DLLs.
mkdir -p "$work/wine" "$work/bin" "$work/dlls"
touch "$work/dlls/kernel32.dll" "$work/dlls/user32.dll"
cat >"$work/wine/wine" <<'SH'
#!/usr/bin/env bash
echo "wine $*" >>"$FAKE_LOG"
[ "$1" != --version ] || [ -n "${FAKE_NATIVE:-}" ] || exit 126
SH
cat >"$work/wine/wine64" <<'SH'
#!/usr/bin/env bash
echo "wine64 $*" >>"$FAKE_LOG"
if [ "$*" = "wineboot --init" ]; then
  mkdir -p "$WINEPREFIX/drive_c/windows/system32"
  if [ -n "${FAKE_NATIVE:-}" ] && [ -z "${FAKE_NO_WOW64:-}" ]; then
    mkdir -p "$WINEPREFIX/drive_c/windows/syswow64"
    touch "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll"
  fi
fi
SH
cat >"$work/wine/wineserver" <<'SH'
#!/usr/bin/env bash
echo "wineserver $*" >>"$FAKE_LOG"
SH
cat >"$work/bin/qemu-i386" <<'SH'
#!/usr/bin/env bash
# The TLS probe answers as FAKE_TLS says (1: the threads share, as qemu 7.2's do).
if [[ $1 == */tls-probe ]]; then
  echo "tls probe: status ${FAKE_TLS:-1}"
  exit "${FAKE_TLS:-1}"
fi
echo "qemu-i386 $* (KELO_EMULATOR=${KELO_EMULATOR:-})" >>"$FAKE_LOG"
SH
chmod +x "$work/wine/"* "$work/bin/qemu-i386"

# run_case NAME QEMU: inits in a fresh folder, runs a 32-bit program with two
# arguments; sets $status (of wine32_init), $why and $mode, leaves the log.
run_case() {
  case_name=$1
  local qemu=$2
  case_dir="$work/case-${case_name// /-}"
  mkdir -p "$case_dir"
  export FAKE_LOG="$case_dir/log"
  : >"$FAKE_LOG"
  local result
  result=$(
    KELO_WINE_DIR="$work/wine" KELO_QEMU_I386="$qemu" KELO_WINE_I386_DLLS="$work/dlls" WINEPREFIX=""
    source "$here/tools/wine32.sh"
    wine32_init "$case_dir/runner" "$case_dir/prefix" >/dev/null 2>&1
    s=$?
    [ "$s" -ne 0 ] || wine32 prog.exe "first arg" second >/dev/null 2>&1
    echo "$s|$wine32_mode|$wine32_why"
  )
  IFS='|' read -r status mode why <<<"$result"
}

# 1. The kernel runs i386 programs: Wine's own loader, no emulator.
FAKE_NATIVE=1 run_case "native" "$work/bin/qemu-i386"
[ "$status" = 0 ] || fail "init answered $status ($why)"
[ "$mode" = native ] || fail "mode $mode"
grep -qx "wine prog.exe first arg second" "$FAKE_LOG" || fail "program not run by the loader: $(cat "$FAKE_LOG")"
! grep -q qemu-i386 "$FAKE_LOG" || fail "the emulator was used"
f="$case_dir/prefix/drive_c/windows/syswow64/kernel32.dll"
[ -f "$f" ] && [ ! -L "$f" ] || fail "the prefix's 32-bit half was not made by wineboot"

# 2. It does not, qemu-i386 can: every 32-bit process starts through the
# runner's wine-preloader, under the emulator with the guest space reserved.
run_case "emulated" "$work/bin/qemu-i386"
[ "$status" = 0 ] || fail "init answered $status ($why)"
[ "$mode" = qemu ] || fail "mode $mode"
loader="$case_dir/runner/lib/wine/wine"
grep -qx "qemu-i386 -R 0xffff0000 -L / $loader prog.exe first arg second (KELO_EMULATOR=qemu-i386)" \
  "$FAKE_LOG" || fail "not run under the emulator as wanted: $(cat "$FAKE_LOG")"
[ -x "$case_dir/runner/lib/wine/wine-preloader" ] || fail "no wine-preloader beside the loader"
[ -x "$case_dir/runner/lib/wine/wine64" ] || fail "no 64-bit loader beside it (its 32-bit children)"
[ "$(readlink "$case_dir/runner/share")" = /usr/share ] || fail "the loader cannot find Wine's data"
[ "$(readlink "$case_dir/runner/lib/i386-linux-gnu")" = /usr/lib/i386-linux-gnu ] ||
  fail "the loader cannot find ntdll.so"
# The prefix: made once, its 32-bit half Wine's 32-bit DLLs linked in, then
# one server kept.
[ "$(grep -c "wine64 wineboot --init" "$FAKE_LOG")" = 1 ] || fail "prefix not made once: $(cat "$FAKE_LOG")"
for dll in kernel32.dll user32.dll; do
  [ "$(readlink "$case_dir/prefix/drive_c/windows/syswow64/$dll")" = "$work/dlls/$dll" ] ||
    fail "$dll not linked into syswow64"
done
grep -qx "wineserver -p" "$FAKE_LOG" || fail "no persistent server"
: >"$FAKE_LOG"
(
  KELO_WINE_DIR="$work/wine" KELO_QEMU_I386="$work/bin/qemu-i386" KELO_WINE_I386_DLLS="$work/dlls"
  source "$here/tools/wine32.sh"
  wine32_init "$case_dir/runner" "$case_dir/prefix"
) >/dev/null 2>&1
! grep -q wineboot "$FAKE_LOG" || fail "a made prefix was made again"

# 2b. An emulator whose threads keep their own TLS descriptors: the programs
# are not told to spare their threads.
FAKE_TLS=0 run_case "emulated, own TLS" "$work/bin/qemu-i386"
[ "$status" = 0 ] || fail "init answered $status ($why)"
grep -q "prog.exe first arg second (KELO_EMULATOR=)$" "$FAKE_LOG" || fail "told: $(cat "$FAKE_LOG")"

# 3. Neither: skipped (status 3) with the reason.
run_case "neither" "$work/bin/no-such-qemu"
[ "$status" = 3 ] || fail "init answered $status, not 3 (skip)"
[[ $why == "this kernel cannot run i386 programs and qemu-i386 (qemu-user) is not installed" ]] ||
  fail "reason: $why"

# 4. A prefix whose 32-bit half is not made fails (status 1), not skips.
FAKE_NATIVE=1 FAKE_NO_WOW64=1 run_case "no 32-bit prefix" "$work/bin/qemu-i386"
[ "$status" = 1 ] || fail "init answered $status, not 1"
[[ $why == "the prefix's 32-bit half was not made"* ]] || fail "reason: $why"

if [ ${#failed_cases[@]} -gt 0 ]; then
  echo "${#failed_cases[@]} case(s) failed: ${failed_cases[*]}"
  exit 1
fi
echo "all wine32 runner cases passed"
