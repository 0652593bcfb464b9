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
#   bench/fetch.sh --link [--rtt MS] [--mbit MBIT] [--runs N] [--connections N] ...
#       the same over HTTPS through a simulated access link (a round trip and a shared rate):
#       see bench/fetch-link.sh
set -euo pipefail
for argument in "$@"; do
    [ "$argument" != --link ] || exec bash "$(dirname "${BASH_SOURCE[0]}")/fetch-link.sh" "$@"
    case $argument in
        -h | --help) sed -n '2,18p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    esac
done
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

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

ensure_packages $VELLUMIX_BUILD_PACKAGES time curl nginx bc
build=${BUILD_DIR:-$VELLUMIX_TOP/build-bench-fetch}
# Only the programs: the release tool, the client, the updater and the stand-in application.
configure_and_build "$build" -DCMAKE_BUILD_TYPE=Release -DVELLUMIX_BUILD_TESTS=OFF >/dev/null
publish=$build/publisher/vellumix-publish
fetch=$build/client/vellumix-fetch
key=$build/devkey/update-signing-dev.pem

work=$(mktemp -d "$parent/vellumix-fetch-bench.XXXXXX")
server=$work/nginx
trap 'bash "$VELLUMIX_TOP/scripts/feed-server.sh" stop "$server" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
say "benchmark in $work, $(nproc) cores, $(uptime)"

# A release folder: the two programs plus the given files of random (incompressible) content.
make_release() {
    local dir=$1 count=$2 min_kib=$3 max_kib=$4
    mkdir -p "$dir/data"
    cp "$build/sampleapp/vellumix-sample-app" "$dir/Vellumix.exe"
    cp "$build/updater/VellumixUpdater" "$dir/VellumixUpdater.exe"
    python3 - "$dir/data" "$count" "$min_kib" "$max_kib" <<'PY'
import os, random, sys
folder, count, low, high = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(7)
for i in range(count):
    size = rng.randint(low, high) * 1024
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(size))
PY
}

feed=$work/feed
sequence=0
for release in "${releases[@]}"; do
    sequence=$((sequence + 1))
    case $release in
        large) make_release "$work/release-$release" 64 16384 16384 ;;
        many) make_release "$work/release-$release" 5000 4 64 ;;
    esac
    "$publish" stage --release "$work/release-$release" --version "1.$sequence" \
        --sequence "$sequence" --channel "$release" --key "$key" --out "$work/stage-$release" \
        >/dev/null 2>&1
    "$publish" publish "$work/stage-$release" --feed "$feed" --channel "$release" >/dev/null
    rm -rf "$work/release-$release" "$work/stage-$release"
done
url=$(bash "$VELLUMIX_TOP/scripts/feed-server.sh" start "$feed" "$server")
mkdir -p "$work/root"

# Runs a command under /usr/bin/time; prints "seconds peak-kib".
measured() {
    /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" \
        || { cat "$work/stderr.txt" >&2; return 1; }
    cat "$work/time.txt"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '\n%-6s %6s %-14s %9s %9s %11s\n' release files client "wall (s)" "peak MiB" bytes
for release in "${releases[@]}"; do
    # The blob URLs of the release, for curl, from the manifest the client checks.
    python3 - "$feed/$release/manifest.json" "$url" "$work/curl-$release.txt" "$work/curl-out" <<'PY' > "$work/bytes.txt"
import base64, json, sys
envelope = json.load(open(sys.argv[1]))
files = json.loads(base64.b64decode(envelope["payload"]))["files"]
digests = sorted({f["packedSha256"]: f["packedSize"] for f in files}.items())
with open(sys.argv[3], "w") as config:
    for digest, _ in digests:
        config.write('url = "%s/blobs/%s"\noutput = "%s/%s"\n' % (sys.argv[2], digest, sys.argv[4], digest))
print(len(digests), sum(size for _, size in digests))
PY
    read -r blobs bytes < "$work/bytes.txt"
    fetch_times=() curl_times=() fetch_rss=() curl_rss=()
    for run in $(seq "$repeat"); do
        rm -rf "$work/stage" "$work/curl-out"
        read -r t m < <(measured "$fetch" download --feed "$url" --channel "$release" \
            --root "$work/root" --stage "$work/stage" --connections "$connections")
        fetch_times+=("$t") fetch_rss+=("$m")
        mkdir -p "$work/curl-out"
        read -r t m < <(measured curl --silent --show-error --fail --parallel \
            --parallel-max "$connections" --config "$work/curl-$release.txt")
        curl_times+=("$t") curl_rss+=("$m")
    done
    ft=$(printf '%s\n' "${fetch_times[@]}" | median)
    ct=$(printf '%s\n' "${curl_times[@]}" | median)
    fm=$(printf '%s\n' "${fetch_rss[@]}" | median)
    cm=$(printf '%s\n' "${curl_rss[@]}" | median)
    printf '%-6s %6d %-14s %9.2f %9.1f %11d\n' "$release" "$blobs" vellumix-fetch "$ft" "$(echo "$fm / 1024" | bc -l)" "$bytes"
    printf '%-6s %6d %-14s %9.2f %9.1f %11d\n' "$release" "$blobs" "curl --parallel" "$ct" "$(echo "$cm / 1024" | bc -l)" "$bytes"
    printf '%-6s %6s %-14s %9.2f   (runs: vellumix-fetch %s; curl %s)\n' "$release" "" ratio \
        "$(echo "$ft / $ct" | bc -l)" "${fetch_times[*]}" "${curl_times[*]}"
done
