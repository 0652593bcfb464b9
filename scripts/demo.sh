#!/usr/bin/env bash
# The demo: installs what is missing, builds, and in a temporary folder walks through the real job
# of the updater with the stand-in application:
#   1. version 1 is installed (the application and the updater);
#   2. version 2 is published and signed with vellumix-publish;
#   3. the application starts the update and exits; the update is confirmed;
#   4. version 3, whose new program dies at start-up, is rolled back;
#   5. a tampered manifest is refused and nothing changes.
# For each step it prints the exit code, the final text, the journal state and what changed on
# disk. It leaves no process running.
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
watch=$build/tests/e2e/reaper
key=$build/devkey/update-signing-dev.pem
for f in "$updater" "$app" "$publish" "$watch"; do
    [ -x "$f" ] || { echo "demo: $f was not built" >&2; exit 1; }
done
[ -f "$key" ] || { echo "demo: this build has a release key compiled in; the demo signs with the development key" >&2; exit 1; }

demo=$(mktemp -d /tmp/vellumix-demo.XXXXXX)
trap 'rm -rf "$demo"' EXIT
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

# Lets the application start the update and exit, and watches every process it leaves behind.
apply_update() {
    local stage=$1 before=$demo/before.txt after=$demo/after.txt
    snapshot > "$before"
    : > "$VELLUMIX_SAMPLE_LOG"
    echo "  \$ Vellumix.exe --apply-update $(basename "$stage")"
    set +e
    "$watch" --report "$demo/exits.txt" "$root/Vellumix.exe" --apply-update "$stage" 2> "$demo/messages.txt"
    set -e
    snapshot > "$after"
    echo "  What the application did:"
    indent < "$VELLUMIX_SAMPLE_LOG"
    local code
    code=$(awk '$1 == "VellumixUpdater" {print $2}' "$demo/exits.txt" | tail -n 1)
    echo "  Updater exit code: ${code:-(the updater did not run)}"
    echo "  Final text (shown in a message box on Windows):"
    if [ -s "$demo/messages.txt" ]; then indent < "$demo/messages.txt"; else echo "    (none: a confirmed update shows nothing)"; fi
    echo "  Journal state: $(sed -n 's/.*"state":"\([^"]*\)".*/\1/p' "$root/.vellumix-update/transaction.json" 2>/dev/null || echo none)"
    if [ -f "$root/.vellumix-update/installed.json" ]; then
        echo "  Installed record: $(tr -d ' \n' < "$root/.vellumix-update/installed.json")"
    fi
    show_changes "$before" "$after"
}

bold "1. Version 1 is installed"
make_release "$root" 1.0.0 1 confirm
(cd "$root" && find . -type f | sort | sed 's|^\./||') | indent

bold "2. Version 2 is published: staged and signed with vellumix-publish"
make_release "$demo/release-2" 2.0.0 2 confirm
"$publish" stage --release "$demo/release-2" --version 2.0.0 --sequence 2 --key "$key" \
    --notes "Version 2 adds a spell checker" --installed "$root" --out "$demo/stage-2" 2>/dev/null |
    { echo "  \$ vellumix-publish stage --release release-2 --version 2.0.0 --sequence 2 --installed Vellumix ..."; indent; }
"$publish" verify "$demo/stage-2" | { echo "  \$ vellumix-publish verify stage-2"; indent; }

bold "3. The application starts the update and exits; the new version confirms its start"
apply_update "$demo/stage-2"

bold "4. Version 3 is published, but its new program dies at start-up"
make_release "$demo/release-3" 3.0.0 3 exit
"$publish" stage --release "$demo/release-3" --version 3.0.0 --sequence 3 --key "$key" \
    --installed "$root" --out "$demo/stage-3" >/dev/null 2>&1
apply_update "$demo/stage-3"

bold "5. A manifest tampered with after signing is refused"
cp -r "$demo/stage-3" "$demo/stage-3-tampered"
python3 - "$demo/stage-3-tampered/manifest.json" <<'PY'
import base64, json, sys
path = sys.argv[1]
envelope = json.load(open(path))
payload = base64.b64decode(envelope["payload"]).replace(b'"sequence":3', b'"sequence":4')
envelope["payload"] = base64.b64encode(payload).decode()
open(path, "w").write(json.dumps(envelope))
PY
echo "  (the signed payload's sequence was changed from 3 to 4 by hand)"
apply_update "$demo/stage-3-tampered"

bold "Done"
echo "  The application and the updater left no process running; the temporary folder is removed."
