#!/usr/bin/env bash
# The installed program as a script uses it: exit statuses and output.
set -euo pipefail
cli=$1
work=$(mktemp -d)
export XDG_CONFIG_HOME="$work/config"  # the test's own memory of destinations
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/sub"
printf 'a' > "$work/src/a.txt"
printf 'b' > "$work/src/sub/b.txt"

"$cli" --help | grep -q -- '--dest DIR'
"$cli" "$work/src" --dest "$work/out" > "$work/stdout" </dev/null
grep -qx 'Total Files: 2' "$work/stdout"
grep -qx '0 KB copied successfully' "$work/stdout"
[ "$(cat "$work/out/src/sub/b.txt")" = b ]

# Standard input is not a terminal: a failed file stops the copy (status 3).
status=0
"$cli" "$work/src" --dest "$work/out" > /dev/null 2>&1 </dev/null || status=$?
[ "$status" -eq 3 ]
status=0
"$cli" --no-such-option > /dev/null 2>&1 || status=$?
[ "$status" -eq 2 ]
# The user's own rules, beside the settings, hold for every backup.
mkdir -p "$work/config/tandrel"
printf 'sub/\n' > "$work/config/tandrel/exclusions"
"$cli" "$work/src" > "$work/stdout" </dev/null
grep -qx 'Total Files: 1' "$work/stdout"
grep -qx 'Left out: 1 file (1 byte): sub/ (1)' "$work/stdout"
# Getting files back: the copies of one file, and what a restore would do.
"$cli" --versions --dest "$work/out" "$work/src/a.txt" > "$work/stdout"
grep -q "^  [0-9-]* [0-9:]*  1 bytes  current  $work/out/src/a.txt\$" "$work/stdout"
rm "$work/src/sub/b.txt"
"$cli" --restore --dry-run --dest "$work/out" "$work/src" > "$work/stdout"
grep -qx "restore: $work/out/src/sub/b.txt -> $work/src/sub/b.txt" "$work/stdout"
grep -qx 'Would restore: 1 file (0 KB), 1 already there, 0 beside a file that differs, 0 replacing one' "$work/stdout"
[ ! -e "$work/src/sub/b.txt" ]
echo "cli smoke: ok"
