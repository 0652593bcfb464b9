#!/usr/bin/env bash
# Cross-builds the operating-system layer for Windows x64 with mingw-w64 and runs its tests under
# Wine (signature check, SHA-256, link test, flushes, process waits, and the message box on a
# private Xvfb server). Installs the Debian packages that are missing. Exits non-zero on any
# failure.
#
#   scripts/windows-oslayer.sh
#   BUILD_DIR=... scripts/windows-oslayer.sh      (default: build-win-os/ in the checkout)
#   WINEPREFIX=... scripts/windows-oslayer.sh     (default: wineprefix/ in the build directory;
#                                                  made on first use, then reused)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

build=${BUILD_DIR:-$VELLUMIX_TOP/build-win-os}
mkdir -p "$build"
build=$(cd "$build" && pwd)
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}

start_stage_timer "stage timings"

ensure_packages cmake ninja-build openssl g++-mingw-w64-x86-64 wine wine64 xvfb xauth xdotool \
    fonts-wqy-microhei imagemagick
stage_done packages

say "configuring $build (mingw-w64, operating-system layer only)"
cmake -S "$VELLUMIX_TOP" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$VELLUMIX_TOP/cmake/mingw-w64-x86_64.cmake" \
    -DVELLUMIX_OS_LAYER_ONLY=ON -DVELLUMIX_WINEPREFIX="$WINEPREFIX" >/dev/null
stage_done configure

say "building $build"
cmake --build "$build" --parallel "$(nproc)"
stage_done build

# The prefix is made here rather than by the first test, so its cost shows on its own.
say "preparing the Wine prefix $WINEPREFIX"
"$VELLUMIX_TOP/scripts/wine-run.sh" cmd /c exit 0
stage_done prefix

say "running the Windows tests under Wine"
(cd "$build" && ctest -L windows --output-on-failure --timeout 600)
stage_done tests
