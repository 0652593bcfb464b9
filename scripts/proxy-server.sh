#!/usr/bin/env bash
# Runs Debian's squid as an HTTP proxy on a free port of 127.0.0.1 for the tests: a proxy that
# asks for Basic credentials (407) as a company's proxy does, and lets an authenticated client
# tunnel (CONNECT) to any port, as HTTPS through a proxy travels. Nothing of the system's squid
# service is used or touched.
#
#   proxy-server.sh start RUN_DIR --user NAME PASSWORD
#       starts squid and prints its address (http://127.0.0.1:PORT) once it answers; the address
#       is also left in RUN_DIR/proxy-url, and squid's access log is RUN_DIR/access.log (one line
#       per request: the method, the address asked for, the status squid answered with and the
#       user name the client gave, "-" for none)
#   proxy-server.sh stop RUN_DIR
#       stops it and returns once it is gone
#
# squid started by root gives its work to the user "proxy", which may not be able to reach
# RUN_DIR (a test's temporary folder is its owner's alone); its own files therefore live in a
# folder of their own under /tmp, named in RUN_DIR/squid-dir and removed by stop.
set -euo pipefail

die() { echo "proxy-server.sh: $*" >&2; exit 1; }
usage() {
    sed -n '7,14p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

# The squid master of RUN_DIR, or nothing.
master_pid() {
    local home=$1 pid
    [ -f "$home/squid.pid" ] || return 0
    pid=$(tr -dc '0-9' < "$home/squid.pid" 2>/dev/null) || return 0
    [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] || return 0
    tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "$home/squid.conf" || return 0
    echo "$pid"
}

write_config() {
    local home=$1 port=$2
    local user=
    [ "$(id -u)" -eq 0 ] && user="cache_effective_user proxy"
    cat > "$home/squid.conf" <<EOF
# Written by scripts/proxy-server.sh for this run only.
http_port 127.0.0.1:$port
$user
pid_filename $home/squid.pid
cache_log $home/cache.log
logformat run %rm %ru %>Hs %un
# The request that sees whether squid is up is not logged: its line could otherwise reach the
# log after the test began reading it.
acl readiness url_regex ^http://127\.0\.0\.1:9/vellumix-proxy-ready$
access_log stdio:$home/access.log logformat=run !readiness
cache deny all
coredump_dir $home
pinger_enable off
shutdown_lifetime 0 seconds
auth_param basic program /usr/lib/squid/basic_ncsa_auth $home/passwd
auth_param basic realm vellumix-test-proxy
auth_param basic children 2 startup=1
acl authenticated proxy_auth REQUIRED
http_access allow authenticated
http_access deny all
EOF
}

start() {
    [ $# -eq 4 ] && [ "$2" = --user ] || usage
    local run=$1 name=$3 password=$4
    command -v squid > /dev/null || die "squid is not installed (Debian package squid)"
    [[ $name =~ ^[A-Za-z0-9._-]+$ ]] || die "a user name of letters, digits, '.', '_' and '-', not $name"
    mkdir -p "$run"
    run=$(realpath "$run")
    [ ! -f "$run/squid-dir" ] || [ -z "$(master_pid "$(cat "$run/squid-dir")")" ] \
        || die "a squid of $run is running already"
    local home
    home=$(mktemp -d /tmp/vellumix-proxy.XXXXXX)
    echo "$home" > "$run/squid-dir"
    printf '%s:%s\n' "$name" "$(openssl passwd -apr1 "$password")" > "$home/passwd"
    : > "$home/access.log"
    [ "$(id -u)" -ne 0 ] || chown -R proxy: "$home"
    ln -sf "$home/access.log" "$run/access.log"

    local attempt port started=
    for attempt in $(seq 1 20); do
        port=$(( (RANDOM * 32768 + RANDOM) % 40000 + 20000 ))
        if { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null; then
            exec 3>&-
            continue
        fi
        write_config "$home" "$port"
        rm -f "$home/squid.pid"
        squid -f "$home/squid.conf" < /dev/null > "$run/squid.stderr" 2>&1 || true
        local tries
        for tries in $(seq 1 100); do
            # Ready once it answers: a request without credentials is asked for them.
            if curl -s -o /dev/null -w '%{http_code}' -x "http://127.0.0.1:$port" \
                http://127.0.0.1:9/vellumix-proxy-ready 2>/dev/null | grep -q 407; then
                started=1
                break 2
            fi
            grep -q 'Address already in use\|FATAL' "$home/cache.log" "$run/squid.stderr" 2>/dev/null && break
            sleep 0.1
        done
        if grep -q 'Address already in use' "$home/cache.log" 2>/dev/null; then
            stop_home "$home"
            continue
        fi
        cat "$run/squid.stderr" "$home/cache.log" >&2 2>/dev/null || true
        stop_home "$home"
        die "squid did not start (configuration $home/squid.conf)"
    done
    [ -n "$started" ] || die "no free port found after $attempt attempts"
    echo "http://127.0.0.1:$port" | tee "$run/proxy-url"
}

stop_home() {
    local home=$1 pid tries
    pid=$(master_pid "$home")
    if [ -n "$pid" ]; then
        kill -TERM "$pid" 2>/dev/null || true
        for tries in $(seq 1 100); do
            [ -z "$(master_pid "$home")" ] && break
            sleep 0.1
        done
        pkill -KILL -P "$pid" 2>/dev/null || true
        kill -KILL "$pid" 2>/dev/null || true
    fi
}

stop() {
    [ $# -eq 1 ] || usage
    local run=$1 home
    [ -f "$run/squid-dir" ] || return 0
    home=$(cat "$run/squid-dir")
    stop_home "$home"
    # The log stays readable in RUN_DIR after the proxy's own folder is gone.
    rm -f "$run/access.log"
    [ ! -f "$home/access.log" ] || cp "$home/access.log" "$run/access.log"
    case $home in /tmp/vellumix-proxy.*) rm -rf "$home" ;; esac
    rm -f "$run/squid-dir"
}

case ${1:-} in
    start) shift; start "$@" ;;
    stop) shift; stop "$@" ;;
    *) usage ;;
esac
