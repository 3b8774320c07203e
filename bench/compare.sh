#!/usr/bin/env bash
# Times tandrel-cli against the usual tools, in one run, on trees made for it:
#   gathering        vs  find DIR -type f
#   copying          vs  cp -a, cp -r, rsync -a, and tandrel-cli of an earlier
#                        revision ("before", built from git); with --verify
#                        vs without
#   repeat backups   vs  rsync -a with nothing (or one file) to do
# on 20,000 small files (0.5-8 KB) in a three-level tree, on the disk and on
# a tmpfs of their own (where the disk and the flush drop out), with
# --jobs 1, 2 and 4 beside the default; 200 files of 1-10 MB and one 1 GiB
# file; then 1,000,000 empty files on a tmpfs (gathering, a first copy and a
# repeat, beside find, cp -a and rsync -a, and tandrel-cli's peak memory),
# and (as root) a first backup onto each file system of the test matrix
# (bench/fs_rows.sh).
# Prints the medians and the ratios and, with --write, puts them into
# docs/performance.md (between its "compare.sh" and "fs_rows.sh" markers; the
# rest of the file is left as it is).
#
#   bench/compare.sh [--write] [--runs N] [--cli PATH] [--window PATH] [--dir DIR]
#                    [--before REV | --no-before] [--fs-rows | --no-fs-rows]
#                    [--fs "ext4 xfs ..."] [--skip-big] [--skip-million]
#                    [--skip-window] [--skip-tmpfs] [--quick]
#
# --before REV  the earlier tandrel-cli to time beside this one (default
#               809f6f8): built once in a temporary git worktree under
#               build-bench-before/ (the build is kept there for next time)
# --fs-rows     run bench/fs_rows.sh after the rest (the default as root
#               without --quick); --fs picks its file systems (default
#               "ext4 xfs btrfs exfat ntfs": fat32 through fusefat takes
#               minutes per copy, so it runs only when named, one round)
# --quick       three rounds; the small files only (disk and tmpfs, copies
#               and repeats; the earlier build repeats on the tmpfs only) and
#               the window; no file-system rows unless --fs-rows
#
# After the small-file copies it runs bench_window (the same copy started from
# the window, against the engine alone, with the event loop's longest stall),
# on a virtual X display when xvfb-run is installed, else offscreen.
#
# How the timing is kept fair on a shared, noisy disk:
# - every timed run is preceded by `sync` outside the timing, so no run pays
#   for the dirty pages of the one before;
# - tandrel-cli flushes the destination's file system (syncfs) before it
#   reports success when it wrote anything, so each copying peer is timed as
#   `PEER && sync`; a repeat that writes nothing has nothing to flush and
#   tandrel-cli is timed as it runs there too, rsync still as `rsync && sync`;
# - the script and every tool run at a raised priority (nice -10, as root),
#   so that other work on a shared machine disturbs them less;
# - the tools take turns within each round (the order rotates), after one
#   untimed warm-up round; the medians of N rounds are compared;
# - the small-file copies on the disk go to fresh folders that are removed
#   only at the end: deleting 20,000 files right before a run makes the next
#   file creations slow on ext4 (recently freed inodes are skipped for a
#   while), and that would time the deletion rather than the tool;
# - each repeat backup goes into a destination of its own tool's making,
#   which holds the full copy before the first timed run.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/bench/docsection.sh"
cli=""
runs=7
write=0
skip_big=0
skip_million=0
skip_window=0
skip_tmpfs=0
quick=0
window=""
before_rev=809f6f8
fs_rows=auto
fs_list="ext4 xfs btrfs exfat ntfs"
base=${TMPDIR:-/var/tmp}
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli=$2; shift 2 ;;
    --window) window=$2; shift 2 ;;
    --skip-window) skip_window=1; shift ;;
    --runs) runs=$2; shift 2 ;;
    --dir) base=$2; shift 2 ;;
    --write) write=1; shift ;;
    --skip-big) skip_big=1; shift ;;
    --skip-million) skip_million=1; shift ;;
    --skip-tmpfs) skip_tmpfs=1; shift ;;
    --before) before_rev=$2; shift 2 ;;
    --no-before) before_rev=""; shift ;;
    --fs-rows) fs_rows=1; shift ;;
    --no-fs-rows) fs_rows=0; shift ;;
    --fs) fs_list=$2; shift 2 ;;
    --quick) quick=1; skip_big=1; skip_million=1; runs=3; shift ;;
    -h|--help) sed -n '2,55p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
[ "$runs" -ge 1 ] 2>/dev/null || { echo "--runs needs a number" >&2; exit 2; }
for tool in perl find cp sync awk; do
  command -v "$tool" >/dev/null || { echo "compare.sh needs $tool" >&2; exit 2; }
done
have_rsync=1; command -v rsync >/dev/null || have_rsync=0
have_time=1; [ -x /usr/bin/time ] || have_time=0
is_root=0; [ "$(id -u)" -eq 0 ] && is_root=1
if [ "$fs_rows" = auto ]; then
  fs_rows=0
  [ $quick = 0 ] && [ $is_root = 1 ] && fs_rows=1
fi
launcher=()
command -v ccache > /dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

# --- the program under test: the build users get (RelWithDebInfo) -----------
build_type="given with --cli"
if [ -z "$cli" ]; then
  build_type=RelWithDebInfo
  echo "building tandrel-cli and bench_window in build-bench ..."
  ui=ON
  [ $skip_window = 1 ] && ui=OFF
  if ! cmake -S "$here" -B "$here/build-bench" -DCMAKE_BUILD_TYPE=$build_type -DTANDREL_BUILD_UI=$ui \
      -DTANDREL_BUILD_TESTS=OFF -DTANDREL_BUILD_BENCH=$ui "${launcher[@]}" > /dev/null 2>&1; then
    echo "the window does not build here (no Qt 6?): window benchmark skipped"
    ui=OFF
    cmake -S "$here" -B "$here/build-bench" -DCMAKE_BUILD_TYPE=$build_type -DTANDREL_BUILD_UI=OFF \
      -DTANDREL_BUILD_TESTS=OFF -DTANDREL_BUILD_BENCH=OFF "${launcher[@]}" > /dev/null
  fi
  cmake --build "$here/build-bench" --target tandrel-cli -j"$(nproc)" > /dev/null
  cli="$here/build-bench/cli/tandrel-cli"
  if [ $ui = ON ] && [ -z "$window" ]; then
    cmake --build "$here/build-bench" --target bench_window -j"$(nproc)" > /dev/null
    window="$here/build-bench/bench/bench_window"
  fi
fi
[ -x "$cli" ] || { echo "no tandrel-cli at $cli" >&2; exit 2; }
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
# Beside a given tandrel-cli, the bench_window of the same build.
[ -z "$window" ] && [ -x "$(dirname "$cli")/../bench/bench_window" ] && window="$(dirname "$cli")/../bench/bench_window"
[ $skip_window = 1 ] && window=""

# --- the earlier tandrel-cli, built from git ----------------------------------
# Built once per revision in build-bench-before/<commit>; the source is a
# detached worktree that lives only as long as the build.
before=""
before_name=""
before_tree="$here/build-bench-before/src"
drop_before_tree() {
  if [ -d "$before_tree" ]; then
    git -C "$here" worktree remove --force "$before_tree" > /dev/null 2>&1 || rm -rf "$before_tree"
  fi
  git -C "$here" worktree prune > /dev/null 2>&1 || true
}
if [ -n "$before_rev" ]; then
  if ! sha=$(git -C "$here" rev-parse --verify -q "$before_rev^{commit}"); then
    echo "--before: no revision $before_rev in this repository: the earlier tandrel-cli is left out"
  else
    before_build="$here/build-bench-before/$sha"
    before="$before_build/cli/tandrel-cli"
    before_name="$(git -C "$here" rev-parse --short "$sha")"
    if [ ! -x "$before" ]; then
      echo "building tandrel-cli of $before_name in build-bench-before ..."
      trap drop_before_tree EXIT
      drop_before_tree
      mkdir -p "$here/build-bench-before"
      git -C "$here" worktree add --detach "$before_tree" "$sha" > /dev/null
      cmake -S "$before_tree" -B "$before_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTANDREL_BUILD_UI=OFF \
        -DTANDREL_BUILD_TESTS=OFF -DTANDREL_BUILD_BENCH=OFF "${launcher[@]}" > /dev/null
      cmake --build "$before_build" --target tandrel-cli -j"$(nproc)" > /dev/null
      drop_before_tree
      trap - EXIT
    fi
    [ -x "$before" ] || { echo "tandrel-cli of $before_name did not build" >&2; exit 1; }
    before_date=$(git -C "$here" log -1 --format=%cs "$sha")
  fi
fi

started=${EPOCHREALTIME%[.,]*}
# Other work on a shared machine disturbs the timings less when every tool
# runs at a higher priority (the same for all; needs root).
priority="normal"
if renice -n -10 -p $$ > /dev/null 2>&1; then priority="nice -10"; fi
work=$(mktemp -d "$base/tandrel-bench.XXXXXX")
tmpfs="$work/tmpfs"
cleanup() {
  if mountpoint -q "$tmpfs" 2> /dev/null; then
    umount "$tmpfs" 2> /dev/null || { sleep 1; umount "$tmpfs"; } || true
  fi
  mountpoint -q "$tmpfs" 2> /dev/null || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
load_start=$(cut -d' ' -f1-3 /proc/loadavg)

# --- trees --------------------------------------------------------------------
# perl (part of every Debian system) writes them far faster than a shell loop.
make_small_tree() {  # 20 x 20 folders of 50 files each, 512-8192 bytes
  perl -e '
    my ($root) = @ARGV; srand(20000);
    open(my $r, "<", "/dev/urandom") or die; read($r, my $blob, 1 << 16); close $r;
    for my $i (0 .. 19) { mkdir sprintf("%s/d%02d", $root, $i) or die;
      for my $j (0 .. 19) { my $dir = sprintf("%s/d%02d/e%02d", $root, $i, $j); mkdir $dir or die;
        for my $k (0 .. 49) {
          my $size = 512 + int(rand(7681));
          open(my $f, ">", sprintf("%s/f%02d.dat", $dir, $k)) or die;
          print $f substr($blob, int(rand(length($blob) - $size)), $size); close $f or die; } } }' "$1"
}
make_medium_tree() {  # 200 files of 1-10 MiB
  perl -e '
    my ($root) = @ARGV; srand(200);
    open(my $r, "<", "/dev/urandom") or die; read($r, my $blob, 11 << 20); close $r;
    for my $i (0 .. 199) {
      my $size = (1 << 20) + int(rand(9 << 20));
      open(my $f, ">", sprintf("%s/m%03d.bin", $root, $i)) or die;
      print $f substr($blob, int(rand(1 << 20)), $size); close $f or die; }' "$1"
}
make_big_file() {  # 1 GiB
  perl -e '
    my ($file) = @ARGV;
    open(my $r, "<", "/dev/urandom") or die; read($r, my $blob, 1 << 24); close $r;
    open(my $f, ">", $file) or die;
    for my $i (0 .. 63) { print $f $blob; substr($blob, 0, 8) = pack("Q", $i); } close $f or die;' "$1/big.bin"
}
make_million_tree() {  # 1000 folders of 1000 empty files
  perl -e '
    my ($root) = @ARGV;
    for my $i (0 .. 999) { my $dir = sprintf("%s/d%03d", $root, $i); mkdir $dir or die;
      for my $k (0 .. 999) { open(my $f, ">", "$dir/file-$k") or die; close $f; } }' "$1"
}

# --- the tools ----------------------------------------------------------------
label() {
  case $1 in
    tandrel-gather|tandrel) echo "tandrel-cli" ;;
    tandrel-j*) echo "tandrel-cli --jobs ${1#tandrel-j}" ;;
    tandrel-repeat) echo "tandrel-cli --overwrite" ;;
    tandrel-changed) echo "tandrel-cli --overwrite, one file changed" ;;
    tandrel-verify) echo "tandrel-cli --verify" ;;
    before) echo "tandrel-cli before ($before_name)" ;;
    before-repeat) echo "tandrel-cli before ($before_name) --overwrite" ;;
    find) echo "find -type f" ;;
    cp) echo "cp -a" ;;
    cp-r) echo "cp -r" ;;
    rsync) echo "rsync -a" ;;
    rsync-backup) echo "rsync -a --backup --backup-dir" ;;
  esac
}
run_tool() {  # kind source output-folder
  case $1 in
    tandrel-gather) "$cli" "$2" ;;
    find) find "$2" -type f ;;
    tandrel) "$cli" "$2" --dest "$3" --on-error stop ;;
    tandrel-j*) "$cli" "$2" --dest "$3" --on-error stop --jobs "${1#tandrel-j}" ;;
    tandrel-repeat) "$cli" "$2" --dest "$3" --on-error stop --overwrite ;;
    tandrel-verify) "$cli" "$2" --dest "$3" --on-error stop --verify ;;
    before) "$before" "$2" --dest "$3" --on-error stop ;;
    before-repeat) "$before" "$2" --dest "$3" --on-error stop --overwrite ;;
    cp) cp -a "$2" "$3/" && sync ;;
    cp-r) cp -r "$2" "$3/" && sync ;;
    rsync) rsync -a "$2" "$3/" && sync ;;
    # Keeps what it replaces, as tandrel-cli --overwrite does: a folder per run.
    rsync-backup) rsync -a --backup --backup-dir="versions-${EPOCHREALTIME/[.,]/}" "$2" "$3/" && sync ;;
  esac
}

# Every tool must have done the whole job, or its time means nothing.
bytes() { find "$1" -type f -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }'; }
check_result() {  # kind source output-folder stdout-file
  local want got
  want=$(find "$2" -type f | wc -l)
  case $1 in
    tandrel-gather) got=$(sed -n 's/^Total Files: //p' "$4") ;;
    find) got=$(wc -l < "$4") ;;
    # What a backup keeps of the copies it replaced (tandrel-cli's versions
    # folder, rsync's --backup-dir), its record of hashes and its index of
    # sources are not part of the copy.
    *) got=$(find "$3" \( -path "$3/Tandrel Versions" -o -path "$3/versions-*" -o -path "$3/.tandrel-hashes" \
                 -o -path "$3/.tandrel-index" \) \
               -prune -o -type f -print | wc -l)
       [ "$(bytes "$2")" = "$(bytes "$3/$(basename "$2")")" ] ||
         { echo "$(label "$1") copied the wrong number of bytes" >&2; exit 1; } ;;
  esac
  [ "$got" = "$want" ] || { echo "$(label "$1") found or copied $got of $want files" >&2; exit 1; }
  check_summary "$1" "$want" "$4"
}
# tandrel-cli's last line: "Files: N copied, M up to date, K failed". Earlier
# builds do not print it; then there is nothing to check.
summary=""
check_summary() {  # kind files stdout-file
  summary=$(grep '^Files: ' "$3" | tail -n 1 || true)
  [ -n "$summary" ] || return 0
  local n
  n=$(awk '{ gsub(/,/, ""); print ($2 + $4 == '"$2"' && $8 == 0) ? "ok" : "bad" }' <<< "$summary")
  [ "$n" = ok ] || { echo "$(label "$1"): \"$summary\" for $2 files" >&2; exit 1; }
}

elapsed_us=0
time_once() {  # kind source output-folder
  local status=0 t0 t1
  sync
  t0=${EPOCHREALTIME/[.,]/}
  run_tool "$1" "$2" "$3" > "$work/stdout" 2> "$work/stderr" || status=$?
  t1=${EPOCHREALTIME/[.,]/}
  if [ $status -ne 0 ]; then
    echo "$(label "$1") failed with status $status:" >&2
    cat "$work/stderr" >&2
    exit 1
  fi
  elapsed_us=$((t1 - t0))
}

declare -A samples=()
declare -A summaries=()
out_count=0
repeat_base=""
out_base="$work/out"
# fresh_out none|keep|each|repeat KIND: where the next copy goes ($out).
# repeat: the same folder for every run of KIND, below $repeat_base; the
# first time, KIND fills it (untimed), so that every timed run repeats a
# backup this tool made.
fresh_out() {
  if [ "$1" = none ]; then out=$work; return; fi
  if [ "$1" = repeat ]; then
    out="$repeat_base/$2"
    if [ ! -d "$out" ]; then
      mkdir -p "$out"
      time_once "$2" "$src_of_set" "$out"
      check_result "$2" "$src_of_set" "$out" "$work/stdout"
    fi
    return
  fi
  if [ "$1" = each ] && [ -n "${out:-}" ]; then rm -rf "$out"; fi
  out_count=$((out_count + 1))
  out="$out_base/$out_count"
  mkdir -p "$out"
}

# Called before each round (the warm-up too) when set: what changes between
# the rounds of a set (one file of the source, say).
round_hook=""
# bench_set NAME SOURCE ROUNDS none|keep|each|repeat KIND...
bench_set() {
  local name=$1 src=$2 rounds=$3 policy=$4 k i r
  shift 4
  local kinds=("$@")
  local want set_start=${EPOCHREALTIME%[.,]*}
  want=$(find "$src" -type f | wc -l)
  src_of_set=$src
  out=""
  echo "$name: warm-up round ..."
  [ -n "$round_hook" ] && "$round_hook"
  for k in "${kinds[@]}"; do
    fresh_out "$policy" "$k"
    time_once "$k" "$src" "$out"
    check_result "$k" "$src" "$out" "$work/stdout"
  done
  for ((r = 0; r < rounds; r++)); do
    [ -n "$round_hook" ] && "$round_hook"
    for ((i = 0; i < ${#kinds[@]}; i++)); do
      k=${kinds[(i + r) % ${#kinds[@]}]}
      fresh_out "$policy" "$k"
      time_once "$k" "$src" "$out"
      samples["$name|$k"]+="$elapsed_us "
      if [ "$policy" = repeat ]; then
        check_summary "$k" "$want" "$work/stdout"
        [ -n "$summary" ] && summaries["$name|$k"]=$summary
      fi
    done
    echo "$name: round $((r + 1)) of $rounds done"
  done
  echo "$name: $((${EPOCHREALTIME%[.,]*} - set_start)) s in all"
}

# Seconds: the median, the lowest and the highest of the samples of one tool.
stats() {  # name kind -> "median min max"
  tr ' ' '\n' <<< "${samples["$1|$2"]}" | grep . | sort -n |
    awk '{ a[NR] = $1 } END { m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2;
                             printf "%.3f %.3f %.3f\n", m / 1e6, a[1] / 1e6, a[NR] / 1e6 }'
}

rows=()
verdicts=()
# report NAME OURS-KIND "PEER-KIND:TARGET"... ; TARGET is "<=X" or "<X" on
# the ratio tandrel / peer, or "-" for none. Peers that were not timed (no
# rsync, no earlier build) are left out.
report() {
  local name=$1 ours=$2 item peer target s ms ps ratio met
  shift 2
  s=($(stats "$name" "$ours"))
  ms=${s[0]}
  rows+=("| $name | $(label "$ours") | ${s[0]} | ${s[1]}-${s[2]} | | |")
  for item in "$@"; do
    peer=${item%%:*}
    target=${item#*:}
    [ -n "${samples["$name|$peer"]:-}" ] || continue
    s=($(stats "$name" "$peer"))
    ps=${s[0]}
    ratio=$(awk -v a="$ms" -v b="$ps" 'BEGIN { printf "%.2f", a / b }')
    met=""
    if [ "$target" != "-" ]; then
      met=$(awk -v r="$ratio" -v t="$target" 'BEGIN {
        op = substr(t, 1, 1) == "<" && substr(t, 2, 1) == "=" ? "<=" : "<"; v = substr(t, length(op) + 1) + 0;
        ok = (op == "<=") ? (r <= v) : (r < v); print ok ? "met" : "MISSED" }')
      verdicts+=("$name vs $(label "$peer"): $ratio (target ${target}) $met")
      met="$target: $met"
    fi
    rows+=("| $name | $(label "$peer") | ${s[0]} | ${s[1]}-${s[2]} | $ratio | $met |")
  done
}

table() {
  echo "| data set | tool | median s | lowest-highest s | tandrel-cli / tool | target |"
  echo "|---|---|---:|---:|---:|---|"
  printf '%s\n' "${rows[@]}"
}

# The kinds of each data set: tandrel-cli first, then the peers there are.
with_before=(); [ -n "$before" ] && with_before=(before)
with_rsync=(); [ $have_rsync = 1 ] && with_rsync=(rsync)
jobs_kinds=(tandrel-j1 tandrel-j2 tandrel-j4)
# Moves one file of the source on: new bytes at its start, a new time.
change_one_file() {
  perl -e 'open(my $f, "+<", $ARGV[0]) or die "$ARGV[0]: $!"; print $f pack("NN", time, int(rand(1 << 31)));
           close $f or die' "$src_of_set/d07/e11/f23.dat"
}

# --- gathering and the small files ---------------------------------------------
gather_runs=$((runs * 3))
echo "building 20,000 small files in $work ..."
mkdir "$work/small"
make_small_tree "$work/small"
sync
bench_set "gather 20,000 small files" "$work/small" "$gather_runs" none tandrel-gather find
report "gather 20,000 small files" tandrel-gather "find:<=1.3"
# Files deleted in the last minute (by an earlier run, say) make ext4 slow to
# create new ones; let that pass before the first copy.
while [ $((${EPOCHREALTIME%[.,]*} - started)) -lt 65 ]; do sleep 1; done
small_kinds=(tandrel "${jobs_kinds[@]}" "${with_before[@]}" cp)
[ $quick = 0 ] && small_kinds+=(cp-r)
small_kinds+=("${with_rsync[@]}")
name="copy 20,000 small files"
bench_set "$name" "$work/small" "$runs" keep "${small_kinds[@]}"
report "$name" tandrel tandrel-j1:- tandrel-j2:- tandrel-j4:- before:- "cp:<=0.8" cp-r:- "rsync:<1"
# The same copy read back from the disk once it is flushed (--verify), beside
# the copy alone.
name="copy 20,000 small files, --verify"
bench_set "$name" "$work/small" "$runs" keep tandrel-verify tandrel
report "$name" tandrel-verify "tandrel:<=2.2"

# --- repeat backups of the same tree -------------------------------------------
# Each tool repeats into the copy it made itself (made before the warm-up).
# The earlier build rewrites all 20,000 files each time, which takes many
# seconds on the disk: --quick leaves it to the tmpfs repeat.
repeat_kinds=(tandrel-repeat "${with_before[@]/%/-repeat}" "${with_rsync[@]}")
disk_repeat_kinds=("${repeat_kinds[@]}")
[ $quick = 1 ] && disk_repeat_kinds=(tandrel-repeat "${with_rsync[@]}")
repeat_base="$work/repeat"
bench_set "repeat, nothing changed" "$work/small" "$runs" repeat "${disk_repeat_kinds[@]}"
report "repeat, nothing changed" tandrel-repeat before-repeat:- "rsync:<=0.6"
round_hook=change_one_file
bench_set "repeat, one file changed" "$work/small" "$runs" repeat "${disk_repeat_kinds[@]}"
round_hook=""
report "repeat, one file changed" tandrel-repeat before-repeat:- rsync:-

# Both keep the copies they replace: tandrel-cli in its versions folder,
# rsync with --backup-dir, a folder per run.
change_one_percent() {
  perl -e 'my ($root) = @ARGV; my $n = 0;
    for my $i (0 .. 19) { for my $j (0 .. 19) { for my $k (0 .. 49) {
      next if ($n++ % 100) != 0;
      my $f = sprintf("%s/d%02d/e%02d/f%02d.dat", $root, $i, $j, $k);
      open(my $h, "+<", $f) or die "$f: $!"; print $h pack("NN", time, int(rand(1 << 31))); close $h or die } } }' "$src_of_set"
}
if [ $have_rsync = 1 ]; then
  round_hook=change_one_percent
  bench_set "repeat, 1% changed, kept" "$work/small" "$runs" repeat tandrel-repeat rsync-backup
  round_hook=""
  report "repeat, 1% changed, kept" tandrel-repeat rsync-backup:-
fi

# --- the same copy from the window ---------------------------------------------
window_text=""
if [ -n "$window" ]; then
  echo "copy 20,000 small files from the window and headless ..."
  window_start=${EPOCHREALTIME%[.,]*}
  display=(env QT_QPA_PLATFORM=offscreen)
  command -v xvfb-run > /dev/null && display=(xvfb-run -a -s "-screen 0 1280x1024x24")
  window_text=$("${display[@]}" "$window" --src "$work/small" --dir "$work" --runs "$runs" 2> "$work/window.log") ||
    { cat "$work/window.log" >&2; echo "bench_window failed" >&2; exit 1; }
  echo "window: $((${EPOCHREALTIME%[.,]*} - window_start)) s in all"
fi

# --- the small files on a tmpfs of their own -----------------------------------
# Source and copies in memory: what is left is the tools' own work and the
# kernel's. Each copy replaces the one before (deleting is cheap there).
tmpfs_note=""
if [ $skip_tmpfs = 0 ]; then
  mkdir -p "$tmpfs"
  if mount -t tmpfs -o size=2g,mode=0755 tandrel-bench "$tmpfs" 2> "$work/mount.log"; then
    echo "copying the 20,000 small files into a tmpfs ..."
    cp -a "$work/small" "$tmpfs/small"
    out_base="$tmpfs/out"
    name="copy 20,000 small files, tmpfs"
    bench_set "$name" "$tmpfs/small" "$runs" each tandrel "${jobs_kinds[@]}" "${with_before[@]}" cp
    report "$name" tandrel tandrel-j1:- tandrel-j2:- tandrel-j4:- before:- "cp:<=0.65"
    repeat_base="$tmpfs/repeat"
    bench_set "repeat, nothing changed, tmpfs" "$tmpfs/small" "$runs" repeat "${repeat_kinds[@]}"
    report "repeat, nothing changed, tmpfs" tandrel-repeat before-repeat:- rsync:-
    out_base="$work/out"
    umount "$tmpfs" || true
  else
    tmpfs_note="The tmpfs rows are missing: mounting a tmpfs failed ($(head -n 1 "$work/mount.log"))."
    echo "$tmpfs_note"
  fi
fi

big_line=""
if [ $skip_big = 0 ]; then
  big_kinds=(tandrel "${with_before[@]}" cp "${with_rsync[@]}")
  echo "building 200 files of 1-10 MB ..."
  mkdir "$work/medium"
  make_medium_tree "$work/medium"
  sync
  bench_set "copy 200 files of 1-10 MB" "$work/medium" "$runs" each tandrel-verify "${big_kinds[@]}"
  report "copy 200 files of 1-10 MB" tandrel before:- "cp:<=0.8" rsync:-
  report "copy 200 files of 1-10 MB" tandrel-verify "tandrel:<=2.2"
  rm -rf "$work/medium"

  echo "building one 1 GiB file ..."
  mkdir "$work/big"
  make_big_file "$work/big"
  sync
  name="copy one 1 GiB file"
  bench_set "$name" "$work/big" "$runs" each "${big_kinds[@]}"
  # No slower than the engine before (within 5 %, this machine's noise), and
  # at least 0.95 of cp's throughput: tandrel's time at most cp's / 0.95.
  report "$name" tandrel "before:<=1.05" "cp:<=1.052" rsync:-
  ours=($(stats "$name" tandrel))
  peer=($(stats "$name" cp))
  big_line=$(awk -v a="${ours[0]}" -v b="${peer[0]}" 'BEGIN {
    printf "Throughput on the 1 GiB file: tandrel-cli %.0f MiB/s, cp -a %.0f MiB/s (%.2f of cp)", 1024 / a, 1024 / b, b / a }')
  if [ -n "$before" ]; then
    peer=($(stats "$name" before))
    big_line+=$(awk -v a="${peer[0]}" -v n="$before_name" 'BEGIN { printf ", tandrel-cli before (%s) %.0f MiB/s", n, 1024 / a }')
  fi
  big_line+="."
  rm -rf "$work/big"
fi

# --- 1,000,000 files on a tmpfs of their own ------------------------------------
# Gathering, a first copy and a repeat with nothing changed, each beside its
# peer, and the peak memory (/usr/bin/time -v) of tandrel-cli's whole backup.
million=()
million_note=""
if [ $skip_million = 0 ]; then
  mtmpfs="$work/million-tmpfs"
  mkdir -p "$mtmpfs"
  if mount -t tmpfs -o size=8g,nr_inodes=6000000,mode=0755 tandrel-million "$mtmpfs" 2> "$work/mount.log"; then
    echo "building 1,000,000 empty files in a tmpfs ..."
    mkdir "$mtmpfs/million"
    make_million_tree "$mtmpfs/million"
    million_runs=$((runs < 3 ? runs : 3))
    out_base="$mtmpfs/out"
    bench_set "gather 1,000,000 files, tmpfs" "$mtmpfs/million" "$million_runs" none tandrel-gather find
    report "gather 1,000,000 files, tmpfs" tandrel-gather find:-
    bench_set "copy 1,000,000 files, tmpfs" "$mtmpfs/million" "$million_runs" each tandrel cp
    report "copy 1,000,000 files, tmpfs" tandrel cp:-
    rm -rf "$mtmpfs/out"
    repeat_base="$mtmpfs/repeat"
    bench_set "repeat 1,000,000 files, tmpfs" "$mtmpfs/million" "$million_runs" repeat tandrel-repeat "${with_rsync[@]}"
    report "repeat 1,000,000 files, tmpfs" tandrel-repeat "rsync:<=0.5"
    if [ $have_time = 1 ]; then
      # The last row is a repeat with one file changed: it rewrites the
      # index of sources and the record of hashes.
      for k in tandrel-gather tandrel tandrel-repeat tandrel-changed; do
        dest="$mtmpfs/peak"
        [ $k = tandrel ] && rm -rf "$dest"
        [ $k = tandrel-changed ] && printf 'changed' > "$mtmpfs/million/d500/file-500"
        mkdir -p "$dest"
        /usr/bin/time -v -o "$work/time" "$cli" "$mtmpfs/million" \
          $([ $k != tandrel-gather ] && echo --dest "$dest" --on-error stop) \
          $([ $k = tandrel-repeat ] || [ $k = tandrel-changed ] && echo --overwrite) > /dev/null
        kb=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
        mib=$(awk -v k="$kb" 'BEGIN { printf "%.1f", k / 1024 }')
        case $k in
          tandrel-gather) row="gathering alone, \`tandrel-cli DIR\`" ;;
          tandrel) row="first backup" ;;
          tandrel-repeat) row="repeat, nothing changed, \`--overwrite\`" ;;
          tandrel-changed) row="repeat, one file changed, \`--overwrite\`" ;;
        esac
        million+=("| $row | $mib |")
        [ $k != tandrel-gather ] &&
          verdicts+=("$(label "$k") of 1,000,000 files: peak $mib MiB (target <=100) $(awk -v k="$kb" 'BEGIN { print (k / 1024 <= 100) ? "met" : "MISSED" }')")
      done
    fi
    out_base="$work/out"
    repeat_base=""
    umount "$mtmpfs" || { sleep 1; umount "$mtmpfs"; } || true
  else
    million_note="The 1,000,000-file rows are missing: mounting a tmpfs failed ($(head -n 1 "$work/mount.log"))."
    echo "$million_note"
  fi
fi

load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# What tandrel-cli itself counted in its repeats (its last timed run of each).
repeat_lines=()
for name in "repeat, nothing changed" "repeat, one file changed" "repeat, nothing changed, tmpfs"; do
  [ -n "${summaries["$name|tandrel-repeat"]:-}" ] &&
    repeat_lines+=("- $name: \`${summaries["$name|tandrel-repeat"]}\`")
done

# --- results --------------------------------------------------------------------
echo
table
[ -n "$big_line" ] && { echo; echo "$big_line"; }
[ -n "$tmpfs_note" ] && { echo; echo "$tmpfs_note"; }
if [ ${#repeat_lines[@]} -gt 0 ]; then
  echo; echo "tandrel-cli's summary line in the repeats:"; printf '%s\n' "${repeat_lines[@]}"
fi
echo
printf '%s\n' "${verdicts[@]}"
if [ -n "$window_text" ]; then echo; echo "$window_text"; fi
if [ ${#million[@]} -gt 0 ]; then
  echo
  echo "| 1,000,000 empty files, tmpfs | peak memory (MiB) |"
  echo "|---|---:|"
  printf '%s\n' "${million[@]}"
fi
[ -n "$million_note" ] && { echo; echo "$million_note"; }

echo
echo "compare.sh: $((${EPOCHREALTIME%[.,]*} - started)) s from the first tree to here"

# --- a first backup onto each file system of the test matrix -------------------
fs_status=0
if [ $fs_rows = 1 ]; then
  if [ $is_root = 0 ]; then
    echo "file-system rows skipped: bench/fs_rows.sh mounts file systems and needs root"
  else
    echo
    echo "a first backup onto each file system ($fs_list) ..."
    fs_args=(--cli "$cli" --runs "$runs" --fs "$fs_list")
    [ $write = 1 ] && fs_args+=(--write)
    TMPDIR=$base "$here/bench/fs_rows.sh" "${fs_args[@]}" || fs_status=$?
    [ $fs_status = 0 ] || echo "bench/fs_rows.sh failed with status $fs_status" >&2
  fi
fi

[ $write = 1 ] || exit $fs_status

# --- docs/performance.md --------------------------------------------------------
doc="$here/docs/performance.md"
mkdir -p "$here/docs"
[ -f "$doc" ] || printf '# Performance\n\n' > "$doc"
mountinfo=$(awk -v d="$(df --output=target "$work" | tail -1)" '$2 == d { print $1 " " $3 " (" $4 ")" }' /proc/mounts | tail -1)
virt=$(systemd-detect-virt 2>/dev/null || true)
[ -n "$virt" ] || { grep -qw hypervisor /proc/cpuinfo && virt="a virtual machine" || virt="none detected"; }

machine=$(cat <<EOF
Measured with \`bench/compare.sh --write\` on $(date -u +%Y-%m-%d), median of $runs rounds
($gather_runs for gathering) after one warm-up round.

- CPU: $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), $(nproc) cores; virtualisation: $virt
- Memory: $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo); kernel $(uname -r)
- Disk of the trees: $mountinfo, $(df -h --output=size "$work" | tail -1 | tr -d ' ') in all
- Load average (1, 5, 15 min): $load_start at the start, $load_end at the end (other work shares this
  machine); every tool ran at priority $priority
- tandrel-cli: $("$cli" --version), built $build_type with $(${CXX:-c++} --version 2>/dev/null | head -1)
- Peers: $(cp --version | head -1), $(find --version | head -1)$( [ $have_rsync = 1 ] && echo ", $(rsync --version | head -1 | awk '{ print $1, $2, $3 }')")$( [ -n "$before" ] && printf '\n- tandrel-cli before: commit %s of %s, built RelWithDebInfo the same way' "$before_name" "$before_date")
$( [ $skip_tmpfs = 0 ] && [ -z "$tmpfs_note" ] && echo "- The tmpfs rows: source and copies on a tmpfs of 2 GiB mounted for the run" )
EOF
)

repeat_text=""
if [ ${#repeat_lines[@]} -gt 0 ]; then
  repeat_text=$(printf '\n%s\n\n' "tandrel-cli's own count in its last timed repeat:"; printf '%s\n' "${repeat_lines[@]}")
  repeat_text+=$'\n'
fi
section=$(cat <<EOF
$machine

Every timed run starts after a \`sync\` (outside the timing). tandrel-cli is
timed as it runs: it flushes the destination's file system (syncfs) before it
reports success. Each copying peer is timed as \`PEER && sync\`, so that all
copies are timed until their data is on disk. Gathering is timed without a
flush (nothing is written); its source tree is in the page cache for both.
Copies of the small files on the disk go to fresh folders; the larger copies
and those on the tmpfs replace the previous round's output, removed before
the \`sync\` (on the tmpfs the flush has nothing to write; the timing is the
same). "tandrel-cli" copies as many files at once as it does by default (as
many as there are cores, 2 to 8); the \`--jobs\` rows set the number.

In the repeat rows each tool backs the same tree up again into the copy it
made itself before the warm-up round: tandrel-cli with \`--overwrite\` (it
leaves targets of the source's size and modification time alone, and a
repeat that writes nothing has nothing to flush, so it is timed as it runs),
\`rsync -a\` as \`rsync -a && sync\` as everywhere else. The earlier
tandrel-cli has no up-to-date check: its repeat rewrites every file. For
"one file changed", one file of the source gets new bytes and a new time
before each round, so each tool has exactly one file to bring up to date.
$repeat_text
$(table)
$( [ -n "$big_line" ] && printf '\n%s\n' "$big_line" )$( [ -n "$tmpfs_note" ] && printf '\n%s\n' "$tmpfs_note" )
EOF
)

replace_section "$doc" "compare.sh: table" "$section"
if [ -n "$window_text" ]; then
  replace_section "$doc" "compare.sh: window" "$(cat <<EOF2
The same copy of the 20,000 small files started with "Start" in the window
(gathered first through "Add Folder", the closing box answered at once) and
by the engine alone in the same process, taking turns, $runs rounds each, on
$(date -u +%Y-%m-%d); timed until the closing box. The window asks for one
refresh per copied file.

$window_text
EOF2
)"
fi
if [ ${#million[@]} -gt 0 ]; then
  replace_section "$doc" "compare.sh: memory" "$(cat <<EOF
1,000,000 empty files in 1,000 folders on a tmpfs of their own: the peak
resident memory of tandrel-cli, as \`/usr/bin/time -v\` reports it, for a
gathering alone (\`tandrel-cli DIR\`), a first backup, a repeat with
nothing changed (\`--overwrite\`) and one with one file changed, measured on $(date -u +%Y-%m-%d); target
for a whole backup: at most 100 MiB. Their times are in the table above.

| 1,000,000 empty files, tmpfs | peak memory (MiB) |
|---|---:|
$(printf '%s\n' "${million[@]}")
EOF
)"
fi
echo "wrote $doc"
exit $fs_status
