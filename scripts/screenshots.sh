#!/usr/bin/env bash
# Makes the pictures of the update interface in docs/images again, from the real sample program:
# the offer, the download, the ready step and the word after the update, for the Linux build and,
# when it has been built (scripts/windows-e2e.sh), for the Windows build under Wine.
#
#   scripts/screenshots.sh
#   BUILD_DIR=...          the Linux build (default: build/ in the checkout)
#   WINDOWS_BUILD_DIR=...  the Windows build (default: build-win/ in the checkout)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_packages $VELLUMIX_BUILD_PACKAGES xvfb xauth xdotool imagemagick nginx

build=${BUILD_DIR:-$VELLUMIX_TOP/build}
windows=${WINDOWS_BUILD_DIR:-$VELLUMIX_TOP/build-win}
configure_and_build "$build"
images=$VELLUMIX_TOP/docs/images
session=$VELLUMIX_TOP/tests/widgets/session.sh

say "the Linux build"
bash "$session" --build "$build" --app "$build/sampleapp/vellumix-widgets-app" \
    --app-v2 "$build/sampleapp/vellumix-widgets-app-v2" --updater "$build/updater/VellumixUpdater" \
    --shots "$images" --tag linux

if [ -x "$windows/sampleapp/vellumix-widgets-app.exe" ]; then
    say "the Windows build under Wine"
    export WINEPREFIX=$windows/wineprefix
    bash "$session" --build "$build" --app "$windows/sampleapp/vellumix-widgets-app.exe" \
        --app-v2 "$windows/sampleapp/vellumix-widgets-app-v2.exe" \
        --updater "$windows/updater/VellumixUpdater.exe" \
        --runner "$VELLUMIX_TOP/scripts/wine-run.sh" \
        --root-base "$WINEPREFIX/drive_c/vellumix-screenshots" \
        --shots "$images" --tag windows
else
    say "no Windows build in $windows: its pictures are left as they are"
fi
ls -l "$images"
