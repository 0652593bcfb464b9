#!/usr/bin/env bash
# Installs the update client from the build tree into a fresh prefix and builds an application
# outside the tree against the installed package, as an integrator would. Fails when the package
# cannot be found or linked, or when it forces the include folders of the updater or its core, or
# their compile flags, on the application.
#
#   test_package.sh BUILD_DIR
set -euo pipefail
build=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"
for file in include/vellumix/updateclient.h include/vellumix/startup.h \
            include/vellumix/updatefailure.h include/vellumix/updateoutcome.h include/vellumix/translation.h \
            share/vellumix/translations/vellumix_zh_CN.qm lib/cmake/VellumixUpdateClient/VellumixUpdateClientConfig.cmake; do
    [ -f "$work/prefix/$file" ] || { echo "the package lacks $file" >&2; exit 1; }
done
# Only the public headers are installed.
headers=$(cd "$work/prefix/include" && find . -type f | sort | tr '\n' ' ')
[ "$headers" = "./vellumix/softwareupdate.h ./vellumix/startup.h ./vellumix/translation.h ./vellumix/updateclient.h ./vellumix/updatefailure.h ./vellumix/updateoutcome.h " ] \
    || { echo "unexpected installed headers: $headers" >&2; exit 1; }

cmake -S "$here/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$work/configure.log" 2>&1 \
    || { cat "$work/configure.log" >&2; exit 1; }
cmake --build "$work/consumer" --verbose >"$work/build.log" 2>&1 \
    || { cat "$work/build.log" >&2; exit 1; }
line=$(grep -m1 -- ' -c .*main.cpp' "$work/build.log")
echo "consumer compile line: $line"
if grep -q -e 'QT_NO_CAST' -e '/updater' -e '/core/' -e '/client/' <<<"$line"; then
    echo "the package forces the updater's flags or folders on the application" >&2
    exit 1
fi
# The programs an application ships, and the word on the development key this build was made with.
for file in bin/VellumixUpdater bin/platform-smoke-test; do
    [ -x "$work/prefix/$file" ] || { echo "the package lacks the program $file" >&2; exit 1; }
done
warned=no
grep -q "development update-signing key" "$work/configure.log" && warned=yes
development=no
grep -q '^VELLUMIX_UPDATE_KEY_MODULUS:STRING=$' "$build/CMakeCache.txt" && development=yes
[ "$warned" = "$development" ] \
    || { echo "built with the development key: $development; the package warned: $warned" >&2; exit 1; }

# The guide's program, built with exactly the CMake lines docs/integration.md shows (the guide's
# sources are the stand-in application's; docs_integration_sources checks the page shows them).
mkdir -p "$work/guide-src"
cp "$here/guide/CMakeLists.txt" "$top/sampleapp/minimal.cpp" "$top/sampleapp/selfupdate.h" \
   "$top/sampleapp/selfupdate.cpp" "$work/guide-src/"
cmake -S "$work/guide-src" -B "$work/guide" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
    >"$work/guide-configure.log" 2>&1 || { cat "$work/guide-configure.log" >&2; exit 1; }
cmake --build "$work/guide" >"$work/guide-build.log" 2>&1 \
    || { cat "$work/guide-build.log" >&2; exit 1; }
[ -x "$work/guide/Vellumix" ] && [ -x "$work/guide/VellumixUpdater.exe" ] \
    || { echo "the guide's build made no program with the updater beside it" >&2; exit 1; }
echo "the guide's CMake lines build the guide's program, with the updater beside it"

# The windowed sample program against the installed package, with the update interface's one
# target (Vellumix::UpdateWidgets brings the client and Qt's Widgets module).
mkdir -p "$work/windowed-src"
cp "$top/sampleapp/widgetsapp.cpp" "$work/windowed-src/"
cat >"$work/windowed-src/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.21)
project(VellumixWindowed LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(VellumixUpdateClient REQUIRED)
add_executable(Vellumix widgetsapp.cpp)
target_compile_definitions(Vellumix PRIVATE APP_VERSION="1.0.0" APP_SEQUENCE=1
                                            APP_UPDATE_FEED="https://updates.example.com/vellumix/")
target_link_libraries(Vellumix PRIVATE Vellumix::UpdateWidgets)
CMAKE
cmake -S "$work/windowed-src" -B "$work/windowed" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
    >"$work/windowed-configure.log" 2>&1 || { cat "$work/windowed-configure.log" >&2; exit 1; }
cmake --build "$work/windowed" >"$work/windowed-build.log" 2>&1 \
    || { cat "$work/windowed-build.log" >&2; exit 1; }
[ -x "$work/windowed/Vellumix" ] || { echo "the windowed program was not built" >&2; exit 1; }
echo "Vellumix::UpdateWidgets builds the windowed sample program from the installed package"

output=$("$work/consumer/consumer" https://updates.example.com/feed/)
echo "consumer says: $output"
# English without a translator; the zh_CN translation built into the installed library with it.
expected="startup 0, channel valid, feed https://updates.example.com/feed/
Cannot connect to the update server; please check the network and try again
无法连接更新服务器，请检查网络后重试"
[ "$output" = "$expected" ]
echo "1 passed, 0 failed"
