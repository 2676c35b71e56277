#!/usr/bin/env bash
# jalv.gtk3 (Debian's jalv) opens Kelo.lv2 with its UI under a private virtual
# X server, with a private JACK server on its dummy driver (no sound card,
# and time positions with a frame and a speed but no tempo).
#
# A picture of the editor's window must show what the VST host harness shows
# of Kelo.so's editor. The harness plays a moment of its demo signal before
# its picture while jalv's input is silent, so pixels where the harness's
# picture differs by green light or by grey (its audio drawings), and their
# blended edges, may differ; the control column must be identical, and the
# rest of the displays may differ in at most 0.25% of the editor's pixels. The
# edit panel's beats text (the envelope's length at the host's tempo: 120 bpm
# when the host says none, as in the harness) must be identical.
#
# Then a click on an option switch (no parameter) must reach jalv as a
# state:StateChanged message from the plug-in (jalv --dump prints it).
# usage: jalv_editor.sh KELO_HOST KELO_SO PIL_PYTHON SOURCE_DIR WORK_DIR
set -euo pipefail
host=$1 vst=$2 python=$3 src=$4 work=$5
uri="urn:uuid:eaa7c74c-7e2c-4bc2-9eb2-85aef17ce553"
mkdir -p "$work"
rm -f "$work/lv2.png" "$work/vst.png"

source "$src/tools/xvfb.sh"
xvfb_start
jack_pid="" jalv_pid=""
cleanup() {
  [ -n "$jalv_pid" ] && kill "$jalv_pid" 2>/dev/null && wait "$jalv_pid" 2>/dev/null
  [ -n "$jack_pid" ] && kill "$jack_pid" 2>/dev/null && wait "$jack_pid" 2>/dev/null
  xvfb_stop
}
trap cleanup EXIT

export JACK_DEFAULT_SERVER="kelo_lv2_$$"
export JACK_NO_AUDIO_RESERVATION=1
jackd --no-realtime -n "$JACK_DEFAULT_SERVER" -d dummy -r 44100 -p 512 >"$work/jackd.log" 2>&1 &
jack_pid=$!
for _ in $(seq 1 50); do
  jack_lsp >/dev/null 2>&1 && break
  sleep 0.2
done

# Line-buffered, so the dump can be read while jalv runs.
stdbuf -oL jalv.gtk3 --dump "$uri" >"$work/jalv.log" 2>&1 &
jalv_pid=$!
window=""
for _ in $(seq 1 100); do
  window=$(xwininfo -root -tree 2>/dev/null | awk '/ 675x619\+0\+0 /{print $1}' | tail -n 1)
  [ -n "$window" ] && break
  kill -0 "$jalv_pid" 2>/dev/null || { cat "$work/jalv.log"; echo "jalv.gtk3 ended"; exit 1; }
  sleep 0.2
done
[ -n "$window" ] || { cat "$work/jalv.log"; echo "no editor window in jalv.gtk3"; exit 1; }
sleep 1.5 # a few of the editor's frames
import -window "$window" "$work/lv2.png"
kill -0 "$jalv_pid" || { echo "jalv.gtk3 did not keep running"; exit 1; }

# After a few frames: a knob glows on its first frame only.
"$host" "$vst" --play-demo 0 --mouse "wait 300" --editor-png "$work/vst.png" >/dev/null
"$python" - "$work/vst.png" "$work/lv2.png" <<'PY'
import sys
from PIL import Image

vst = Image.open(sys.argv[1]).convert("RGB")
lv2 = Image.open(sys.argv[2]).convert("RGB")
if vst.size != lv2.size:
    sys.exit(f"sizes differ: {vst.size} and {lv2.size}")
w, h = vst.size
a, b = vst.load(), lv2.load()


def audio_light(p):
    # The harness's audio drawings (green bars and waves, grey levels and the
    # dark gaps between them) change what jalv's silent editor shows by green
    # light or by grey.
    dr, dg, db = (a[p][i] - b[p][i] for i in range(3))
    greener = dg > 0 and dg + 4 >= dr and dg + 4 >= db
    grey = abs(dr - dg) <= 4 and abs(db - dg) <= 4
    return greener or grey


differ = [(x, y) for y in range(h) for x in range(w) if a[x, y] != b[x, y]]
# Their blended edges (over curves and grid lines) lie within 2 pixels.
near_audio = set()
for x, y in (p for p in differ if audio_light(p)):
    near_audio.update((x + dx, y + dy) for dx in range(-2, 3) for dy in range(-2, 3))
unexcused = [p for p in differ if p not in near_audio]
controls = [p for p in differ if p[0] < 170]
# The edit panel's beats text, right-aligned at the plot's top right corner.
beats = [p for p in differ if 540 <= p[0] < 645 and 222 <= p[1] < 245]
if beats:
    sys.exit(f"the edit panel's beats texts differ (the host's tempo), first at {beats[:5]}")
print(f"{len(differ)} pixels differ, {len(unexcused)} of them away from the audio drawings, "
      f"{len(controls)} in the control column")
# The control column (knobs, switches, emblem) is identical; in the displays
# at most 0.25% of the editor may differ beyond the audio (the curves' blending
# with the harness's waves).
if len(differ) == w * h or controls or len(unexcused) > w * h // 400:
    sys.exit(f"the pictures differ, first at {(controls or unexcused)[:5]}")
PY

# An option switch ("hear both polarities") is no port: its click must reach
# the host as state:StateChanged on the notify port.
xdotool mousemove --window "$window" 20 579 click 1
for _ in $(seq 1 50); do
  grep -q 'state#StateChanged' "$work/jalv.log" && break
  sleep 0.1
done
grep -q 'state#StateChanged' "$work/jalv.log" ||
  { cat "$work/jalv.log"; echo "no state:StateChanged from the option switch"; exit 1; }
echo "state:StateChanged heard after the option switch's click"
