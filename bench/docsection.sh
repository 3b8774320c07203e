# Sourced by the benchmark scripts that write their results into a document.
#
# median TIMES, range TIMES: of times in microseconds, separated by spaces,
# the median and "lowest-highest", in seconds with three decimals.
#
# replace_section DOC TAG TEXT [HEADING]: puts TEXT between the lines
# "<!-- TAG begin -->" and "<!-- TAG end -->" of DOC, leaving the rest of DOC
# as it is. Where DOC has no such markers yet, they are added at its end,
# under HEADING when one is given.
replace_section() {
  local doc=$1 begin="<!-- $2 begin -->" end="<!-- $2 end -->" text=$3 heading=${4:-} section new
  if ! grep -qxF "$begin" "$doc"; then
    [ -n "$heading" ] && printf '\n%s\n' "$heading" >> "$doc"
    printf '\n%s\n%s\n' "$begin" "$end" >> "$doc"
  fi
  section=$(mktemp) new=$(mktemp)
  printf '%s\n' "$text" > "$section"
  awk -v b="$begin" -v e="$end" -v f="$section" '
    $0 == b { print; while ((getline line < f) > 0) print line; skip = 1; next }
    $0 == e { skip = 0 }
    !skip { print }' "$doc" > "$new"
  cat "$new" > "$doc"
  rm -f "$section" "$new"
}

median() { tr ' ' '\n' <<< "$1" | grep . | sort -n |
  awk '{ a[NR] = $1 } END { m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; printf "%.3f", m / 1e6 }'; }
range() { tr ' ' '\n' <<< "$1" | grep . | sort -n | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.3f-%.3f", lo / 1e6, hi / 1e6 }'; }
