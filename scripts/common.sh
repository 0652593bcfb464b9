# Shared by the README's commands: installing what is missing, and configuring and building.
# Source it; it defines functions only.

VELLUMIX_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The Debian packages every build needs.
VELLUMIX_BUILD_PACKAGES="cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-l10n-tools libssl-dev openssl zlib1g-dev libzstd-dev zstd"

say() { printf '\n==> %s\n' "$*" >&2; }

# Installs those of the named Debian packages that are not installed yet.
ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    say "installing Debian packages: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# Makes Debian's sources available to apt-get source: a deb-src entry for bookworm main (the same
# entry that build-qt-mingw.sh adds) unless there is one already.
ensure_debian_sources() {
    grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/ && return 0
    local sudo=
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    say "adding a deb-src entry for Debian bookworm main"
    printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' \
        'Suites: bookworm bookworm-updates' 'Components: main' \
        'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' \
        | $sudo tee /etc/apt/sources.list.d/vellumix-debian-src.sources >/dev/null
    $sudo apt-get update -qq
}

# configure_and_build BUILD_DIR [extra cmake arguments...]
configure_and_build() {
    local dir=$1
    shift
    say "configuring $dir"
    cmake -S "$VELLUMIX_TOP" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    say "building $dir"
    cmake --build "$dir" --parallel "$(nproc)"
}

# Stage timings for the longer scripts: start_stage_timer once, stage_done NAME after each stage;
# the timings are reported on standard error when the script ends, also when it fails.
now_ms() { local t=${EPOCHREALTIME/[.,]/}; echo $((t / 1000)); }
seconds_since() {
    local ms=$(($(now_ms) - $1))
    printf '%d.%01d' $((ms / 1000)) $((ms % 1000 / 100))
}
start_stage_timer() {
    VELLUMIX_TIMINGS_TITLE=$1
    VELLUMIX_STARTED=$(now_ms)
    VELLUMIX_STAGE_START=$VELLUMIX_STARTED
    VELLUMIX_TIMINGS=()
    trap report_timings EXIT
}
stage_done() {
    VELLUMIX_TIMINGS+=("$(printf '%-14s %7ss' "$1" "$(seconds_since "$VELLUMIX_STAGE_START")")")
    VELLUMIX_STAGE_START=$(now_ms)
}
report_timings() {
    say "$VELLUMIX_TIMINGS_TITLE"
    printf '  %s\n' "${VELLUMIX_TIMINGS[@]}" >&2
    printf '  %-14s %7ss\n' total "$(seconds_since "$VELLUMIX_STARTED")" >&2
}
