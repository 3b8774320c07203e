# Sourced by the benchmark scripts that write their results into a document.
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
