#!/usr/bin/env bash
# tandrel-cli.exe under Wine as a script uses it: arguments and output with
# letters outside ASCII, each copy mode, exit statuses and list files.
# Usage: cli_smoke.sh TANDREL-CLI.EXE WINE-COMMAND...
set -euo pipefail
cli=$1
shift
wine=("$@")
export LC_ALL=C.UTF-8  # Wine hands the arguments over in the locale's encoding
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The host's "/" is drive Z: under Wine.
win() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }
# Into files, not pipes: services Wine starts may hold a pipe open.
run() {
  local status=0
  "${wine[@]}" "$cli" "$@" </dev/null >"$work/raw" 2>"$work/stderr" || status=$?
  tr -d '\r' <"$work/raw" >"$work/stdout"
  return $status
}
fail() { echo "cli smoke: $*"; echo "--- stdout"; cat "$work/stdout"; echo "--- stderr"; cat "$work/stderr"; exit 1; }

photos="Fotos Ähre 写真"
mkdir -p "$work/src/$photos/2004" "$work/src/Docs"
printf 'photo' > "$work/src/$photos/p1.jpg"
head -c 1536 /dev/zero > "$work/src/$photos/2004/p2.jpg"
printf 'text' > "$work/src/Docs/a.txt"

run --help
grep -q -- '--dest DIR' "$work/stdout" || fail "no usage"

# Directory Copy: the folders from the backed-up folder on.
run "$(win "$work/src/$photos")" "$(win "$work/src/Docs/a.txt")" --dest "$(win "$work/out")"
grep -qx 'Total Files: 3' "$work/stdout" || fail "wrong total"
grep -qx '1 KB copied successfully' "$work/stdout" || fail "wrong amount"
[ "$(cat "$work/out/$photos/p1.jpg")" = photo ] || fail "p1.jpg not copied"
[ "$(stat -c %s "$work/out/$photos/2004/p2.jpg")" = 1536 ] || fail "p2.jpg not copied"
[ "$(cat "$work/out/Docs/a.txt")" = text ] || fail "a.txt not copied"

# Again without --overwrite: standard input is no terminal, so the first
# failed file stops the copy (status 3), and the target is kept.
printf 'new text' > "$work/src/Docs/a.txt"
status=0
run "$(win "$work/src/Docs")" --dest "$(win "$work/out")" || status=$?
[ "$status" -eq 3 ] || fail "status $status instead of 3"
grep -q "$photos\|Docs" "$work/stderr" || fail "the failure does not name the file"
[ "$(cat "$work/out/Docs/a.txt")" = text ] || fail "target replaced without --overwrite"
run "$(win "$work/src/Docs")" --dest "$(win "$work/out")" --overwrite
[ "$(cat "$work/out/Docs/a.txt")" = "new text" ] || fail "target not replaced with --overwrite"

# A backup list saved with the letters as they are, then read back.
run "$(win "$work/src/$photos")" --save "$(win "$work/$photos.lst")"
[ -f "$work/$photos.lst" ] || fail "list file not saved under its name"
grep -q "$photos" "$work/$photos.lst" || fail "list file lacks the entry in UTF-8"
run --list "$(win "$work/$photos.lst")" --mode cd --dest "$(win "$work/cd")"
grep -qx 'Total Files: 2' "$work/stdout" || fail "list file not read"
[ -f "$work/cd/CD_backup0/p1.jpg" ] && [ -f "$work/cd/CD_backup0/p2.jpg" ] || fail "no CD volume folder"

run "$(win "$work/src")" --mode consolidate --dest "$(win "$work/flat")"
[ "$(ls "$work/flat" | sort | tr '\n' ' ')" = "a.txt p1.jpg p2.jpg " ] || fail "consolidate"

# Getting files back from the consolidated backup, by its index: a folder
# deleted from the source, named with letters outside ASCII.
rm -rf "$work/src/$photos"
run --restore --dest "$(win "$work/flat")" "$(win "$work/src/$photos")" || fail "the restore failed"
[ "$(cat "$work/src/$photos/p1.jpg")" = photo ] || fail "p1.jpg not restored"
[ "$(stat -c %s "$work/src/$photos/2004/p2.jpg")" = 1536 ] || fail "p2.jpg not restored"
run --versions --dest "$(win "$work/flat")" a.txt || fail "no versions of a.txt"
grep -qF "bytes  current  $(win "$work/flat")\\a.txt" "$work/stdout" || fail "the current copy of a.txt not listed"

status=0
run --no-such-option || status=$?
[ "$status" -eq 2 ] || fail "status $status for a usage error"
echo "windows cli smoke: ok"
