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
#   BUILD_DIR=...         build somewhere else (default: build-bench-fetch/ in the checkout)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

die() { echo "bench/fetch.sh --link: $*" >&2; exit 1; }

parent=${TMPDIR:-/tmp}
rtt=40
mbit=100
runs=2
connections=4
keep_logs=
http2=--http2
releases=()
while [ $# -gt 0 ]; do
    case $1 in
        --link) shift ;;
        --rtt) rtt=$2; shift 2 ;;
        --mbit) mbit=$2; shift 2 ;;
        --runs | --repeat) runs=$2; shift 2 ;;
        --connections) connections=$2; shift 2 ;;
        --dir) parent=$2; shift 2 ;;
        --keep-logs) keep_logs=$2; shift 2 ;;
        --http1-only) http2=; shift ;;
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

ensure_packages $VELLUMIX_BUILD_PACKAGES time curl nginx bc python3
curl -V | grep -qw HTTP2 || die "this curl cannot speak HTTP/2 (curl -V shows no HTTP2)"
build=${BUILD_DIR:-$VELLUMIX_TOP/build-bench-fetch}
# Only the programs: the release tool, the client, the updater and the stand-in application.
configure_and_build "$build" -DCMAKE_BUILD_TYPE=Release -DVELLUMIX_BUILD_TESTS=OFF >/dev/null
publish=$build/publisher/vellumix-publish
fetch=$build/client/vellumix-fetch
key=$build/devkey/update-signing-dev.pem
# The proxy is plain C++ and not part of a build without the tests: made here.
proxy=$build/bench-link/vellumix-linkproxy
if [ ! -x "$proxy" ] || [ "$VELLUMIX_TOP/bench/linkproxy.cpp" -nt "$proxy" ]; then
    mkdir -p "$(dirname "$proxy")"
    g++ -std=c++20 -O2 -Wall -Wextra -o "$proxy" "$VELLUMIX_TOP/bench/linkproxy.cpp"
fi

work=$(mktemp -d "$parent/vellumix-fetch-link.XXXXXX")
server=$work/nginx
proxy_pid=
cleanup() {
    if [ -n "$proxy_pid" ]; then
        kill -TERM "$proxy_pid" 2>/dev/null || true
        wait "$proxy_pid" 2>/dev/null || true
    fi
    bash "$VELLUMIX_TOP/scripts/feed-server.sh" stop "$server" >/dev/null 2>&1 || true
    if [ -n "$keep_logs" ] && [ -d "$work/logs" ]; then
        mkdir -p "$keep_logs"
        cp -r "$work/logs/." "$keep_logs/" || true
        [ -f "$work/proxy.log" ] && cp "$work/proxy.log" "$keep_logs/" || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/logs"
say "link benchmark in $work, $(nproc) cores, $(uptime)"

# The test CA and the server's certificate for 127.0.0.1 (P-256 keys, as the tests make them).
tls=$work/tls
mkdir -p "$tls"
printf '%s\n' 'basicConstraints = critical, CA:FALSE' \
    'keyUsage = critical, digitalSignature, keyEncipherment' 'extendedKeyUsage = serverAuth' \
    'subjectAltName = IP:127.0.0.1, DNS:localhost' > "$tls/server.ext"
{
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$tls/ca.key" \
        -out "$tls/ca.pem" -days 2 -subj '/CN=Vellumix test CA' \
        -addext 'basicConstraints=critical,CA:TRUE' -addext 'keyUsage=critical,keyCertSign,cRLSign'
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$tls/server.key" \
        -out "$tls/server.csr" -subj '/CN=127.0.0.1'
    openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca.key" \
        -set_serial "$((RANDOM * 32768 + RANDOM + 1))" -days 2 -extfile "$tls/server.ext" \
        -out "$tls/server.pem"
} > "$work/openssl.txt" 2>&1 || { cat "$work/openssl.txt" >&2; die "openssl could not make the test certificates"; }

# A release folder: the two programs plus COUNT files of random content, their sizes drawn
# from MIN_BYTES to MAX_BYTES in whole KiB.
make_release() {
    local dir=$1 count=$2 min_bytes=$3 max_bytes=$4
    mkdir -p "$dir/data"
    cp "$build/sampleapp/vellumix-sample-app" "$dir/Vellumix.exe"
    cp "$build/updater/VellumixUpdater" "$dir/VellumixUpdater.exe"
    python3 - "$dir/data" "$count" "$min_bytes" "$max_bytes" <<'PY'
import os, random, sys
folder, count, low, high = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(11)
for i in range(count):
    size = rng.randint(low // 1024, high // 1024) * 1024
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(size))
PY
}

say "publishing the releases"
feed=$work/feed
sequence=0
for release in "${releases[@]}"; do
    sequence=$((sequence + 1))
    case $release in
        small) make_release "$work/release-$release" 1999 4096 65536 ;;
        # 137 MB with the programs: three files of 45,400 KiB.
        big) make_release "$work/release-$release" 3 46489600 46489600 ;;
    esac
    "$publish" stage --release "$work/release-$release" --version "1.$sequence" \
        --sequence "$sequence" --channel "$release" --key "$key" --out "$work/stage-$release" \
        > "$work/publish.txt" 2>&1 \
        || { cat "$work/publish.txt" >&2; die "vellumix-publish stage failed"; }
    "$publish" publish "$work/stage-$release" --feed "$feed" --channel "$release" \
        > "$work/publish.txt" 2>&1 || { cat "$work/publish.txt" >&2; die "vellumix-publish publish failed"; }
    rm -rf "$work/release-$release" "$work/stage-$release"
done

origin=$(bash "$VELLUMIX_TOP/scripts/feed-server.sh" start "$feed" "$server" \
    --tls "$tls/server.pem" "$tls/server.key" --tls13 $http2 --detail-log)
# The proxy ends by itself well after the last run could have ended.
"$proxy" --target "127.0.0.1:${origin##*:}" --rtt "$rtt" --bandwidth "$mbit" \
    --max-seconds $((600 + runs * 1200)) --verbose > "$work/proxy.port" 2> "$work/proxy.log" &
proxy_pid=$!
for tries in $(seq 1 50); do
    [ -s "$work/proxy.port" ] && break
    kill -0 "$proxy_pid" 2>/dev/null || { cat "$work/proxy.log" >&2; die "the proxy did not start"; }
    sleep 0.1
done
proxy_port=$(head -n 1 "$work/proxy.port")
[[ $proxy_port =~ ^[0-9]+$ ]] || { cat "$work/proxy.log" >&2; die "the proxy did not print its port"; }
url=https://127.0.0.1:$proxy_port
detail=$server/detail.log
mkdir -p "$work/root"
# A client that keeps the last verified manifest is given a folder for it in the temporary
# directory, never the user's own cache.
cache_option=
"$fetch" --help 2>&1 | grep -q -- '--cache-dir' && cache_option=--cache-dir

# The blob URLs of a release, for curl, from the manifest the client checks; prints the number
# of blobs and their bytes.
blob_list() {
    python3 - "$feed/$1/manifest.json" "$url" "$work/curl-$1.txt" "$work/curl-out" <<'PY'
import base64, json, sys
envelope = json.load(open(sys.argv[1]))
files = json.loads(base64.b64decode(envelope["payload"]))["files"]
digests = sorted({f["packedSha256"]: f["packedSize"] for f in files}.items())
with open(sys.argv[3], "w") as config:
    for digest, _ in digests:
        config.write('url = "%s/blobs/%s"\noutput = "%s/%s"\n' % (sys.argv[2], digest, sys.argv[4], digest))
print(len(digests), sum(size for _, size in digests))
PY
}

# Runs a command under /usr/bin/time and sets `seconds` and `kib` (its peak resident memory).
# Exit codes other than 0 that count as success may be given first: --ok CODES.
measured() {
    local ok=0
    if [ "$1" = --ok ]; then ok=$2; shift 2; fi
    local code=0
    /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" > "$work/stdout.txt" 2> "$work/stderr.txt" \
        || code=$?
    if ! [[ " $ok " == *" $code "* ]]; then
        cat "$work/stderr.txt" "$work/stdout.txt" >&2
        die "$1 ended with $code"
    fi
    read -r seconds kib < <(tail -n 1 "$work/time.txt")
    [[ $seconds =~ ^[0-9.]+$ ]] || die "no time measured for $1"
}

# What nginx logged of one transfer (the lines of detail.log after FIRST_LINE), copied to
# LOG_COPY: sets `requests`, `conns`, `protocol`, `request_bytes`, `sent_bytes` and, on
# HTTP/1.1, `idle`: the median time between an answer's last byte leaving the server and the
# next request on the same connection ("-" otherwise).
server_view() {
    tail -n +"$(($1 + 1))" "$detail" > "$2"
    python3 - "$2" > "$work/view.txt" <<'PY'
import collections, statistics, sys
rows = [line.rstrip("\n").split("\t") for line in open(sys.argv[1]) if line.strip()]
by_connection = collections.defaultdict(list)
protocols = collections.Counter()
request_bytes = sent_bytes = 0
for end, took, connection, number, protocol, *_, length, sent, body, tls in rows:
    end, took = float(end), float(took)
    by_connection[connection].append((int(number), end - took, end))
    protocols[protocol.replace("HTTP/", "h").replace(".0", "")] += 1
    request_bytes += int(length)
    sent_bytes += int(sent)
gaps = []
for requests in by_connection.values():
    requests.sort()
    gaps += [(b[1] - a[2]) * 1000 for a, b in zip(requests, requests[1:])]
h1 = set(protocols) <= {"h1.1", "h1"}
idle = "%.1f" % statistics.median(gaps) if gaps and h1 else "-"
print(len(rows), len(by_connection), "+".join(sorted(protocols)) or "-", request_bytes, sent_bytes, idle)
PY
    read -r requests conns protocol request_bytes sent_bytes idle < "$work/view.txt"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }

declare -A results
tools=(fetch curl-h1 curl-h2)
[ -n "$http2" ] || tools=(fetch curl-h1)
declare -A tool_names=([fetch]="vellumix-fetch" [curl-h1]="curl HTTP/1.1 x$connections" [curl-h2]="curl HTTP/2 x100")

# One transfer of RELEASE with TOOL in run RUN: its figures go into results[].
transfer() {
    local run=$1 release=$2 tool=$3 first
    rm -rf "$work/stage" "$work/curl-out" "$work/cache"
    first=$(wc -l < "$detail")
    case $tool in
        fetch)
            measured "$fetch" download --feed "$url" --channel "$release" --root "$work/root" \
                --stage "$work/stage" --connections "$connections" --ca-file "$tls/ca.pem" \
                ${cache_option:+"$cache_option" "$work/cache"}
            ;;
        curl-h1 | curl-h2)
            local protocol=(--http1.1 --parallel-max "$connections")
            [ "$tool" = curl-h2 ] && protocol=(--http2 --parallel-max 100)
            mkdir -p "$work/curl-out"
            measured curl --silent --show-error --fail --parallel "${protocol[@]}" \
                --cacert "$tls/ca.pem" --config "$work/curl-$release.txt"
            local got
            got=$(find "$work/curl-out" -type f -printf '%s\n' | awk '{ n++; s += $1 } END { print n + 0, s + 0 }')
            [ "$got" = "${blobs[$release]} ${bytes[$release]}" ] \
                || die "curl fetched $got (files, bytes) instead of ${blobs[$release]} ${bytes[$release]}"
            ;;
    esac
    server_view "$first" "$work/logs/run$run-$release-$tool.log"
    results[$run,$release,$tool]="$seconds $kib $requests $conns $protocol $idle"
}

declare -A blobs bytes floor
for release in "${releases[@]}"; do
    blob_list "$release" > "$work/list.txt"
    read -r n b < "$work/list.txt"
    blobs[$release]=$n
    bytes[$release]=$b
    floor[$release]=$(echo "scale=3; $b * 8 / ($mbit * 1000000) + 2 * $rtt / 1000" | bc -l)
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
            read -r seconds kib requests conns protocol idle <<< "${results[$run,$release,$tool]}"
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
    done
}

# Which client is measured: the commit of the checkout, and whether its client/ was changed.
client_source=$(git -C "$VELLUMIX_TOP" log -1 --format='%h %cs' 2>/dev/null || echo "not a git checkout")
[ -z "$(git -C "$VELLUMIX_TOP" status --porcelain -- client protocol 2>/dev/null)" ] \
    || client_source="$client_source, with uncommitted changes in client/ or protocol/"
say "$runs run(s) through the link: $rtt ms round trip, $mbit Mbit/s each way, at $url; vellumix-fetch of $client_source"
for run in $(seq "$runs"); do
    for release in "${releases[@]}"; do
        for tool in "${tools[@]}"; do
            transfer "$run" "$release" "$tool"
        done
    done
    print_table "run $run of $runs, $(date '+%Y-%m-%d %H:%M'), load average $(cut -d' ' -f1-3 /proc/loadavg): link $rtt ms, $mbit Mbit/s; vellumix-fetch ($client_source) --connections $connections" "$run"
done

if [ "$runs" -gt 1 ]; then
    # Medians of the numbers; the protocol as the first run saw it.
    for release in "${releases[@]}"; do
        for tool in "${tools[@]}"; do
            values=()
            for field in 1 2 3 4 5 6; do
                column=$(for run in $(seq "$runs"); do
                    cut -d' ' -f$field <<< "${results[$run,$release,$tool]}"; done)
                if [ "$field" = 5 ] || grep -q '^-$' <<< "$column"; then
                    values+=("$(head -n 1 <<< "$column")")
                else
                    values+=("$(median <<< "$column")")
                fi
            done
            results[median,$release,$tool]="${values[*]}"
        done
    done
    print_table "medians of $runs runs" median
    for release in "${releases[@]}"; do
        for tool in "${tools[@]}"; do
            printf '  %-6s %-22s wall s of the runs: %s\n' "$release" "${tool_names[$tool]}" \
                "$(for run in $(seq "$runs"); do cut -d' ' -f1 <<< "${results[$run,$release,$tool]}"; done | tr '\n' ' ')"
        done
    done
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
