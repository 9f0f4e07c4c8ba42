#!/usr/bin/env bash
# shellcheck disable=SC2317  # the checks are functions that only check() calls
# Builds the Debian packages (scripts/package.sh) and checks them: lintian with no error and no
# warning, the AppStream data and the desktop file as packaged, one version everywhere (the
# project's CMake version in the changelog, the AppStream release and --version), the files
# each package must install, and the relations: wendrix-run pulls in no Qt, wendrix needs the
# same version of it and recommends xterm before any other terminal.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

passed=0
failed=0
check() {  # check NAME COMMAND...: runs the command, its output shown only when it fails
  local name=$1 output
  shift
  if output=$("$@" 2>&1); then
    passed=$((passed + 1))
    echo "ok: $name"
  else
    failed=$((failed + 1))
    echo "FAILED: $name"
    [ -n "$output" ] && printf '%s\n' "$output" | sed 's/^/    /'
  fi
}
finish() {
  echo "package checks: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

log=$(mktemp)
work=$(mktemp -d)
trap 'rm -rf "$log" "$work"' EXIT

if ! scripts/package.sh >"$log" 2>&1; then
  tail -n 40 "$log"
  failed=$((failed + 1))
  echo "FAILED: the package builds"
  finish
fi
mapfile -t debs < <(tail -n 2 "$log")
run_deb=${debs[0]} deb=${debs[1]}
changes=${deb%.deb}.changes  # the source's, naming both packages
passed=$((passed + 1))
echo "ok: the packages build (${debs[*]})"

cmake_version=$(sed -n 's/^project(Wendrix VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
dpkg-deb -x "$deb" "$work"
dpkg-deb -x "$run_deb" "$work"
id=$(sed -n 's/^set(WENDRIX_APP_ID \(.*\))$/\1/p' CMakeLists.txt)
metainfo=$work/usr/share/metainfo/$id.metainfo.xml
desktop=$work/usr/share/applications/$id.desktop

# Errors and warnings fail, and so does an override left over after its cause went (a manual
# page that came); the info and pedantic tags are listed for the reader.
lintian_clean() {
  lintian --fail-on error,warning --display-info --pedantic "$changes" >"$work/lintian.txt" 2>/dev/null
  local status=$?
  cat "$work/lintian.txt"
  [ "$status" -eq 0 ] && ! grep -q ' unused-override ' "$work/lintian.txt"
}
check "lintian: no error, no warning, no unused override" lintian_clean
grep '^[IP]:' "$work/lintian.txt" | sed 's/^/    /'

check "appstreamcli validate --no-net" appstreamcli validate --no-net "$metainfo"
check "desktop-file-validate" desktop-file-validate "$desktop"

same() {  # same WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] || { echo "$1: \"$3\", the project's version is \"$2\""; return 1; }
}
check "changelog version is the CMake version" \
  same changelog "$cmake_version" "$(dpkg-parsechangelog -S Version)"
check "newest AppStream release is the CMake version" same metainfo "$cmake_version" \
  "$(grep -o '<release version="[^"]*"' "$metainfo" | head -n 1 | cut -d'"' -f2)"
for program in wendrix wendrix-run wendrix-console; do
  check "$program --version" same "$program --version" "$program $cmake_version" \
    "$(env -u DISPLAY -u WAYLAND_DISPLAY "$work/usr/bin/$program" --version </dev/null)"
done

# Every file each package must hold; a manual page only once its source is in the tree.
run_files=(
  usr/bin/wendrix-run usr/share/bash-completion/completions/wendrix-run
  usr/share/zsh/vendor-completions/_wendrix-run usr/share/fish/vendor_completions.d/wendrix-run.fish
  usr/share/doc/wendrix-run/copyright
)
window_files=(
  usr/bin/wendrix usr/bin/wendrix-console
  "usr/share/applications/$id.desktop" "usr/share/metainfo/$id.metainfo.xml"
  usr/share/icons/hicolor/{16x16,24x24,32x32,48x48}/apps/wendrix.png
  usr/share/icons/hicolor/scalable/apps/wendrix.svg
  usr/share/doc/wendrix/copyright
)
for page in packaging/man/*.1; do
  if [ "$(basename "$page")" = wendrix-run.1 ]; then
    run_files+=("usr/share/man/man1/wendrix-run.1.gz")
  elif [ -e "$page" ]; then
    window_files+=("usr/share/man/man1/$(basename "$page").gz")
  fi
done
holds_all() {  # holds_all PACKAGE FILE...
  local status=0 listing
  listing=$(dpkg-deb --fsys-tarfile "$1" | tar -t | sed 's|^\./||')
  shift
  for f in "$@"; do
    grep -qxF -- "$f" <<<"$listing" || { echo "missing: /$f"; status=1; }
  done
  return "$status"
}
check "wendrix-run holds its program, manual page and completions" holds_all "$run_deb" "${run_files[@]}"
check "wendrix holds the programs, menu entry, icons and manual pages" \
  holds_all "$deb" "${window_files[@]}"

# What installing wendrix-run alone brings: its dependencies, followed through the system's
# packages, must reach no Qt library.
no_qt() {
  local relations
  relations=$(dpkg-deb -f "$run_deb" Pre-Depends Depends Recommends)
  echo "$relations"
  ! grep -qi qt <<<"$relations" || return 1
  for p in $(dpkg-deb -f "$run_deb" Depends | sed 's/([^)]*)//g; s/[|,]/ /g'); do
    apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
      --no-replaces --no-enhances "$p" 2>/dev/null
  done | grep -i 'qt' && return 1
  return 0
}
check "wendrix-run pulls in no Qt" no_qt
relation() {  # relation FIELD PATTERN: the field of wendrix matches the extended pattern
  dpkg-deb -f "$deb" "$1" | grep -qE -- "$2" || { echo "$1: $(dpkg-deb -f "$deb" "$1")"; return 1; }
}
check "wendrix depends on the same version of wendrix-run" \
  relation Depends "(^|, )wendrix-run \\(= $(dpkg-deb -f "$deb" Version)\\)"
check "wendrix recommends xterm before any other terminal" \
  relation Recommends "(^|, )xterm \\| x-terminal-emulator(,|$)"

finish
