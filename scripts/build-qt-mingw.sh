#!/usr/bin/env bash
# Builds a static Qt 6 (Core, Gui and Widgets, with the windows, offscreen and minimal platform
# plug-ins, and Network with the schannel TLS back end of Windows) for Windows x64 with Debian's
# mingw-w64, from Debian's own qt6-base source, or reuses the one built before. Prints the installed prefix on
# standard output (progress goes to standard error).
#
#   scripts/build-qt-mingw.sh
#   VELLUMIX_QT_CACHE=DIR scripts/build-qt-mingw.sh   (default: /var/cache/vellumix, or
#                                                       ~/.cache/vellumix when not root)
#   VELLUMIX_QT_JOBS=N ...                            (default: the number of processors)
#
# The prefix is DIR/qt6-mingw-<key>, where the key names the Qt source version, the mingw-w64 gcc
# version and a hash of this script: a change to any of them builds a new prefix, and nothing else
# does. The build runs in a temporary directory and the prefix appears only when the build and
# install have succeeded, so an interrupted build never leaves a prefix that looks usable.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages $VELLUMIX_BUILD_PACKAGES g++-mingw-w64-x86-64 dpkg-dev

# The host tools (moc, rcc, ...) come from Debian's Qt, so the Windows Qt must be the very same
# version: that is the version of source fetched.
qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
gcc_version=$(x86_64-w64-mingw32-g++-posix -dumpfullversion)
script_hash=$(sha256sum "${BASH_SOURCE[0]}" | cut -c1-12)
key="${qt_version//[^A-Za-z0-9.]/_}-gcc${gcc_version}-${script_hash}"

if [ -n "${VELLUMIX_QT_CACHE:-}" ]; then
    cache=$VELLUMIX_QT_CACHE
elif [ "$(id -u)" -eq 0 ]; then
    cache=/var/cache/vellumix
else
    cache=$HOME/.cache/vellumix
fi
prefix=$cache/qt6-mingw-$key

if [ -f "$prefix/lib/cmake/Qt6/Qt6Config.cmake" ]; then
    say "reusing the Windows Qt in $prefix"
    echo "$prefix"
    exit 0
fi

mkdir -p "$cache"
# Two callers at once build it once.
exec 9>"$cache/qt6-mingw.lock"
flock 9
if [ -f "$prefix/lib/cmake/Qt6/Qt6Config.cmake" ]; then
    echo "$prefix"
    exit 0
fi

work=$(mktemp -d "$cache/qt6-mingw-build.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Debian's source needs a deb-src entry; one for bookworm main is added beside the binary entry.
sudo=
[ "$(id -u)" -ne 0 ] && sudo=sudo
if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    say "adding a deb-src entry for Debian bookworm main"
    printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' \
        'Suites: bookworm bookworm-updates' 'Components: main' \
        'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' \
        | $sudo tee /etc/apt/sources.list.d/vellumix-debian-src.sources >/dev/null
    $sudo apt-get update -qq
fi

say "fetching the source of qt6-base $qt_version"
(cd "$work" && apt-get source -qq "qt6-base=$qt_version" >/dev/null)
src=$(find "$work" -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
[ -n "$src" ] || { echo "qt6-base source not unpacked" >&2; exit 1; }

# ALPN in the schannel plug-in. Qt 6.4 leaves it out for every MinGW build, so a Windows program
# built here would speak HTTP/1.1 only; mingw-w64's headers (Debian 12's among them) declare what
# it needs, and later Qt releases test for SECBUFFER_APPLICATION_PROTOCOLS instead, as this does.
schannel=$src/src/plugins/tls/schannel/qtls_schannel.cpp
sed -i 's/^#if NTDDI_VERSION >= NTDDI_WINBLUE && !defined(Q_CC_MINGW)$/#if NTDDI_VERSION >= NTDDI_WINBLUE \&\& defined(SECBUFFER_APPLICATION_PROTOCOLS)/' "$schannel"
grep -q '^#if NTDDI_VERSION >= NTDDI_WINBLUE && defined(SECBUFFER_APPLICATION_PROTOCOLS)$' "$schannel" \
    || { echo "the ALPN condition of $schannel was not found; the patch needs a look" >&2; exit 1; }

# The toolchain of the Qt build. The runtime is linked statically (-static), so neither Qt's
# tools nor the programs built against it need libgcc_s_seh-1.dll or libstdc++-6.dll beside them.
# A copy is kept in the prefix for reference; the project builds with its own toolchain file.
toolchain=$work/mingw-w64-qt.cmake
cat >"$toolchain" <<'EOF'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
list(APPEND CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
EOF

# Only what the updater, the smoke test, the stand-in application, the update client and the
# update interface (Widgets) use.
# Debian's "+dfsg" tarball lacks the tablet headers, hence no tablet events and no Direct2D;
# DirectWrite 3 is off because its font database is not linked in a static build with this
# mingw-w64. TLS is Windows' own (schannel, a "tls" plug-in that a static program linking Network
# imports by default); no OpenSSL is looked for. The Network List Manager back end of
# QNetworkInformation is left out: nothing asks for the state of the connection.
say "configuring Qt $qt_version for mingw-w64 (static) in $work"
mkdir "$work/build"
(cd "$work/build" && "$src/configure" -prefix "$prefix" \
    -xplatform win32-g++ -qt-host-path /usr \
    -release -static -static-runtime -nomake examples -nomake tests \
    -no-dbus -no-opengl -no-icu -no-glib -no-pkg-config \
    -no-feature-sql -no-feature-printsupport -no-feature-testlib \
    -schannel -no-openssl -no-feature-networklistmanager -no-feature-sctp -no-libproxy \
    -no-feature-concurrent -no-feature-xml -no-feature-tabletevent -no-direct2d \
    -no-feature-directwrite3 \
    -qt-zlib -qt-pcre -qt-freetype -qt-harfbuzz -qt-libpng -qt-libjpeg -qt-doubleconversion \
    -- -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
       -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake) >"$work/configure.log" 2>&1 \
    || { tail -n 60 "$work/configure.log" >&2; exit 1; }
# A TLS back end that is not there would only show when a program first asks for one.
grep -Eq '^ *Schannel \.+ yes$' "$work/build/config.summary" \
    || { echo "Qt's configure did not enable schannel:" >&2; cat "$work/build/config.summary" >&2; exit 1; }

say "building Qt (this takes a while; docs/windows.md has the figures)"
cmake --build "$work/build" --parallel "${VELLUMIX_QT_JOBS:-$(nproc)}" >"$work/build.log" 2>&1 \
    || { tail -n 60 "$work/build.log" >&2; exit 1; }

# Installed under a staging root with the final path inside it, then moved into place: the path
# baked into the libraries is the final one, and the prefix appears whole or not at all.
DESTDIR=$work/stage cmake --install "$work/build" >"$work/install.log" 2>&1 \
    || { tail -n 60 "$work/install.log" >&2; exit 1; }
cp "$toolchain" "$work/stage$prefix/mingw-w64-qt.cmake"
rm -rf "$prefix"
mv "$work/stage$prefix" "$prefix"
say "Windows Qt installed in $prefix"
echo "$prefix"
