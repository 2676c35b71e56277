#!/usr/bin/env bash
# The 32-bit DLL where it is meant to run: Windows i686 programs under 32-bit
# Wine (through qemu-i386 where the kernel starts no i386 program, see
# tools/wine32.sh), against the x86_64 DLL under 64-bit Wine in the same prefix:
#
#   1. the x86_64 references: the editor driven and pictured, the demo rendered
#      to a WAV file, and that file rendered again;
#   2. one i686 kelo-host process: the validator at level KELO_WINE32_LEVEL
#      (default 2), then the editor driven the same way and pictured;
#   3. one i686 kelo-render process: the x86_64 demo's WAV file read and
#      rendered through the DLL (the same input, so only the plug-ins differ);
#   4. the pictures compared pixel by pixel, the renders sample by sample.
#
# usage: tools/wine32-stage.sh [OUT_DIR]   (default build/wine32)
# Needs the i686 and x86_64 MinGW builds (build/mingw32, build/mingw64) and a
# display (one is started when DISPLAY is unset). Exit status: 0 passed,
# 1 failed, 3 skipped (32-bit Wine cannot run here; the reason in one line).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
out=$(mkdir -p "${1:-build/wine32}" && cd "${1:-build/wine32}" && pwd)
level=${KELO_WINE32_LEVEL:-2}
i686=$here/build/mingw32
x86_64=$here/build/mingw64
source "$here/tools/wine32.sh"

# The editor with the transport stopped and silence in, so that what it shows
# depends on the mouse alone: threshold and strength turned, gate and show env
# switched on, two points of the shape dragged (a point is taken where the
# mouse was over it).
mouse="press 72,124; drag 72,100; release 72,100; press 41,383; drag 41,360; release 41,360;
click 128,383; click 85,287; move 247,199; press 247,199; drag 255,220; drag 262,240;
release 262,240; move 313,313; press 313,313; drag 330,330; drag 340,335; release 340,335; wait 300"
editor=(--stopped --play-demo 1 --mouse "$mouse")

for binary in "$i686/tools/kelo-host.exe" "$i686/tools/kelo-render.exe" "$i686/effect/Kelo.dll" \
  "$x86_64/tools/kelo-host.exe" "$x86_64/tools/kelo-render.exe" "$x86_64/effect/Kelo.dll"; do
  if [ ! -f "$binary" ]; then
    echo "wine32: $binary is missing (the MinGW builds come first)"
    exit 1
  fi
done
if [ -z "${DISPLAY:-}" ]; then
  source "$here/tools/xvfb.sh"
  xvfb_start
fi

failed=()
# part NAME COMMAND...: runs and times one part; its output goes to
# $out/NAME.log and is shown. A part that hangs (an emulated thread may) is
# stopped after KELO_WINE32_PART_SECONDS (default 900): the stage fails, CI
# goes on.
part() {
  local name=$1 status=0 start end
  shift
  start=$(date +%s)
  # Wine's own processes may keep the output open: a file, not a pipe.
  timeout -k 10 "${KELO_WINE32_PART_SECONDS:-900}" "$@" >"$out/$name.log" 2>&1 || status=$?
  end=$(date +%s)
  sed 's/^/  /' "$out/$name.log"
  echo "--- $name: $((end - start)) s (exit status $status)"
  return "$status"
}

init_status=0
start=$(date +%s)
wine32_init "$out/runner" "$out/prefix" || init_status=$?
if [ "$init_status" -eq 3 ]; then
  echo "SKIPPED: 32-bit Wine: $wine32_why"
  echo "$wine32_why" >"$out/skipped"
  exit 3
elif [ "$init_status" -ne 0 ]; then
  echo "FAILED: 32-bit Wine: $wine32_why"
  exit 1
fi
trap wine32_stop EXIT
[ -z "$wine32_tls" ] || echo "  $wine32_tls"
echo "--- 32-bit Wine ($wine32_mode), prefix and server: $(($(date +%s) - start)) s"

part x86_64-editor "$wine64_loader" "$x86_64/tools/kelo-host.exe" "$x86_64/effect/Kelo.dll" "${editor[@]}" \
  --editor-png "$out/editor-x86_64.png" || failed+=("the x86_64 editor's picture")
part x86_64-render "$wine64_loader" "$x86_64/tools/kelo-render.exe" --plugin "$x86_64/effect/Kelo.dll" \
  -o "$out/demo-x86_64.wav" || failed+=("the x86_64 render")
part x86_64-render-again "$wine64_loader" "$x86_64/tools/kelo-render.exe" --plugin "$x86_64/effect/Kelo.dll" \
  "$out/demo-x86_64.wav" -o "$out/again-x86_64.wav" || failed+=("the x86_64 render of a file")

# The 32-bit programs are judged by what they print and write, not by their
# exit status: under the emulator a process that has done its work may be
# killed (SIGKILL, status 137) while it shuts down.
part i686-host "${wine32_start[@]}" "$i686/tools/kelo-host.exe" "$i686/effect/Kelo.dll" --validate \
  --level "$level" "${editor[@]}" --editor-png "$out/editor-i686.png" || true
grep -q "^[1-9][0-9]* passed, 0 failed" "$out/i686-host.log" || failed+=("the validator")
grep -q "^wrote .*editor-i686.png" "$out/i686-host.log" || failed+=("the editor's picture")

part i686-render "${wine32_start[@]}" "$i686/tools/kelo-render.exe" --plugin "$i686/effect/Kelo.dll" \
  "$out/demo-x86_64.wav" -o "$out/again-i686.wav" || true
grep -q "^kelo-render: [1-9][0-9]* frames" "$out/i686-render.log" || failed+=("the render")

echo "the editor, i686 against x86_64:"
/usr/bin/python3 "$here/tools/compare-png.py" "$out/editor-x86_64.png" "$out/editor-i686.png" ||
  failed+=("the editor's picture against x86_64")
echo -n "the demo's render rendered again, i686 against x86_64: "
python3 "$here/tools/compare-wav.py" "$out/again-x86_64.wav" "$out/again-i686.wav" 1e-6 ||
  failed+=("the render against x86_64")

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "the i686 DLL under 32-bit Wine: all passed"
