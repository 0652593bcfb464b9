#!/usr/bin/env bash
# The client's download on a real network's terms: `bench/fetch.sh --link` runs this.
#
# nginx serves a feed over HTTPS (TLS 1.3, HTTP/2 offered beside HTTP/1.1 by ALPN, a test CA made
# here) with the configuration of docs/nginx-feed.conf, behind vellumix-linkproxy, which gives
# every connection the round trip and the shared rate of one access link. Two releases are
# published with vellumix-publish:
#   small  1,999 files of 4 to 64 KiB and the two programs: 2,001 blobs, about 72 MB
#   big    3 files and the two programs: 5 blobs, about 137 MB
# all of random (incompressible) content, so the packed bytes are about the files' bytes. Each
# run downloads each release, through the link, with
#   vellumix-fetch download   into an empty stage (--connections N, --ca-file for the test CA)
#   curl HTTP/1.1             the same blob URLs over N connections (--parallel-max N)
#   curl HTTP/2               the same blob URLs, up to 100 streams at once
# and prints one table per run: wall time and peak resident memory of each, beside the link's
# floor (the blobs' bytes at the link's rate plus two round trips), and what nginx saw of each
# (connections, protocol, requests, and on HTTP/1.1 the median time a connection stood idle at
# the server between an answer and the next request). Every download starts without a kept
# manifest (an empty --cache-dir), as the download of a new release does. Last, the bytes on the
# wire of `vellumix-fetch check`, as nginx counts them: once without a kept manifest, then
# again of the unchanged feed.
#
#   bench/fetch.sh --link [--rtt MS] [--mbit MBIT] [--runs N] [--connections N] [--dir DIR]
#                         [--keep-logs DIR] [--http1-only] [small|big]...
#   bench/fetch.sh --lan [...]   the same with --rtt 1 --mbit 1000 --runs 5 first: a local
#                                network (any of them may follow to change it)
#       --rtt MS          the link's round trip (default 40)
#       --mbit MBIT       the link's rate in both directions, 10^6 bit/s (default 100)
#       --runs N          runs (default 2); with more than one, the medians come last
#       --connections N   vellumix-fetch's --connections and curl's HTTP/1.1 connections
#                         (default 4)
#       --dir DIR         make the temporary directory in DIR (default: $TMPDIR or /tmp); it
#                         needs about 1 GB
#       --keep-logs DIR   copy nginx's request log of every transfer and the proxy's connection
#                         log to DIR
#       --http1-only      nginx offers HTTP/1.1 only (no HTTP/2 by ALPN); curl over HTTP/2 is
#                         left out
#       --windows         also the Windows client, vellumix-fetch.exe under Wine (built here in
#                         build-bench-win/, or WINDOWS_BUILD_DIR, against the static Qt of
#                         scripts/build-qt-mingw.sh, which builds it once); its wall time counts
#                         Wine's start of the program, and its peak memory is that of the
#                         program's process as Wine runs it
#   BUILD_DIR=...         build somewhere else (default: build-bench-fetch/ in the checkout)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/fetch-common.sh"
bench_name="bench/fetch.sh --link"

parent=${TMPDIR:-/tmp}
rtt=40
mbit=100
runs=2
connections=4
keep_logs=
http2=--http2
windows=
releases=()
while [ $# -gt 0 ]; do
    case $1 in
        --link | --lan) shift ;;
        --rtt) rtt=$2; shift 2 ;;
        --mbit) mbit=$2; shift 2 ;;
        --runs | --repeat) runs=$2; shift 2 ;;
        --connections) connections=$2; shift 2 ;;
        --dir) parent=$2; shift 2 ;;
        --keep-logs) keep_logs=$2; shift 2 ;;
        --http1-only) http2=; shift ;;
        --windows) windows=1; shift ;;
        small | big) releases+=("$1"); shift ;;
        *) echo "bench/fetch.sh --link: unknown argument $1" >&2; exit 2 ;;
    esac
done
[ ${#releases[@]} -gt 0 ] || releases=(small big)
[[ $rtt =~ ^[0-9]+([.][0-9]+)?$ ]] || die "--rtt needs milliseconds"
[[ $mbit =~ ^[0-9]+([.][0-9]+)?$ ]] && [ "$(echo "$mbit > 0" | bc)" = 1 ] \
    || die "--mbit needs a rate above 0"
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "--runs needs a number from 1"
[[ $connections =~ ^[1-9][0-9]*$ ]] || die "--connections needs a number from 1"

build=${BUILD_DIR:-$VELLUMIX_TOP/build-bench-fetch}
build_programs
[ -z "$windows" ] || build_windows_fetch
curl -V | grep -qw HTTP2 || die "this curl cannot speak HTTP/2 (curl -V shows no HTTP2)"
# The proxy is plain C++ and not part of a build without the tests: made here.
proxy=$build/bench-link/vellumix-linkproxy
if [ ! -x "$proxy" ] || [ "$VELLUMIX_TOP/bench/linkproxy.cpp" -nt "$proxy" ]; then
    mkdir -p "$(dirname "$proxy")"
    g++ -std=c++20 -O2 -Wall -Wextra -o "$proxy" "$VELLUMIX_TOP/bench/linkproxy.cpp"
fi

start_work_dir "$parent" vellumix-fetch-link 1100
say "link benchmark in $work, $(nproc) cores, $(uptime)"

say "publishing the releases"
publish_releases "${releases[@]}"
start_https_feed $http2
# The proxy ends by itself well after the last run could have ended; its log of every
# connection is kept with nginx's (--keep-logs).
"$proxy" --target "127.0.0.1:${origin##*:}" --rtt "$rtt" --bandwidth "$mbit" \
    --max-seconds $((600 + runs * 1200)) --verbose > "$work/proxy.port" 2> "$work/logs/proxy.log" &
proxy_pid=$!
background_pids+=("$proxy_pid")
for tries in $(seq 1 50); do
    [ -s "$work/proxy.port" ] && break
    kill -0 "$proxy_pid" 2>/dev/null || { cat "$work/logs/proxy.log" >&2; die "the proxy did not start"; }
    sleep 0.1
done
proxy_port=$(head -n 1 "$work/proxy.port")
[[ $proxy_port =~ ^[0-9]+$ ]] || { cat "$work/logs/proxy.log" >&2; die "the proxy did not print its port"; }
url=https://127.0.0.1:$proxy_port

https_tools $http2
declare -A floor
list_blobs "${releases[@]}"
for release in "${releases[@]}"; do
    floor[$release]=$(echo "scale=3; ${bytes[$release]} * 8 / ($mbit * 1000000) + 2 * $rtt / 1000" | bc -l)
done

print_table() {
    local title=$1 run=$2
    printf '\n%s\n' "$title"
    printf '%-6s %6s %12s  %-22s %8s %9s %8s %6s %-8s %8s %8s\n' release blobs bytes tool "wall s" \
        "peak MiB" "x floor" conns protocol requests "idle ms"
    local release tool
    for release in "${releases[@]}"; do
        printf '%-6s %6d %12d  %-22s %8.2f\n' "$release" "${blobs[$release]}" "${bytes[$release]}" \
            "link floor" "${floor[$release]}"
        for tool in "${tools[@]}"; do
            read -r seconds kib requests conns protocol idle _ <<< "${results[$run,$release,$tool]}"
            printf '%-6s %6s %12s  %-22s %8.2f %9.1f %8.2f %6s %-8s %8s %8s\n' "" "" "" \
                "${tool_names[$tool]}" "$seconds" "$(echo "$kib / 1024" | bc -l)" \
                "$(ratio "$seconds" "${floor[$release]}")" "$conns" "$protocol" "$requests" "$idle"
        done
        read -r f _ <<< "${results[$run,$release,fetch]}"
        read -r h1 _ <<< "${results[$run,$release,curl-h1]}"
        local versus_h2=-
        if [ -n "$http2" ]; then
            read -r h2 _ <<< "${results[$run,$release,curl-h2]}"
            versus_h2=$(ratio "$f" "$h2")
        fi
        printf '%-6s ratios: fetch / curl-h2 %s, fetch / floor %s, fetch / curl-h1 %s\n' "" \
            "$versus_h2" "$(ratio "$f" "${floor[$release]}")" "$(ratio "$f" "$h1")"
        if [ -n "$windows" ]; then
            read -r w _ <<< "${results[$run,$release,fetch-win]}"
            printf '%-6s ratios: fetch.exe under Wine / fetch %s, fetch.exe / floor %s\n' "" \
                "$(ratio "$w" "$f")" "$(ratio "$w" "${floor[$release]}")"
        fi
    done
}

client_source=$(describe_client)
say "$runs run(s) through the link: $rtt ms round trip, $mbit Mbit/s each way, at $url; vellumix-fetch of $client_source"
run_all "$runs" "link $rtt ms, $mbit Mbit/s"

if [ "$runs" -gt 1 ]; then
    median_results "$runs" "${releases[@]}"
    print_table "medians of $runs runs" median
    print_run_walls "$runs" "${releases[@]}"
fi

# The check: once without a kept manifest, then again with the feed unchanged (the installed
# release is the channel's current one, so both answer "no update").
printf '\nvellumix-fetch check (what nginx counts: request line and headers, answer headers and body;\nnot TLS and TCP themselves)%s:\n' "${cache_option:+, first without a kept manifest, then again}"
printf '%-6s %-10s %8s %6s %-8s %8s %14s %12s %8s\n' release check requests conns protocol status \
    "request bytes" "sent bytes" "wall s"
sequence=0
rm -rf "$work/cache"
for release in "${releases[@]}"; do
    sequence=$((sequence + 1))
    for pass in first again; do
        [ "$pass" = again ] && [ -z "$cache_option" ] && continue
        first=$(wc -l < "$detail")
        measured --ok 10 "$fetch" check --feed "$url" --channel "$release" --root "$work/root" \
            --sequence "$sequence" --ca-file "$tls/ca.pem" ${cache_option:+"$cache_option" "$work/cache"}
        server_view "$first" "$work/logs/check-$release-$pass.log"
        printf '%-6s %-10s %8s %6s %-8s %8s %14s %12s %8.2f\n' "$release" "$pass" "$requests" \
            "$conns" "$protocol" "$(cut -f8 "$work/logs/check-$release-$pass.log" | sort -u | paste -sd+)" \
            "$request_bytes" "$sent_bytes" "$seconds"
    done
done
