#!/usr/bin/env bash
# Backups onto an rclone mount: rclone serves a local folder over SFTP on
# 127.0.0.1 (with throw-away credentials), a second rclone mounts that remote
# with --vfs-cache-mode writes, and tandrel-cli backs up onto the mount.
#
#   fs_rclone.sh TANDREL-CLI
#
# It checks that
#  - a first backup reaches the remote whole (the served folder holds every
#    file, byte for byte) before tandrel-cli says so;
#  - an unchanged repeat copies nothing; a changed file is copied and its old
#    copy kept in the versions folder, on the remote;
#  - with the server killed in the middle of a backup, the files the remote
#    never got fail, tandrel-cli exits 1 within a minute and a half, and no
#    file counted as copied is missing on the remote.
#
# It needs rclone and FUSE; without them it says why and ends with 77, which
# CTest reports as skipped.
set -uo pipefail

cli=${1:?usage: fs_rclone.sh TANDREL-CLI}
SKIP=77
skip() { echo "SKIPPED (rclone): $*"; exit $SKIP; }

[ -x "$cli" ] || { echo "no tandrel-cli at $cli" >&2; exit 2; }
command -v rclone > /dev/null || skip "rclone is not installed (make deps installs it)"
command -v fusermount3 > /dev/null || command -v fusermount > /dev/null || skip "fusermount is not installed"
[ -c /dev/fuse ] || skip "there is no /dev/fuse"
grep -qw fuse /proc/filesystems || skip "the kernel has no FUSE"

work=$(mktemp -d "${TMPDIR:-/tmp}/tandrel-rclone.XXXXXX")
export XDG_CONFIG_HOME="$work/config"
export RCLONE_CONFIG="$work/rclone.conf"
served=$work/served mnt=$work/mnt src=$work/src
mkdir -p "$served" "$mnt" "$src" "$work/cache"
server="" mounter=""
user=u$RANDOM pass=p$RANDOM$RANDOM

serve() {  # starts the SFTP server on $port
  rclone serve sftp "$served" --addr "127.0.0.1:$port" --user "$user" --pass "$pass" \
    >> "$work/serve.log" 2>&1 & server=$!
}
cleanup() {
  if mountpoint -q "$mnt"; then fusermount3 -u "$mnt" 2> /dev/null || fusermount -u "$mnt" 2> /dev/null || umount -l "$mnt"; fi
  [ -n "$mounter" ] && { kill "$mounter" 2> /dev/null; wait "$mounter" 2> /dev/null; }
  [ -n "$server" ] && { kill "$server" 2> /dev/null; wait "$server" 2> /dev/null; }
  [ -n "${KEEP:-}" ] && { echo "kept $work"; return; }
  mountpoint -q "$mnt" || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A free port: the server says at once when its address is taken.
for try in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 20000))
  serve
  sleep 1
  kill -0 "$server" 2> /dev/null && break
  server=""
done
[ -n "$server" ] || skip "rclone could not serve SFTP: $(tail -n 2 "$work/serve.log")"
rclone config create loop sftp host 127.0.0.1 port "$port" user "$user" pass "$(rclone obscure "$pass")" \
  > /dev/null 2>> "$work/mount.log"
# The options the README recommends.
rclone mount loop: "$mnt" --vfs-cache-mode writes --cache-dir "$work/cache" >> "$work/mount.log" 2>&1 & mounter=$!
for i in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
mountpoint -q "$mnt" || skip "rclone could not mount: $(tail -n 3 "$work/mount.log")"

backup_timeout=150
# shellcheck source=checks.sh
. "$(dirname "$0")/checks.sh"
# The files of the source missing or different on the remote.
not_on_remote() {  # SOURCE-FOLDER REMOTE-FOLDER
  (cd "$1" && find . -type f) | while read -r f; do
    cmp -s "$1/$f" "$2/$f" || echo "$f"
  done
}

mkdir -p "$src/tree/sub"
for i in $(seq 1 40); do head -c $((100 + i * 97)) /dev/urandom > "$src/tree/f$i.bin"; done
echo "Grüße" > "$src/tree/sub/é.txt"
# Written long enough ago that the copies get the sources' times (a source
# changed within the time grain of the copy is copied again next time).
find "$src/tree" -type f -exec touch -d '1 hour ago' {} +

backup first --dest "$mnt/b" "$src/tree"
check "a first backup exits 0" "$([ "$status" -eq 0 ] || cat "$work/first.err")"
check "a first backup is on the remote when it ends" "$(not_on_remote "$src/tree" "$served/b/tree")"

backup repeat --dest "$mnt/b" --overwrite "$src/tree"
check "an unchanged repeat copies nothing" "$(grep -q 'Files: 0 copied, 41 up to date, 0 failed' "$work/repeat.out" || cat "$work/repeat.out" "$work/repeat.err")"

echo changed >> "$src/tree/f1.bin"
touch -d '30 minutes ago' "$src/tree/f1.bin"
cp "$served/b/tree/f1.bin" "$work/f1.before"
backup changed --dest "$mnt/b" --overwrite "$src/tree"
check "a changed file is copied" "$(grep -q 'Files: 1 copied, 40 up to date, 0 failed' "$work/changed.out" || cat "$work/changed.out" "$work/changed.err")"
check "the changed file is on the remote" "$(cmp "$src/tree/f1.bin" "$served/b/tree/f1.bin" 2>&1)"
kept=$(find "$served/b/Tandrel Versions" -name f1.bin 2> /dev/null | head -n 1)
check "the replaced copy is kept on the remote" "$([ -n "$kept" ] && cmp "$work/f1.before" "$kept" 2>&1 || echo 'no kept copy of f1.bin')"

# The server killed a second into a backup of larger files: the mount takes
# every close and would upload later.
mkdir -p "$src/big"
for i in 1 2 3 4 5 6; do head -c 8M /dev/urandom > "$src/big/b$i"; done
start=$(date +%s)
timeout 150 "$cli" --on-error continue --dest "$mnt/k" "$src/big" > "$work/killed.out" 2> "$work/killed.err" &
runner=$!
sleep 1
kill "$server"; wait "$server" 2> /dev/null; server=""
wait "$runner"; status=$?
took=$(($(date +%s) - start))
copied=$(sed -n 's/^Files: \([0-9]*\) copied.*/\1/p' "$work/killed.out")
whole=$( (cd "$src/big" && for f in *; do cmp -s "$f" "$served/k/big/$f" && echo "$f"; done) | wc -l)
check "a backup whose remote stopped answering exits 1" \
  "$([ "$status" -eq 1 ] || echo "status $status: $(tail -n 5 "$work/killed.err")")"
check "it ends within a minute and a half" "$([ "$took" -le 90 ] || echo "it took $took s")"
check "no file counted as copied is missing on the remote" \
  "$([ -n "$copied" ] && [ "$copied" -le "$whole" ] || echo "copied: '$copied', whole on the remote: $whole")"
check "the message says the upload failed" "$(grep -q 'Could not upload' "$work/killed.err" || tail -n 5 "$work/killed.err")"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed (rclone)"; exit 1; }
echo "all checks passed (rclone)"
