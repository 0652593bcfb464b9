#!/usr/bin/env bash
# How often an installation runs the updater for a release that does not stay: the guide's program
# (sampleapp/minimal.cpp) 1.0.0 installed, and a local feed offering a 2.0.0 that fails here. The
# program is started once and every process it leads to is followed with strace for SECONDS; the
# figure is the number of updater runs in that time. Without a memory of failed releases each
# rollback starts 1.0.0 again, which takes the same release again, for as long as the feed offers
# it.
#
#   bench/rollback-loop.sh [--seconds S] [exit|mismatch]
#       exit      the new program ends at start (default)
#       mismatch  the new program is the guide's 2.0.0, released with the version text "2.0"
#   BUILD_DIR=...   an existing build tree (default: build/ in the checkout; it is built first)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
seconds=30
mode=exit
while [ $# -gt 0 ]; do
    case $1 in
        --seconds) seconds=$2; shift 2 ;;
        exit|mismatch) mode=$1; shift ;;
        *) echo "usage: bench/rollback-loop.sh [--seconds S] [exit|mismatch]" >&2; exit 64 ;;
    esac
done
ensure_packages $VELLUMIX_BUILD_PACKAGES strace
build=${BUILD_DIR:-$VELLUMIX_TOP/build}
configure_and_build "$build" >/dev/null
work=$(mktemp -d /tmp/vellumix-rollback-loop.XXXXXX)
cleanup() { pkill -9 -f "$work/root/" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
publish=$build/publisher/vellumix-publish
mkdir -p "$work/root" "$work/release"
install -m 755 "$build/sampleapp/vellumix-minimal-app" "$work/root/Vellumix.exe"
install -m 755 "$build/updater/VellumixUpdater" "$work/root/VellumixUpdater.exe"
cp -a "$work/root/." "$work/release/"
if [ "$mode" = exit ]; then
    printf '#!/bin/sh\nexit 3\n' > "$work/release/Vellumix.exe"
    version=2.0.0
else
    install -m 755 "$build/sampleapp/vellumix-minimal-app-v2" "$work/release/Vellumix.exe"
    version=2.0
fi
"$publish" stage --release "$work/release" --version "$version" --sequence 2 \
    --key "$build/devkey/update-signing-dev.pem" --out "$work/stage" >/dev/null
"$publish" publish "$work/stage" --feed "$work/feed" >/dev/null
say "starting the guide's program 1.0.0; the feed offers $version ($mode); following it for $seconds s"
# strace -f ignores the TERM that ends a run; KILL ends it and, with it, what it follows.
VELLUMIX_UPDATE_FEED=$work/feed XDG_CACHE_HOME=$work/cache \
    timeout -s KILL "$((seconds + 2))" strace -f -qq -ttt -e trace=execve -o "$work/trace" \
    "$work/root/Vellumix.exe" > "$work/log.txt" 2>&1 || true
start=$(awk 'NR == 1 {print $2}' "$work/trace")
runs=$(awk -v t0="$start" -v s="$seconds" '/VellumixUpdater.exe", \[/ && $2 - t0 <= s' "$work/trace" | wc -l)
echo "updater runs in $seconds s: $runs"
echo "what the program said last:"
grep -v '^staging:' "$work/log.txt" | tail -n 4 | sed 's/^/  /'
