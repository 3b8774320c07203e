#!/usr/bin/env bash
# Notices of timed runs, on a private session bus (run under dbus-run-session)
# with the test's own notification service. Status 77: skipped.
set -euo pipefail
cli=$1
server=$2
[ -n "${TANDREL_PRIVATE_SESSION_BUS:-}" ] && [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || {
  echo "skipped: needs a private session bus (dbus-run-session, package dbus-daemon)"; exit 77; }
work=$(mktemp -d)
export XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"
"$server" "$work/notices" &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -e "$work/notices.ready" ] && break; sleep 0.05; done
[ -e "$work/notices.ready" ] || { echo "the notification service did not start"; exit 1; }

mkdir -p "$work/src"
printf 'a' > "$work/src/a.txt"
printf 'b' > "$work/src/b.txt"
touch -d '1 minute ago' "$work/src/a.txt" "$work/src/b.txt"
"$cli" "$work/src" --save "$work/my.lst" > /dev/null
run() { "$cli" --scheduled t --every 1d --list "$work/my.lst" --dest "$work/out" "$@"; }

run > /dev/null 2>&1
[ ! -e "$work/notices" ] || { echo "a success gave a notice:"; cat "$work/notices"; exit 1; }
# The copies exist now: each file fails without --overwrite.
status=0
run > /dev/null 2>&1 || status=$?
[ "$status" -eq 1 ]
grep -F $'2\tTandrel\tBackup failed\t' "$work/notices" | grep -qF '2 files failed.\nCould not copy' || {
  echo "no notice of the failed backup:"; cat "$work/notices" 2>/dev/null; exit 1; }

# Without a session bus the run goes on and its log says why no notice came.
status=0
env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR="$work/none" "$cli" --scheduled t --every 1d \
  --list "$work/my.lst" --dest "$work/out" > /dev/null 2>&1 || status=$?
[ "$status" -eq 1 ]
grep -q '^  no notice given (no session bus: .*): Backup failed$' "$XDG_STATE_HOME/tandrel/runs.log" || {
  echo "the log does not say that no notice was given:"; cat "$XDG_STATE_HOME/tandrel/runs.log"; exit 1; }
[ "$(grep -c 'Backup failed' "$work/notices")" -eq 1 ]
echo "notices: ok"
