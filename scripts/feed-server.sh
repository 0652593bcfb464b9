#!/usr/bin/env bash
# Serves a feed folder with Debian's nginx on a free port of 127.0.0.1, as the current user, for
# the tests, the demo and the benchmark. Nothing of the system's nginx service is used or touched:
# the configuration, pid file, logs and temporary folders all live in RUN_DIR.
#
#   feed-server.sh start FEED_DIR RUN_DIR [--tls CERT KEY [--tls13] [--http2]] [--detail-log]
#                        [--limit-rate RATE] [--keepalive-requests N] [--max-streams N]
#                        [--reset-blobs PERCENT] [--basic-auth USER PASSWORD]
#                        [--require-header NAME VALUE]
#       starts nginx and prints its base URL (http://127.0.0.1:PORT, or https://... with --tls)
#       on standard output once it answers; the URL is also left in RUN_DIR/base-url
#       --tls13       offer TLS 1.3 as well as 1.2 (this nginx offers up to 1.2 by default)
#       --http2       offer HTTP/2 as well as HTTP/1.1 (chosen by ALPN; needs --tls)
#       --detail-log  also write RUN_DIR/detail.log (below)
#       --limit-rate RATE
#                     send each blob at most at RATE bytes a second (nginx's size syntax:
#                     4k, 1m); the first second's worth goes at once. The tests hold blobs
#                     back with it to see how many requests a client keeps open.
#       --keepalive-requests N
#                     close a connection after N requests (nginx's keepalive_requests,
#                     default 1,000; over HTTP/2 with a GOAWAY that refuses the streams after
#                     the Nth)
#       --max-streams N
#                     at most N HTTP/2 streams at once on a connection (nginx's
#                     http2_max_concurrent_streams, default 128; announced in the server's
#                     SETTINGS, and a stream beyond it is refused with REFUSED_STREAM)
#       --reset-blobs PERCENT
#                     end about PERCENT % of the blob requests, drawn at random for each
#                     request, without an answer: over HTTP/2 nginx resets the stream
#                     (RST_STREAM), over HTTP/1.1 it closes the connection
#       --basic-auth USER PASSWORD
#                     a private feed: every request but the outcome reports needs these HTTP
#                     Basic credentials (nginx's auth_basic), 401 without them
#       --require-header NAME VALUE
#                     a private feed: every request but the outcome reports needs this header
#                     with this value (a token), 403 without it
#   feed-server.sh stop RUN_DIR
#       stops it and returns once it is gone
#
# The site part of the configuration is docs/nginx-feed.conf, the file docs/hosting.md shows.
# Beside it, /reports answers 204 and keeps outcome reports in RUN_DIR/reports.log in nginx's
# "combined" format, as docs/hosting.md's report endpoint does (vellumix-publish reads that log).
# RUN_DIR/access.log has one line per request, five fields separated by tabs:
#   method  uri  status  range  body-bytes-sent
# (a request without a Range header shows "-"; nginx writes bytes outside printable ASCII and
# the characters " and \ as \xHH).
# RUN_DIR/detail.log (with --detail-log) has one line per request, for the benchmark, twelve
# fields separated by tabs:
#   end-time  request-time  connection  request-on-connection  protocol  method  uri  status
#   request-bytes  sent-bytes  body-bytes-sent  tls-protocol
# end-time is when the answer's last byte was handed to the socket (seconds since the epoch,
# to the millisecond); request-time runs from the request's first byte read to then;
# request-bytes and sent-bytes count the request and the answer with their headers, without
# the bytes of TLS itself (for HTTP/2, the headers as they were compressed).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
site_conf=$(cd "$here/../docs" && pwd)/nginx-feed.conf

die() { echo "feed-server.sh: $*" >&2; exit 1; }
usage() {
    sed -n '6,38p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

find_nginx() {
    local candidate
    for candidate in "${NGINX:-}" "$(command -v nginx 2>/dev/null || true)" /usr/sbin/nginx; do
        [ -n "$candidate" ] && [ -x "$candidate" ] && { echo "$candidate"; return 0; }
    done
    die "nginx is not installed (Debian package nginx)"
}

# Paths go into nginx's configuration in double quotes; characters that nginx would read as a
# variable, an escape or the end of the string are refused rather than escaped.
config_path() {
    case $1 in
        *'"'* | *'\'* | *'$'* | *$'\n'*) die "a path with \", \\, \$ or a line feed cannot be served: $1" ;;
    esac
    printf '"%s"' "$1"
}

# The process id of the nginx master serving RUN_DIR, or nothing: the id in the pid file counts
# only while that process is alive (not a zombie) and is the nginx of this RUN_DIR.
master_pid() {
    local run=$1 pid state
    [ -f "$run/nginx.pid" ] || return 0
    pid=$(tr -dc '0-9' 2>/dev/null < "$run/nginx.pid") || return 0
    [ -n "$pid" ] && [ -r "/proc/$pid/stat" ] || return 0
    state=$(sed 's/^.*) //' "/proc/$pid/stat" | cut -d' ' -f1)
    case $state in Z | X) return 0 ;; esac
    tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "$run/nginx.conf" || return 0
    echo "$pid"
}

write_config() {
    local feed=$1 run=$2 port=$3 cert=$4 key=$5 http2=$6 detail=$7 tls13=$8 rate=$9
    local keepalive=${10} streams=${11} resets=${12} auth=${13} header_name=${14} header_value=${15}
    local listen="listen 127.0.0.1:$port;" tls= detail_log= limit= connection= reset= reset_rule=
    [ -z "$rate" ] || limit="map \$uri \$feed_blob_rate { ~^/blobs/ $rate; default 0; }
    limit_rate \$feed_blob_rate;"
    [ -z "$keepalive" ] || connection="keepalive_requests $keepalive;"
    [ -z "$streams" ] || connection="$connection
    http2_max_concurrent_streams $streams;"
    # The draw is made on the request's own random id, so each try of a blob is drawn anew;
    # "return 444" ends a request without an answer.
    [ -z "$resets" ] || reset="split_clients \"\${request_id}\" \$feed_reset_draw { $resets% 1; * 0; }
    map \"\$feed_reset_draw\$uri\" \$feed_reset { \"~^1/blobs/\" 1; default 0; }"
    [ -z "$resets" ] || reset_rule="if (\$feed_reset) { return 444; }"
    local private= public=
    if [ -n "$auth" ]; then
        private="auth_basic \"vellumix feed\";
        auth_basic_user_file $(config_path "$run/htpasswd");"
        public="auth_basic off;"
    fi
    if [ -n "$header_name" ]; then
        local variable
        variable=http_$(echo "$header_name" | tr 'A-Z-' 'a-z_')
        reset="$reset
    map \$uri \$feed_public { /reports 1; default 0; }
    map \"\$feed_public:\$$variable\" \$feed_refused { ~^1: 0; \"0:$header_value\" 0; default 1; }"
        private="$private
        if (\$feed_refused) { return 403; }"
    fi
    if [ -n "$cert" ]; then
        listen="listen 127.0.0.1:$port ssl${http2:+ http2};"
        tls="ssl_certificate $(config_path "$cert");
        ssl_certificate_key $(config_path "$key");"
        [ -z "$tls13" ] || tls="$tls
        ssl_protocols TLSv1.2 TLSv1.3;"
    fi
    if [ -n "$detail" ]; then
        detail_log="log_format detail \"\$msec\t\$request_time\t\$connection\t\$connection_requests\t\$server_protocol\t\$request_method\t\$uri\t\$status\t\$request_length\t\$bytes_sent\t\$body_bytes_sent\t\$ssl_protocol\";
    access_log $(config_path "$run/detail.log") detail;"
    fi
    # A master started as root hands the requests to workers of the "user" directive (nobody by
    # default), which could not read a feed that only its owner may read; as root, the workers
    # stay root. Any other user runs master and workers as itself, and nginx ignores "user".
    local user=
    [ "$(id -u)" -eq 0 ] && user="user root;"
    cat > "$run/nginx.conf" <<EOF
# Written by scripts/feed-server.sh for this run only.
$user
worker_processes 2;
pid $(config_path "$run/nginx.pid");
lock_file $(config_path "$run/nginx.lock");
error_log $(config_path "$run/error.log") warn;
events {
    worker_connections 1024;
}
http {
    log_format feed "\$request_method\t\$uri\t\$status\t\$http_range\t\$body_bytes_sent";
    access_log $(config_path "$run/access.log") feed;
    $detail_log
    $limit
    $connection
    $reset
    client_body_temp_path $(config_path "$run/tmp/body");
    proxy_temp_path $(config_path "$run/tmp/proxy");
    fastcgi_temp_path $(config_path "$run/tmp/fastcgi");
    uwsgi_temp_path $(config_path "$run/tmp/uwsgi");
    scgi_temp_path $(config_path "$run/tmp/scgi");
    sendfile on;
    tcp_nopush on;
    server {
        $listen
        server_name localhost;
        $tls
        $reset_rule
        $private
        root $(config_path "$feed");
        include $(config_path "$site_conf");
        location = /reports {
            access_log $(config_path "$run/reports.log") combined;
            $public
            return 204;
        }
    }
}
EOF
}

# Sends one plain request and answers whether an HTTP status line came back. On a TLS port nginx
# answers the plain request with 400, which shows as well that its workers serve.
probe() {
    local port=$1 line=
    { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null || return 1
    printf 'GET /.feed-server-probe HTTP/1.0\r\nHost: localhost\r\n\r\n' >&3 || { exec 3>&-; return 1; }
    read -r -t 5 line <&3 || true
    exec 3>&-
    [[ $line == HTTP/1.* ]]
}

start() {
    [ $# -ge 2 ] || usage
    local feed=$1 run=$2 cert= key= http2= detail= tls13= rate= keepalive= streams= resets=
    local auth= header_name= header_value=
    shift 2
    while [ $# -gt 0 ]; do
        case $1 in
            --tls)
                [ $# -ge 3 ] || usage
                cert=$(realpath -e "$2") || die "no certificate file $2"
                key=$(realpath -e "$3") || die "no key file $3"
                shift 3 ;;
            --tls13) tls13=1; shift ;;
            --http2) http2=1; shift ;;
            --detail-log) detail=1; shift ;;
            --limit-rate)
                [ $# -ge 2 ] || usage
                [[ $2 =~ ^[1-9][0-9]*[kKmM]?$ ]] || die "--limit-rate takes a size such as 4k, not $2"
                rate=$2
                shift 2 ;;
            --keepalive-requests | --max-streams)
                [ $# -ge 2 ] || usage
                [[ $2 =~ ^[1-9][0-9]{0,5}$ ]] || die "$1 takes a number from 1, not $2"
                if [ "$1" = --keepalive-requests ]; then keepalive=$2; else streams=$2; fi
                shift 2 ;;
            --reset-blobs)
                [ $# -ge 2 ] || usage
                [[ $2 =~ ^[1-9][0-9]?$ ]] || die "--reset-blobs takes a share from 1 to 99 (per cent), not $2"
                resets=$2
                shift 2 ;;
            --basic-auth)
                [ $# -ge 3 ] || usage
                [[ $2 =~ ^[A-Za-z0-9._-]+$ ]] || die "--basic-auth takes a user name of letters, digits, '.', '_' and '-', not $2"
                auth="$2:$3"
                shift 3 ;;
            --require-header)
                [ $# -ge 3 ] || usage
                [[ $2 =~ ^[A-Za-z0-9-]+$ ]] || die "--require-header takes a header name of letters, digits and '-', not $2"
                [[ $3 =~ ^[A-Za-z0-9._~+/=\ -]+$ ]] || die "--require-header takes a value of letters, digits, spaces and ._~+/=-"
                header_name=$2
                header_value=$3
                shift 3 ;;
            *) usage ;;
        esac
    done
    [ -z "$http2$tls13" ] || [ -n "$cert" ] || die "--http2 and --tls13 need --tls"
    [ -d "$feed" ] || die "the feed folder $feed does not exist"
    feed=$(realpath "$feed")
    mkdir -p "$run/tmp"
    run=$(realpath "$run")
    [ -z "$(master_pid "$run")" ] || die "an nginx of $run is running already"
    rm -f "$run/nginx.pid" "$run/base-url"
    : > "$run/access.log"
    [ -z "$detail" ] || : > "$run/detail.log"
    [ -z "$auth" ] || printf '%s:%s\n' "${auth%%:*}" "$(openssl passwd -apr1 "${auth#*:}")" > "$run/htpasswd"
    local nginx
    nginx=$(find_nginx)

    # A random port in 20000-59999. One that answers a connection is in use and skipped (nginx
    # itself would try to bind it for 2.5 s); when another program takes the port meanwhile,
    # nginx's bind fails and another one is tried. nginx binds before it detaches, so once the
    # command has returned successfully the port is ours.
    local attempt port started=
    for attempt in $(seq 1 40); do
        port=$(( (RANDOM * 32768 + RANDOM) % 40000 + 20000 ))
        if { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null; then
            exec 3>&-
            continue
        fi
        write_config "$feed" "$run" "$port" "$cert" "$key" "$http2" "$detail" "$tls13" "$rate" \
            "$keepalive" "$streams" "$resets" "$auth" "$header_name" "$header_value"
        : > "$run/error.log"
        if "$nginx" -p "$run" -e "$run/error.log" -c "$run/nginx.conf" \
            < /dev/null > /dev/null 2> "$run/nginx.stderr"; then
            started=1
            break
        fi
        grep -q 'Address already in use' "$run/nginx.stderr" "$run/error.log" \
            || { cat "$run/nginx.stderr" >&2; die "nginx did not start (configuration $run/nginx.conf)"; }
    done
    [ -n "$started" ] || die "no free port found after $attempt attempts"

    # Ready when it answers a request; the probe's line is then cleared from the access log, so
    # the log holds only the requests of whoever uses the server.
    local tries
    for tries in $(seq 1 100); do
        [ -n "$(master_pid "$run")" ] && probe "$port" && break
        [ "$tries" -eq 100 ] && { stop "$run"; die "nginx started but does not answer on port $port"; }
        sleep 0.1
    done
    for tries in $(seq 1 50); do
        grep -q 'feed-server-probe' "$run/access.log" && break
        sleep 0.1
    done
    : > "$run/access.log"
    [ -z "$detail" ] || : > "$run/detail.log"

    local scheme=http
    [ -n "$cert" ] && scheme=https
    echo "$scheme://127.0.0.1:$port" | tee "$run/base-url"
}

stop() {
    [ $# -eq 1 ] || usage
    local run
    run=$(realpath "$1" 2>/dev/null) || return 0
    local pid
    pid=$(master_pid "$run")
    [ -n "$pid" ] || return 0
    # A fast shutdown: the master ends its workers and waits for them before it ends itself.
    kill -TERM "$pid" 2>/dev/null || true
    local tries
    for tries in $(seq 1 100); do
        [ -z "$(master_pid "$run")" ] && return 0
        sleep 0.1
    done
    pkill -KILL -P "$pid" 2>/dev/null || true
    kill -KILL "$pid" 2>/dev/null || true
    for tries in $(seq 1 50); do
        [ -z "$(master_pid "$run")" ] && return 0
        sleep 0.1
    done
    die "nginx $pid of $run does not end"
}

case ${1:-} in
    start) shift; start "$@" ;;
    stop) shift; stop "$@" ;;
    *) usage ;;
esac
