#!/usr/bin/env bash
# Builds the Debian package wendrix_<version>_<arch>.deb (with its source package and the
# detached debug symbols) from a clean copy of the tracked files, so that the build folder is
# left alone, and puts them in out/. Installs what it needs from Debian first. The last line of
# the output is the path of the package.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  # packaging tools
  dpkg-dev debhelper lintian appstream desktop-file-utils
  # what debian/control asks for to build
  build-essential cmake qt6-base-dev qt6-base-dev-tools
)
missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree=$work/wendrix-$version
mkdir "$tree"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # The tracked files as they are in the working tree, edits included; a tracked file deleted
  # but not yet committed is left out.
  git ls-files -z | while IFS= read -r -d '' f; do
    if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi
  done | tar --null -T - -cf - | tar -xf - -C "$tree"
else
  tar --exclude='./build*' --exclude=./out --exclude=./.git -cf - . | tar -xf - -C "$tree"
fi

(cd "$tree" && dpkg-buildpackage --build=full -us -uc -j"$(nproc)" </dev/null)

mkdir -p out
rm -f out/wendrix_* out/wendrix-dbgsym_*
for f in "$work"/wendrix_"$version"* "$work"/wendrix-dbgsym_"$version"*; do
  [ -f "$f" ] && cp "$f" out/
done
deb=$PWD/out/wendrix_${version}_${arch}.deb
[ -f "$deb" ] || { echo "package.sh: $deb was not built" >&2; exit 1; }
echo "$deb"
