#!/usr/bin/env bash
# What leaving things out costs and saves, timed with tandrel-cli:
#   rules      gathering 20,000 files (20 x 20 folders of 50) with 20 rules
#              that leave out little (and the tagged-cache check), against
#              the same gathering without any rule; the target is at most
#              1.15 times as long
#   home       a home-like tree: 3,000 files of one's own, 3 node_modules of
#              3,000 small files each and 2 tagged caches of 4,000, gathered
#              and copied with the tagged caches and node_modules/ left out,
#              against the same backup without rules; the target is at most
#              half as long
# Each pair takes turns, after a warm-up of each; the medians of N rounds and
# their ratio are printed. Every copy goes into a new destination folder.
#
#   bench/exclusions.sh [--cli PATH] [--dir DIR] [--runs N]
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cli=$here/build/cli/tandrel-cli
dir=""
runs=7
while [ $# -gt 0 ]; do
    case $1 in
    --cli) cli=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    -h | --help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
    esac
done
work=$(mktemp -d ${dir:+-p "$dir"})
trap 'rm -rf "$work"' EXIT
# No rules file of the user's: only what each command line says.
export XDG_CONFIG_HOME=$work/config
tag='Signature: 8a477f597d28d172789f06886806bc55'

# N files of 512 bytes named f0..f(N-1) in folder $1 (written by the shell
# itself: no process per file).
data=$(head -c 384 /dev/urandom | base64 -w0)
files() {
    mkdir -p "$1"
    for ((i = 0; i < $2; i++)); do printf '%s' "$data" > "$1/f$i"; done
}

echo "making the trees in $work ..." >&2
for a in $(seq 20); do for b in $(seq 20); do files "$work/rules/d$a/e$b" 50; done; done
for a in $(seq 3); do files "$work/home/docs/d$a" 1000; done
for a in $(seq 3); do for b in $(seq 30); do files "$work/home/proj$a/node_modules/m$b" 100; done; done
for a in $(seq 2); do
    for b in $(seq 40); do files "$work/home/.cache/app$a/c$b" 100; done
    echo "$tag" > "$work/home/.cache/app$a/CACHEDIR.TAG"
done

rules=()
for pattern in '*.o' '*.tmp' '*.swp' '*~' 'build/' '/dist/' '**/target/' 'node_modules/' '.git/' '__pycache__/' \
    '*.pyc' 'Thumbs.db' '.DS_Store' '*.log' 'cache/*.bin' '/tmp/' '*.[ao]' 'core' '!keep.log' 'd1/e1/f49'; do
    rules+=(--exclude "$pattern")
done

now() { date +%s.%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# pair NAME 'COMMAND A' 'COMMAND B': each once untimed, then N rounds of both.
pair() {
    local name=$1 a=$2 b=$3 ta=() tb=() start
    eval "$a" > /dev/null
    eval "$b" > /dev/null
    for ((r = 0; r < runs; r++)); do
        sync
        start=$(now); eval "$a" > /dev/null; ta+=("$(echo "$(now) - $start" | bc)")
        sync
        start=$(now); eval "$b" > /dev/null; tb+=("$(echo "$(now) - $start" | bc)")
    done
    local ma mb
    ma=$(printf '%s\n' "${ta[@]}" | median)
    mb=$(printf '%s\n' "${tb[@]}" | median)
    printf '%-6s with rules %.3f s, without %.3f s: %.2f x\n' "$name" "$ma" "$mb" "$(echo "$ma / $mb" | bc -l)"
}

pair rules "\"$cli\" \"\${rules[@]}\" \"$work/rules\"" "\"$cli\" --no-exclude-caches \"$work/rules\""
pair home "\"$cli\" --exclude node_modules/ \"$work/home\" --dest \"\$(mktemp -d -p \"$work\")\"" \
    "\"$cli\" --no-exclude-caches \"$work/home\" --dest \"\$(mktemp -d -p \"$work\")\""
