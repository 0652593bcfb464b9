#!/usr/bin/env bash
# Builds the whole project for Windows x64 (mingw-w64 with a static Qt built from Debian's
# source, see build-qt-mingw.sh) and runs the Windows programs end to end under Wine: updates,
# rollbacks, recovery, link refusal, the message box on a private Xvfb server,
# platform-smoke-test.exe, the TLS back end of the static Qt, and the update client (the
# application updating itself from a feed served by nginx, vellumix-fetch.exe, HTTPS through
# schannel), and the Setup program that the release tool builds with makensis (installed,
# updated and uninstalled). The updates and feeds are signed by a Linux build tree with its
# development key, and the Windows build compiles in that key's modulus. Exits non-zero on any
# failure.
#
#   scripts/windows-e2e.sh
#   LINUX_BUILD_DIR=...   the Linux build tree that signs and drives the suite (default: build/);
#                         configured here when it does not exist yet
#   WINDOWS_BUILD_DIR=... the Windows build tree (default: build-win/); its Wine prefix is
#                         wineprefix/ in it, made on first use, then reused
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

linux=${LINUX_BUILD_DIR:-$VELLUMIX_TOP/build}
windows=${WINDOWS_BUILD_DIR:-$VELLUMIX_TOP/build-win}
mkdir -p "$linux" "$windows"
linux=$(cd "$linux" && pwd)
windows=$(cd "$windows" && pwd)
export WINEPREFIX=$windows/wineprefix

start_stage_timer "stage timings (Windows build and Wine suite)"

ensure_packages $VELLUMIX_BUILD_PACKAGES g++-mingw-w64-x86-64 libz-mingw-w64-dev dpkg-dev wine \
    wine64 libgnutls30 xvfb xauth xdotool imagemagick fonts-wqy-microhei locales nginx squid nsis
# The suite runs the Windows programs as on a Chinese Windows (code page 936), which Wine takes
# from a Linux locale of that language.
if ! locale -a 2>/dev/null | grep -qx 'zh_CN.utf8'; then
    say "making the locale zh_CN.UTF-8"
    if [ "$(id -u)" -eq 0 ]; then localedef -i zh_CN -f UTF-8 zh_CN.UTF-8; else sudo localedef -i zh_CN -f UTF-8 zh_CN.UTF-8; fi
fi
stage_done packages

qt=$(bash "$VELLUMIX_TOP/scripts/build-qt-mingw.sh")
stage_done qt
zstd=$(bash "$VELLUMIX_TOP/scripts/build-zstd-mingw.sh")
stage_done zstd

# The Linux tree: its development key signs the updates, and it builds the suite's driver.
say "configuring $linux for the Wine suite"
cmake -S "$VELLUMIX_TOP" -B "$linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELLUMIX_WINDOWS_BUILD_DIR="$windows" >/dev/null
cmake --build "$linux" --parallel "$(nproc)" --target tst_wine_updater
stage_done linux-driver

key=$linux/devkey/update-signing-dev.pem
if [ ! -f "$key" ]; then
    echo "$linux has no development signing key (configured with a release key?): the Wine" \
         "suite signs its updates with it" >&2
    exit 1
fi
modulus=$(openssl rsa -in "$key" -noout -modulus | sed 's/^Modulus=//' | tr 'A-F' 'a-f')

say "configuring $windows (mingw-w64, Qt in $qt, libzstd in $zstd)"
# A tree configured before zlib was linked statically holds the import library in its cache;
# it is looked for again.
(cd "$VELLUMIX_TOP" && VELLUMIX_QT_MINGW=$qt VELLUMIX_ZSTD_MINGW=$zstd \
    cmake --preset windows-mingw -B "$windows" -UZLIB_LIBRARY_RELEASE \
    -DVELLUMIX_UPDATE_KEY_MODULUS="$modulus" >/dev/null)
say "building $windows"
cmake --build "$windows" --parallel "$(nproc)"
# Each program must start on Windows as a single file: no DLL of the compiler, of Qt, of zlib or
# of zstd may be needed beside it. Wine cannot show this by itself: it has a zlib1.dll of its own.
for exe in updater/VellumixUpdater.exe sampleapp/vellumix-sample-app.exe client/vellumix-fetch.exe \
    smoketest/platform-smoke-test.exe sampleapp/vellumix-widgets-app.exe; do
    foreign=$(x86_64-w64-mingw32-objdump -p "$windows/$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
        grep -iE '^(zlib|zstd|qt6|lib)' || true)
    if [ -n "$foreign" ]; then
        echo "$windows/$exe needs DLLs that Windows does not have:" $foreign >&2
        exit 1
    fi
done
# The suite's TLS probe, a program of its own against the same Qt.
say "building $windows/tlsprobe"
cmake -S "$VELLUMIX_TOP/tests/windows/tlsprobe" -B "$windows/tlsprobe" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$VELLUMIX_TOP/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_PREFIX_PATH="$qt" -DCMAKE_FIND_ROOT_PATH="$qt" -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >/dev/null
cmake --build "$windows/tlsprobe" --parallel "$(nproc)"
stage_done windows-build

# The prefix is made here rather than by the first test, so its cost shows on its own.
say "preparing the Wine prefix $WINEPREFIX"
"$VELLUMIX_TOP/scripts/wine-run.sh" cmd /c exit 0
stage_done prefix

say "running the Windows programs under Wine"
# wine_setup_program runs a part of tst_wine_updater again on its own: left out here.
(cd "$linux" && ctest -L windows -E '^wine_setup_program$' --output-on-failure --timeout 1500)
stage_done tests
