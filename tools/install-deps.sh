#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Idempotent and quiet when all is present already.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  cmake make g++ clang clang-format libclang-rt-14-dev
  googletest libbenchmark-dev libpng-dev zlib1g-dev libsndfile1-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
  binutils-mingw-w64-i686 libz-mingw-w64-dev
  wine64 xvfb xauth dpkg-dev
  python3-pil fonts-dejavu-core ccache
  # The Linux editor: Xlib for its window, FreeType and fontconfig for its text,
  # and Liberation, the faces metric-compatible with Arial and friends.
  libx11-dev libfreetype-dev libfontconfig-dev fonts-liberation
  # The LV2 build and its tests: Debian's LV2 headers and validators, lilv for
  # the test host and lv2apply, jalv with JACK (dummy driver) for the UI, and
  # xwininfo and ImageMagick's import for the picture of jalv's window.
  lv2-dev sordi liblilv-dev lilv-utils jalv jackd2 x11-utils imagemagick pkg-config
  # The user manual: groff's PDF output, pdfinfo for its pictures.
  groff poppler-utils
  # The i686 Linux build, run under qemu-i386: the multilib compiler and the
  # 32-bit libraries it links (the X11 ones for the editor's face).
  qemu-user g++-multilib
  libpng-dev:i386 zlib1g-dev:i386 libsndfile1-dev:i386
  libx11-dev:i386 libxext-dev:i386 libfreetype-dev:i386 libfontconfig-dev:i386
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # The :i386 packages need the architecture known before the package lists load.
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# libpng for the MinGW builds comes from Debian's source package.
"$here/tools/fetch-libpng-source.sh"
