#!/usr/bin/env bash
# Runs a Windows program under Wine: the emulator of the mingw-w64 cross build.
#
#   scripts/wine-run.sh PROGRAM.exe [ARGUMENTS...]
#
# The Wine prefix is $WINEPREFIX (default: ~/.cache/vellumix/wineprefix). It is created on first
# use and then reused; creating it takes about a minute. Crash dialogs are switched off, so a
# crashing program ends with an error instead of waiting for a click that never comes.
set -euo pipefail

export WINEPREFIX=${WINEPREFIX:-$HOME/.cache/vellumix/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64

ready=$WINEPREFIX/.vellumix-ready

prepare_prefix() {
    # Not now: no Mono and no Gecko, whose installers would ask for a download.
    WINEDLLOVERRIDES="mscoree=;mshtml=" wineboot -i >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
    # Chinese glyphs: link a CJK font to the dialog font, so message boxes show their titles and
    # texts instead of empty boxes.
    local font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
    if [ -f "$font" ]; then
        ln -sf "$font" "$WINEPREFIX/drive_c/windows/Fonts/wqy-microhei.ttc"
        wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
            /v Tahoma /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null
    fi
    # Wine draws the window frame itself, so a screenshot without a window manager shows the title.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null
    wineserver -w
    touch "$ready"
}

if [ ! -f "$ready" ]; then
    mkdir -p "$WINEPREFIX"
    # Tests may start in parallel; only one of them creates the prefix.
    exec 9>"$WINEPREFIX.lock"
    flock 9
    [ -f "$ready" ] || prepare_prefix
    flock -u 9
    exec 9>&-
fi

exec wine "$@"
