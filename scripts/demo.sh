#!/usr/bin/env bash
# The demo: installs what is missing, builds, and in a temporary folder walks through the real job
# with the stand-in application:
#   1. version 1 is installed (the application and the updater) and published into a feed;
#   2. version 2 is staged, signed and published with vellumix-publish into that feed, which
#      nginx serves on a free local port; it is staged with deltas against version 1, so its
#      changed data file travels as a delta;
#   3. the application checks the feed, downloads only what changed (the data file as a delta
#      applied to its installed copy), starts the updater and exits; the new version confirms
#      its start;
#   4. version 3, whose new program dies at start-up, is published; the update is rolled back,
#      and version 2, started again, says so;
#   5. the next check leaves version 3 alone: a release that failed here is not tried again;
#   6. a manifest tampered with on the server is refused before a single file is fetched.
# For each step it prints what the application did (with the bytes that travelled against the
# size of the release, and what the deltas saved against whole blobs), the updater's exit code,
# the final text, the journal state and what changed on disk. It stops nginx and leaves no
# process running.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages $VELLUMIX_BUILD_PACKAGES nginx
build=${BUILD_DIR:-$VELLUMIX_TOP/build}
build_log=$(mktemp /tmp/vellumix-demo-build.XXXXXX.log)
if ! configure_and_build "$build" > "$build_log" 2>&1; then
    cat "$build_log" >&2
    echo "demo: the build failed (log above)" >&2
    exit 1
fi
rm -f "$build_log"
say "built in $build (with the development update-signing key of that build tree)"

updater=$build/updater/VellumixUpdater
app=$build/sampleapp/vellumix-sample-app
publish=$build/publisher/vellumix-publish
fetch=$build/client/vellumix-fetch
watch=$build/tests/e2e/reaper
key=$build/devkey/update-signing-dev.pem
for f in "$updater" "$app" "$publish" "$fetch" "$watch"; do
    [ -x "$f" ] || { echo "demo: $f was not built" >&2; exit 1; }
done
[ -f "$key" ] || { echo "demo: this build has a release key compiled in; the demo signs with the development key" >&2; exit 1; }

demo=$(mktemp -d /tmp/vellumix-demo.XXXXXX)
feed=$demo/feed
server=$demo/nginx
trap 'bash "$VELLUMIX_TOP/scripts/feed-server.sh" stop "$server" >/dev/null 2>&1 || true; rm -rf "$demo"' EXIT
root=$demo/Vellumix
export VELLUMIX_SAMPLE_LOG=$demo/application.log

if [ -t 1 ]; then
    bold() { printf '\n\033[1m%s\033[0m\n' "$*"; }
else
    bold() { printf '\n%s\n' "$*"; }
fi
indent() { sed 's/^/    /'; }

# A release folder of the stand-in application: version, sequence, behaviour of the new program.
# data/assets.pak stands for a large data file that changes a little from version to version:
# 4 MiB that do not compress (as packed assets do), of which each version rewrites 8 KiB.
make_release() {
    local dir=$1 version=$2 sequence=$3 behaviour=$4
    mkdir -p "$dir/lib" "$dir/docs"
    install -m 755 "$app" "$dir/Vellumix.exe"
    install -m 755 "$updater" "$dir/VellumixUpdater.exe"
    printf '{"version":"%s","sequence":%d,"behaviour":"%s","runMs":200}\n' \
        "$version" "$sequence" "$behaviour" > "$dir/vellumix-sample.json"
    printf 'core library %s\n' "$version" > "$dir/lib/core.dll"
    printf 'Vellumix %s: notes for users\n' "$version" > "$dir/docs/readme.txt"
    if [ "$sequence" -ge 2 ]; then printf 'spell checker, new in %s\n' "$version" > "$dir/lib/spell.dll"; fi
    mkdir -p "$dir/data"
    python3 - "$dir/data/assets.pak" "$sequence" <<'PY'
import random, sys
data = bytearray(random.Random(1).randbytes(4 << 20))
for version in range(2, int(sys.argv[2]) + 1):
    at = version * (512 << 10)
    data[at:at + (8 << 10)] = random.Random(version).randbytes(8 << 10)
open(sys.argv[1], "wb").write(data)
PY
}

snapshot() { (cd "$root" && find . -path ./.vellumix-update -prune -o -type f -print0 | sort -z | xargs -0 sha256sum); }

show_changes() {
    local before=$1 after=$2
    local changes
    changes=$(join -j 2 -a 1 -a 2 -e '-' -o '0,1.1,2.1' <(sort -k2 "$before") <(sort -k2 "$after") |
        awk '$2 == "-" {print "added    " substr($1,3); next}
             $3 == "-" {print "removed  " substr($1,3); next}
             $2 != $3  {print "changed  " substr($1,3)}')
    echo "  Files changed in the program folder:"
    if [ -n "$changes" ]; then echo "$changes" | indent; else echo "    (none)"; fi
}

# Lets the application update itself from the feed and exit, and watches every process it leaves
# behind.
update_from_feed() {
    local before=$demo/before.txt after=$demo/after.txt
    local requests_before
    requests_before=$(wc -l < "$server/access.log")
    snapshot > "$before"
    : > "$VELLUMIX_SAMPLE_LOG"
    echo "  \$ Vellumix.exe --check-update $url"
    set +e
    "$watch" --report "$demo/exits.txt" "$root/Vellumix.exe" --check-update "$url" \
        --stage "$demo/stage" 2> "$demo/messages.txt"
    set -e
    snapshot > "$after"
    echo "  What the application did:"
    indent < "$VELLUMIX_SAMPLE_LOG"
    echo "  Requests that reached nginx (method, path, status, range, bytes sent):"
    tail -n +"$((requests_before + 1))" "$server/access.log" | tr '\t' ' ' | indent
    local found fetched
    found=$(sed -n 's/.* found: .*, \([0-9]*\) of \([0-9]*\) bytes packed$/\1 \2/p' "$VELLUMIX_SAMPLE_LOG")
    fetched=$(sed -n 's/^downloaded \([0-9]*\) bytes.*/\1/p' "$VELLUMIX_SAMPLE_LOG")
    if [ -n "$found" ] && [ -n "$fetched" ]; then
        set -- $found
        awk -v f="$fetched" -v r="$2" 'BEGIN { printf "  Bytes that travelled: %d of the release'"'"'s %d packed bytes (%.3f%%)\n", f, r, 100 * f / r }'
    fi
    # The deltas among the blobs nginx sent, against the whole blobs of the same files.
    tail -n +"$((requests_before + 1))" "$server/access.log" > "$demo/requests.txt"
    python3 - "$feed/stable/manifest.json" "$demo/requests.txt" <<'PY'
import base64, json, sys
payload = json.loads(base64.b64decode(json.load(open(sys.argv[1]))["payload"]))
whole = {f["path"]: f["packedSize"] for f in payload["files"]}
deltas = {d["packedSha256"]: d["path"] for d in payload.get("deltas", [])}
paths, sent = {}, 0
for line in open(sys.argv[2]):
    fields = line.rstrip("\n").split("\t")
    if len(fields) == 5 and fields[0] == "GET" and fields[2] in ("200", "206") \
            and fields[1].startswith("/blobs/") and fields[1][7:] in deltas:
        paths[deltas[fields[1][7:]]] = True
        sent += int(fields[4])
if paths:
    count = len(paths)
    print("  Deltas: %d file%s came as %s (%s): %d bytes travelled instead of %d bytes as %s"
          % (count, "" if count == 1 else "s", "a delta" if count == 1 else "deltas",
             ", ".join(sorted(paths)), sent, sum(whole[p] for p in paths),
             "a whole blob" if count == 1 else "whole blobs"))
PY
    local code
    code=$(awk '$1 == "VellumixUpdater" {print $2}' "$demo/exits.txt" | tail -n 1)
    echo "  Updater exit code: ${code:-(the updater did not run)}"
    echo "  Final text (shown in a message box on Windows):"
    if [ -s "$demo/messages.txt" ]; then
        indent < "$demo/messages.txt"
    elif [ -n "$code" ]; then
        echo "    (none: a confirmed update shows nothing)"
    else
        echo "    (none)"
    fi
    echo "  Journal state: $(sed -n 's/.*"state":"\([^"]*\)".*/\1/p' "$root/.vellumix-update/transaction.json" 2>/dev/null || echo none)"
    if [ -f "$root/.vellumix-update/installed.json" ]; then
        echo "  Installed record: $(tr -d ' \n' < "$root/.vellumix-update/installed.json")"
    fi
    show_changes "$before" "$after"
}

# Stages a release folder in full and publishes it into the feed. Once the feed holds a release,
# the stage also makes deltas against the channel's last releases there (--delta-base).
publish_release() {
    local release=$1 version=$2 sequence=$3 notes=$4
    local deltas=()
    [ -f "$feed/stable/manifest.json" ] && deltas=(--delta-base "$feed")
    if ! "$publish" stage --release "$release" --version "$version" --sequence "$sequence" \
        --key "$key" --notes "$notes" --out "$demo/stage-$sequence" "${deltas[@]}" \
        > "$demo/stage-$sequence.txt" 2>&1; then
        cat "$demo/stage-$sequence.txt" >&2
        echo "demo: staging version $version failed" >&2
        exit 1
    fi
    echo "  \$ vellumix-publish stage --release $(basename "$release") --version $version --sequence $sequence ...${deltas:+ --delta-base feed}"
    sed -n '/^deltas:/{N;p}' "$demo/stage-$sequence.txt" | indent
    echo "  \$ vellumix-publish publish stage-$sequence --feed feed"
    "$publish" publish "$demo/stage-$sequence" --feed "$feed" | indent
}

bold "1. Version 1 is installed, and published into a feed"
make_release "$root" 1.0.0 1 confirm
(cd "$root" && find . -type f | sort | sed 's|^\./||') | indent
make_release "$demo/release-1" 1.0.0 1 confirm
publish_release "$demo/release-1" 1.0.0 1 "Version 1"

bold "2. Version 2 is published into the feed with deltas against version 1, served by nginx"
make_release "$demo/release-2" 2.0.0 2 confirm
publish_release "$demo/release-2" 2.0.0 2 "Version 2 adds a spell checker"
url=$(bash "$VELLUMIX_TOP/scripts/feed-server.sh" start "$feed" "$server")
echo "  nginx serves the feed at $url"
echo "  \$ vellumix-fetch check --feed $url --root Vellumix"
"$fetch" check --feed "$url" --root "$root" | indent

bold "3. The application updates itself from the feed and exits; the new version confirms"
update_from_feed

bold "4. Version 3 is published, but its new program dies at start-up"
make_release "$demo/release-3" 3.0.0 3 exit
publish_release "$demo/release-3" 3.0.0 3 "Version 3"
update_from_feed
echo "  \$ vellumix-fetch status --root Vellumix"
"$fetch" status --root "$root" | indent

bold "5. The next check leaves version 3 alone: it failed here, and is not tried again by itself"
update_from_feed

bold "6. A manifest tampered with on the server is refused before any file is fetched"
make_release "$demo/release-4" 4.0.0 4 confirm
publish_release "$demo/release-4" 4.0.0 4 "Version 4" >/dev/null
python3 - "$feed/stable/manifest.json" <<'PY'
import base64, json, sys
path = sys.argv[1]
envelope = json.load(open(path))
payload = base64.b64decode(envelope["payload"]).replace(b'"sequence":4', b'"sequence":5')
envelope["payload"] = base64.b64encode(payload).decode()
open(path, "w").write(json.dumps(envelope))
PY
echo "  (the signed payload's sequence was changed from 4 to 5 on the server)"
update_from_feed

bold "Done"
bash "$VELLUMIX_TOP/scripts/feed-server.sh" stop "$server"
echo "  nginx is stopped; the application and the updater left no process running; the temporary"
echo "  folder is removed."
