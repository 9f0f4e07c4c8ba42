#!/bin/sh
# The programs as a user starts them from a shell, without a display: --version prints
# "NAME VERSION" (a failed write of it is reported by the status), and the window program with
# no display to open says so in one line, ends with 1 and saves nothing.
#   programs_test.sh VERSION PROGRAM...
set -u
version=$1
shift
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
failed=0
fail() {
  echo "$*"
  failed=1
}
nodisplay() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$home" XDG_CONFIG_HOME= "$@"; }
for program in "$@"; do
  name=$(basename "$program")
  got=$(nodisplay "$program" --version 2>&1)
  status=$?
  [ "$status" -eq 0 ] && [ "$got" = "$name $version" ] || fail "$name --version: $status: $got"
  nodisplay "$program" --version >/dev/full 2>/dev/null && fail "$name --version >/dev/full: 0"
  [ "$name" = wendrix ] || continue
  # Neither display named, and an X display nobody serves.
  for display in "" :4711; do
    want="wendrix: cannot connect to the display (DISPLAY=$display)"
    [ -n "$display" ] ||
      want="wendrix: no display to open the window on: neither DISPLAY nor WAYLAND_DISPLAY is set"
    errors=$(nodisplay ${display:+DISPLAY=$display} "$program" 2>&1 >/dev/null)
    status=$?
    [ "$status" -eq 1 ] && [ "$errors" = "$want" ] || fail "wendrix on '$display': $status: $errors"
    [ -z "$(ls -A "$home")" ] || fail "wendrix on '$display' saved: $(ls -AR "$home")"
  done
done
exit "$failed"
