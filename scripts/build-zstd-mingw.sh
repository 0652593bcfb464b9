#!/usr/bin/env bash
# Builds the static libzstd for Windows x64 with Debian's mingw-w64, from Debian's own zstd source,
# or reuses the one built before. Prints the installed prefix on standard output (progress goes to
# standard error); the prefix holds include/zstd.h, include/zstd_errors.h and lib/libzstd.a, and
# the Windows build finds them through CMAKE_FIND_ROOT_PATH (see windows-e2e.sh).
#
#   scripts/build-zstd-mingw.sh
#   VELLUMIX_QT_CACHE=DIR scripts/build-zstd-mingw.sh   (the cache of build-qt-mingw.sh; default:
#                                                         /var/cache/vellumix, or ~/.cache/vellumix
#                                                         when not root)
#
# The prefix is DIR/zstd-mingw-<key>, where the key names the zstd source version, the mingw-w64
# gcc version and a hash of this script. The build runs in a temporary directory and the prefix
# appears only once the library is built, so an interrupted build never leaves one that looks
# usable. Only the static library is built, so no program needs a zstd DLL beside it; without the
# legacy formats (the programs read only frames they made) and without the dictionary builder.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages $VELLUMIX_BUILD_PACKAGES g++-mingw-w64-x86-64 dpkg-dev make
ensure_debian_sources

# The newest source that apt can fetch. It can be older than the Linux build's libzstd-dev when
# that came from a security update whose source is not offered here; that is said below.
version=
for candidate in $(apt-cache showsrc libzstd 2>/dev/null | sed -n 's/^Version: //p'); do
    if [ -z "$version" ] || dpkg --compare-versions "$candidate" gt "$version"; then
        version=$candidate
    fi
done
[ -n "$version" ] || { echo "apt knows no source of libzstd (is there a deb-src entry?)" >&2; exit 1; }
gcc_version=$(x86_64-w64-mingw32-gcc-posix -dumpfullversion)
script_hash=$(sha256sum "${BASH_SOURCE[0]}" | cut -c1-12)
key="${version//[^A-Za-z0-9.]/_}-gcc${gcc_version}-${script_hash}"

if [ -n "${VELLUMIX_QT_CACHE:-}" ]; then
    cache=$VELLUMIX_QT_CACHE
elif [ "$(id -u)" -eq 0 ]; then
    cache=/var/cache/vellumix
else
    cache=$HOME/.cache/vellumix
fi
prefix=$cache/zstd-mingw-$key

linux_version=$(dpkg-query -W -f='${Version}' libzstd-dev 2>/dev/null || true)
if [ -n "$linux_version" ] && dpkg --compare-versions "$linux_version" gt "$version"; then
    say "note: the Windows libzstd is built from source $version; the Linux build has libzstd-dev $linux_version, whose source apt does not offer"
fi

if [ -f "$prefix/lib/libzstd.a" ]; then
    say "reusing the Windows libzstd in $prefix"
    echo "$prefix"
    exit 0
fi

mkdir -p "$cache"
# Two callers at once build it once.
exec 9>"$cache/zstd-mingw.lock"
flock 9
if [ -f "$prefix/lib/libzstd.a" ]; then
    echo "$prefix"
    exit 0
fi

work=$(mktemp -d "$cache/zstd-mingw-build.XXXXXX")
trap 'rm -rf "$work"' EXIT

say "fetching the source of libzstd $version"
(cd "$work" && apt-get source -qq "libzstd=$version" >/dev/null)
src=$(find "$work" -maxdepth 1 -type d -name 'libzstd-*' | head -n1)
[ -n "$src" ] || { echo "libzstd source not unpacked" >&2; exit 1; }

say "building the static libzstd $version for mingw-w64"
make -C "$src/lib" -j"${VELLUMIX_ZSTD_JOBS:-$(nproc)}" libzstd.a \
    CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar \
    ZSTD_LEGACY_SUPPORT=0 ZSTD_LIB_DICTBUILDER=0 >"$work/build.log" 2>&1 \
    || { tail -n 60 "$work/build.log" >&2; exit 1; }
# An archive of Windows objects, not of the host's.
x86_64-w64-mingw32-objdump -a "$src/lib/libzstd.a" | grep -q 'file format pe-x86-64' \
    || { echo "$src/lib/libzstd.a does not hold Windows x64 objects" >&2; exit 1; }

stage=$work/stage
mkdir -p "$stage/include" "$stage/lib"
cp "$src/lib/zstd.h" "$src/lib/zstd_errors.h" "$stage/include/"
cp "$src/lib/libzstd.a" "$stage/lib/"
printf '%s\n' "$version" >"$stage/VERSION"
rm -rf "$prefix"
mv "$stage" "$prefix"
say "Windows libzstd installed in $prefix"
echo "$prefix"
