#!/usr/bin/env bash
# Deltas on real releases: two consecutive versions of programs published on the npm registry.
# Each earlier version is staged and published into a feed and installed; the later version is
# staged with --delta-base against that feed (timed), published, served by nginx on a free local
# port and downloaded by vellumix-fetch into the installation of the earlier version (timed,
# with the client's peak memory). Every release folder holds the package's files beside the
# stand-in programs (Vellumix.exe, VellumixUpdater.exe), which are the same in both versions.
#
#   release     package                     versions            what changes
#   esbuild     @esbuild/win32-x64          0.25.11 -> 0.25.12  esbuild.exe, 10.6 MB
#   oxlint      @oxlint/win32-x64           1.42.0  -> 1.43.0   oxlint.win32-x64.node, 11.0 MB
#   swc         @swc/core-win32-x64-msvc    1.16.18 -> 1.16.20  swc.win32-x64-msvc.node, 9.5 MB,
#                                                               8.5 MB of it one compressed section
#                                                               (the registry has no 1.16.19)
#   biome       @biomejs/cli-win32-x64      2.6.8   -> 2.6.9    biome.exe, 121 MB: a 128 MiB window
#   typescript  typescript                  5.9.2   -> 5.9.3    5 of its 132 JavaScript and
#                                                               declaration files, 15.9 MB
#
# The first four are Windows x64 native programs; typescript is a large program in a script
# language, a row of its own. The tarballs are fetched once with `npm pack` (which checks them
# against the registry's integrity digest) into a cache folder and taken from there afterwards;
# one that cannot be fetched stops the benchmark.
#
# Per release it prints, and at the end in three tables:
#   bytes        the changed files as whole blobs (their packed size in the manifest), what
#                travelled to fetch them (deltas where the client had their base, whole blobs
#                otherwise: the client's bytesTransferred), the deltas alone, and the same files'
#                patches by the zstd program: zstd -19 --long=27 --patch-from=OLD NEW (also for
#                a changed file of 1 MiB or more that got no delta, in a note)
#   release side staging without and with --delta-base (wall time, peak resident memory), the
#                time the stage spent on deltas, the size of the changed files that had an
#                earlier version (the ones deltas are tried on), publishing (which applies each
#                delta once), and the manifest with deltas and what they added to it
#   client side  vellumix-fetch check and download (wall time, medians of the runs; download
#                includes a check), the client's peak resident memory (GNU time; it counts the
#                pages of the deltas' bases, which the client copies into the stage and maps)
#                and its peak anonymous memory (sampled in as many more downloads), the largest delta
#                window, the decoder's speed (bench_delta: the client's streaming decoder on the
#                same pairs of files, best of its runs), and the output rate of fetching and
#                applying (the unpacked bytes of the fetched files over download minus check time)
# and then the goals: on the native programs at least 2.5 times fewer bytes than whole blobs,
# deltas within 1.25 times the zstd program's patch, applying at 200 MB/s or more, and the
# client's peak memory below 64 MiB plus the window. MB is 10^6 bytes, MiB 2^20. Each staging is
# timed once; all five releases take about 9 minutes on 2 cores, most of it biome's 121 MB.
#
#   bench/delta.sh [--dir DIR] [--runs N] [--keep DIR] [--cache DIR] [RELEASE...]
#       --dir DIR     make the temporary directory in DIR (default: $TMPDIR or /tmp); all five
#                     releases need about 1.5 GB free there
#       --runs N      check and download runs per release (default 3)
#       --keep DIR    work in DIR (which must not exist yet) and leave it there afterwards: the
#                     feed, the stages, the installations and the downloaded stages
#       --cache DIR   where the npm tarballs are kept (default: $VELLUMIX_NPM_CACHE, else
#                     /var/cache/vellumix/npm when that can be written, else
#                     ~/.cache/vellumix/npm); about 125 MB
#       RELEASE...    the releases to run (default: all, in the order above)
#   BUILD_DIR=...     build somewhere else (default: build-bench-delta/ in the checkout)
set -euo pipefail
export LC_ALL=C
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

# name, npm package, earlier version, later version, kind
RELEASES=(
    "esbuild @esbuild/win32-x64 0.25.11 0.25.12 native"
    "oxlint @oxlint/win32-x64 1.42.0 1.43.0 native"
    "swc @swc/core-win32-x64-msvc 1.16.18 1.16.20 native"
    "biome @biomejs/cli-win32-x64 2.6.8 2.6.9 native"
    "typescript typescript 5.9.2 5.9.3 script"
)

die() { echo "bench/delta.sh: $*" >&2; exit 1; }

parent=${TMPDIR:-/tmp}
runs=3
keep=
cache=${VELLUMIX_NPM_CACHE:-}
selected=()
while [ $# -gt 0 ]; do
    case $1 in
        --dir) parent=$2; shift 2 ;;
        --runs) runs=$2; shift 2 ;;
        --keep) keep=$2; shift 2 ;;
        --cache) cache=$2; shift 2 ;;
        -*) echo "bench/delta.sh: unknown option $1" >&2; exit 2 ;;
        *) selected+=("$1"); shift ;;
    esac
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "bench/delta.sh: --runs needs a whole number from 1" >&2; exit 2; }
rows=()
if [ ${#selected[@]} -eq 0 ]; then
    rows=("${RELEASES[@]}")
else
    for name in "${selected[@]}"; do
        found=
        for row in "${RELEASES[@]}"; do
            [ "${row%% *}" = "$name" ] && { rows+=("$row"); found=1; }
        done
        [ -n "$found" ] || { echo "bench/delta.sh: no release $name (esbuild, oxlint, swc, biome, typescript)" >&2; exit 2; }
    done
fi

ensure_packages $VELLUMIX_BUILD_PACKAGES time nginx python3 zstd
command -v npm >/dev/null 2>&1 || ensure_packages npm nodejs
command -v npm >/dev/null 2>&1 || die "npm is not on the PATH"

if [ -z "$cache" ]; then
    if mkdir -p /var/cache/vellumix/npm 2>/dev/null && [ -w /var/cache/vellumix/npm ]; then
        cache=/var/cache/vellumix/npm
    else
        cache=${XDG_CACHE_HOME:-$HOME/.cache}/vellumix/npm
    fi
fi
mkdir -p "$cache" || die "cannot create the tarball cache $cache"

# The programs the benchmark runs, and bench_delta (built with the tests' folder, so the tests
# are configured but only these targets are built).
build=${BUILD_DIR:-$VELLUMIX_TOP/build-bench-delta}
# Standard output carries the figures alone.
say "configuring $build"
cmake -S "$VELLUMIX_TOP" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLUMIX_BUILD_TESTS=ON >/dev/null
say "building $build"
cmake --build "$build" --parallel "$(nproc)" \
    --target vellumix-publish vellumix-fetch VellumixUpdater vellumix-sample-app bench_delta >&2
publish=$build/publisher/vellumix-publish
fetch=$build/client/vellumix-fetch
bench_delta=$build/bench/bench_delta
key=$build/devkey/update-signing-dev.pem
for f in "$publish" "$fetch" "$bench_delta" "$build/updater/VellumixUpdater" "$build/sampleapp/vellumix-sample-app"; do
    [ -x "$f" ] || die "$f was not built"
done
[ -f "$key" ] || die "this build has a release key compiled in; the benchmark signs with the development key"

# An npm tarball from the cache, fetched into it first when it is not there. `npm pack` checks
# the tarball against the integrity the registry lists; it lands in a temporary folder and is
# moved into place whole, so an interrupted fetch leaves nothing that looks complete.
tarball() {
    local wanted=$1 file pack name
    file=$cache/${wanted//\//-}.tgz
    if [ ! -s "$file" ]; then
        say "fetching $wanted from $(npm config get registry)"
        pack=$(mktemp -d "$cache/.pack.XXXXXX")
        if ! (cd "$pack" && npm pack --silent --fetch-timeout=60000 --fetch-retries=1 "$wanted" \
                > "$pack/name" 2> "$pack/error"); then
            cat "$pack/error" >&2
            rm -rf "$pack"
            die "cannot fetch $wanted from the npm registry $(npm config get registry)"
        fi
        name=$(tail -n 1 "$pack/name")
        [ -n "$name" ] && [ -s "$pack/$name" ] || { rm -rf "$pack"; die "npm pack $wanted gave no tarball"; }
        mv "$pack/$name" "$file"
        rm -rf "$pack"
    fi
    tar -tzf "$file" >/dev/null 2>&1 || die "$file is not a readable tarball; delete it to fetch it again"
    echo "$file"
}

# Fetch everything before building anything else on it, so an unreachable registry fails early.
for row in "${rows[@]}"; do
    read -r name package old new kind <<< "$row"
    tarball "$package@$old" >/dev/null
    tarball "$package@$new" >/dev/null
done

if [ -n "$keep" ]; then
    [ ! -e "$keep" ] || die "--keep $keep exists already"
    mkdir -p "$keep"
    work=$(cd "$keep" && pwd)
else
    work=$(mktemp -d "$parent/vellumix-delta-bench.XXXXXX")
fi
server=$work/nginx
if [ -n "$keep" ]; then
    trap 'bash "$VELLUMIX_TOP/scripts/feed-server.sh" stop "$server" >/dev/null 2>&1 || true' EXIT
else
    trap 'bash "$VELLUMIX_TOP/scripts/feed-server.sh" stop "$server" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
fi
commit=$(git -C "$VELLUMIX_TOP" rev-parse --short HEAD 2>/dev/null || echo unknown)
[ -z "$(git -C "$VELLUMIX_TOP" status --porcelain --untracked-files=no 2>/dev/null)" ] || commit="$commit (with local changes)"
say "benchmark in $work, commit $commit, $(nproc) cores, $(uptime)"

# Runs a command under GNU time with its standard output into OUT; leaves "seconds peak-kib" in
# $work/time.txt: the wall time to the millisecond (GNU time's own has hundredths), the peak
# resident memory from GNU time. A command that fails stops the benchmark with its messages.
timed() {
    local out=$1 start end
    shift
    start=${EPOCHREALTIME/,/.}
    if ! /usr/bin/time -f '%M' -o "$work/rss.txt" "$@" > "$out" 2> "$work/stderr.txt"; then
        cat "$out" "$work/stderr.txt" >&2
        die "failed: $*"
    fi
    end=${EPOCHREALTIME/,/.}
    printf '%.3f %s\n' "$(echo "$end - $start" | bc -l)" "$(tail -n 1 "$work/rss.txt")" > "$work/time.txt"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
json() { python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))[sys.argv[2]])' "$1" "$2"; }

# The files the later manifest changes against the earlier one, one line each: path, size,
# packed size, the size of the delta against the earlier content (- when the manifest has none)
# and whether the earlier release had the file (no for a new file, which gets no delta).
cat > "$work/changes.py" <<'PY'
import base64, json, sys

def payload(path):
    return json.loads(base64.b64decode(json.load(open(path))["payload"]))

old, new = payload(sys.argv[1]), payload(sys.argv[2])
before = {f["path"]: f["sha256"] for f in old["files"]}
deltas = {(d["path"], d["baseSha256"]): d["packedSize"] for d in new.get("deltas", [])}
for f in sorted(new["files"], key=lambda f: f["path"]):
    base = before.get(f["path"])
    if base == f["sha256"]:
        continue
    delta = deltas.get((f["path"], base), "-") if base else "-"
    print("%s\t%d\t%d\t%s\t%s" % (f["path"], f["size"], f["packedSize"], delta,
                                 "yes" if base else "no"))
PY

# Runs a command and writes the largest RssAnon (KiB) seen in its /proc status while it ran.
cat > "$work/anon.py" <<'PY'
import subprocess, sys, time

child = subprocess.Popen(sys.argv[2:])
peak = 0
while child.poll() is None:
    try:
        with open("/proc/%d/status" % child.pid) as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    peak = max(peak, int(line.split()[1]))
    except OSError:
        pass
    time.sleep(0.001)
with open(sys.argv[1], "w") as out:
    out.write("%d\n" % peak)
sys.exit(child.returncode)
PY

# A release folder: the package's files and the stand-in programs.
make_release() {
    local dir=$1 tgz=$2
    mkdir -p "$dir"
    tar -xzf "$tgz" -C "$dir" --strip-components=1 --no-same-owner
    install -m 755 "$build/sampleapp/vellumix-sample-app" "$dir/Vellumix.exe"
    install -m 755 "$build/updater/VellumixUpdater" "$dir/VellumixUpdater.exe"
}

feed=$work/feed
declare -A R # per release and figure: R[name,figure]
notes=()

# Release side: everything is staged and published before nginx serves the feed.
for row in "${rows[@]}"; do
    read -r name package old new kind <<< "$row"
    dir=$work/$name
    mkdir -p "$dir"
    say "$name: $package $old -> $new"
    make_release "$dir/release-1" "$(tarball "$package@$old")"
    make_release "$dir/release-2" "$(tarball "$package@$new")"
    "$publish" stage --release "$dir/release-1" --version "$old" --sequence 1 --channel "$name" \
        --key "$key" --out "$dir/stage-1" > "$dir/stage-1.txt" 2>&1 || { cat "$dir/stage-1.txt" >&2; die "staging $name $old failed"; }
    "$publish" publish "$dir/stage-1" --feed "$feed" --channel "$name" > "$dir/publish-1.txt"

    # The same release staged without deltas: the base line of time, memory and manifest size.
    timed "$dir/stage-2-whole.txt" "$publish" stage --release "$dir/release-2" --version "$new" \
        --sequence 2 --channel "$name" --key "$key" --out "$dir/stage-2-whole"
    read -r "R[$name,stage_whole_s]" "R[$name,stage_whole_kib]" < "$work/time.txt"
    R[$name,manifest_whole]=$(stat -c %s "$dir/stage-2-whole/manifest.json")
    rm -rf "$dir/stage-2-whole"

    say "$name: staging $new with --delta-base"
    timed "$dir/stage-2.txt" "$publish" stage --release "$dir/release-2" --version "$new" \
        --sequence 2 --channel "$name" --key "$key" --out "$dir/stage-2" --delta-base "$feed"
    read -r "R[$name,stage_s]" "R[$name,stage_kib]" < "$work/time.txt"
    R[$name,manifest]=$(stat -c %s "$dir/stage-2/manifest.json")
    deltas_line=$(grep '^deltas:' "$dir/stage-2.txt" | tr -d ,)
    R[$name,delta_s]=$(sed -n 's/.*%) \([0-9.]*\) s$/\1/p' <<< "$deltas_line")
    [ -n "${R[$name,delta_s]}" ] || { cat "$dir/stage-2.txt" >&2; die "no deltas line in the stage's output"; }
    timed "$dir/publish-2.txt" "$publish" publish "$dir/stage-2" --feed "$feed" --channel "$name"
    read -r "R[$name,publish_s]" "R[$name,publish_kib]" < "$work/time.txt"
    sed 's/^/    /' "$dir/stage-2.txt" >&2

    # The changed files; those with a delta get the zstd program's patch and bench_delta.
    python3 "$work/changes.py" "$feed/$name/releases/1.json" "$dir/stage-2/manifest.json" > "$dir/changes.txt"
    changed=0 with_delta=0 whole=0 delta_bytes=0 zstd_bytes=0 based_new=0 window_log=0
    decode_seconds=0 decode_bytes=0
    while IFS=$'\t' read -r path size packed delta based; do
        changed=$((changed + 1))
        whole=$((whole + packed))
        [ "$based" = no ] || based_new=$((based_new + size))
        if [ "$delta" = - ] && [ "$based" = yes ] && [ "$size" -ge 1048576 ]; then
            # A large file that got no delta: what the zstd program's patch would have been.
            zstd -19 --long=27 --patch-from="$dir/release-1/$path" "$dir/release-2/$path" \
                -o "$work/patch.zst" -f -q 2> "$work/zstd.txt" || { cat "$work/zstd.txt" >&2; die "zstd failed on $path"; }
            patch=$(stat -c %s "$work/patch.zst")
            notes+=("$name: $path got no delta; zstd -19 --long=27 --patch-from makes $patch bytes of it, $(printf '%.1f' "$(echo "100 * $patch / $packed" | bc -l)")% of its whole blob ($packed bytes)")
        fi
        [ "$delta" != - ] || continue
        with_delta=$((with_delta + 1))
        delta_bytes=$((delta_bytes + delta))
        say "$name: $path: zstd -19 --long=27 --patch-from, and bench_delta"
        zstd -19 --long=27 --patch-from="$dir/release-1/$path" "$dir/release-2/$path" \
            -o "$work/patch.zst" -f -q 2> "$work/zstd.txt" || { cat "$work/zstd.txt" >&2; die "zstd failed on $path"; }
        zstd_bytes=$((zstd_bytes + $(stat -c %s "$work/patch.zst")))
        # Without zstd on its PATH bench_delta leaves out its own run of the zstd program,
        # which is the one above.
        env PATH=/nonexistent "$bench_delta" "$dir/release-1/$path" "$dir/release-2/$path" \
            > "$dir/bench_delta.txt" 2>&1 || { cat "$dir/bench_delta.txt" >&2; die "bench_delta failed on $path"; }
        sed 's/^/    /' "$dir/bench_delta.txt" >&2
        log=$(sed -n 's/.*window 2^\([0-9]*\).*/\1/p' "$dir/bench_delta.txt")
        rate=$(sed -n 's/.*apply (streaming, 64 KiB pieces): \([0-9.]*\) MiB\/s.*/\1/p' "$dir/bench_delta.txt")
        [ -n "$log" ] && [ -n "$rate" ] || die "cannot read bench_delta's figures for $path"
        [ "$log" -le "$window_log" ] || window_log=$log
        decode_seconds=$(echo "$decode_seconds + $size / ($rate * 1048576)" | bc -l)
        decode_bytes=$((decode_bytes + size))
    done < "$dir/changes.txt"
    R[$name,changed]=$changed R[$name,with_delta]=$with_delta R[$name,whole]=$whole
    R[$name,delta_bytes]=$delta_bytes R[$name,zstd_bytes]=$zstd_bytes R[$name,based_new]=$based_new
    R[$name,window_log]=$window_log
    R[$name,decode_mbs]=-
    [ "$decode_bytes" -eq 0 ] || R[$name,decode_mbs]=$(echo "$decode_bytes / $decode_seconds / 1000000" | bc -l)

    cp -a "$dir/release-1" "$dir/root"
done

url=$(bash "$VELLUMIX_TOP/scripts/feed-server.sh" start "$feed" "$server")
say "nginx serves the feed at $url"

# Client side: the installation holds the earlier version; each run checks, then downloads into
# an empty stage, which must then hold exactly the later version's changed files.
for row in "${rows[@]}"; do
    read -r name package old new kind <<< "$row"
    dir=$work/$name
    say "$name: vellumix-fetch check and download, $runs runs"
    common=(--feed "$url" --channel "$name" --root "$dir/root" --cache-dir "$dir/manifest-cache")
    check_times=() download_times=() download_rss=() apply_times=()
    for run in $(seq "$runs"); do
        rm -rf "$dir/download"
        timed "$dir/check.json" "$fetch" check "${common[@]}"
        read -r check_s _ < "$work/time.txt"
        timed "$dir/download.json" "$fetch" download "${common[@]}" --stage "$dir/download"
        read -r download_s download_kib < "$work/time.txt"
        check_times+=("$check_s") download_times+=("$download_s") download_rss+=("$download_kib")
        apply_times+=("$(printf '%.3f' "$(echo "$download_s - $check_s" | bc -l)")")

        # What the client staged is the later release, file for file.
        staged=0
        while IFS= read -r -d '' file; do
            cmp -s "$file" "$dir/release-2/${file#"$dir/download/files/"}" \
                || die "$name: the downloaded ${file#"$dir/download/files/"} differs from the release"
            staged=$((staged + 1))
        done < <(find "$dir/download/files" -type f -print0)
        [ "$staged" -eq "${R[$name,changed]}" ] \
            || die "$name: $staged files downloaded, ${R[$name,changed]} changed"
        [ "$(json "$dir/download.json" filesFromDeltas)" -eq "$(json "$dir/download.json" filesAsDeltas)" ] \
            || echo "bench/delta.sh: $name: a delta failed and its whole file was fetched instead" >&2
    done
    # As many downloads again, not timed: the client's anonymous resident memory (RssAnon: its
    # heap and the decoder's window, not the copies of the deltas' bases that it maps), sampled
    # every millisecond; the largest sample of the runs.
    anon=0
    for run in $(seq "$runs"); do
        rm -rf "$dir/download"
        python3 "$work/anon.py" "$work/anon.txt" "$fetch" download "${common[@]}" \
            --stage "$dir/download" > /dev/null 2> "$work/stderr.txt" \
            || { cat "$work/stderr.txt" >&2; die "$name: the sampled download failed"; }
        value=$(cat "$work/anon.txt")
        [ "$value" -le "$anon" ] || anon=$value
    done
    R[$name,anon_kib]=$anon
    R[$name,files_as_deltas]=$(json "$dir/download.json" filesAsDeltas)
    R[$name,from_deltas]=$(json "$dir/download.json" filesFromDeltas)
    R[$name,travelled]=$(json "$dir/download.json" bytesTransferred)
    R[$name,fetch_bytes]=$(json "$dir/download.json" fetchBytes)
    R[$name,unpacked]=$(json "$dir/download.json" fetchUnpackedBytes)
    R[$name,check_s]=$(printf '%s\n' "${check_times[@]}" | median)
    R[$name,download_s]=$(printf '%s\n' "${download_times[@]}" | median)
    R[$name,client_kib]=$(printf '%s\n' "${download_rss[@]}" | median)
    apply_s=$(printf '%s\n' "${apply_times[@]}" | median)
    R[$name,apply_mbs]=-
    if [ "$(echo "$apply_s > 0" | bc -l)" -eq 1 ]; then
        R[$name,apply_mbs]=$(echo "${R[$name,unpacked]} / $apply_s / 1000000" | bc -l)
    fi
    echo "    check ${check_times[*]} s; download ${download_times[*]} s (difference ${apply_times[*]} s); peak ${download_rss[*]} KiB" >&2
done

num() { [ "$1" = - ] && printf '%s' - || printf "%.${2}f" "$1"; }
ratio() { [ "$2" -gt 0 ] && num "$(echo "$1 / $2" | bc -l)" "$3" || printf '%s' -; }

printf '\nBytes: the changed files as whole blobs, what travelled, the deltas against the zstd program\n'
printf '%-11s %-6s %7s %6s %12s %11s %6s %11s %11s %6s\n' \
    release kind changed deltas "whole (B)" "travelled" "w/trav" "deltas (B)" "zstd (B)" "d/zstd"
for row in "${rows[@]}"; do
    read -r name package old new kind <<< "$row"
    printf '%-11s %-6s %7d %6s %12d %11d %6s %11d %11d %6s\n' "$name" "$kind" "${R[$name,changed]}" \
        "${R[$name,from_deltas]}" "${R[$name,whole]}" "${R[$name,travelled]}" \
        "$(ratio "${R[$name,whole]}" "${R[$name,travelled]}" 2)" "${R[$name,delta_bytes]}" \
        "${R[$name,zstd_bytes]}" "$(ratio "${R[$name,delta_bytes]}" "${R[$name,zstd_bytes]}" 3)"
done
[ ${#notes[@]} -eq 0 ] || printf '  %s\n' "${notes[@]}"

printf '\nRelease side: stage without and with --delta-base (wall s, peak MiB), publish, manifest\n'
printf '%-11s %8s %8s %8s %8s %8s %8s %8s %9s %9s\n' \
    release "based MB" "plain s" "MiB" "delta s" "of it s" "MiB" "publish" "manifest" "+bytes"
for row in "${rows[@]}"; do
    read -r name package old new kind <<< "$row"
    printf '%-11s %8.1f %8.1f %8.0f %8.1f %8s %8.0f %8.1f %9d %9d\n' "$name" \
        "$(echo "${R[$name,based_new]} / 1000000" | bc -l)" "${R[$name,stage_whole_s]}" \
        "$(echo "${R[$name,stage_whole_kib]} / 1024" | bc -l)" "${R[$name,stage_s]}" \
        "${R[$name,delta_s]}" "$(echo "${R[$name,stage_kib]} / 1024" | bc -l)" "${R[$name,publish_s]}" \
        "${R[$name,manifest]}" "$((${R[$name,manifest]} - ${R[$name,manifest_whole]}))"
done

printf '\nClient side: vellumix-fetch against nginx (medians of %d runs), the decoder on the same files\n' "$runs"
printf '%-11s %8s %8s %8s %9s %9s %8s %9s %9s\n' \
    release "new MB" "check s" "down s" "peak RSS" "anon" "window" "decode" "apply"
printf '%-11s %8s %8s %8s %9s %9s %8s %9s %9s\n' "" "" "" "" "MiB" "MiB" "MiB" "MB/s" "MB/s"
for row in "${rows[@]}"; do
    read -r name package old new kind <<< "$row"
    window=-
    [ "${R[$name,window_log]}" -eq 0 ] || window=$((1 << (${R[$name,window_log]} - 20)))
    printf '%-11s %8.1f %8.3f %8.3f %9.1f %9.1f %8s %9s %9s\n' "$name" \
        "$(echo "${R[$name,unpacked]} / 1000000" | bc -l)" "${R[$name,check_s]}" \
        "${R[$name,download_s]}" "$(echo "${R[$name,client_kib]} / 1024" | bc -l)" \
        "$(echo "${R[$name,anon_kib]} / 1024" | bc -l)" "$window" \
        "$(num "${R[$name,decode_mbs]}" 0)" "$(num "${R[$name,apply_mbs]}" 0)"
done

# The goals, on the native programs; the script-language release is shown for comparison.
verdict() { [ "$(echo "$1" | bc -l)" -eq 1 ] && printf met || printf MISSED; }
printf '\nGoals (native programs; typescript for comparison)\n'
for row in "${rows[@]}"; do
    read -r name package old new kind <<< "$row"
    line="$name:"
    if [ "${R[$name,travelled]}" -gt 0 ]; then
        x=$(echo "${R[$name,whole]} / ${R[$name,travelled]}" | bc -l)
        line="$line whole/travelled $(num "$x" 2) (>= 2.5 $(verdict "$x >= 2.5"));"
    fi
    if [ "${R[$name,zstd_bytes]}" -gt 0 ]; then
        x=$(echo "${R[$name,delta_bytes]} / ${R[$name,zstd_bytes]}" | bc -l)
        line="$line deltas/zstd $(num "$x" 3) (<= 1.25 $(verdict "$x <= 1.25"));"
    fi
    if [ "${R[$name,decode_mbs]}" != - ]; then
        line="$line decode $(num "${R[$name,decode_mbs]}" 0) MB/s (>= 200 $(verdict "${R[$name,decode_mbs]} >= 200"));"
    fi
    if [ "${R[$name,window_log]}" -gt 0 ]; then
        limit=$((64 + (1 << (${R[$name,window_log]} - 20))))
        peak=$(echo "${R[$name,client_kib]} / 1024" | bc -l)
        anon=$(echo "${R[$name,anon_kib]} / 1024" | bc -l)
        line="$line client RSS $(num "$peak" 1) MiB (< $limit MiB $(verdict "$peak < $limit")), anonymous $(num "$anon" 1) MiB ($(verdict "$anon < $limit"))"
    fi
    [ "$kind" = native ] || line="$line [$kind]"
    echo "  $line"
done
