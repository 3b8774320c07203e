#!/usr/bin/env bash
# Backups onto rclone mounts: rclone serves a local folder over SFTP on
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
#  - a name the remote refuses (':' in a folder of the served side that lies
#    on FAT, through fusefat) fails its file at the upload, with the remote's
#    reason and the path, and the rest are copied;
#  - with the server killed in the middle of a backup, the files the remote
#    never got fail, tandrel-cli exits 1 within a minute and a half, and no
#    file counted as copied is missing on the remote;
#  - onto a remote that keeps no modification times (WebDAV of vendor
#    "other": a file has the time of its upload), a repeat copies nothing,
#    a file changed since its copy (at the same size) is copied again, and
#    the summary says once how such a remote is compared.
#
# It needs rclone and FUSE; without them it says why and ends with 77, which
# CTest reports as skipped. The refused name needs root, mkfs.vfat and
# fusefat, and is left out without them.
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
dav=$work/dav davmnt=$work/davmnt fat=$served/fat
mkdir -p "$served" "$mnt" "$src" "$dav" "$davmnt"
server="" dav_server="" mounters="" fat_driver=""
user=u$RANDOM pass=p$RANDOM$RANDOM

unmount() {  # MOUNT-POINT
  mountpoint -q "$1" || return 0
  fusermount3 -u "$1" 2> /dev/null || fusermount -u "$1" 2> /dev/null || umount -l "$1"
}
stop() {  # PID...
  local pid
  for pid in "$@"; do kill "$pid" 2> /dev/null && wait "$pid" 2> /dev/null; done
}
cleanup() {
  unmount "$mnt"
  unmount "$davmnt"
  # shellcheck disable=SC2086
  stop $mounters
  unmount "$fat"
  # shellcheck disable=SC2086
  stop $fat_driver $server $dav_server
  [ -n "${KEEP:-}" ] && { echo "kept $work"; return; }
  # Never delete through a volume that is still mounted.
  mountpoint -q "$mnt" || mountpoint -q "$davmnt" || mountpoint -q "$fat" || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

serve() {  # PROTOCOL FOLDER: rclone serves FOLDER on a free port, left in $port; the pid in $started
  local _
  for _ in 1 2 3 4 5; do
    # The server says at once when its address is taken.
    port=$((20000 + RANDOM % 20000))
    rclone serve "$1" "$2" --addr "127.0.0.1:$port" --user "$user" --pass "$pass" \
      >> "$work/serve-$1.log" 2>&1 & started=$!
    sleep 1
    kill -0 "$started" 2> /dev/null && return 0
  done
  started=""
  return 1
}
mount_remote() {  # REMOTE MOUNT-POINT CACHE: with the options the README recommends
  # The mount's errors go to a file, where tandrel-cli reads why an upload failed.
  rclone mount "$1" "$2" --vfs-cache-mode writes --cache-dir "$3" >> "$work/mount.log" 2>&1 & mounters="$mounters $!"
  for i in $(seq 100); do mountpoint -q "$2" && return 0; sleep 0.1; done
  return 1
}

serve sftp "$served" || skip "rclone could not serve SFTP: $(tail -n 2 "$work/serve-sftp.log")"
server=$started
rclone config create loop sftp host 127.0.0.1 port "$port" user "$user" pass "$(rclone obscure "$pass")" \
  > /dev/null 2>> "$work/mount.log"
mount_remote loop: "$mnt" "$work/cache" || skip "rclone could not mount: $(tail -n 3 "$work/mount.log")"

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

# A name the remote refuses: the served folder's "fat" lies on FAT, which
# takes no ':'. The mount takes the name and its upload fails.
if [ "$(id -u)" -ne 0 ] || ! command -v mkfs.vfat > /dev/null || ! command -v fusefat > /dev/null; then
  echo "left out: a name the remote refuses (it needs root, mkfs.vfat and fusefat)"
else
  truncate -s 32M "$work/fat.img" && mkfs.vfat -F 32 "$work/fat.img" > "$work/fat.log" 2>&1
  mkdir -p "$fat"
  fusefat -f -o rw+ "$work/fat.img" "$fat" >> "$work/fat.log" 2>&1 & fat_driver=$!
  for i in $(seq 50); do mountpoint -q "$fat" && break; sleep 0.1; done
  mkdir -p "$src/names"
  echo one > "$src/names/one.txt"
  echo two > "$src/names/two.txt"
  echo colon > "$src/names/colon:name.txt"
  backup refused --dest "$mnt/fat/n" "$src/names"
  check "a backup with a name the remote refuses exits 1" \
    "$([ "$status" -eq 1 ] || echo "status $status: $(tail -n 5 "$work/refused.err")")"
  check "it fails that file alone" "$(grep -q 'Files: 2 copied, 0 up to date, 1 failed' "$work/refused.out" || cat "$work/refused.out")"
  check "the failure names the file and the remote's reason" \
    "$(grep -F "'$mnt/fat/n/names/colon:name.txt' to the remote: " "$work/refused.err" | grep -qi 'not permitted' ||
      cat "$work/refused.err")"
  check "the other files are on the remote" \
    "$(for f in one.txt two.txt; do cmp "$src/names/$f" "$fat/n/names/$f" 2>&1; done)"
fi

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

# A remote that keeps no modification times: rclone's WebDAV client for a
# server of vendor "other" can't set them, and the mount shows for each file
# the time of its upload.
if ! serve webdav "$dav"; then
  check "rclone serves WebDAV" "$(tail -n 2 "$work/serve-webdav.log")"
else
  dav_server=$started
  rclone config create dav webdav url "http://127.0.0.1:$port/" vendor other user "$user" \
    pass "$(rclone obscure "$pass")" > /dev/null 2>> "$work/mount.log"
  mount_remote dav: "$davmnt" "$work/davcache" || check "rclone mounts WebDAV" "$(tail -n 3 "$work/mount.log")"
  mkdir -p "$src/untimed"
  for i in $(seq 1 10); do head -c $((200 + i * 311)) /dev/urandom > "$src/untimed/u$i.bin"; done
  find "$src/untimed" -type f -exec touch -d '1 hour ago' {} +
  backup untimed --dest "$davmnt/u" "$src/untimed"
  check "a first backup onto a remote without times is there" \
    "$([ "$status" -eq 0 ] || cat "$work/untimed.err")$(not_on_remote "$src/untimed" "$dav/u/untimed")"
  check "the summary says once that the remote keeps no times" \
    "$([ "$(grep -c "The destination '$davmnt/u' keeps no modification times" "$work/untimed.out")" -eq 1 ] ||
      cat "$work/untimed.out")"
  backup untimed-repeat --dest "$davmnt/u" --overwrite "$src/untimed"
  check "an unchanged repeat onto it copies nothing" \
    "$(grep -q 'Files: 0 copied, 10 up to date, 0 failed' "$work/untimed-repeat.out" || cat "$work/untimed-repeat.out")"
  size=$(stat -c %s "$src/untimed/u3.bin")
  head -c "$size" /dev/urandom > "$src/untimed/u3.bin"
  backup untimed-changed --dest "$davmnt/u" --overwrite "$src/untimed"
  check "a file changed since its copy, at the same size, is copied again" \
    "$(grep -q 'Files: 1 copied, 9 up to date, 0 failed' "$work/untimed-changed.out" || cat "$work/untimed-changed.out")$(
      cmp "$src/untimed/u3.bin" "$dav/u/untimed/u3.bin" 2>&1)"
  # Changed again after its copy read it and before the upload (5 s after
  # the close): the upload's time is later than the change, yet the copy is
  # not of the file as it is. The next backup must bring it up to date.
  size=$(stat -c %s "$src/untimed/u5.bin")
  head -c "$size" /dev/urandom > "$src/untimed/u5.bin"
  timeout 120 "$cli" --on-error continue --dest "$davmnt/u" --overwrite "$src/untimed" > "$work/raced.out" 2>&1 &
  runner=$!
  sleep 1.5
  head -c "$size" /dev/urandom > "$src/untimed/u5.bin"
  wait "$runner"
  backup raced-next --dest "$davmnt/u" --overwrite "$src/untimed"
  check "a file changed while its copy waited for the upload is brought up to date next time" \
    "$(cmp -s "$src/untimed/u5.bin" "$dav/u/untimed/u5.bin" ||
      { echo "the remote holds another u5.bin"; cat "$work/raced.out" "$work/raced-next.out"; })"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed (rclone)"; exit 1; }
echo "all checks passed (rclone)"
