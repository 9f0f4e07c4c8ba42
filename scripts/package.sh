#!/usr/bin/env bash
# Builds the Debian packages wendrix-run_<version>_<arch>.deb (the command-line program, no Qt)
# and wendrix_<version>_<arch>.deb (the desktop program, which needs the first), with their
# source package and detached debug symbols, from a clean copy of the tracked files, so that the
# build folder is left alone, and puts them in out/. Installs what it needs from Debian first.
# The last two lines of the output are the paths of the two packages, wendrix-run's first.
set -euo pipefail
cd "$(dirname "$0")/.."

# What debian/control asks for to build, and the packaging tools.
scripts/install-deps.sh build package

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
rm -f out/wendrix_* out/wendrix-dbgsym_* out/wendrix-run_* out/wendrix-run-dbgsym_*
for f in "$work"/wendrix{,-dbgsym,-run,-run-dbgsym}_"$version"*; do
  [ -f "$f" ] && cp "$f" out/
done
debs=("$PWD/out/wendrix-run_${version}_${arch}.deb" "$PWD/out/wendrix_${version}_${arch}.deb")
for deb in "${debs[@]}"; do
  [ -f "$deb" ] || { echo "package.sh: $deb was not built" >&2; exit 1; }
done
printf '%s\n' "${debs[@]}"
