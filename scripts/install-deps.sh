#!/usr/bin/env bash
# Installs the Debian 12 packages Wendrix needs to build, run, test and benchmark.
# Quick and silent when everything is already there.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake pkg-config git
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev libx11-dev
  # the window on a Wayland compositor
  qt6-wayland
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth xdotool xterm x11-utils imagemagick fonts-dejavu-core
  # a headless compositor for the Wayland test
  weston
  rsync hyperfine findutils procps time
  # a dry run's job file run over SSH by GNU parallel (tests/app/jobfile_over_ssh_test.sh)
  parallel openssh-server openssh-client
  # a peer of wendrix-run in bench/run_cli_bench.sh only
  fd-find
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
