#!/usr/bin/env bash
# The final message box of the Windows build, under Wine on a private Xvfb server: the window
# titled "Vellumix 更新" appears, a screenshot of it is kept, the Return key dismisses it, and the
# call then returns. What the box shows inside (text, icon, the one OK button) is checked by the
# test program itself while the box is open.
#
#   messagebox_test.sh RUNNER PROGRAM.exe SCREENSHOT.png
set -euo pipefail
runner=$1 program=$2 screenshot=$3
title='Vellumix 更新'

work=$(mktemp -d)
xvfb= box=
cleanup() {
    [ -n "$box" ] && kill "$box" 2>/dev/null || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/out" ] && cat "$work/out" >&2; exit 1; }

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(head -n1 "$work/display")

# A Wine session of this prefix that was started without the display has to end first, or the
# box would be created in it and never reach this server.
timeout 60 wineserver -w || true

"$runner" "$program" --message-box >"$work/out" 2>&1 &
box=$!

window=
for _ in $(seq 120); do
    window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | tail -n1) || true
    [ -n "$window" ] && break
    kill -0 "$box" 2>/dev/null || fail "the program ended before a window titled '$title' appeared"
    sleep 0.5
done
[ -n "$window" ] || fail "no window titled '$title' appeared"

sleep 1 # let the box paint itself before the screenshot
import -window root "$screenshot"
echo "screenshot: $screenshot"

# Without a window manager the box has to be given the focus before the key reaches it.
xdotool windowfocus --sync "$window"
xdotool key --clearmodifiers Return

for _ in $(seq 300); do kill -0 "$box" 2>/dev/null || break; sleep 0.1; done
kill -0 "$box" 2>/dev/null && fail "the message box call did not return after Return"
status=0
wait "$box" || status=$?
box=
cat "$work/out"
grep -q '^message box returned' "$work/out" || fail "the program did not report the return"
[ "$status" -eq 0 ] || fail "the program ended with status $status"
timeout 60 wineserver -w || true
