#!/usr/bin/env bash
# The package installer against a stand-in apt: a mirror that fails one list,
# a package that cannot be installed, a package present for another
# architecture only. Each case runs tools/install-deps.sh with fake apt-get,
# dpkg and dpkg-query first on PATH and checks its exit status and what it said.
set -uo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cases=0
failed_cases=()
fail() {
  echo "FAIL: $case_name: $*"
  [[ " ${failed_cases[*]} " == *" $case_name "* ]] || failed_cases+=("$case_name")
}

mkdir -p "$work/bin"
# The stand-ins keep the installed packages ("name:arch" per line) in $FAKE_DB and
# log every apt-get call to $FAKE_LOG. FAKE_UPDATE_FAILS=1 makes every update fail
# on one list; FAKE_BROKEN names packages whose installation fails.
cat >"$work/bin/apt-get" <<'SH'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE_LOG"
case " $* " in
  *" update "*)
    if [ "${FAKE_UPDATE_FAILS:-0}" = 1 ]; then
      echo "Err:4 http://mirror/debian-security bookworm-security/main i386 Packages"
      echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi
    exit 0 ;;
esac
case $1 in
  indextargets)
    # The i386 list of the security suite failed to load; its amd64 sibling did.
    case " $* " in
      *"Architecture: i386"*) echo "http://mirror/debian/dists/bookworm/main/binary-i386/Packages" ;;
      *) echo "http://mirror/debian/dists/bookworm/main/binary-amd64/Packages http://mirror/debian/"
        echo "http://mirror/debian-security/dists/bookworm-security/main/binary-amd64/Packages http://mirror/debian-security/" ;;
    esac
    exit 0 ;;
  download)
    n=${3%%:*} v=${3#*=}
    grep -qx "$n:amd64 $v" "$FAKE_INDEX" || exit 100
    echo "'http://mirror/debian-security/pool/updates/main/z/zlib/${n}_${v#*:}_amd64.deb' x.deb 1 SHA256:0"
    exit 0 ;;
esac
# FAKE_CURE="NAME VERSION": the broken packages install once the call brings
# NAME:i386 at VERSION, as a .deb or as a version asked for.
cured=0
if [ -n "${FAKE_CURE:-}" ]; then
  read -r cure_name cure_version <<<"$FAKE_CURE"
  for a in "$@"; do
    [ "$a" != "$cure_name:i386=$cure_version" ] || cured=1
    if [ -f "$a" ] && [ "$(cat "$a")" = "$(printf 'Package: %s\nVersion: %s\nArchitecture: i386' "$cure_name" "$cure_version")" ]; then
      cured=1
    fi
  done
fi
pkgs=()
for a in "$@"; do case $a in -*|install|DPkg::*|*=*|/*) ;; *) pkgs+=("$a") ;; esac; done
for p in "${pkgs[@]}"; do
  for b in ${FAKE_BROKEN:-}; do
    if [ "$p" = "$b" ] && [ "$cured" -eq 0 ]; then
      echo "The following packages have unmet dependencies:"
      echo " $p : Depends: zlib1g:i386 (= 1:1.2.13.dfsg-1) but it is not going to be installed"
      echo "E: Unable to correct problems, you have held broken packages."
      exit 100
    fi
  done
done
for p in "${pkgs[@]}"; do
  case $p in *:*) echo "$p" ;; *) echo "$p:amd64" ;; esac >>"$FAKE_DB"
done
SH
cat >"$work/bin/dpkg" <<'SH'
#!/usr/bin/env bash
case $1 in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) echo i386 ;;
  --compare-versions) exec /usr/bin/dpkg "$@" ;;
esac
SH
# $FAKE_META gives installed packages a Multi-Arch field and a version
# ("name:arch multi-arch version" per line); others are "no" and "1.0".
cat >"$work/bin/dpkg-query" <<'SH'
#!/usr/bin/env bash
name=${!#} format=${2#-f=}
grep -qx "$name" "$FAKE_DB" 2>/dev/null || exit 1
read -r _ ma version < <(grep "^$name " "$FAKE_META" 2>/dev/null || echo "$name no 1.0")
format=${format//'${db:Status-Abbrev}'/ii }
format=${format//'${Multi-Arch}'/$ma}
printf '%s' "${format//'${Version}'/$version}"
SH
# $FAKE_INDEX: the versions in the lists that loaded ("name:arch version").
# Every package needs itself, zlib1g (Multi-Arch: same) and tar (foreign).
cat >"$work/bin/apt-cache" <<'SH'
#!/usr/bin/env bash
case $1 in
  depends)
    for a in "$@"; do case $a in -*|depends) ;; *) echo "$a"; echo "  Depends: zlib1g:i386" ;; esac; done
    printf '%s\n' zlib1g:i386 "<libz-dev:i386>" tar:i386 ;;
  show)
    { grep "^$2 " "$FAKE_INDEX"; grep "^$2 " "$FAKE_META" | awk '{ print $1, $3 }'; } |
      awk '{ print "Package: " $1; print "Version: " $2; print "" }' ;;
esac
SH
# A .deb here is its control fields in a text file.
cat >"$work/bin/dpkg-deb" <<'SH'
#!/usr/bin/env bash
for f in "${@:3}"; do grep "^$f: " "$2"; done
SH
# apt-helper download-file serves http://mirror/PATH from $FAKE_MIRROR/PATH,
# checking the SHA256 when asked to.
cat >"$work/bin/apt-helper" <<'SH'
#!/usr/bin/env bash
src=$FAKE_MIRROR/${2#http://mirror/}
[ -f "$src" ] || { echo "E: Failed to fetch $2  404  Not Found"; exit 100; }
if [ -n "${4:-}" ] && [ "SHA256:$(sha256sum <"$src" | cut -d' ' -f1)" != "$4" ]; then
  echo "E: Failed to fetch $2  Hash Sum mismatch"
  exit 100
fi
cp "$src" "$3"
SH
chmod +x "$work/bin/"*

# run_case NAME: runs the installer; sets status and out.
run_case() {
  case_name=${1// /_}
  cases=$((cases + 1))
  : >"$FAKE_LOG"
  out=$(PATH="$work/bin:$PATH" KELO_DEPS_DIR="$work/deps" KELO_DEPS_NO_SOURCES=1 \
    KELO_APT_RETRY_SECONDS=0 KELO_APT_HELPER="$work/bin/apt-helper" "$here/tools/install-deps.sh" 2>&1)
  status=$?
}
export FAKE_DB="$work/db" FAKE_LOG="$work/log" FAKE_META="$work/meta" FAKE_INDEX="$work/index"
export FAKE_MIRROR="$work/mirror"

# A list fails on both tries: the installer goes on with the lists that loaded.
: >"$FAKE_DB"
FAKE_UPDATE_FAILS=1 run_case "a failing list does not stop the installation"
[ "$status" -eq 0 ] || fail "exit status $status: $out"
[ "$(grep -c ' update' "$FAKE_LOG")" -eq 2 ] || fail "expected one update and one retry"
grep -q "going on with the package lists that loaded" <<<"$out" || fail "no word of going on"
grep -qx "cmake:amd64" "$FAKE_DB" && grep -qx "zlib1g-dev:i386" "$FAKE_DB" || fail "packages not installed"

# Everything present: nothing is asked of apt.
run_case "an installed machine asks nothing"
[ "$status" -eq 0 ] && [ ! -s "$FAKE_LOG" ] || fail "status $status, apt log: $(cat "$FAKE_LOG")"

# A 32-bit library that cannot be installed: named with its reason in one line,
# everything else installed, exit 3 and the list for the test command.
: >"$FAKE_DB"
FAKE_BROKEN="zlib1g-dev:i386" run_case "a 32-bit library that cannot be installed"
[ "$status" -eq 3 ] || fail "exit status $status, expected 3"
grep -qx "install-deps: cannot install zlib1g-dev:i386: zlib1g-dev:i386 : Depends: zlib1g:i386 (= 1:1.2.13.dfsg-1) but it is not going to be installed" <<<"$out" ||
  fail "no one-line reason: $out"
[ "$(cat "$work/deps/missing-i386")" = "zlib1g-dev:i386" ] || fail "missing list: $(cat "$work/deps/missing-i386")"
grep -qx "libpng-dev:i386" "$FAKE_DB" && grep -qx "cmake:amd64" "$FAKE_DB" || fail "the others were not installed"

# A native package that cannot be installed fails the run.
: >"$FAKE_DB"
FAKE_BROKEN="lv2-dev" run_case "a native package that cannot be installed"
[ "$status" -eq 1 ] || fail "exit status $status, expected 1"
grep -q "^install-deps: cannot install lv2-dev: " <<<"$out" || fail "not named: $out"

# Installed for another architecture only: still missing for the one asked.
run_case "fill the machine"
sed -i 's/^libpng-dev:amd64$/libpng-dev:i386/' "$FAKE_DB"
sort -u -o "$FAKE_DB" "$FAKE_DB"
run_case "a package installed for i386 only counts as missing for amd64"
[ "$status" -eq 0 ] || fail "exit status $status"
grep -q "install .*libpng-dev\( \|$\)" "$FAKE_LOG" || fail "libpng-dev was not installed: $(cat "$FAKE_LOG")"

# The i386 security list fails: zlib1g:amd64 has a security version the i386
# lists that loaded lack, so zlib1g-dev:i386 cannot be installed. Each row: what
# the mirror has of the i386 zlib1g at that version, the exit status, what the
# installer says of it, and what the last apt-get call must bring (the .deb it
# fetched, the version it asks for, or "-": no call for the second road).
sec=1:1.2.13.dfsg-1+deb12u1
pool=debian-security/pool/updates/main/z/zlib
i386_list="$FAKE_MIRROR/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz"
deb_control() { printf 'Package: %s\nVersion: %s\nArchitecture: i386' "$1" "$2"; }
# The machine filled before (by the last case above) but for the i386 packages.
grep -v ':i386$' "$FAKE_DB" >"$work/db-amd64"
echo "zlib1g:amd64" >>"$work/db-amd64"
while IFS='|' read -r mirror want_status want_line want_bring; do
  cp "$work/db-amd64" "$FAKE_DB"
  echo "zlib1g:amd64 same $sec" >"$FAKE_META"
  printf '%s\n' "zlib1g:amd64 $sec" "zlib1g:amd64 1:1.2.13.dfsg-1" "zlib1g:i386 1:1.2.13.dfsg-1" >"$FAKE_INDEX"
  rm -rf "$FAKE_MIRROR"
  mkdir -p "$FAKE_MIRROR/$pool" "$(dirname "$i386_list")"
  deb="$FAKE_MIRROR/$pool/zlib1g_${sec#*:}_i386.deb"
  case $mirror in
    listed | unlisted-in-pool) deb_control zlib1g "$sec" >"$deb" ;;
    listed-wrong-hash) { deb_control zlib1g "$sec"; printf '\nDescription: not the one listed'; } >"$deb" ;;
    listed-other-package) deb_control zlib1g-dev "$sec" >"$deb" ;;
    signed) echo "zlib1g:i386 $sec" >>"$FAKE_INDEX" ;;
  esac
  sha=$(deb_control zlib1g "$sec" | sha256sum | cut -d' ' -f1)
  [ "$mirror" != listed-other-package ] || sha=$(sha256sum <"$deb" | cut -d' ' -f1)
  list=""
  case $mirror in listed*)
    list=$(printf 'Package: zlib1g\nVersion: %s\nFilename: pool/updates/main/z/zlib/zlib1g_%s_i386.deb\nSHA256: %s\n' \
      "$sec" "${sec#*:}" "$sha") ;;
  esac
  printf 'Package: tar\nVersion: 1.34\nFilename: pool/updates/main/t/tar/tar_1.34_i386.deb\nSHA256: 0\n\n%s\n' "$list" |
    xz >"$i386_list"
  FAKE_BROKEN="zlib1g-dev:i386" FAKE_CURE="zlib1g $sec" run_case "the i386 zlib1g: $mirror"
  [ "$status" -eq "$want_status" ] || fail "exit status $status, expected $want_status: $out"
  grep -q "^install-deps: zlib1g:i386[: ].*$want_line" <<<"$out" || fail "no line saying '$want_line': $out"
  ! grep -q "tar:i386" "$FAKE_LOG" || fail "tar (Multi-Arch: foreign) was touched: $(cat "$FAKE_LOG")"
  last=$(grep ' install .*zlib1g-dev:i386' "$FAKE_LOG" | tail -n1)
  case $want_bring in
    -) ! grep -q -- "--no-remove" "$FAKE_LOG" || fail "apt was asked again: $last" ;;
    deb) [[ $last == *" --no-remove "*/zlib1g_i386.deb* ]] || fail "the .deb was not installed: $last" ;;
    *) [[ $last == *" --no-remove "*" $want_bring "* ]] || fail "$want_bring not asked for: $last" ;;
  esac
  if [ "$want_status" -eq 0 ]; then
    grep -qx "install-deps: installed zlib1g-dev:i386" <<<"$out" || fail "not said installed: $out"
  else
    [ "$(cat "$work/deps/missing-i386")" = "zlib1g-dev:i386" ] || fail "missing list: $(cat "$work/deps/missing-i386")"
  fi
done <<ROWS
listed|0|fetched directly from http://mirror/$pool/zlib1g_${sec#*:}_i386.deb, SHA256 as the i386 list says|deb
unlisted-in-pool|0|fetched from the pool at http://mirror/$pool/zlib1g_${sec#*:}_i386.deb, in no list|deb
signed|0|$sec from the lists apt loaded, asked for by version|zlib1g:i386=$sec
listed-wrong-hash|3|$sec: E: Failed to fetch .* Hash Sum mismatch|-
listed-other-package|3|$sec: E: http://mirror/$pool/zlib1g_${sec#*:}_i386.deb holds another package|-
absent|3|found neither at the amd64 version $sec|-
ROWS

echo "$((cases - ${#failed_cases[@]})) passed, ${#failed_cases[@]} failed"
[ ${#failed_cases[@]} -eq 0 ]
