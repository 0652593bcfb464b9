#!/usr/bin/env bash
# vellumix-publish rollout-status reading a large access log of outcome reports, beside Debian's
# awk (mawk) pulling the same fields out of the same file: the client's network and the report
# (sequence, outcome, reason, installation), counted once each. Both read the log plain and
# gzip-compressed (awk through gzip -dc), on the same machine one after the other, and the best of
# RUNS wall times is kept for each. The log is generated: LINES reports in nginx's "combined"
# format, 300,000 installations in 60,000 networks, sequences 41 and 42, 3 % of them failures.
#
#   bench/rollout-status.sh [--lines N] [--runs N] [--keep DIR]
#       --lines N   lines of the generated log (default 1,000,000)
#       --runs N    runs of each reader; the best counts (default 3)
#       --keep DIR  keep the generated logs in DIR (and reuse them there when they are present)
#   BUILD_DIR=...   an existing build tree (default: build/ in the checkout; vellumix-publish is
#                   built first)
#
# It prints, per form of the log, both times and their ratio (rollout-status / awk), the tool's
# peak resident memory, and checks that the tool read every line as a report.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
lines=1000000
runs=3
keep=
while [ $# -gt 0 ]; do
    case $1 in
        --lines) lines=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --keep) keep=$2; shift 2 ;;
        *) echo "usage: bench/rollout-status.sh [--lines N] [--runs N] [--keep DIR]" >&2; exit 64 ;;
    esac
done
ensure_packages $VELLUMIX_BUILD_PACKAGES mawk gzip time
build=${BUILD_DIR:-$VELLUMIX_TOP/build}
[ -f "$build/build.ninja" ] \
    || cmake -S "$VELLUMIX_TOP" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target vellumix-publish >/dev/null
publish=$build/publisher/vellumix-publish

if [ -n "$keep" ]; then
    work=$keep
    mkdir -p "$work"
else
    work=$(mktemp -d /tmp/vellumix-rollout-status.XXXXXX)
    trap 'rm -rf "$work"' EXIT
fi
log=$work/reports-$lines.log
if [ ! -f "$log" ] || [ ! -f "$log.gz" ]; then
    say "generating $lines report lines in $log"
    mawk -v lines="$lines" -v pool=300000 -v nets=60000 '
    BEGIN {
        srand(7)
        for (i = 0; i < lines; i++) {
            k = int(rand() * pool)
            net = k % nets
            r = rand()
            if (r < 0.97) outcome = "confirmed"
            else if (r < 0.99) outcome = "rolled-back&reason=not-confirmed"
            else outcome = "recovered&reason=interrupted"
            s = int(i * 86000 / lines)
            printf "%d.%d.%d.%d - - [09/Dec/2026:%02d:%02d:%02d +0000] \"GET /reports?channel=stable&sequence=%d&outcome=%s&installation=%08x%08x%08x%08x HTTP/2.0\" 204 0 \"-\" \"Vellumix/2.4.1 (Windows NT 10.0; Win64; x64)\"\n", \
                10 + int(net / 65536), int(net / 256) % 256, net % 256, k % 250 + 1, \
                int(s / 3600), int(s / 60) % 60, s % 60, k % 10 < 3 ? 41 : 42, outcome, \
                k, (k * 7 + 1) % 2147483647, (k * 13 + 5) % 2147483647, 305419896
        }
    }' > "$log.tmp"
    mv "$log.tmp" "$log"
    gzip -c "$log" > "$log.gz.tmp"
    mv "$log.gz.tmp" "$log.gz"
fi

# The one-liner the tool is measured against.
awk_program='{ split($1, a, "."); if (match($0, /sequence=[0-9]+&outcome=[a-z-]+(&reason=[a-z-]+)?&installation=[0-9a-f]+/)) c[a[1] "." a[2] "." a[3] " " substr($0, RSTART, RLENGTH)]++ } END { print length(c) }'

# best_of COMMAND...: the best wall time of RUNS runs, in seconds with two decimals.
best_of() {
    local best= run start ms
    for ((run = 0; run < runs; run++)); do
        start=$(now_ms)
        "$@" >/dev/null
        ms=$(($(now_ms) - start))
        if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
    done
    printf '%d.%02d' $((best / 1000)) $((best % 1000 / 10))
}
awk_plain() { mawk "$awk_program" "$log"; }
awk_gzip() { gzip -dc "$log.gz" | mawk "$awk_program"; }
tool() { "$publish" rollout-status --access-log "$1"; }

# Both forms must read as every line a report.
for file in "$log" "$log.gz"; do
    counted=$("$publish" rollout-status --access-log "$file" --json | grep -o '"reportLines": [0-9]*')
    if [ "$counted" != "\"reportLines\": $lines" ]; then
        echo "rollout-status read $file as $counted, not $lines report lines" >&2
        exit 1
    fi
done

say "$(mawk -W version 2>&1 | head -n 1); $lines lines, $(du -m "$log" | cut -f1) MiB plain, $(du -m "$log.gz" | cut -f1) MiB gzip; best of $runs runs"
printf '%-6s %12s %16s %7s %12s\n' log 'awk (mawk)' 'rollout-status' ratio 'peak memory'
for form in plain gzip; do
    file=$log
    [ "$form" = gzip ] && file=$log.gz
    awk_s=$(best_of "awk_$form")
    tool_s=$(best_of tool "$file")
    peak_kb=$(/usr/bin/time -f %M "$publish" rollout-status --access-log "$file" 2>&1 >/dev/null | tail -n 1)
    printf '%-6s %10s s %14s s %7s %9s MiB\n' "$form" "$awk_s" "$tool_s" \
        "$(mawk -v a="$awk_s" -v t="$tool_s" 'BEGIN { printf "%.2f", t / a }')" $((peak_kb / 1024))
done
