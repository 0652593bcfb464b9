#!/usr/bin/env bash
# Builds the updater and its benchmark (Release) and runs the benchmark in a temporary directory
# that is removed afterwards. The figures and how to read them: docs/performance.md.
#
#   bench/run.sh [--dir DIR] [--repeat N] [large|many|no-op|widest|journal]...
#       --dir DIR     make the temporary directory in DIR (default: $TMPDIR or /tmp); the large
#                     scenario needs about 4.5 GB free there
#       --repeat N    runs of each scenario (default 3); the summary gives medians
#       scenarios     the ones to run (default: all of them, then the journal alone)
#   BUILD_DIR=...     build somewhere else (default: build-bench/ in the checkout)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

parent=${TMPDIR:-/tmp}
args=()
while [ $# -gt 0 ]; do
    case $1 in
        --dir) parent=$2; shift 2 ;;
        *) args+=("$1"); shift ;;
    esac
done

ensure_packages $VELLUMIX_BUILD_PACKAGES time
build=${BUILD_DIR:-$VELLUMIX_TOP/build-bench}
configure_and_build "$build" -DCMAKE_BUILD_TYPE=Release

work=$(mktemp -d "$parent/vellumix-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
say "benchmark in $work, $(nproc) cores, $(uptime)"
"$build/bench/vellumix-bench" run "$work/run" "${args[@]}"
