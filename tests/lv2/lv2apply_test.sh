#!/usr/bin/env bash
# lv2apply through Kelo.lv2 renders what kelo-render renders through Kelo.so with
# the same settings, at 44.1 and 96 kHz, within one float rounding (2^-23 of
# full scale: the outputs peak below 2). The parameter values reach the VST
# build as the nearest 32-bit normalized value and the LV2 build as 32-bit
# values in their own unit, which may differ in the last bit.
# usage: lv2apply_test.sh LV2APPLY KELO_RENDER SOURCE_DIR WORK_DIR
set -euo pipefail
lv2apply=$1 render=$2 src=$3 work=$4
uri="urn:uuid:eaa7c74c-7e2c-4bc2-9eb2-85aef17ce553"
mkdir -p "$work"
for rate in 44100 96000; do
  python3 "$src/tests/lv2/make_test_wav.py" "$work/in-$rate.wav" "$rate" 4
  "$render" "$work/in-$rate.wav" -o "$work/vst-$rate.wav" --set threshold=-20 --set gate=on \
    --set "env time"=0.1 --set strength=0.8 --set "lo freq"=80 --set "hi freq"=8000 >/dev/null
  "$lv2apply" -i "$work/in-$rate.wav" -o "$work/lv2-$rate.wav" -c threshold -20 -c gate 1 \
    -c env_time 0.1 -c strength 0.8 -c lo_freq 80 -c hi_freq 8000 "$uri" 2>/dev/null
  echo "at $rate Hz:"
  python3 "$src/tools/compare-wav.py" "$work/vst-$rate.wav" "$work/lv2-$rate.wav" 1.1920929e-7
  # The plug-in did shape the sound: the output is not the input.
  if python3 "$src/tools/compare-wav.py" "$work/in-$rate.wav" "$work/lv2-$rate.wav" 1e-3 \
    >/dev/null 2>&1; then
    echo "the output equals the input at $rate Hz"
    exit 1
  fi
done
