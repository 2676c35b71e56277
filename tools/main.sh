#!/usr/bin/env bash
# The main job: installs what is missing, builds the plug-in for Linux x86_64,
# Windows x86_64 and Windows i686 with the manual beside each, renders the
# built-in demo through the freshly built Linux plug-in and a picture of its
# editor, and prints where everything is.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
jobs=$(nproc)

# Exit status 3 means only the i686 Linux test build's libraries are missing,
# which the main job does not use.
deps_status=0
"$here/tools/install-deps.sh" || deps_status=$?
[ "$deps_status" -eq 0 ] || [ "$deps_status" -eq 3 ] || exit 1

build() {
  local dir=$1; shift
  echo "building $dir"
  cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKELO_BUILD_TESTS=OFF "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; exit 1; }
  cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1 || { tail -n 60 "$dir.build.log"; exit 1; }
}

mkdir -p build
build build/release-native
build build/release-mingw64 -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw-x86_64.cmake"
build build/release-mingw32 -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw-i686.cmake"

# The manual is built natively (it pictures the native editor); each Windows
# plug-in gets a copy beside it, where its emblem looks for it.
manual=build/release-native/effect/Kelo_manual.pdf
if [ -f "$manual" ]; then
  # The LV2 bundle carries its own copy, beside the binary whose editor opens it.
  [ -d build/release-native/effect/Kelo.lv2 ] && cp "$manual" build/release-native/effect/Kelo.lv2/
  find build/release-mingw64 build/release-mingw32 -maxdepth 2 -type f -name Kelo.dll \
    -exec sh -c 'cp "$1" "$(dirname "$2")/"' sh "$manual" {} \;
fi

echo
echo "artefacts:"
find build/release-native build/release-mingw64 build/release-mingw32 -maxdepth 2 -type f \
  \( -name '*.so' -o -name '*.dll' -o -name 'kelo-render' -o -name 'kelo-render.exe' \
     -o -name 'Kelo_manual.pdf' \) \
  -printf '  %p\n' | sort
if [ -d build/release-native/effect/Kelo.lv2 ]; then
  echo "  build/release-native/effect/Kelo.lv2/ (LV2 bundle: copy it into ~/.lv2/)"
fi

render=build/release-native/tools/kelo-render
if [ -x "$render" ]; then
  echo
  "$render" --output build/demo-out.wav --plot build/render-plot.png --tempo 120
  echo "demo rendered through the plug-in: build/demo-out.wav, its picture: build/render-plot.png"
fi

# The editor as a host shows it, after three seconds of the demo; a private
# virtual X server stands in when there is no display.
host=build/release-native/tools/kelo-host
if [ -x "$host" ]; then
  if [ -z "${DISPLAY:-}" ]; then
    source "$here/tools/xvfb.sh"
    xvfb_start
  fi
  "$host" build/release-native/effect/Kelo.so --play-demo 3 --editor-png build/editor.png >/dev/null
  echo "the editor after the demo: build/editor.png"
fi
