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
echo "cli smoke: ok"
