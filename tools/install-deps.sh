#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Idempotent and quiet when all is present already.
#
# Exit status: 0 when everything is installed; 3 when only 32-bit packages (the
# i686 Linux build's libraries, 32-bit Wine) could not be installed - they are
# then listed in .deps/missing-i386 (KELO_DEPS_DIR moves .deps) and the test
# command skips the stages that need them, saying why; 1 when anything else is
# missing. Each package that cannot be installed is
# named with apt's reason in one line.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tools/apt.sh"

packages=(
  cmake make g++ clang clang-format libclang-rt-14-dev
  googletest libbenchmark-dev libpng-dev zlib1g-dev libsndfile1-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
  binutils-mingw-w64-i686 libz-mingw-w64-dev
  wine64 xvfb xauth x11-apps dpkg-dev
  # A VST plug-in of another project, a second patient for the validator.
  dragonfly-reverb-vst
  python3-pil fonts-dejavu-core ccache
  # The Linux editor: Xlib (and its shared-memory images) for its window,
  # FreeType and fontconfig for its text, and Liberation, the faces
  # metric-compatible with Arial and friends.
  libx11-dev libxext-dev libfreetype-dev libfontconfig-dev fonts-liberation
  # The user manual: groff's PDF output, pdfinfo for its pictures.
  groff poppler-utils
  # The LV2 build and its tests: Debian's LV2 headers and validators, lilv for
  # the test host and lv2apply, jalv with JACK (dummy driver) for the UI,
  # xwininfo and ImageMagick's import for the picture of jalv's window, and
  # xdotool for a click in it.
  lv2-dev sordi liblilv-dev lilv-utils jalv jackd2 x11-utils imagemagick xdotool pkg-config
  # Real drum recordings the tests build grooves from.
  hydrogen-drumkits
  # The i686 Linux build runs under qemu-i386, built by the multilib compiler.
  qemu-user g++-multilib
)
# The 32-bit libraries the i686 Linux build links (the X11 ones for the editor),
# and 32-bit Wine for the i686 DLL (run under qemu-i386 where the kernel starts
# no i386 program).
i386_packages=(
  libpng-dev:i386 zlib1g-dev:i386 libsndfile1-dev:i386
  libx11-dev:i386 libxext-dev:i386 libfreetype-dev:i386 libfontconfig-dev:i386
  wine32:i386
)

deps_dir=${KELO_DEPS_DIR:-$here/.deps}
mkdir -p "$deps_dir"
rm -f "$deps_dir/missing-i386"

# The :i386 packages need the architecture known before the package lists load.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  for p in "${i386_packages[@]}"; do
    if ! apt_installed "$p"; then
      $apt_sudo dpkg --add-architecture i386
      break
    fi
  done
fi

status=0
apt_install "${packages[@]}" || status=1
if ! apt_install "${i386_packages[@]}"; then
  # The usual cause: the mirror's i386 list of security updates failed, so the
  # libraries cannot match their amd64 copies. Try the versions the amd64
  # copies have (see apt_install_i386).
  i386_failed=()
  for p in "${apt_failed[@]}"; do [[ $p != *:i386 ]] || i386_failed+=("$p"); done
  apt_failed=()
  if [ ${#i386_failed[@]} -gt 0 ] && ! apt_install_i386 "${i386_failed[@]}"; then
    [ "$status" -ne 0 ] || status=3
    printf '%s\n' "${apt_failed[@]}" >"$deps_dir/missing-i386"
  fi
fi

# libpng and libsndfile for the MinGW builds come from Debian's source packages.
[ -n "${KELO_DEPS_NO_SOURCES:-}" ] || "$here/tools/fetch-sources.sh" || status=1

if [ "$status" -eq 3 ]; then
  echo "install-deps: 32-bit packages missing, their stages cannot run here: $(tr '\n' ' ' <"$deps_dir/missing-i386")"
fi
exit "$status"
