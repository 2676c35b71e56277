#!/usr/bin/env bash
# Fetches Debian's libpng1.6 source package into .deps/ (ignored by git) so the
# MinGW builds can compile libpng themselves. Prints nothing when it is there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
source "$here/tools/apt.sh"
dest="$here/.deps"
if ls -d "$dest"/libpng1.6-*/png.c >/dev/null 2>&1; then exit 0; fi

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
for try in 1 2; do
  if (cd "$dest" && apt-get source -qq libpng1.6) >"$log" 2>&1 && ls -d "$dest"/libpng1.6-*/png.c >/dev/null 2>&1; then
    rm -f "$log"
    exit 0
  fi
  [ "$try" -eq 2 ] || sleep "${KELO_APT_RETRY_SECONDS:-5}"
done
echo "install-deps: cannot fetch the libpng1.6 source package: $(apt_first_error "$log")"
rm -f "$log"
exit 1
