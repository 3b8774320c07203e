#!/usr/bin/env bash
# Builds the list-file fuzzer with clang in a build folder of its own and runs
# it for a fixed time on a copy of the seed corpus. Exits non-zero when the
# fuzzer finds a crash, a leak or a hang; the input is kept in <build>/crashes.
# Exits 77 (skipped) when clang or its libFuzzer runtime is missing.
#
# Usage: run_fuzz.sh [seconds, default 20] [build folder, default build-fuzz]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-20}
build=${2:-$root/build-fuzz}

skip() {
  echo "listfile fuzzing skipped: $*"
  exit 77
}

command -v clang++ >/dev/null 2>&1 || skip "clang++ is not installed"
resource=$(clang++ -print-resource-dir 2>/dev/null) || skip "clang++ does not run"
compgen -G "$resource/lib/linux/libclang_rt.fuzzer-*.a" >/dev/null || skip "no libFuzzer runtime under $resource"

generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
  generator=(-G Ninja)
fi
cmake -S "$here/fuzz" -B "$build" "${generator[@]}" \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target listfile_fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$work/artifacts"
cp "$here"/corpus/* "$work/corpus/"

status=0
"$build/listfile_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$work/corpus" || status=$?

if [ "$status" -ne 0 ]; then
  mkdir -p "$build/crashes"
  cp "$work"/artifacts/* "$build/crashes/" 2>/dev/null || true
  echo "listfile fuzzing failed (exit $status); inputs kept in $build/crashes:"
  ls -l "$build/crashes"
fi
exit "$status"
