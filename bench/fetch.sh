#!/usr/bin/env bash
# The client's download against curl on the same feed: a release of 1 GiB in 64 blobs and one of
# 5,000 small blobs, published with vellumix-publish and served by nginx on a free local port.
# vellumix-fetch downloads each release into an empty stage (every file travels, is verified and
# unpacked); curl fetches the same blob URLs with the same number of connections (--parallel)
# and only writes them. Wall time and peak memory (resident set) of each, medians of the runs.
# The figures and how to read them: docs/performance.md.
#
#   bench/fetch.sh [--dir DIR] [--repeat N] [--connections N] [large|many]...
#       --dir DIR        make the temporary directory in DIR (default: $TMPDIR or /tmp); the large
#                        release needs about 4 GB free there
#       --repeat N       runs of each (default 3)
#       --connections N  transfers at once, for both (default 4)
#   BUILD_DIR=...        build somewhere else (default: build-bench-fetch/ in the checkout)
#
#   bench/fetch.sh --loopback [--runs N] [--connections N] [--syscalls] ... [small|big]...
#       over HTTPS with HTTP/2 offered, on this machine without a link in between: the work
#       per file and per byte against curl over HTTP/2; see bench/fetch-loopback.sh
#
#   bench/fetch.sh --link [--rtt MS] [--mbit MBIT] [--runs N] [--connections N] ...
#       the same over HTTPS through a simulated access link (a round trip and a shared rate):
#       see bench/fetch-link.sh
#
#   bench/fetch.sh --lan [--runs N] ...
#       the link mode on a local network's terms: 1 ms round trip, 1,000 Mbit/s, 5 runs (each
#       may still be set as for --link)
set -euo pipefail
for argument in "$@"; do
    case $argument in
        --link) exec bash "$(dirname "${BASH_SOURCE[0]}")/fetch-link.sh" "$@" ;;
        --lan) exec bash "$(dirname "${BASH_SOURCE[0]}")/fetch-link.sh" --rtt 1 --mbit 1000 --runs 5 "$@" ;;
        --loopback) exec bash "$(dirname "${BASH_SOURCE[0]}")/fetch-loopback.sh" "$@" ;;
        -h | --help) sed -n '2,26p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    esac
done
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/fetch-common.sh"
bench_name=bench/fetch.sh

parent=${TMPDIR:-/tmp}
repeat=3
connections=4
releases=()
while [ $# -gt 0 ]; do
    case $1 in
        --dir) parent=$2; shift 2 ;;
        --repeat) repeat=$2; shift 2 ;;
        --connections) connections=$2; shift 2 ;;
        large|many) releases+=("$1"); shift ;;
        *) echo "bench/fetch.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
[ ${#releases[@]} -gt 0 ] || releases=(large many)
[[ $repeat =~ ^[1-9][0-9]*$ ]] || die "--repeat needs a number from 1"
[[ $connections =~ ^[1-9][0-9]*$ ]] || die "--connections needs a number from 1"

build=${BUILD_DIR:-$VELLUMIX_TOP/build-bench-fetch}
build_programs
keep_logs=
# The feed, the stage (with the packed copies) and curl's copy: four times the large release.
space=700
[[ " ${releases[*]} " == *" large "* ]] && space=4200
start_work_dir "$parent" vellumix-fetch-bench "$space"
say "benchmark in $work, $(nproc) cores, $(uptime)"

publish_releases "${releases[@]}"
url=$(bash "$VELLUMIX_TOP/scripts/feed-server.sh" start "$work/feed" "$work/nginx") \
    || die "nginx did not start"
mkdir -p "$work/root"

printf '\n%-6s %6s %-14s %9s %9s %11s\n' release files client "wall (s)" "peak MiB" bytes
for release in "${releases[@]}"; do
    read -r blob_count byte_count < <(blob_list "$release" "$url")
    fetch_times=() curl_times=() fetch_rss=() curl_rss=()
    for run in $(seq "$repeat"); do
        rm -rf "$work/stage" "$work/curl-out"
        measured "$fetch" download --feed "$url" --channel "$release" \
            --root "$work/root" --stage "$work/stage" --connections "$connections"
        fetch_times+=("$seconds") fetch_rss+=("$kib")
        mkdir -p "$work/curl-out"
        measured curl --silent --show-error --fail --parallel \
            --parallel-max "$connections" --config "$work/curl-$release.txt"
        curl_times+=("$seconds") curl_rss+=("$kib")
    done
    ft=$(printf '%s\n' "${fetch_times[@]}" | median)
    ct=$(printf '%s\n' "${curl_times[@]}" | median)
    fm=$(printf '%s\n' "${fetch_rss[@]}" | median)
    cm=$(printf '%s\n' "${curl_rss[@]}" | median)
    printf '%-6s %6d %-14s %9.2f %9.1f %11d\n' "$release" "$blob_count" vellumix-fetch "$ft" "$(echo "$fm / 1024" | bc -l)" "$byte_count"
    printf '%-6s %6d %-14s %9.2f %9.1f %11d\n' "$release" "$blob_count" "curl --parallel" "$ct" "$(echo "$cm / 1024" | bc -l)" "$byte_count"
    printf '%-6s %6s %-14s %9.2f   (runs: vellumix-fetch %s; curl %s)\n' "$release" "" ratio \
        "$(echo "$ft / $ct" | bc -l)" "${fetch_times[*]}" "${curl_times[*]}"
done
