#!/usr/bin/env bash
# Installs the Debian 12 packages of the groups named (default: build):
#   build    building Wendrix and running it
#   test     the tests, sanitizers and benchmarks (scripts/test.sh)
#   package  building and checking the Debian packages (scripts/package.sh)
# Quick and silent when everything is already there.
set -euo pipefail

build=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  # the window on an X server and on a Wayland compositor, and a font to draw it with
  qt6-qpa-plugins qt6-wayland fonts-dejavu-core
)
test=(
  googletest libgtest-dev libgmock-dev libbenchmark-dev libx11-dev
  clang libclang-rt-14-dev
  # virtual X server and input for the desktop tests, a real terminal for the console
  xvfb xauth xdotool xterm x11-utils imagemagick
  # a headless compositor for the Wayland test
  weston
  # the shells whose completions the tests try, the manual page checker, the examples test
  zsh fish man-db python3
  rsync hyperfine findutils procps time
  # a dry run's job file run over SSH by GNU parallel (tests/app/jobfile_over_ssh_test.sh)
  parallel openssh-server openssh-client
  # a peer of wendrix-run in bench/run_cli_bench.sh only
  fd-find
)
package=(
  dpkg-dev debhelper lintian appstream desktop-file-utils
)

packages=()
for group in "${@:-build}"; do
  case $group in
    build) packages+=("${build[@]}") ;;
    test) packages+=("${test[@]}") ;;
    package) packages+=("${package[@]}") ;;
    *) echo "install-deps.sh: unknown group $group (build, test, package)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
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
