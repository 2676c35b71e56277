#!/usr/bin/env bash
# Fetches Debian's source packages of the libraries the MinGW builds compile
# themselves (libpng for the plug-in, libsndfile for the render tool) into
# .deps/ (ignored by git). Prints nothing when they are there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tools/apt.sh"
dest="$here/.deps"

# Source package and a file its unpacked tree must hold.
sources=("libpng1.6 png.c" "libsndfile src/sndfile.c")
missing=()
for entry in "${sources[@]}"; do
  read -r package file <<<"$entry"
  ls "$dest/$package"-*/"$file" >/dev/null 2>&1 || missing+=("$entry")
done
[ ${#missing[@]} -gt 0 ] || exit 0

# The machine lists binary packages only: add a source entry mirroring the
# Debian one (deb822 or one-line format), once.
if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  src=/etc/apt/sources.list.d/debian.sources
  if [ -f "$src" ]; then
    awk 'BEGIN{RS=""; ORS="\n\n"} /URIs:[^\n]*debian/ && !/security/ {sub(/Types: deb/, "Types: deb-src"); print}' \
      "$src" | $apt_sudo tee /etc/apt/sources.list.d/kelo-deb-src.sources >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      $apt_sudo tee /etc/apt/sources.list.d/kelo-deb-src.list >/dev/null
  fi
  apt_update
fi
mkdir -p "$dest"
log=$(mktemp)
status=0
for entry in "${missing[@]}"; do
  read -r package file <<<"$entry"
  fetched=0
  for try in 1 2; do
    if (cd "$dest" && apt-get source -qq "$package") >"$log" 2>&1 &&
      ls "$dest/$package"-*/"$file" >/dev/null 2>&1; then
      fetched=1
      break
    fi
    [ "$try" -eq 2 ] || sleep "${KELO_APT_RETRY_SECONDS:-5}"
  done
  if [ "$fetched" -eq 0 ]; then
    echo "install-deps: cannot fetch the $package source package: $(apt_first_error "$log")"
    status=1
  fi
done
rm -f "$log"
exit "$status"
