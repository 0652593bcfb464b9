#!/usr/bin/env bash
# The client's download over HTTPS on this machine, without a link in between:
# `bench/fetch.sh --loopback` runs this. Where the link benchmark (fetch-link.sh) measures
# round trips, this one measures the work per file and per byte.
#
# The same feed as the link benchmark's: nginx with docs/nginx-feed.conf over HTTPS (TLS 1.3,
# HTTP/2 offered beside HTTP/1.1 by ALPN, a test CA made here) on a free port of 127.0.0.1,
# serving two releases published with vellumix-publish, of random (incompressible) files:
#   small  1,999 files of 4 to 64 KiB and the two programs: 2,001 blobs, about 70 MB
#   big    3 files and the two programs: 5 blobs, about 140 MB
# Each run downloads each release with
#   vellumix-fetch download   into an empty stage (--connections N, --ca-file for the test CA,
#                             no kept manifest)
#   Qt alone                  big only: the same blob URLs through Qt's network classes as the
#                             client routes them, the bytes thrown away (bench/qtfloor.cpp): the
#                             least that receiving them through Qt costs, without files or
#                             digests
#   curl HTTP/2               the same blob URLs, up to 100 streams at once
#   curl HTTP/1.1             the same blob URLs over N connections (--parallel-max N), for
#                             reference
# and prints a table: wall time, CPU time (user and system), peak resident memory, and what
# nginx saw (connections, protocol, requests); then the medians of the runs and the ratios
# fetch / curl-h2, fetch / curl-h1 (and for big Qt alone / curl-h2) of the median wall times,
# and the processor time per MB of the client beside Qt alone's (the figure this mode is for).
# nginx, curl and the client share this machine's cores: the figures are those of the whole
# machine's work.
#
#   bench/fetch.sh --loopback [--runs N] [--connections N] [--dir DIR] [--keep-logs DIR]
#                             [--syscalls] [--no-settle] [small|big]...
#       --runs N          runs (default 3); the medians come last
#       --connections N   vellumix-fetch's --connections and curl's HTTP/1.1 connections
#                         (default 4)
#       --dir DIR         make the temporary directory in DIR (default: $TMPDIR or /tmp); it
#                         needs about 1 GB
#       --keep-logs DIR   copy nginx's request log of every transfer (and the traces of
#                         --syscalls) to DIR
#       --syscalls        after the runs, one more download of each release by vellumix-fetch
#                         and by curl over HTTP/2 under `strace -f`, and the system calls per
#                         file of each: all of them, and by kind (opens, reads and writes of
#                         files, of sockets, wake-ups of other threads, flushes, renames)
#       --no-settle       start each transfer as soon as the last one's files are removed;
#                         by default the removal is flushed and left 6 s to age first, so that
#                         a tool does not pay at its file creates for the files the tool before
#                         it left (ext4 without a journal checks each new inode against those
#                         freed in the last seconds); the files a tool removes itself still count
#   BUILD_DIR=...         build somewhere else (default: build-bench-fetch/ in the checkout),
#                         so that two builds can be measured with the same script
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/fetch-common.sh"
bench_name="bench/fetch.sh --loopback"

parent=${TMPDIR:-/tmp}
runs=3
connections=4
keep_logs=
syscalls=
settle_seconds=6
releases=()
while [ $# -gt 0 ]; do
    case $1 in
        --loopback) shift ;;
        --runs | --repeat) [ $# -ge 2 ] || die "$1 needs a number"; runs=$2; shift 2 ;;
        --connections) [ $# -ge 2 ] || die "$1 needs a number"; connections=$2; shift 2 ;;
        --dir) [ $# -ge 2 ] || die "$1 needs a folder"; parent=$2; shift 2 ;;
        --keep-logs) [ $# -ge 2 ] || die "$1 needs a folder"; keep_logs=$2; shift 2 ;;
        --syscalls) syscalls=1; shift ;;
        --no-settle) settle_seconds=; shift ;;
        small | big) releases+=("$1"); shift ;;
        *) echo "$bench_name: unknown argument $1 (see bench/fetch.sh --help)" >&2; exit 2 ;;
    esac
done
[ ${#releases[@]} -gt 0 ] || releases=(small big)
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "--runs needs a number from 1"
[[ $connections =~ ^[1-9][0-9]*$ ]] || die "--connections needs a number from 1"

build=${BUILD_DIR:-$VELLUMIX_TOP/build-bench-fetch}
build_programs ${syscalls:+strace}
curl -V | grep -qw HTTP2 || die "this curl cannot speak HTTP/2 (curl -V shows no HTTP2)"

# Qt's network classes alone (bench/qtfloor.cpp), not part of a build without the tests: made
# here, as the link benchmark makes its proxy.
qtfloor=$build/bench-loopback/vellumix-qtfloor
if [ ! -x "$qtfloor" ] || [ "$VELLUMIX_TOP/bench/qtfloor.cpp" -nt "$qtfloor" ]; then
    mkdir -p "$(dirname "$qtfloor")"
    # shellcheck disable=SC2046 # pkg-config's words are separate arguments
    g++ -std=c++17 -O2 -fPIC -Wall -Wextra -o "$qtfloor" "$VELLUMIX_TOP/bench/qtfloor.cpp" \
        $(pkg-config --cflags --libs Qt6Network)
fi

start_work_dir "$parent" vellumix-fetch-loopback 1100
say "loopback benchmark in $work, $(nproc) cores, $(uptime)"
say "publishing the releases"
publish_releases "${releases[@]}"
start_https_feed --http2
url=$origin
https_tools --http2
tools=(fetch qt-floor "${tools[@]:1}")
tool_names[qt-floor]="Qt alone (qtfloor)"
list_blobs "${releases[@]}"

print_table() {
    local title=$1 run=$2 release tool f h1 h2 q floor
    printf '\n%s\n' "$title"
    printf '%-6s %6s %12s  %-22s %8s %7s %9s %6s %-8s %8s\n' release blobs bytes tool "wall s" \
        "cpu s" "peak MiB" conns protocol requests
    for release in "${releases[@]}"; do
        printf '%-6s %6d %12d\n' "$release" "${blobs[$release]}" "${bytes[$release]}"
        for tool in "${tools[@]}"; do
            runs_on "$tool" "$release" || continue
            read -r seconds kib requests conns protocol _ cpu <<< "${results[$run,$release,$tool]}"
            printf '%-6s %6s %12s  %-22s %8.2f %7.2f %9.1f %6s %-8s %8s\n' "" "" "" \
                "${tool_names[$tool]}" "$seconds" "$cpu" "$(echo "$kib / 1024" | bc -l)" \
                "$conns" "$protocol" "$requests"
        done
        read -r f _ <<< "${results[$run,$release,fetch]}"
        read -r h1 _ <<< "${results[$run,$release,curl-h1]}"
        read -r h2 _ <<< "${results[$run,$release,curl-h2]}"
        floor=
        if runs_on qt-floor "$release"; then
            read -r q _ <<< "${results[$run,$release,qt-floor]}"
            floor=", Qt alone / curl-h2 $(ratio "$q" "$h2")"
        fi
        printf '%-6s ratios: fetch / curl-h2 %s, fetch / curl-h1 %s%s\n' "" "$(ratio "$f" "$h2")" \
            "$(ratio "$f" "$h1")" "$floor"
        # The processor time per byte: on loopback the machine, not a network, is the limit.
        local cpu_fetch cpu_qt per_mb
        read -r _ _ _ _ _ _ cpu_fetch <<< "${results[$run,$release,fetch]}"
        per_mb="fetch $(echo "$cpu_fetch * 1000000000 / ${bytes[$release]}" | bc -l | xargs printf '%.2f')"
        if runs_on qt-floor "$release"; then
            read -r _ _ _ _ _ _ cpu_qt <<< "${results[$run,$release,qt-floor]}"
            per_mb+=", Qt alone $(echo "$cpu_qt * 1000000000 / ${bytes[$release]}" | bc -l | xargs printf '%.2f')"
            per_mb+=" (fetch / Qt alone $(ratio "$cpu_fetch" "$cpu_qt"))"
        fi
        printf '%-6s cpu ms per MB (all processes the tool started): %s\n' "" "$per_mb"
    done
}

client_source=$(describe_client)
say "$runs run(s) on loopback at $url; vellumix-fetch of $client_source (build $build)"
run_all "$runs" "loopback, HTTPS"
median_results "$runs" "${releases[@]}"
print_table "medians of $runs runs" median
print_run_walls "$runs" "${releases[@]}"

[ -n "$syscalls" ] || exit 0

# traced TOOL RELEASE: one more download under `strace -f -y` (every call of every thread, with
# the file or socket behind each descriptor), then the calls per file of the trace.
traced() {
    local tool=$1 release=$2 trace=$work/logs/strace-$2-$1.txt
    clear_outputs
    case $tool in
        fetch)
            strace -f -y -qq -o "$trace" "$fetch" download --feed "$url" --channel "$release" \
                --root "$work/root" --stage "$work/stage" --connections "$connections" \
                --ca-file "$tls/ca.pem" ${cache_option:+"$cache_option" "$work/cache"} \
                > "$work/stdout.txt" 2> "$work/stderr.txt" \
                || { cat "$work/stderr.txt" >&2; die "vellumix-fetch failed under strace"; }
            ;;
        curl-h2)
            mkdir -p "$work/curl-out"
            strace -f -y -qq -o "$trace" curl --silent --show-error --fail --parallel --http2 \
                --parallel-max 100 --cacert "$tls/ca.pem" --config "$work/curl-$release.txt" \
                2> "$work/stderr.txt" || { cat "$work/stderr.txt" >&2; die "curl failed under strace"; }
            ;;
    esac
    python3 - "$trace" "${blobs[$release]}" "$release" "${tool_names[$tool]}" <<'PY'
import collections, re, sys
trace, files, release, tool = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
call = re.compile(r'^\d+\s+([a-z0-9_]+)\((.*)')
descriptor = re.compile(r'^-?\d+<([^>]*)>')
counts = collections.Counter()
kinds = collections.Counter()
directories = set()
def kind_of(target):
    if target.startswith(("TCP:", "TCPv6:", "UDP:", "socket:", "UNIX")):
        return "socket"
    if "eventfd" in target:
        return "eventfd"
    if target.startswith("pipe:"):
        return "pipe"
    return "dir" if target in directories else "file"
for line in open(trace, errors="replace"):
    m = call.match(line)
    if not m:
        continue  # "<... resumed>" halves and signals: each call counts once, where it began
    name, args = m.group(1), m.group(2)
    counts[name] += 1
    if name in ("openat", "open"):
        if "O_DIRECTORY" in args:
            result = re.search(r'= \d+<([^>]*)>', line)
            if result:
                directories.add(result.group(1))
        continue
    target = descriptor.match(args)
    if not target:
        continue
    kind = kind_of(target.group(1))
    if name in ("read", "readv", "pread64", "preadv", "recvfrom", "recvmsg"):
        kinds["read " + kind] += 1
    elif name in ("write", "writev", "pwrite64", "pwritev", "sendto", "sendmsg"):
        kinds["write " + kind] += 1
    elif name in ("fsync", "fdatasync"):
        kinds[name + " " + kind] += 1
total = sum(counts.values())
rows = [("all system calls", total),
        ("openat", counts["openat"] + counts["open"]),
        ("read of a file", kinds["read file"]),
        ("write of a file", kinds["write file"]),
        ("read of a socket", kinds["read socket"]),
        ("write of a socket", kinds["write socket"]),
        ("eventfd write (wake a thread)", kinds["write eventfd"]),
        ("eventfd read", kinds["read eventfd"]),
        ("futex", counts["futex"]),
        ("poll/ppoll/epoll_wait", counts["poll"] + counts["ppoll"] + counts["epoll_wait"] + counts["epoll_pwait"]),
        ("fstat/newfstatat/statx/lstat", counts["fstat"] + counts["newfstatat"] + counts["statx"] + counts["lstat"] + counts["stat"]),
        ("fsync of a file", kinds["fsync file"]),
        ("fdatasync of a file", kinds["fdatasync file"]),
        ("fsync/fdatasync of a folder", kinds["fsync dir"] + kinds["fdatasync dir"]),
        ("syncfs", counts["syncfs"]),
        ("rename/renameat/renameat2", counts["rename"] + counts["renameat"] + counts["renameat2"]),
        ("unlink/unlinkat", counts["unlink"] + counts["unlinkat"])]
print("\n%s, %s: %d files, system calls of all threads (strace -f)" % (release, tool, files))
print("  %-32s %10s %10s" % ("call", "in all", "per file"))
for label, n in rows:
    print("  %-32s %10d %10.2f" % (label, n, n / files))
top = ", ".join("%s %d" % (name, n) for name, n in counts.most_common(8))
print("  most frequent: %s" % top)
PY
}

say "system calls per file (one more download of each under strace -f; its time means nothing)"
for release in "${releases[@]}"; do
    traced fetch "$release"
    traced curl-h2 "$release"
done
