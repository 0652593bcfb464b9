#!/usr/bin/env bash
# Builds and runs every test: installs the Debian packages that are missing, configures, builds
# and runs CTest. Exits non-zero on any failure.
#
#   scripts/test.sh            every test
#   BUILD_DIR=... scripts/test.sh   build somewhere else (default: build/ in the checkout)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# Test tools: strace for fault injection, e2fsprogs for chattr, Xvfb for a real X server.
ensure_packages $VELLUMIX_BUILD_PACKAGES strace e2fsprogs xvfb xauth

build=${BUILD_DIR:-$VELLUMIX_TOP/build}
configure_and_build "$build"

say "running the tests"
cd "$build"
ctest --output-on-failure --timeout 900 -j "$(nproc)"
BUILD_DIR="$build-win-os" bash "$VELLUMIX_TOP/scripts/windows-oslayer.sh"
