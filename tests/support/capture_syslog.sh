#!/usr/bin/env bash
# Runs a command with the system log captured: inside a private mount namespace a datagram
# socket replaces /dev/log and every line the command sends there is appended to OUTFILE.
# Usage: capture_syslog.sh OUTFILE PIDFILE COMMAND [ARGS...]
# PIDFILE receives the command's process id, so that the caller can signal it.
# Needs root (unshare --mount); exits with the command's status.
set -euo pipefail

if [[ "${1:-}" != "--inside" ]]; then
  exec unshare --mount --propagation private "$0" --inside "$@"
fi
shift
outfile=$1 pidfile=$2
shift 2

devdir=$(mktemp -d)
trap 'rm -rf "$devdir"' EXIT
for node in null zero random urandom full tty; do
  [[ -e /dev/$node ]] && cp -a "/dev/$node" "$devdir/"
done
: > "$outfile"
/usr/bin/python3 - "$devdir/log" "$outfile" <<'PY' &
import socket, sys
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(sys.argv[1])
with open(sys.argv[2], "ab", buffering=0) as out:
    while True:
        out.write(sock.recv(65536) + b"\n")
PY
listener=$!
for _ in $(seq 200); do [[ -S "$devdir/log" ]] && break; sleep 0.01; done
mount --bind "$devdir" /dev

"$@" &
child=$!
echo "$child" > "$pidfile"
status=0
wait "$child" || status=$?
sleep 0.2
kill "$listener" 2>/dev/null || true
exit "$status"
