#!/usr/bin/env bash
# Times a first backup of 5,000 small files (0.5-8 KB, 10 folders of 500)
# with tandrel-cli against `cp -a && sync`, in the same run, onto each file
# system of the test matrix, mounted from an image of 4 GiB made for it: ext4, xfs
# (reflink=1), btrfs on a loop device; exFAT, FAT32 and NTFS through their
# FUSE drivers. Prints the medians and the ratios and, with --write, puts them
# into docs/performance.md (between its "fs_rows.sh" markers).
#
#   sudo bench/fs_rows.sh [--write] [--runs N] [--cli PATH] [--fs "ext4 xfs ..."]
#
# Fairness as in compare.sh: a `sync` before every timed run (outside the
# timing); tandrel-cli flushes the destination itself, cp is timed as
# `cp -a && sync`; the two take turns, the order rotating, after one untimed
# warm-up round; every copy goes to a fresh folder on the mounted volume.
# Where today's engine places no file without Overwrite (it fails them all),
# the row says so and times the backup with --overwrite instead.
# fusefat is slow with 500 files in a folder: one copy of the tree there takes
# minutes, so FAT32 gets a single timed round (its row says so); leave it out
# with --fs for a quick look. bench/compare.sh runs this script too (as root,
# without fat32 unless its --fs names it).
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cli="$here/build/cli/tandrel-cli"
runs=5
write=0
systems="ext4 xfs btrfs exfat fat32 ntfs"
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --fs) systems=$2; shift 2 ;;
    --write) write=1; shift ;;
    -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" -eq 0 ] || { echo "fs_rows.sh mounts file systems: run it as root" >&2; exit 2; }
[ -x "$cli" ] || { echo "no tandrel-cli at $cli (build it, or give --cli)" >&2; exit 2; }
[ "$runs" -ge 1 ] 2>/dev/null || { echo "--runs needs a number" >&2; exit 2; }

priority="normal"
if renice -n -10 -p $$ > /dev/null 2>&1; then priority="nice -10"; fi
work=$(mktemp -d "${TMPDIR:-/var/tmp}/tandrel-fsbench.XXXXXX")
mnt=$work/mnt img=$work/volume.img log=$work/driver.log
mkdir -p "$mnt"

# shellcheck source=../tests/engine/linux/fs_volumes.sh
. "$(dirname "$0")/../tests/engine/linux/fs_volumes.sh"
. "$here/bench/docsection.sh"
unmount() {  # the volume of one file system, gone with its image
  volume_unmount
  volume_detach
  rm -f "$img"
}
cleanup() {
  unmount
  mountpoint -q "$mnt" || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# 4 GiB: eight copies of the tree must fit, and exFAT gives every small file
# a cluster of 32 KiB at this size (160 MiB a copy).
mount_fs() {  # FS: makes a 4 GiB image of FS and mounts it on $mnt
  volume_make "$1" 4G && volume_attach "$1" && volume_mount "$1" && return 0
  unmount
  return 1
}

# The source: on the disk of $work, ASCII names (fusefat takes no others).
src=$work/Small
mkdir -p "$src"
perl -e '
  my ($root) = @ARGV; srand(5000);
  open(my $r, "<", "/dev/urandom") or die; read($r, my $blob, 1 << 16); close $r;
  for my $i (0 .. 9) { my $dir = sprintf("%s/d%02d", $root, $i); mkdir $dir or die;
    for my $k (0 .. 499) {
      my $size = 512 + int(rand(7681));
      open(my $f, ">", sprintf("%s/f%03d.dat", $dir, $k)) or die;
      print $f substr($blob, int(rand(length($blob) - $size)), $size); close $f or die; } }' "$src"
want_files=5000
want_bytes=$(find "$src" -type f -printf '%s\n' | awk '{ n += $1 } END { print n }')

elapsed_us=0
time_once() {  # tool output-folder [cli-options]: times one copy into a fresh folder
  local tool=$1 out=$2 start; shift 2
  mkdir -p "$out"
  sync
  start=${EPOCHREALTIME/[.,]/}
  case $tool in
    tandrel) "$cli" "$@" --on-error continue --dest "$out" "$src" > "$work/stdout" 2> "$work/stderr" ;;
    cp) { cp -a "$src" "$out/" 2> "$work/stderr"; sync; } ;;
  esac
  elapsed_us=$(( ${EPOCHREALTIME/[.,]/} - start ))
}
complete() {  # output-folder: the whole tree arrived
  local files bytes
  files=$(find "$1/Small" -type f 2> /dev/null | wc -l)
  bytes=$(find "$1/Small" -type f -printf '%s\n' 2> /dev/null | awk '{ n += $1 } END { print n + 0 }')
  [ "$files" -eq $want_files ] && [ "$bytes" -eq "$want_bytes" ]
}

rows=()
for fs in $systems; do
  echo "$fs: making and mounting a 4 GiB volume ..."
  if ! mount_fs "$fs"; then
    echo "$fs: skipped, could not make or mount it: $(tail -n 2 "$log")"
    rows+=("| $fs | could not be mounted here | | | | |")
    continue
  fi
  kind=$(findmnt -n -o FSTYPE "$mnt")
  options=() note=""
  n=0
  time_once tandrel "$mnt/warm-tandrel"
  if ! complete "$mnt/warm-tandrel"; then
    note="without Overwrite no file is placed today ($(grep -m1 -o ': [^:]*$' "$work/stderr" | cut -c3-)); timed with --overwrite"
    options=(--overwrite)
    time_once tandrel "$mnt/warm-tandrel2" "${options[@]}"
    if ! complete "$mnt/warm-tandrel2"; then
      echo "$fs: tandrel-cli does not copy the tree: $(head -n 2 "$work/stderr")"
      rows+=("| $fs ($kind) | tandrel-cli fails: $(head -n 1 "$work/stderr" | cut -c1-80) | | | | |")
      unmount; continue
    fi
  fi
  time_once cp "$mnt/warm-cp"
  complete "$mnt/warm-cp" || { echo "$fs: cp -a does not copy the tree: $(head -n 2 "$work/stderr")"; unmount; continue; }
  # What cp -a could not keep there (owners, modes) it says without failing the copy.
  cp_note=$(grep -m1 -o 'failed to preserve [a-z]*\|preserving permissions' "$work/stderr" || true)
  ours="" theirs=""
  fs_runs=$runs
  if [ "$fs" = fat32 ] && [ "$runs" -gt 1 ]; then
    fs_runs=1
    note="${note:+$note; }one round (fusefat takes minutes per copy)"
  fi
  for ((r = 0; r < fs_runs; r++)); do
    for tool in $( ((r % 2)) && echo "cp tandrel" || echo "tandrel cp"); do
      n=$((n + 1))
      time_once "$tool" "$mnt/$tool-$n" "${options[@]}"
      if ! complete "$mnt/$tool-$n"; then
        echo "$fs: $tool left the copy incomplete in round $((r + 1))"
        note="${note:+$note; }$tool left the copy incomplete in round $((r + 1)): its time is not a copy's"
      fi
      if [ "$tool" = tandrel ]; then ours+="$elapsed_us "; else theirs+="$elapsed_us "; fi
    done
    echo "$fs: round $((r + 1)) of $fs_runs done"
  done
  m=$(median "$ours") p=$(median "$theirs")
  ratio=$(awk -v a="$m" -v b="$p" 'BEGIN { printf "%.2f", a / b }')
  [ -n "$cp_note" ] && note="${note:+$note; }cp -a: \"$cp_note\""
  rows+=("| $fs ($kind) | $m | $(range "$ours") | $p | $(range "$theirs") | $ratio | $note |")
  unmount
done

table() {
  echo "| file system | tandrel-cli median s | lowest-highest s | \`cp -a && sync\` median s | lowest-highest s | tandrel-cli / cp | notes |"
  echo "|---|---:|---:|---:|---:|---:|---|"
  printf '%s\n' "${rows[@]}"
}
echo; table

[ $write = 1 ] || exit 0
doc="$here/docs/performance.md"
[ -f "$doc" ] || printf '# Performance\n\n' > "$doc"
section=$(cat <<EOF
Measured with \`bench/fs_rows.sh --write\` on $(date -u +%Y-%m-%d), median of $runs rounds after one
warm-up round: a first backup of 5,000 files of 0.5-8 KB ($(awk -v b="$want_bytes" 'BEGIN { printf "%.1f", b / 1048576 }') MiB in 10 folders) from
$(df --output=source,fstype "$work" | tail -1 | awk '{ print $2 }') onto a 4 GiB volume made for the run, against
\`cp -a && sync\`, each copy into a fresh folder, the two taking turns. CPU: $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo),
$(nproc) cores; kernel $(uname -r); priority $priority; tandrel-cli $("$cli" --version 2>/dev/null | head -1).
Drivers: $(dpkg-query -W -f='${Package} ${Version}, ' exfat-fuse fusefat ntfs-3g 2>/dev/null | sed 's/, $//').

$(table)
EOF
)
replace_section "$doc" "fs_rows.sh: table" "$section" "## A first backup onto each file system of the test matrix"
echo "wrote $doc"
