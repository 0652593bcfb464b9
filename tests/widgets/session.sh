#!/usr/bin/env bash
# The windowed sample program updating itself through the "Software Update" window, on a private
# Xvfb server, against a feed of its versions 1.0.0 and 2.0.0 that nginx serves: the same
# scenario for the Linux build and for the Windows build under Wine.
#
#   session.sh --build LINUX_BUILD --app V1 --app-v2 V2 --updater UPDATER
#              [--runner RUNNER --root-base DIR] [--shots DIR --tag NAME]
#
#   1. Return: version 1.0.0 checks within seconds of its start, the window offers 2.0.0 with its
#      notes; Return downloads it, Return again ("Restart Now") quits, the updater installs it,
#      and 2.0.0 confirms its start and says "Updated to 2.0.0".
#   2. Escape: another installation of 1.0.0; Escape closes the offer, nothing is installed, and
#      started again the program makes no check and shows no window (the interval is a day).
# LINUX_BUILD gives the release tool and its development key. RUNNER runs a program (the
# Windows build: scripts/wine-run.sh), and its program roots go below DIR (drive C: of the Wine
# prefix). With --shots, pictures of the offer, the download, the ready step and the word after
# the update are written to DIR/software-update-<step>-NAME.png; the download is slowed down
# then, so that its progress can be seen.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/../.." && pwd)

build= app= app2= updater= runner= root_base= shots= tag=
while [ $# -gt 0 ]; do
    case $1 in
        --build) build=$2 ;;
        --app) app=$2 ;;
        --app-v2) app2=$2 ;;
        --updater) updater=$2 ;;
        --runner) runner=$2 ;;
        --root-base) root_base=$2 ;;
        --shots) shots=$2 ;;
        --tag) tag=$2 ;;
        *) echo "session.sh: unknown argument $1" >&2; exit 64 ;;
    esac
    shift 2
done
publish=$build/publisher/vellumix-publish
key=$build/devkey/update-signing-dev.pem
for f in "$publish" "$key" "$app" "$app2" "$updater"; do
    [ -e "$f" ] || { echo "session.sh: $f is missing" >&2; exit 1; }
done

work=$(mktemp -d /tmp/vellumix-widgets.XXXXXX)
# The program roots of each run are new: what the interface keeps of a root (its schedule, in the
# user's data folder, which under Wine is the prefix's) then never carries over from a run before.
[ -n "$root_base" ] && root_base=$root_base/$(basename "$work")
xvfb= running=()
cleanup() {
    for pid in "${running[@]}"; do kill "$pid" 2>/dev/null || true; done
    pkill -f "$work/" 2>/dev/null || true
    # With the slash: this script's own command line names the root base too.
    [ -n "$root_base" ] && pkill -f "$root_base/" 2>/dev/null || true
    bash "$top/scripts/feed-server.sh" stop "$work/nginx" >/dev/null 2>&1 || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
    [ -n "$root_base" ] && rm -rf "$root_base"
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    for log in "$work"/*.log; do [ -f "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }; done
    exit 1
}
say() { echo "session: $*"; }

# The releases and their feed. 2.0.0 brings a larger data file with --shots, for a download that
# can be watched.
release() {
    local dir=$1 program=$2 tag=$3
    mkdir -p "$dir/lib" "$dir/data"
    cp "$program" "$dir/Vellumix.exe"
    cp "$updater" "$dir/VellumixUpdater.exe"
    printf 'core %s\n' "$tag" >"$dir/lib/core.dll"
    if [ -n "$shots" ] && [ "$tag" = 2 ]; then
        head -c 6291456 /dev/urandom >"$dir/data/assets.pak"
    else
        printf 'assets %s\n' "$tag" >"$dir/data/assets.pak"
    fi
}
release "$work/release-1" "$app" 1
release "$work/release-2" "$app2" 2
mkdir "$work/feed"
"$publish" stage --release "$work/release-1" --version 1.0.0 --sequence 1 --key "$key" \
    --out "$work/stage-1" >/dev/null 2>"$work/publish.log" || fail "stage 1.0.0"
"$publish" publish "$work/stage-1" --feed "$work/feed" >/dev/null 2>>"$work/publish.log" || fail "publish 1.0.0"
"$publish" stage --release "$work/release-2" --version 2.0.0 --sequence 2 --key "$key" \
    --out "$work/stage-2" --delta-base "$work/feed" \
    --notes "$(printf 'Vellumix 2.0.0\n\n- A spell checker that knows 40 languages.\n- Opens files twice as fast.\n- Fixes a crash when printing a long table.')" \
    >/dev/null 2>>"$work/publish.log" || fail "stage 2.0.0"
"$publish" publish "$work/stage-2" --feed "$work/feed" >/dev/null 2>>"$work/publish.log" || fail "publish 2.0.0"
rate=()
[ -n "$shots" ] && rate=(--limit-rate 768k)
feed=$(bash "$top/scripts/feed-server.sh" start "$work/feed" "$work/nginx" "${rate[@]}") || fail "nginx did not start"

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(head -n1 "$work/display")
export QT_QPA_PLATFORM=xcb
if [ -n "$runner" ]; then
    # A Wine session of this prefix bound to another display has to end first.
    timeout 60 wineserver -w || true
fi

# A program root holding release 1, below the root base (or the work folder).
installation() {
    local root=${root_base:-$work}/$1
    mkdir -p "$root"
    cp -a "$work/release-1/." "$root/"
    echo "$root"
}
# Starts the program of ROOT with its log in LOG.
start_app() {
    local root=$1 log=$2 log_arg=$2
    [ -n "$runner" ] && log_arg=$(winepath -w "$log" 2>/dev/null)
    : >"$log"
    VELLUMIX_UPDATE_FEED=$feed VELLUMIX_UPDATE_FIRST_CHECK_SECONDS=2 VELLUMIX_WIDGETS_APP_LOG=$log_arg \
        XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache \
        ${runner:+"$runner"} "$root/Vellumix.exe" >>"$work/stderr.log" 2>&1 &
    running+=($!)
}
# Ends the programs of the last phase (under Wine, every program of the prefix).
stop_apps() {
    if [ -n "$runner" ]; then
        wineserver -k 2>/dev/null || true
        timeout 60 wineserver -w || true
    else
        pkill -f "$1/Vellumix.exe" 2>/dev/null || true
    fi
}
wait_for_line() { # LOG TEXT SECONDS
    for _ in $(seq $(($3 * 5))); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.2; done
    return 1
}
# Qt puts the application's display name after a window's title, after a separator of the
# platform's (" - " on Windows, " — " on X11), so the title is matched at its start.
window_titled() { xdotool search --onlyvisible --name "^$1" 2>/dev/null | tail -n1; }
wait_for_window() { # TITLE SECONDS
    local id
    for _ in $(seq $(($2 * 2))); do id=$(window_titled "$1") && [ -n "$id" ] && { echo "$id"; return 0; }; sleep 0.5; done
    return 1
}
wait_for_no_window() { # TITLE SECONDS (a window is unmapped a moment after it was hidden)
    for _ in $(seq $(($2 * 2))); do [ -z "$(window_titled "$1")" ] && return 0; sleep 0.5; done
    return 1
}
press() { # WINDOW KEY
    # Wine keeps the keyboard focus of its windows itself and, with no window manager, takes a
    # window's activation only from a click into it: a click on the window's icon, then the key.
    [ -n "$runner" ] && xdotool mousemove --window "$1" 30 50 click 1 && sleep 0.5
    xdotool windowfocus --sync "$1" 2>/dev/null || true
    xdotool key --clearmodifiers "$2"
}
shot() { # WINDOW STEP
    [ -n "$shots" ] || return 0
    sleep 1 # let it paint
    mkdir -p "$shots"
    import -window "$1" "$shots/software-update-$2-$tag.png"
    say "picture: $shots/software-update-$2-$tag.png"
}

# --- 1. Return: offered, downloaded, installed -------------------------------------------------
root=$(installation return)
start_app "$root" "$work/return.log"
dialog=$(wait_for_window 'Software Update' 90) || fail "no Software Update window appeared"
wait_for_line "$work/return.log" 'update state: Offering' 10 || fail "the window offers nothing"
say "the window offers 2.0.0"
shot "$dialog" offer
press "$dialog" Return
wait_for_line "$work/return.log" 'update state: Downloading' 10 || fail "Return did not start the download"
if [ -n "$shots" ]; then
    sleep 3
    shot "$dialog" download
fi
wait_for_line "$work/return.log" 'update state: ReadyToInstall' 120 || fail "the download did not end"
say "2.0.0 is downloaded and ready"
shot "$dialog" ready
press "$dialog" Return
wait_for_line "$work/return.log" 'hand-over: the updater was started' 20 || fail "Restart Now did not hand over"
# The updater waits for 1.0.0 to end, installs, and starts 2.0.0, which confirms and says so.
wait_for_line "$work/return.log" 'version 2.0.0 started (confirmed)' 120 || fail "2.0.0 did not confirm its start"
wait_for_line "$work/return.log" 'last update: installed 2.0.0' 20 || fail "2.0.0 did not tell of the update"
for _ in $(seq 150); do grep -qsE '"sequence": ?2,' "$root/.vellumix-update/installed.json" && break; sleep 0.2; done
grep -qsE '"sequence": ?2,' "$root/.vellumix-update/installed.json" || fail "installed.json does not name 2.0.0"
cmp -s "$root/Vellumix.exe" "$app2" || fail "Vellumix.exe is not the program of 2.0.0"
if [ -n "$shots" ]; then
    updated=$(wait_for_window 'Software Update' 30) || fail "2.0.0 showed no word of the update"
    shot "$updated" updated
fi
say "2.0.0 is installed and confirmed"
stop_apps "$root"

# --- 2. Escape: nothing installed, no check before the interval -------------------------------
root=$(installation escape)
start_app "$root" "$work/escape.log"
dialog=$(wait_for_window 'Software Update' 90) || fail "no Software Update window appeared"
wait_for_line "$work/escape.log" 'update state: Offering' 10 || fail "the window offers nothing"
press "$dialog" Escape
wait_for_line "$work/escape.log" 'update state: Idle' 10 || fail "Escape did not close the offer"
wait_for_no_window 'Software Update' 5 || fail "the window is still open after Escape"
stop_apps "$root"
sleep 1
manifest_requests() { grep -c 'manifest.json' "$work/nginx/access.log" || true; }
before=$(manifest_requests)
start_app "$root" "$work/escape-again.log"
wait_for_line "$work/escape-again.log" 'next check:' 30 || fail "the program did not start again"
sleep 6 # three times the first check's limit
[ -z "$(window_titled 'Software Update')" ] || fail "the window came back before the interval"
[ "$(manifest_requests)" = "$before" ] || fail "the program checked again before the interval"
cmp -s "$root/Vellumix.exe" "$app" || fail "Escape changed the program"
[ ! -e "$root/.vellumix-update/installed.json" ] || fail "Escape installed something"
say "Escape installed nothing, and no check came before the interval"
stop_apps "$root"
