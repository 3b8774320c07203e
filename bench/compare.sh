#!/usr/bin/env bash
# Times tandrel-cli against the usual tools on trees made for the run:
#   gathering  vs  find DIR -type f
#   copying    vs  cp -r, cp -r --reflink=auto, rsync -a
# on 20,000 small files (0.5-8 KB) in a three-level tree, 200 files of
# 1-10 MB, and one 1 GiB file. Prints the medians and the ratios and, with
# --write, puts the table into docs/performance.md.
#
#   bench/compare.sh [--cli PATH] [--runs N] [--write] [--skip-big]
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cli="$here/build/cli/tandrel-cli"
runs=5
write=0
skip_big=0
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --write) write=1; shift ;;
    --skip-big) skip_big=1; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
done
[ -x "$cli" ] || { echo "no tandrel-cli at $cli (run make first, or pass --cli)" >&2; exit 2; }
have_rsync=1; command -v rsync >/dev/null || have_rsync=0

work=$(mktemp -d "${TMPDIR:-/var/tmp}/tandrel-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# --- trees ------------------------------------------------------------------
make_small_tree() {  # 20,000 files, 20 x 20 x 50, sizes 0.5-8 KB
  local root=$1 i j k size
  head -c 8192 /dev/urandom > "$work/blob"
  for i in $(seq -w 0 19); do
    for j in $(seq -w 0 19); do
      mkdir -p "$root/d$i/e$j"
      for k in $(seq -w 0 49); do
        size=$(( (RANDOM % 7681) + 512 ))
        head -c "$size" "$work/blob" > "$root/d$i/e$j/f$k.dat"
      done
    done
  done
}
make_medium_tree() {  # 200 files of 1-10 MB
  local root=$1 i
  mkdir -p "$root"
  head -c $((10 << 20)) /dev/urandom > "$work/mblob"
  for i in $(seq -w 0 199); do
    head -c $(( ( (RANDOM % 10) + 1 ) << 20 )) "$work/mblob" > "$root/m$i.bin"
  done
}
make_big_file() {
  mkdir -p "$1"
  head -c $((1 << 30)) /dev/urandom > "$1/big.bin"
}

# --- timing -----------------------------------------------------------------
now() { date +%s.%N; }
# median_of CMD... : runs the command $runs times (after `prepare`), prints the median seconds
median_of() {
  local times=() t0 t1 i
  for ((i = 0; i < runs; i++)); do
    prepare
    sync
    t0=$(now); "$@" > /dev/null 2>&1; t1=$(now)
    times+=("$(echo "$t1 - $t0" | bc -l)")
  done
  printf '%s\n' "${times[@]}" | sort -g | awk '{ a[NR] = $1 } END { m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; printf "%.3f\n", m }'
}
prepare() { rm -rf "$work/out"; mkdir -p "$work/out"; }

rows=()
row() {  # name tandrel peer-name peer-time ...
  local name=$1 ours=$2; shift 2
  local line="| $name | $ours s"
  while [ $# -gt 0 ]; do
    line+=" | $1: $2 s ($(echo "scale=2; $ours / $2" | bc -l)x)"
    shift 2
  done
  rows+=("$line |")
  echo "$line |"
}

measure_copy() {  # label source
  local label=$1 src=$2 ours cpr cpl rs
  ours=$(median_of "$cli" "$src" --dest "$work/out" --on-error stop)
  cpr=$(median_of cp -r "$src" "$work/out/")
  cpl=$(median_of cp -r --reflink=auto "$src" "$work/out/")
  if [ $have_rsync = 1 ]; then
    rs=$(median_of rsync -a "$src" "$work/out/")
    row "$label" "$ours" "cp -r" "$cpr" "cp -r --reflink=auto" "$cpl" "rsync -a" "$rs"
  else
    row "$label" "$ours" "cp -r" "$cpr" "cp -r --reflink=auto" "$cpl"
  fi
}

echo "building trees in $work ..."
make_small_tree "$work/small"
echo "| case | tandrel-cli | peers (median of $runs, ratio = tandrel / peer) |"
echo "|---|---|---|"
prepare() { :; }
ours=$(median_of "$cli" "$work/small")
peer=$(median_of find "$work/small" -type f)
row "gather 20,000 small files" "$ours" "find -type f" "$peer"
prepare() { rm -rf "$work/out"; mkdir -p "$work/out"; }
measure_copy "copy 20,000 small files (directory)" "$work/small"
# 20,000 files under 50 distinct names: each name is written 400 times
# (per volume, for cd), so these two modes replace targets.
ours=$(median_of "$cli" "$work/small" --mode consolidate --overwrite --dest "$work/out" --on-error stop)
row "copy 20,000 small files (consolidate)" "$ours" "cp -r" "$(median_of cp -r "$work/small" "$work/out/")"
ours=$(median_of "$cli" "$work/small" --mode cd --overwrite --dest "$work/out" --on-error stop)
row "copy 20,000 small files (cd)" "$ours" "cp -r" "$(median_of cp -r "$work/small" "$work/out/")"
rm -rf "$work/small"

if [ $skip_big = 0 ]; then
  make_medium_tree "$work/medium"
  measure_copy "copy 200 files of 1-10 MB" "$work/medium"
  rm -rf "$work/medium"
  make_big_file "$work/big"
  measure_copy "copy one 1 GiB file" "$work/big"
fi

if [ $write = 1 ]; then
  out="$here/docs/performance.md"
  {
    echo "# Performance"
    echo
    echo "Measured with \`bench/compare.sh --write\` on $(date -u +%Y-%m-%d)."
    echo
    echo "Machine: $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo) memory,"
    echo "$(uname -sr), file system of the work folder: $(df -T "$work" | awk 'NR == 2 { print $2 }')."
    echo "CPU: $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)."
    echo
    echo "| case | tandrel-cli | peers (median of $runs, ratio = tandrel / peer) |"
    echo "|---|---|---|"
    printf '%s\n' "${rows[@]}"
  } > "$out"
  echo "wrote $out"
fi
