#!/bin/bash
# The backup list's right button on the real window: an X server of its own
# (Xvfb) with a window manager (openbox), the entries added through the
# "Add Files" dialog, one entry selected with the left button and another one
# right-clicked. The selection must stay as it was, while the button is down
# and after it is up, and the context menu's "Remove" must take the selected
# entry, not the one under the pointer. What is left is saved through
# "Save Backup list" and read back from the list file.
#
#   right_click_xvfb.sh TANDREL
#
# Exit status 0 passed, 1 failed, 77 skipped (no Xvfb, xdotool, ImageMagick
# or openbox). Everything it starts it ends itself, by process id.
set -u

TANDREL=${1:?usage: right_click_xvfb.sh TANDREL}
for tool in Xvfb xdotool import convert openbox; do
    command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool not installed"; exit 77; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tandrel-rclick-XXXXXX")
PIDS=()
cleanup() {
    local pid
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        pid=${PIDS[i]}
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    rm -rf "$WORK"
}
trap cleanup EXIT
trap "exit 1" INT TERM

fail() {
    echo "FAIL: $*"
    [ -n "${WIN:-}" ] && import -window root "$WORK/failed.png" 2>/dev/null &&
        cp "$WORK/failed.png" "${TMPDIR:-/tmp}/tandrel-rclick-failed.png" &&
        echo "screen: ${TMPDIR:-/tmp}/tandrel-rclick-failed.png"
    exit 1
}

# poll SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds.
poll() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.1
    done
}

# A display of its own: Xvfb picks a free number and writes it to fd 3.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$WORK/display" 2>"$WORK/xvfb.log" &
PIDS+=($!)
poll 10 test -s "$WORK/display" || fail "Xvfb did not start: $(cat "$WORK/xvfb.log")"
export DISPLAY=":$(head -n1 "$WORK/display")"
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config"
mkdir -p "$HOME"

openbox --config-file /dev/null >"$WORK/openbox.log" 2>&1 &
PIDS+=($!)
# A window mapped before the window manager runs is not always taken on
# (seen on a loaded machine): wait until it answers for the active window.
wm_up() { xdotool getactivewindow >/dev/null 2>&1; }
poll 15 wm_up || fail "openbox did not start: $(cat "$WORK/openbox.log")"

for name in alpha bravo charlie; do echo "$name" >"$WORK/$name.txt"; done

"$TANDREL" >"$WORK/tandrel.log" 2>&1 &
TANDREL_PID=$!
PIDS+=($TANDREL_PID)

main_window() { WIN=$(xdotool search --onlyvisible --pid "$TANDREL_PID" --name '^Tandrel$' 2>/dev/null | head -n1); [ -n "$WIN" ]; }
poll 15 main_window || fail "the window did not show"
# The window manager has taken it on once it makes it the active window.
is_active() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$1" ]; }
poll 10 is_active "$WIN" || { xdotool windowactivate "$WIN" 2>/dev/null; poll 5 is_active "$WIN"; } ||
    fail "the window manager did not activate the window"

# A visible window of the program other than the main one and named TITLE
# (a dialog; "*": any name, the context menu too).
other_window() {
    local w
    for w in $(xdotool search --onlyvisible --pid "$TANDREL_PID" --class . 2>/dev/null); do
        [ "$w" = "$WIN" ] && continue
        if [ "$1" = "*" ] || [ "$(xdotool getwindowname "$w" 2>/dev/null)" = "$1" ]; then
            DLG=$w
            return 0
        fi
    done
    return 1
}
no_other_window() { ! other_window "$1"; }

# Runs a file dialog named TITLE (already being opened) with TEXT in its
# file name box.
answer_dialog() {
    poll 10 other_window "$1" || fail "no dialog \"$1\""
    poll 5 is_active "$DLG" || fail "the dialog \"$1\" did not get the focus"
    xdotool key --clearmodifiers ctrl+a
    xdotool type --delay 2 "$2"
    xdotool key Return
    poll 10 no_other_window "$1" || fail "the dialog \"$1\" did not close"
}

# The rows of the list in the window's own coordinates (the window has a fixed
# layout; rows are 16 pixels high). The probe lies left of where the context
# menu opens, at the pointer.
ROW_X=80 PROBE_X=27
row_y() { echo $((51 + 16 * $1)); }

# selected ROW: the row's background is the selection's highlight (blue) in
# a fresh capture of the window.
capture() { import -window "$WIN" "$WORK/win.png" 2>/dev/null; }
pixel() { convert "$WORK/win.png" -format "%[fx:int(255*p{$PROBE_X,$(row_y "$1")}.b)] %[fx:int(255*p{$PROBE_X,$(row_y "$1")}.r)]" info:; }
is_selected() { local b r; read -r b r <<<"$(pixel "$1")"; [ $((b - r)) -gt 60 ]; }
# selection "yes no no": the rows 0, 1 and 2 as they must be.
selection_is() {
    capture || return 1
    local row=0 want
    for want in "$@"; do
        if [ "$want" = yes ]; then is_selected $row || return 1; else ! is_selected $row || return 1; fi
        row=$((row + 1))
    done
}
describe_selection() {
    capture
    local row out=""
    for row in 0 1 2; do is_selected $row && out+="$row "; done
    echo "selected rows: ${out:-none}"
}

# Three entries through "Add Files".
xdotool mousemove --window "$WIN" 607 53 click 1
answer_dialog "Add files to backup" "\"$WORK/alpha.txt\" \"$WORK/bravo.txt\" \"$WORK/charlie.txt\""

# The first entry with the left button (again while the entries come in).
click_first() { xdotool mousemove --window "$WIN" $ROW_X "$(row_y 0)" click 1; sleep 0.2; selection_is yes no no; }
poll 10 click_first || fail "the first entry could not be selected ($(describe_selection))"

# The right button down on the third entry: the menu opens on the press, the
# selection stays, and stays when the button comes up.
menu_open() { other_window "*"; }
xdotool mousemove --window "$WIN" $ROW_X "$(row_y 2)" mousedown 3
poll 5 menu_open || { xdotool mouseup 3; fail "no context menu on the right button"; }
sleep 0.3
selection_is yes no no || { xdotool mouseup 3; fail "the press changed the selection ($(describe_selection))"; }
xdotool mouseup 3
sleep 0.3
selection_is yes no no || fail "the right click changed the selection ($(describe_selection))"
menu_open || fail "the context menu closed on the release (an item ran?)"

# "&Remove" by its key: the selected first entry goes.
xdotool key r
menu_closed() { ! menu_open; }
poll 5 menu_closed || fail "the context menu did not close on R"
sleep 0.5

# What is left, saved through "Save Backup list" and read back.
xdotool key --clearmodifiers ctrl+s
poll 10 other_window "*" || fail "no dialog for \"Save Backup list\""
SAVED="$WORK/left.lst"
answer_dialog "$(xdotool getwindowname "$DLG")" "$SAVED"
poll 10 test -s "$SAVED" || fail "the list was not saved"
sleep 0.3
grep -aqF "$WORK/alpha.txt" "$SAVED" && fail "\"Remove\" left the selected entry in the list"
grep -aqF "$WORK/charlie.txt" "$SAVED" || fail "\"Remove\" took the entry under the pointer"
grep -aqF "$WORK/bravo.txt" "$SAVED" || fail "\"Remove\" took an entry that was not selected"
echo "PASS"
exit 0
