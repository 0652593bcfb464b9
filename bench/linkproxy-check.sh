#!/usr/bin/env bash
# Checks vellumix-linkproxy against what a link of its settings must give, with curl and nginx
# on this machine, and prints the figures beside what they should be:
#   - a 10 MB download at the rate: bytes / rate + two round trips (handshake and request);
#   - a small request on a new connection (two round trips more than direct) and on a kept one
#     (one round trip more);
#   - two downloads at once share the rate (each takes about twice as long as one alone);
#   - a reader that stalls holds the proxy back, not the proxy's memory: the proxy's resident
#     memory while a client reads 10 MB at 2 MB/s through a link without a rate;
#   - HTTPS with HTTP/2 passes unchanged.
# Every body is compared with the file; a difference, a failed transfer or another protocol
# stops the check with an error. The times are figures to read, not asserted.
#
#   bench/linkproxy-check.sh [--rtt MS] [--mbit MBIT]    (default 40 ms, 100 Mbit/s)
#   BUILD_DIR=...   where the proxy is built (default: build-bench-fetch/ in the checkout)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/fetch-common.sh"
bench_name=bench/linkproxy-check.sh
rtt=40
mbit=100
while [ $# -gt 0 ]; do
    case $1 in
        --rtt) rtt=$2; shift 2 ;;
        --mbit) mbit=$2; shift 2 ;;
        *) echo "bench/linkproxy-check.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ $rtt =~ ^[0-9]+$ ]] || die "--rtt needs whole milliseconds"
[[ $mbit =~ ^[1-9][0-9]*$ ]] || die "--mbit needs a whole rate above 0"

ensure_packages g++ curl nginx openssl bc
build=${BUILD_DIR:-$VELLUMIX_TOP/build-bench-fetch}
proxy=$build/bench-link/vellumix-linkproxy
if [ ! -x "$proxy" ] || [ "$VELLUMIX_TOP/bench/linkproxy.cpp" -nt "$proxy" ]; then
    mkdir -p "$(dirname "$proxy")"
    g++ -std=c++20 -O2 -Wall -Wextra -o "$proxy" "$VELLUMIX_TOP/bench/linkproxy.cpp"
fi

keep_logs=
start_work_dir "${TMPDIR:-/tmp}" vellumix-linkproxy-check 100

# A feed-shaped folder that nginx serves with the feed's configuration: a 10 MB blob and a
# small "manifest".
big=$(printf '%064d' 1)
mkdir -p "$work/feed/blobs" "$work/feed/stable"
head -c 10000000 /dev/urandom > "$work/feed/blobs/$big"
echo '{}' > "$work/feed/stable/manifest.json"
tls=$work/tls
make_test_ca "$tls"
origin=$(bash "$VELLUMIX_TOP/scripts/feed-server.sh" start "$work/feed" "$work/nginx" \
    --tls "$tls/server.pem" "$tls/server.key" --tls13 --http2)
target=127.0.0.1:${origin##*:}

# start_proxy NAME ARGS...: starts a proxy to nginx and sets `port`.
start_proxy() {
    local name=$1 tries
    shift
    "$proxy" --target "$target" --max-seconds 300 "$@" > "$work/$name.port" 2> "$work/$name.log" &
    background_pids+=($!)
    for tries in $(seq 1 50); do
        [ -s "$work/$name.port" ] && break
        sleep 0.1
    done
    port=$(head -n 1 "$work/$name.port")
    [[ $port =~ ^[0-9]+$ ]] || { cat "$work/$name.log" >&2; die "the proxy $name did not start"; }
}

# fetch URL...: every URL on one curl (one connection, kept); prints curl's figures per URL:
# "protocol connect-done first-byte total" in seconds.
fetch() {
    curl --silent --show-error --fail --cacert "$tls/ca.pem" "$@" \
        -w '%{http_version} %{time_appconnect} %{time_starttransfer} %{time_total}\n'
}
same_body() { cmp -s "$1" "$work/feed/blobs/$big" || die "the body that came through differs"; }
ms() { echo "$1 * 1000" | bc -l | xargs printf '%.1f'; }

start_proxy shaped --rtt "$rtt" --bandwidth "$mbit"
shaped=https://127.0.0.1:$port
start_proxy open --rtt 0 --bandwidth 0 --buffer-kib 64
open=https://127.0.0.1:$port

printf '\nvellumix-linkproxy at %s ms round trip, %s Mbit/s (load average %s)\n' "$rtt" "$mbit" \
    "$(cut -d' ' -f1-3 /proc/loadavg)"

fetch -o /dev/null "$origin/stable/manifest.json" > "$work/direct.txt"
read -r _ _ direct_first _ < "$work/direct.txt"
fetch -o /dev/null -o /dev/null "$shaped/stable/manifest.json" "$shaped/stable/manifest.json" \
    > "$work/pair.txt"
read -r -a pair <<< "$(tr '\n' ' ' < "$work/pair.txt")"
[ "${pair[0]}" = 2 ] || die "HTTP/2 did not pass through the proxy (curl saw ${pair[0]})"
printf 'small request, new connection: first byte after %s ms (direct: %s ms; a real link: TCP, TLS 1.3 and the request, 3 round trips = %s ms)\n' \
    "$(ms "${pair[2]}")" "$(ms "$direct_first")" "$((3 * rtt))"
printf 'small request, kept connection: %s ms (a real link: 1 round trip = %s ms)\n' \
    "$(ms "${pair[6]}")" "$rtt"

fetch --http1.1 -o "$work/one.bin" "$shaped/blobs/$big" > "$work/one.txt"
same_body "$work/one.bin"
read -r _ handshake first total < "$work/one.txt"
expected=$(echo "10000000 * 8 / ($mbit * 1000000) + 3 * $rtt / 1000" | bc -l)
printf '10 MB over HTTP/1.1: %.3f s, first byte at %.3f s (a real link without slow start: 3 round trips + bytes / rate = %.3f s)\n' \
    "$total" "$first" "$expected"

fetch --http1.1 -o "$work/a.bin" "$shaped/blobs/$big" > "$work/a.txt" &
first_pid=$!
fetch --http1.1 -o "$work/b.bin" "$shaped/blobs/$big" > "$work/b.txt"
wait "$first_pid" || die "the first of two downloads failed"
same_body "$work/a.bin"
same_body "$work/b.bin"
expected=$(echo "20000000 * 8 / ($mbit * 1000000) + 3 * $rtt / 1000" | bc -l)
printf 'two 10 MB downloads at once: %.3f s and %.3f s (sharing the rate: %.3f s)\n' \
    "$(cut -d' ' -f4 "$work/a.txt")" "$(cut -d' ' -f4 "$work/b.txt")" "$expected"

# The slow reader: curl reads at 2 MB/s through a link without a rate, buffers of 64 KiB.
open_pid=${background_pids[-1]}
rss_before=$(awk '/^VmRSS/ { print $2 }' "/proc/$open_pid/status")
fetch --http1.1 --limit-rate 2000K -o "$work/slow.bin" "$open/blobs/$big" > /dev/null &
slow_pid=$!
peak=0
while kill -0 "$slow_pid" 2>/dev/null; do
    rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$open_pid/status")
    [ "$rss" -gt "$peak" ] && peak=$rss
    sleep 0.1
done
wait "$slow_pid" || die "the slow download failed"
same_body "$work/slow.bin"
printf 'a reader at 2 MB/s, 10 MB, no rate limit, 64 KiB per connection: proxy resident %s KiB before, %s KiB at most during\n' \
    "$rss_before" "$peak"
