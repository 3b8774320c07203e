#!/usr/bin/env bash
# Times backups onto an rclone mount of a remote on 127.0.0.1: rclone serves
# a local folder over SFTP (throw-away credentials), a second rclone mounts
# it with the options the README recommends, and on that mount
#   a first backup of 2,000 files of 1-100 KB (10 folders of 200)
#       tandrel-cli  vs  `cp -a` followed by the wait for the mount's uploads
#   the unchanged repeat (tandrel-cli --overwrite)  vs  that first backup.
# Prints the medians and the ratios and, with --write, puts them into
# docs/performance.md (between its "rclone_rows.sh" markers).
#
#   bench/rclone_rows.sh [--write] [--runs N] [--cli PATH]
#
# Fairness: a close on the mount returns before the upload, which starts 5 s
# later (rclone's --vfs-write-back) and runs four at a time. tandrel-cli
# counts a copy only once it is uploaded, so cp is timed until the mount
# says it has nothing left to upload: its remote-control interface
# (`vfs/stats`, polled every 0.1 s; the mount runs with --rc for that alone)
# shows no upload in progress or queued. `sync` waits for no upload. A `sync`
# and the mount's idleness come before every timed run (outside the timing);
# the two take turns, the order rotating, after one untimed warm-up round;
# every first backup goes to a fresh folder; the repeat backs up again into
# tandrel-cli's warm-up copy. Each copy is checked whole on the served side.
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cli="$here/build/cli/tandrel-cli"
runs=5
write=0
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --write) write=1; shift ;;
    -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
[ -x "$cli" ] || { echo "no tandrel-cli at $cli (build it, or give --cli)" >&2; exit 2; }
[ "$runs" -ge 1 ] 2> /dev/null || { echo "--runs needs a number" >&2; exit 2; }
for tool in rclone curl perl mountpoint; do
  command -v "$tool" > /dev/null || { echo "$tool is not installed" >&2; exit 2; }
done
[ -c /dev/fuse ] || { echo "there is no /dev/fuse" >&2; exit 2; }

priority="normal"
if renice -n -10 -p $$ > /dev/null 2>&1; then priority="nice -10"; fi
work=$(mktemp -d "${TMPDIR:-/var/tmp}/tandrel-rclonebench.XXXXXX")
export XDG_CONFIG_HOME="$work/config" RCLONE_CONFIG="$work/rclone.conf"
served=$work/served mnt=$work/mnt src=$work/src
mkdir -p "$served" "$mnt" "$src"
server="" mounter=""
cleanup() {
  if mountpoint -q "$mnt"; then fusermount3 -u "$mnt" 2> /dev/null || fusermount -u "$mnt" 2> /dev/null || umount -l "$mnt"; fi
  [ -n "$mounter" ] && { kill "$mounter" 2> /dev/null; wait "$mounter" 2> /dev/null; }
  [ -n "$server" ] && { kill "$server" 2> /dev/null; wait "$server" 2> /dev/null; }
  mountpoint -q "$mnt" || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

user=u$RANDOM pass=p$RANDOM$RANDOM
for _ in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 20000))
  rclone serve sftp "$served" --addr "127.0.0.1:$port" --user "$user" --pass "$pass" >> "$work/serve.log" 2>&1 &
  server=$!
  sleep 1
  kill -0 "$server" 2> /dev/null && break
  server=""
done
[ -n "$server" ] || { echo "rclone could not serve SFTP: $(tail -n 2 "$work/serve.log")" >&2; exit 1; }
rclone config create loop sftp host 127.0.0.1 port "$port" user "$user" pass "$(rclone obscure "$pass")" > /dev/null
rc=$((port + 1))
rclone mount loop: "$mnt" --vfs-cache-mode writes --log-file "$work/mount.log" --cache-dir "$work/cache" \
  --rc --rc-addr "127.0.0.1:$rc" --rc-no-auth &
mounter=$!
for i in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
mountpoint -q "$mnt" || { echo "rclone could not mount: $(tail -n 3 "$work/mount.log")" >&2; exit 1; }

# The source, on the disk of $work.
perl -e '
  my ($root) = @ARGV; srand(2000);
  open(my $r, "<", "/dev/urandom") or die; read($r, my $blob, 1 << 17); close $r;
  for my $i (0 .. 9) { my $dir = sprintf("%s/Small/d%02d", $root, $i); mkdir "$root/Small"; mkdir $dir or die;
    for my $k (0 .. 199) {
      my $size = 1024 + int(rand(99 * 1024 + 1));
      open(my $f, ">", sprintf("%s/f%03d.dat", $dir, $k)) or die;
      print $f substr($blob, int(rand(length($blob) - $size)), $size); close $f or die; } }' "$src"
want_files=2000
want_bytes=$(find "$src" -type f -printf '%s\n' | awk '{ n += $1 } END { print n }')
# Written long before the copies, as a backup's sources usually are.
find "$src" -exec touch -d '1 hour ago' {} +

pending() {  # uploads the mount has in progress or queued
  curl -s -X POST "http://127.0.0.1:$rc/vfs/stats" |
    awk -F: '/uploadsInProgress|uploadsQueued/ { gsub(/[ ,]/, "", $2); n += $2 } END { print n + 0 }'
}
uploaded() {  # waits until the mount has nothing left to upload
  while [ "$(pending)" -ne 0 ]; do sleep 0.1; done
}
elapsed_us=0
time_once() {  # tool folder-below-the-mount [cli-options]
  local tool=$1 out=$mnt/$2 start; shift 2
  mkdir -p "$out"
  sync
  uploaded
  start=${EPOCHREALTIME/[.,]/}
  case $tool in
    tandrel) "$cli" "$@" --on-error continue --dest "$out" "$src/Small" > "$work/stdout" 2> "$work/stderr" ;;
    # cp -a fails each file's permissions there (EIO) and so exits 1: the
    # copy is checked whole on the served side instead.
    cp) cp -a "$src/Small" "$out/" 2> "$work/stderr"; uploaded ;;
  esac
  elapsed_us=$((${EPOCHREALTIME/[.,]/} - start))
}
complete() {  # folder-below-the-mount: the whole tree is on the remote
  local files bytes
  files=$(find "$served/$1/Small" -type f 2> /dev/null | wc -l)
  bytes=$(find "$served/$1/Small" -type f -printf '%s\n' 2> /dev/null | awk '{ n += $1 } END { print n + 0 }')
  [ "$files" -eq $want_files ] && [ "$bytes" -eq "$want_bytes" ]
}
. "$here/bench/docsection.sh"

notes=""
time_once tandrel warm-tandrel
echo "warm-up: tandrel-cli $((elapsed_us / 1000)) ms"
complete warm-tandrel || { echo "tandrel-cli does not copy the tree: $(head -n 3 "$work/stderr")" >&2; exit 1; }
time_once cp warm-cp
echo "warm-up: cp -a $((elapsed_us / 1000)) ms"
complete warm-cp || { echo "cp -a does not copy the tree: $(head -n 3 "$work/stderr")" >&2; exit 1; }
cp_note=$(grep -m1 -o 'failed to preserve [a-z]*\|preserving permissions' "$work/stderr" || true)
ours="" theirs="" again=""
for ((r = 0; r < runs; r++)); do
  for tool in $( ((r % 2)) && echo "cp tandrel" || echo "tandrel cp"); do
    time_once "$tool" "$tool-$r"
    complete "$tool-$r" || notes="${notes:+$notes; }$tool left the copy incomplete in round $((r + 1))"
    if [ "$tool" = tandrel ]; then ours+="$elapsed_us "; else theirs+="$elapsed_us "; fi
  done
  time_once tandrel warm-tandrel --overwrite
  grep -q "Files: 0 copied, $want_files up to date, 0 failed" "$work/stdout" ||
    notes="${notes:+$notes; }the repeat of round $((r + 1)) said: $(grep '^Files:' "$work/stdout")"
  again+="$elapsed_us "
  echo "round $((r + 1)) of $runs done"
done
first=$(median "$ours") peer=$(median "$theirs") repeat=$(median "$again")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r <= t) ? "met" : "MISSED" }'; }
first_ratio=$(ratio "$first" "$peer") repeat_ratio=$(ratio "$repeat" "$first")

table() {
  echo "| data set | tool | median s | lowest-highest s | ratio | target |"
  echo "|---|---|---:|---:|---:|---|"
  echo "| first backup of 2,000 files | tandrel-cli | $first | $(range "$ours") | | |"
  echo "| first backup of 2,000 files | cp -a, then the wait for its uploads | $peer | $(range "$theirs") | $first_ratio | <=1.0: $(verdict "$first_ratio" 1.0) |"
  echo "| unchanged repeat | tandrel-cli --overwrite | $repeat | $(range "$again") | $repeat_ratio of the first backup | <=0.2: $(verdict "$repeat_ratio" 0.2) |"
  [ -z "$notes" ] || echo; [ -z "$notes" ] || echo "Notes: $notes."
}
echo; table

[ $write = 1 ] || exit 0
doc="$here/docs/performance.md"
[ -f "$doc" ] || printf '# Performance\n\n' > "$doc"
section=$(cat <<EOF
Measured with \`bench/rclone_rows.sh --write\` on $(date -u +%Y-%m-%d), median of $runs rounds after one
warm-up round: 2,000 files of 1-100 KB ($(awk -v b="$want_bytes" 'BEGIN { printf "%.1f", b / 1048576 }') MiB in 10 folders) from
$(df --output=fstype "$work" | tail -1) onto \`rclone mount --vfs-cache-mode writes\` of an SFTP remote that
rclone serves on 127.0.0.1 from the same disk; $(rclone version 2> /dev/null | head -1). cp is timed until the
mount's \`vfs/stats\` shows no upload in progress or queued${cp_note:+ (cp -a said \"$cp_note\")}. CPU: $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo),
$(nproc) cores; kernel $(uname -r); priority $priority; $("$cli" --version 2> /dev/null | head -1).

$(table)
EOF
)
replace_section "$doc" "rclone_rows.sh: table" "$section" "## A backup onto an rclone mount"
echo "wrote $doc"
