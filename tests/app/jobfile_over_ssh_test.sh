#!/usr/bin/env bash
# A dry run's job file, run by GNU parallel on an SSH host that shares the file system, does
# byte for byte what a local run does. The test starts its own sshd on 127.0.0.1 with its own
# port, host key and authorized key, and stops it at the end. Where that cannot be done the test
# is skipped (status 77) with the reason; under CI it fails instead.
#   $1: wendrix-run
set -euo pipefail
RUN=$1
WORK=$(mktemp -d)
SSHD_PID=
cleanup() {
  if [ -n "$SSHD_PID" ]; then kill "$SSHD_PID" 2>/dev/null || true; wait "$SSHD_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

skip() {
  case ${CI:-} in
    '' | 0 | false) echo "skipped: $1"; exit 77 ;;
    *) echo "CI lacks: $1" >&2; exit 1 ;;
  esac
}
fail() { echo "FAILED: $1" >&2; exit 1; }

SSHD=/usr/sbin/sshd
[ -x "$SSHD" ] || skip "no $SSHD (openssh-server, scripts/install-deps.sh)"
for tool in parallel ssh ssh-keygen; do
  command -v "$tool" >/dev/null || skip "no $tool (scripts/install-deps.sh)"
done
# sshd started by root needs its privilege separation folder, which a booted system makes. It
# stays: another run of this test may be using it.
if [ "$(id -u)" = 0 ] && [ ! -d /run/sshd ]; then
  mkdir -p -m 755 /run/sshd || skip "cannot make /run/sshd"
fi

ssh-keygen -q -t ed25519 -N '' -f "$WORK/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$WORK/user_key"
cp "$WORK/user_key.pub" "$WORK/authorized_keys"
cat >"$WORK/sshd_config" <<CONFIG
ListenAddress 127.0.0.1
HostKey $WORK/host_key
AuthorizedKeysFile $WORK/authorized_keys
AllowUsers $(id -un)
PidFile none
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
CONFIG

# A free port: sshd says when it listens, or ends when the port is taken.
PORT=
for _ in 1 2 3 4 5; do
  try=$((20000 + RANDOM % 40000))
  : >"$WORK/sshd.log"
  "$SSHD" -D -e -f "$WORK/sshd_config" -p "$try" 2>"$WORK/sshd.log" &
  SSHD_PID=$!
  while kill -0 "$SSHD_PID" 2>/dev/null && ! grep -q "Server listening" "$WORK/sshd.log"; do
    sleep 0.02
  done
  if grep -q "Server listening" "$WORK/sshd.log"; then PORT=$try; break; fi
  wait "$SSHD_PID" 2>/dev/null || true
  SSHD_PID=
done
[ -n "$PORT" ] || skip "sshd does not start: $(tail -1 "$WORK/sshd.log")"

cat >"$WORK/ssh_config" <<CONFIG
Host wendrix-test
  HostName 127.0.0.1
  Port $PORT
  User $(id -un)
  IdentityFile $WORK/user_key
  IdentitiesOnly yes
  StrictHostKeyChecking no
  UserKnownHostsFile /dev/null
  LogLevel ERROR
  BatchMode yes
CONFIG
echo wendrix-test >"$WORK/hosts"
ssh -F "$WORK/ssh_config" wendrix-test true || fail "cannot log in to the test's sshd"

# A tree with names a shell would take apart, each file summed into the destination.
mkdir -p "$WORK/tree/sub/deeper" "$WORK/local" "$WORK/remote"
for name in plain.txt "it's \"odd\" \$(x).txt" "sub/a b.txt" "sub/deeper/-dash.txt"; do
  printf '%s\n' "$name" >"$WORK/tree/$name"
done
options=(--path "$WORK/tree" --command /bin/sh
  --parameters '-c "cksum <\"$0\" | tee \"$1\"" %f "%d%n.sum"')

"$RUN" "${options[@]}" --destination "$WORK/local" >"$WORK/local.out"
"$RUN" "${options[@]}" --destination "$WORK/remote" --dry-run >"$WORK/jobs"
grep -c '^mkdir -p ' "$WORK/jobs" >/dev/null || fail "no mkdir lines in the job file"
# The recipe of the manual page: the folders first, then the commands across the hosts.
grep '^mkdir -p ' "$WORK/jobs" | bash
grep -v '^mkdir -p ' "$WORK/jobs" |
  parallel --will-cite -k --ssh "ssh -F $WORK/ssh_config" --sshloginfile "$WORK/hosts" \
    >"$WORK/remote.out"

cmp "$WORK/local.out" "$WORK/remote.out" || fail "the output differs"
diff -r "$WORK/local" "$WORK/remote" || fail "the made files differ"
[ "$(find "$WORK/remote" -name '*.sum' | wc -l)" = 4 ] || fail "not every file was made"
echo "job file ran over SSH on port $PORT as it runs locally"
