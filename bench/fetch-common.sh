# What the client's download benchmarks share: bench/fetch.sh (plain HTTP on loopback),
# bench/fetch-link.sh (HTTPS through a simulated link) and bench/fetch-loopback.sh (HTTPS on
# loopback). Sourced after scripts/common.sh; it defines functions only. They use these
# variables of the script that sources it:
#   bench_name   the command as its errors name it ("bench/fetch.sh --link")
#   build        the build tree (build_programs sets publish, fetch and key from it)
#   work         the run's temporary directory (start_work_dir makes it)
#   keep_logs    a folder that gets $work/logs when the script ends (empty: none)
# and the HTTPS ones (start_https_feed, transfer) also url, detail, tls, connections,
# cache_option, blobs[], bytes[] and results[], described where they are set.

die() { echo "$bench_name: $*" >&2; exit 1; }

# Installs what is missing (the build's packages and those named), then builds the programs
# (Release, without the tests): the release tool, the client, the updater and the stand-in
# application. Sets publish, fetch and key.
build_programs() {
    ensure_packages $VELLUMIX_BUILD_PACKAGES time curl nginx bc python3 openssl "$@"
    configure_and_build "$build" -DCMAKE_BUILD_TYPE=Release -DVELLUMIX_BUILD_TESTS=OFF >/dev/null
    publish=$build/publisher/vellumix-publish
    fetch=$build/client/vellumix-fetch
    key=$build/devkey/update-signing-dev.pem
    local program
    for program in "$publish" "$fetch" "$build/updater/VellumixUpdater" \
        "$build/sampleapp/vellumix-sample-app"; do
        [ -x "$program" ] || die "the build in $build has no $program"
    done
    [ -f "$key" ] || die "the build in $build has no development key $key"
}

# Processes the script started in the background (the link's proxy): ended on the way out.
background_pids=()

# Ends what the run started and removes its directory; runs on every way out, Ctrl-C included.
cleanup_work_dir() {
    local pid
    for pid in "${background_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    # The Wine server kept running for the Windows client's transfers (--windows).
    [ -n "${fetch_win:-}" ] && wineserver -k 2>/dev/null || true
    [ -n "${work:-}" ] || return 0
    bash "$VELLUMIX_TOP/scripts/feed-server.sh" stop "$work/nginx" >/dev/null 2>&1 || true
    if [ -n "${keep_logs:-}" ] && [ -d "$work/logs" ]; then
        mkdir -p "$keep_logs"
        cp -r "$work/logs/." "$keep_logs/" || true
    fi
    rm -rf "$work"
}

# start_work_dir PARENT NAME MIB: makes the run's temporary directory below PARENT, after
# checking that it has MIB MiB free, and sees that it goes when the script ends.
start_work_dir() {
    local parent=$1 name=$2 mib=$3 free
    [ -d "$parent" ] || die "no folder $parent for the temporary directory"
    free=$(df -Pm "$parent" | awk 'NR == 2 { print $4 }')
    [ "${free:-0}" -ge "$mib" ] \
        || die "$parent has $free MiB free; the benchmark needs about $mib MiB (--dir elsewhere)"
    work=$(mktemp -d "$parent/$name.XXXXXX")
    trap cleanup_work_dir EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM HUP
    mkdir -p "$work/logs"
}

# make_release DIR COUNT MIN_BYTES MAX_BYTES SEED: a release folder, the two programs plus
# COUNT files of random (incompressible) content, their sizes drawn from MIN_BYTES to
# MAX_BYTES in whole KiB (the draw seeded by SEED, so each run has the same sizes).
make_release() {
    local dir=$1 count=$2 min_bytes=$3 max_bytes=$4 seed=$5
    mkdir -p "$dir/data"
    cp "$build/sampleapp/vellumix-sample-app" "$dir/Vellumix.exe"
    cp "$build/updater/VellumixUpdater" "$dir/VellumixUpdater.exe"
    python3 - "$dir/data" "$count" "$min_bytes" "$max_bytes" "$seed" <<'PY'
import os, random, sys
folder, count, low, high, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
rng = random.Random(seed)
for i in range(count):
    size = rng.randint(low // 1024, high // 1024) * 1024
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(size))
PY
}

# publish_release NAME SEQUENCE: signs $work/release-NAME as version 1.SEQUENCE of channel NAME
# and publishes it into $work/feed; the release folder and its stage go afterwards.
publish_release() {
    local name=$1 sequence=$2
    "$publish" stage --release "$work/release-$name" --version "1.$sequence" \
        --sequence "$sequence" --channel "$name" --key "$key" --out "$work/stage-$name" \
        > "$work/publish.txt" 2>&1 \
        || { cat "$work/publish.txt" >&2; die "vellumix-publish stage failed"; }
    "$publish" publish "$work/stage-$name" --feed "$work/feed" --channel "$name" \
        > "$work/publish.txt" 2>&1 || { cat "$work/publish.txt" >&2; die "vellumix-publish publish failed"; }
    rm -rf "$work/release-$name" "$work/stage-$name"
}

# make_test_ca DIR: a test CA (DIR/ca.pem) and the server's certificate for 127.0.0.1
# (DIR/server.pem, DIR/server.key), P-256 keys as the tests make them.
make_test_ca() {
    local tls=$1
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
    } > "$tls/openssl.txt" 2>&1 \
        || { cat "$tls/openssl.txt" >&2; die "openssl could not make the test certificates"; }
}

# blob_list RELEASE URL: the blob URLs of a release for curl (a config file,
# $work/curl-RELEASE.txt, writing into $work/curl-out), from the manifest the client checks;
# prints the number of blobs and their bytes.
blob_list() {
    python3 - "$work/feed/$1/manifest.json" "$2" "$work/curl-$1.txt" "$work/curl-out" \
        "$work/qtfloor-$1.txt" <<'PY'
import base64, json, sys
envelope = json.load(open(sys.argv[1]))
files = json.loads(base64.b64decode(envelope["payload"]))["files"]
digests = sorted({f["packedSha256"]: f["packedSize"] for f in files}.items())
with open(sys.argv[3], "w") as config:
    for digest, _ in digests:
        config.write('url = "%s/blobs/%s"\noutput = "%s/%s"\n' % (sys.argv[2], digest, sys.argv[4], digest))
# vellumix-qtfloor's arguments, one a line: a blob over 2 MiB on a connection of its own, as the
# client fetches it.
with open(sys.argv[5], "w") as floor:
    for digest, size in digests:
        floor.write(('--own\n' if size > 2 * 1024 * 1024 else '') + '%s/blobs/%s\n' % (sys.argv[2], digest))
print(len(digests), sum(size for _, size in digests))
PY
}

# Runs a command under /usr/bin/time and sets `seconds` (wall), `kib` (its peak resident
# memory) and `cpu` (user and system seconds). Exit codes other than 0 that count as success may
# be given first: --ok CODES.
measured() {
    local ok=0
    if [ "$1" = --ok ]; then ok=$2; shift 2; fi
    local code=0 user system
    /usr/bin/time -f '%e %M %U %S' -o "$work/time.txt" "$@" > "$work/stdout.txt" 2> "$work/stderr.txt" \
        || code=$?
    if ! [[ " $ok " == *" $code "* ]]; then
        cat "$work/stderr.txt" "$work/stdout.txt" >&2
        die "$1 ended with $code"
    fi
    read -r seconds kib user system < <(tail -n 1 "$work/time.txt")
    [[ $seconds =~ ^[0-9.]+$ ]] || die "no time measured for $1"
    cpu=$(echo "$user + $system" | bc -l | xargs printf '%.2f')
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }

# Which client is measured: the commit of the checkout, and whether its client/ was changed.
describe_client() {
    local source
    source=$(git -C "$VELLUMIX_TOP" log -1 --format='%h %cs' 2>/dev/null || echo "not a git checkout")
    [ -z "$(git -C "$VELLUMIX_TOP" status --porcelain -- client protocol 2>/dev/null)" ] \
        || source="$source, with uncommitted changes in client/ or protocol/"
    echo "$source"
}

# The releases, published into $work/feed as channels of their names, in the order given
# (sequence 1, 2, ...). The plain benchmark's:
#   large  64 files of 16 MiB and the two programs: 66 blobs, 1 GiB
#   many   5,000 files of 4 to 64 KiB and the two programs
# and those of the HTTPS ones (--link, --loopback):
#   small  1,999 files of 4 to 64 KiB and the two programs: 2,001 blobs, about 70 MB
#   big    3 files of 45,400 KiB and the two programs: 5 blobs, about 140 MB
publish_releases() {
    local release sequence=0
    for release in "$@"; do
        sequence=$((sequence + 1))
        case $release in
            large) make_release "$work/release-$release" 64 16777216 16777216 7 ;;
            many) make_release "$work/release-$release" 5000 4096 65536 7 ;;
            small) make_release "$work/release-$release" 1999 4096 65536 11 ;;
            big) make_release "$work/release-$release" 3 46489600 46489600 11 ;;
            *) die "no release called $release" ;;
        esac
        publish_release "$release" "$sequence"
    done
}

# start_https_feed [--http2]: nginx serves $work/feed over HTTPS (TLS 1.3, the test CA of
# $work/tls, docs/nginx-feed.conf; HTTP/2 offered by ALPN with --http2) on a free port of
# 127.0.0.1, with the log of every request. Sets `origin` (its URL) and `detail` (the log).
start_https_feed() {
    tls=$work/tls
    make_test_ca "$tls"
    # The server sends its certificate with the authority's: Windows' TLS (schannel) verifies a
    # chain against a --ca-file authority only when the server sends it whole.
    cat "$tls/server.pem" "$tls/ca.pem" > "$tls/chain.pem"
    origin=$(bash "$VELLUMIX_TOP/scripts/feed-server.sh" start "$work/feed" "$work/nginx" \
        --tls "$tls/chain.pem" "$tls/server.key" --tls13 "$@" --detail-log) \
        || die "nginx did not start"
    detail=$work/nginx/detail.log
    mkdir -p "$work/root"
    # A client that keeps the last verified manifest is given a folder for it in the temporary
    # directory, never the user's own cache.
    cache_option=
    "$fetch" --help 2>&1 | grep -q -- '--cache-dir' && cache_option=--cache-dir
    return 0
}

# list_blobs RELEASE...: fills blobs[RELEASE] and bytes[RELEASE] (and the lists for curl) for
# the blobs at $url.
declare -A blobs bytes
list_blobs() {
    local release n b
    for release in "$@"; do
        blob_list "$release" "$url" > "$work/list.txt"
        read -r n b < "$work/list.txt"
        blobs[$release]=$n
        bytes[$release]=$b
    done
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

# The tools of the HTTPS benchmarks: the client, curl over HTTP/1.1 with the client's number of
# connections, curl over HTTP/2 with up to 100 streams.
declare -A results tool_names
https_tools() {
    tools=(fetch curl-h1 curl-h2)
    [ "${1:-}" = --http2 ] || tools=(fetch curl-h1)
    [ -n "${fetch_win:-}" ] && tools=(fetch fetch-win "${tools[@]:1}")
    tool_names=([fetch]="vellumix-fetch" [fetch-win]="fetch.exe under Wine"
        [curl-h1]="curl HTTP/1.1 x$connections" [curl-h2]="curl HTTP/2 x100")
}

# The Windows client (--windows): vellumix-fetch.exe cross-built with mingw-w64 against the static
# Qt of scripts/build-qt-mingw.sh (schannel, HTTP/2 by ALPN) with the benchmark's development key
# compiled in, run under Wine in a prefix of its own. Sets fetch_win and WINEPREFIX, and keeps a
# Wine server running so that each transfer does not pay for starting one.
build_windows_fetch() {
    ensure_packages g++-mingw-w64-x86-64 libz-mingw-w64-dev dpkg-dev wine wine64 libgnutls30
    local qt zstd modulus windows=${WINDOWS_BUILD_DIR:-$VELLUMIX_TOP/build-bench-win}
    qt=$(bash "$VELLUMIX_TOP/scripts/build-qt-mingw.sh")
    zstd=$(bash "$VELLUMIX_TOP/scripts/build-zstd-mingw.sh")
    modulus=$(openssl rsa -in "$key" -noout -modulus | sed 's/^Modulus=//' | tr 'A-F' 'a-f')
    say "building vellumix-fetch.exe in $windows"
    (cd "$VELLUMIX_TOP" && VELLUMIX_QT_MINGW=$qt VELLUMIX_ZSTD_MINGW=$zstd \
        cmake --preset windows-mingw -B "$windows" -DVELLUMIX_UPDATE_KEY_MODULUS="$modulus" >/dev/null)
    cmake --build "$windows" --parallel "$(nproc)" --target vellumix-fetch
    fetch_win=$windows/client/vellumix-fetch.exe
    export WINEPREFIX=$windows/wineprefix
    "$VELLUMIX_TOP/scripts/wine-run.sh" cmd /c exit 0
    # A server left by that start is waited out first: a second one would not start.
    wineserver -w
    wineserver -p
}

# A Linux path as the Windows client reads it (Wine's drive Z: is the root).
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Removes what the last transfer wrote. With `settle_seconds` set, the removal is also flushed
# and then left to age that long: ext4 without a journal (this machine's /tmp) checks a new
# inode against every inode freed in the last 5 seconds, or the last 5 minutes while its block
# is not yet written, so the thousands of files one tool left would otherwise slow down the
# creates of the next one.
clear_outputs() {
    rm -rf "$work/stage" "$work/curl-out" "$work/cache"
    if [ -n "${settle_seconds:-}" ]; then
        sync -f "$work"
        sleep "$settle_seconds"
    fi
}

# runs_on TOOL RELEASE: whether TOOL is run on RELEASE. Qt alone is for a few large blobs only
# (bench/qtfloor.cpp says why): big, not the others.
runs_on() { [ "$1" != qt-floor ] || [ "$2" = big ]; }

# transfer RUN RELEASE TOOL: one download of RELEASE from $url into an empty folder: with the
# client into an empty stage (no kept manifest), with curl the same blob URLs. Its figures go
# into results[RUN,RELEASE,TOOL]: "seconds peak-kib requests connections protocol idle-ms
# cpu-seconds".
transfer() {
    local run=$1 release=$2 tool=$3 first
    if ! runs_on "$tool" "$release"; then
        results[$run,$release,$tool]="0 0 0 0 - - 0"
        return 0
    fi
    clear_outputs
    first=$(wc -l < "$detail")
    case $tool in
        fetch)
            measured "$fetch" download --feed "$url" --channel "$release" --root "$work/root" \
                --stage "$work/stage" --connections "$connections" --ca-file "$tls/ca.pem" \
                ${cache_option:+"$cache_option" "$work/cache"}
            ;;
        fetch-win)
            measured "$VELLUMIX_TOP/scripts/wine-run.sh" "$fetch_win" download --feed "$url" \
                --channel "$release" --root "$(windows_path "$work/root")" \
                --stage "$(windows_path "$work/stage")" --connections "$connections" \
                --ca-file "$(windows_path "$tls/ca.pem")" --cache-dir "$(windows_path "$work/cache")"
            ;;
        qt-floor)
            local floor_arguments
            mapfile -t floor_arguments < "$work/qtfloor-$release.txt"
            measured "$qtfloor" --ca-file "$tls/ca.pem" "${floor_arguments[@]}"
            local got
            read -r got _ < "$work/stdout.txt"
            [ "$got" = "${bytes[$release]}" ] \
                || die "vellumix-qtfloor received $got bytes instead of ${bytes[$release]}"
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
    results[$run,$release,$tool]="$seconds $kib $requests $conns $protocol $idle $cpu"
}

# run_all RUNS WHERE: RUNS runs of every release (the array `releases`) with every tool, each
# run's table printed by the script's print_table TITLE RUN; WHERE names the setting in the
# title.
run_all() {
    local runs=$1 where=$2 run release tool
    for run in $(seq "$runs"); do
        for release in "${releases[@]}"; do
            for tool in "${tools[@]}"; do
                transfer "$run" "$release" "$tool"
            done
        done
        print_table "run $run of $runs, $(date '+%Y-%m-%d %H:%M'), load average $(cut -d' ' -f1-3 /proc/loadavg): $where; vellumix-fetch ($client_source) --connections $connections" "$run"
    done
}

# median_results RUNS RELEASE...: results[median,RELEASE,TOOL] from the runs 1 to RUNS: the
# median of each number, the protocol as the first run saw it.
median_results() {
    local runs=$1 release tool field column values
    shift
    for release in "$@"; do
        for tool in "${tools[@]}"; do
            values=()
            for field in 1 2 3 4 5 6 7; do
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
}

# The wall times of every run, one line a release and tool.
print_run_walls() {
    local runs=$1 release tool
    shift
    for release in "$@"; do
        for tool in "${tools[@]}"; do
            runs_on "$tool" "$release" || continue
            printf '  %-6s %-22s wall s of the runs: %s\n' "$release" "${tool_names[$tool]}" \
                "$(for run in $(seq "$runs"); do cut -d' ' -f1 <<< "${results[$run,$release,$tool]}"; done | tr '\n' ' ')"
        done
    done
}
