#!/usr/bin/env bash
# What the destination's index of sources costs a backup, timed with
# tandrel-cli on 1,000,000 empty files (1,000 folders of 1,000) in a tmpfs:
#   first      a first backup: seconds and peak memory (/usr/bin/time -v)
#   repeat     a repeat with nothing changed (--overwrite); the target is at
#              most 1.05 times as long as the tandrel-cli of --before
#   changed    a repeat with one file changed, which rewrites the index
# beside the same runs of an earlier tandrel-cli (--before, one built
# without the index), each into a destination of its own. The two take turns
# in each round; the medians of N rounds and their ratios are printed, with
# the size of the index. Without --dir, as root, the files go into a tmpfs
# of their own (three trees of a million files need more inodes than
# /dev/shm has); else into DIR (default $TMPDIR or /tmp).
#
#   bench/restore_index.sh --before PATH [--cli PATH] [--dir DIR] [--runs N] [--files N]
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cli=$here/build/cli/tandrel-cli
before=""
dir=""
runs=5
files=1000000
while [ $# -gt 0 ]; do
    case $1 in
    --cli) cli=$2; shift 2 ;;
    --before) before=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    -h | --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done
[ -n "$before" ] || { echo "--before PATH is needed: the tandrel-cli to compare with" >&2; exit 2; }
mounted=""
if [ -z "$dir" ] && [ "$(id -u)" = 0 ]; then
    mounted=$(mktemp -d)
    mount -t tmpfs -o size=8g,nr_inodes=6000000,mode=0755 tandrel-index-bench "$mounted"
    dir=$mounted
fi
work=$(mktemp -d -p "${dir:-${TMPDIR:-/tmp}}" tandrel-index-bench.XXXXXX)
trap 'rm -rf "$work"; [ -z "$mounted" ] || { umount "$mounted" && rmdir "$mounted"; }' EXIT
export XDG_CONFIG_HOME=$work/config

echo "making $files empty files in $work ..." >&2
mkdir -p "$work/tree"
perl -e '
  my ($root, $count) = @ARGV; my $per = 1000; my $folders = int(($count + $per - 1) / $per);
  for my $i (0 .. $folders - 1) { my $dir = sprintf("%s/d%03d", $root, $i); mkdir $dir or die;
    for my $k (0 .. $per - 1) { last if $i * $per + $k >= $count;
      open(my $f, ">", "$dir/file-$k") or die; close $f; } }' "$work/tree" "$files"

declare -A program=([before]=$before [index]=$cli)
declare -A times
# run KIND NAME ARGS...: one timed run of KIND, its seconds appended to NAME's.
run() {
    local kind=$1 name=$2
    shift 2
    sync
    /usr/bin/time -v -o "$work/time" "${program[$kind]}" "$@" > "$work/out" 2>&1 ||
        { cat "$work/out" >&2; echo "$kind failed" >&2; exit 1; }
    local wall peak cpu
    wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$work/time" |
        awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
    peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
    cpu=$(awk -F': ' '/User time|System time/ { s += $2 } END { print s }' "$work/time")
    times[$kind,$name]+="$wall "
    times[$kind,$name,peak]+="$peak "
    times[$kind,$name,cpu]+="$cpu "
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

for kind in before index; do
    echo "first backup, $kind ..." >&2
    run $kind first "$work/tree" --dest "$work/dest-$kind" --on-error stop
done
for ((round = 0; round <= runs; round++)); do
    echo "round $round of $runs ..." >&2
    for kind in before index; do
        [ $round = 0 ] && { "${program[$kind]}" "$work/tree" --dest "$work/dest-$kind" --on-error stop --overwrite > /dev/null; continue; }
        run $kind repeat "$work/tree" --dest "$work/dest-$kind" --on-error stop --overwrite
    done
done
for ((round = 1; round <= runs; round++)); do
    touch -d "@$((1700000000 + round))" "$work/tree/d000/file-0"
    for kind in before index; do
        run $kind changed "$work/tree" --dest "$work/dest-$kind" --on-error stop --overwrite
    done
done

# Wall-clock seconds, and the CPU seconds (user + system) beside them: on
# a machine that others share, the CPU time tells the cost more steadily.
printf '\n%-8s %10s %10s %6s %10s %10s %6s %11s %11s\n' "row" "before s" "index s" "ratio" "before cpu" \
    "index cpu" "ratio" "before MiB" "index MiB"
for name in first repeat changed; do
    b=$(echo "${times[before,$name]}" | median)
    i=$(echo "${times[index,$name]}" | median)
    bc=$(echo "${times[before,$name,cpu]}" | median)
    ic=$(echo "${times[index,$name,cpu]}" | median)
    bp=$(echo "${times[before,$name,peak]}" | median)
    ip=$(echo "${times[index,$name,peak]}" | median)
    awk -v n="$name" -v b="$b" -v i="$i" -v bc="$bc" -v ic="$ic" -v bp="$bp" -v ip="$ip" 'BEGIN {
        printf "%-8s %10.3f %10.3f %6.3f %10.3f %10.3f %6.3f %11.1f %11.1f\n",
            n, b, i, i / b, bc, ic, ic / bc, bp / 1024, ip / 1024 }'
done
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "index: $(stat -c %s "$work/dest-index/.tandrel-index") bytes for $files files"
b=$(echo "${times[before,repeat]}" | median)
i=$(echo "${times[index,repeat]}" | median)
awk -v b="$b" -v i="$i" 'BEGIN { printf "repeat with nothing changed: %.3f of before (target <= 1.05): %s\n", i / b, (i / b <= 1.05) ? "met" : "MISSED" }'
