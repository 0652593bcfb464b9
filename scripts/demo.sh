#!/usr/bin/env bash
# The demo: installs what is missing, builds, and in a temporary folder walks through the real job
# with the stand-in application:
#   1. version 1 is installed (the application and the updater);
#   2. version 2 is staged, signed and published with vellumix-publish into a feed that nginx
#      serves on a free local port;
#   3. the application checks the feed, downloads only what changed, starts the updater and
#      exits; the new version confirms its start;
#   4. version 3, whose new program dies at start-up, is published; the update is rolled back;
#   5. a manifest tampered with on the server is refused before a single file is fetched.
# For each step it prints what the application did (with the bytes that travelled against the
# size of the release), the updater's exit code, the final text, the journal state and what
# changed on disk. It stops nginx and leaves no process running.
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

# Stages a release folder in full and publishes it into the feed.
publish_release() {
    local release=$1 version=$2 sequence=$3 notes=$4
    "$publish" stage --release "$release" --version "$version" --sequence "$sequence" --key "$key" \
        --notes "$notes" --out "$demo/stage-$sequence" >/dev/null 2>&1
    echo "  \$ vellumix-publish stage --release $(basename "$release") --version $version --sequence $sequence ..."
    echo "  \$ vellumix-publish publish stage-$sequence --feed feed"
    "$publish" publish "$demo/stage-$sequence" --feed "$feed" | indent
}

bold "1. Version 1 is installed"
make_release "$root" 1.0.0 1 confirm
(cd "$root" && find . -type f | sort | sed 's|^\./||') | indent

bold "2. Version 2 is published into a feed, served by nginx"
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

bold "5. A manifest tampered with on the server is refused before any file is fetched"
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
