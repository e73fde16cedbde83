# The local demo service: nginx serving a published release over HTTPS, a TCP game server,
# and VANTOR.exe under Wine. Shared by scripts/demo and the end-to-end test.
# shellcheck shell=bash

DEMO_UPDATE_PORT="${DEMO_UPDATE_PORT:-19443}"
DEMO_GAME_PORT="${DEMO_GAME_PORT:-19690}"

# Data files of the demo releases.
DEMO_FILES=(
    "System/itemInfo.lub"
    "Data/prontera.gat"
    "Data/izlude.rsw"
    "Data/mp3nametable.txt"
    "Data/luafiles514/lua files/datainfo/itemInfo.lub"
)

# demo_release_files DIR TAG: every demo file in DIR, with deterministic contents that differ by
# release tag (one interpreter for all: each start costs a second on a busy machine).
demo_release_files() {
    python3 - "$1" "$2" "${DEMO_FILES[@]}" <<'PY'
import hashlib, os, sys
root, tag = sys.argv[1], sys.argv[2]
for name in sys.argv[3:]:
    seed = hashlib.sha256((name + "|" + tag).encode()).digest()
    size = 4096 + seed[0] * 97 + seed[1] * 13
    out = bytearray()
    block = seed
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block
    path = os.path.join(root, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(bytes(out[:size]))
PY
}

# demo_client_info FILE: the client's server configuration, naming the demo's game server.
demo_client_info() {
    printf '<?xml version="1.0" encoding="utf-8"?>\n<clientinfo>\n  <connection>\n    <address>localhost</address>\n    <port>%s</port>\n  </connection>\n</clientinfo>\n' \
        "$DEMO_GAME_PORT" >"$1"
}

# demo_layout INSTALL RELEASE_A RELEASE_B: two releases, A and the newer B, which share one file;
# the installation has data files between the two (the setup adds the launcher, the client and
# the server configuration).
demo_layout() {
    local install="$1" release_a="$2" release_b="$3"
    rm -rf "$install" "$release_a" "$release_b"
    mkdir -p "$install"
    demo_release_files "$release_a" 1.2.1
    demo_release_files "$release_b" 1.2.2
    local i=0 name
    for name in "${DEMO_FILES[@]}"; do
        # The installation is behind B: some files A's, one missing, one B's and unchanged since A.
        case $((i % 3)) in
            0) mkdir -p "$install/$(dirname "$name")"; cp "$release_a/$name" "$install/$name" ;;
            1) ;;
            2)
                cp "$release_b/$name" "$release_a/$name"
                mkdir -p "$install/$(dirname "$name")"
                cp "$release_b/$name" "$install/$name"
                ;;
        esac
        i=$((i + 1))
    done
}

# make_code_signing_pki DIR: a code-signing CA of the demo's own (root.pem) and the publisher's
# certificate it issued (code-signing.pem and .key), for sign-launcher.
make_code_signing_pki() {
    local dir="$1"
    # code-signing.pem comes last: a run killed while making the others makes them all again.
    [ -f "$dir/code-signing.pem" ] && return 0
    mkdir -p "$dir"
    pki_root "$dir" root "Vantor Demo Code Signing CA"
    pki_issue "$dir" root code-signing "Vantor Demo Publisher" \
        $'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning'
}

# update_host_config ADDRESS PORT SERVER_NAME CERT KEY ROOT: deploy/update-host.nginx.conf.in with
# its placeholders filled, on stdout. Each value lands in an nginx string or word as it is.
update_host_config() {
    local names=(ADDRESS PORT SERVER_NAME CERTIFICATE CERTIFICATE_KEY ROOT) values=("$@") text i
    text="$(cat "$VANTOR_ROOT/deploy/update-host.nginx.conf.in")"
    for i in "${!names[@]}"; do
        if [[ "${values[i]:-}" == "" || "${values[i]}" == *[\"\\\$\;[:space:]{}]* ]]; then
            echo "update_host_config: ${names[i]}: empty, or holds a character nginx would read" >&2
            return 1
        fi
        text="${text//@${names[i]}@/"${values[i]}"}"
    done
    if [[ "$text" =~ @[A-Z_]+@ ]]; then
        echo "update_host_config: ${BASH_REMATCH[0]} has no value" >&2
        return 1
    fi
    printf '%s\n' "$text"
}

# demo_start_nginx DIR WEBROOT CERT KEY PORT: nginx as an unprivileged daemon of its own, serving
# the operators' configuration on 127.0.0.1.
demo_start_nginx() {
    local dir="$1" webroot="$2" cert="$3" key="$4" port="$5"
    mkdir -p "$dir"
    update_host_config 127.0.0.1 "$port" localhost "$cert" "$key" "$webroot" >"$dir/update-host.conf"
    demo_run_nginx "$dir"
}

# demo_start_cdn DIR CERT KEY PORT ORIGIN: nginx as a CDN in front of a bucket, on the update host's
# address: every path below /patch/ is fetched from ORIGIN (http://HOST:PORT/BUCKET[/PREFIX]) with
# unsigned requests, and kept for as long as the origin's Cache-Control allows, no longer.
demo_start_cdn() {
    local dir="$1" cert="$2" key="$3" port="$4" origin="$5"
    mkdir -p "$dir"
    rm -rf "$dir/cache"
    cat >"$dir/update-host.conf" <<CONF
proxy_cache_path $dir/cache levels=1:2 keys_zone=cdn:1m max_size=256m inactive=1d use_temp_path=off;
server {
    listen 127.0.0.1:$port ssl;
    server_name localhost;
    ssl_certificate "$cert";
    ssl_certificate_key "$key";
    server_tokens off;
    location /patch/ {
        limit_except GET { deny all; }
        proxy_pass $origin/patch/;
        proxy_http_version 1.1;
        proxy_set_header Connection "";
        proxy_cache cdn;
        proxy_cache_revalidate on;
        add_header X-Cache-Status \$upstream_cache_status always;
    }
    location / {
        return 404;
    }
}
CONF
    demo_run_nginx "$dir"
}

# demo_run_nginx DIR: nginx with DIR/update-host.conf as its one server (and its cache, if any).
demo_run_nginx() {
    local dir="$1"
    mkdir -p "$dir/tmp"
    : >"$dir/access.log"
    cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
daemon on;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 64; }
http {
    # The last field is the CDN's cache status (- where nothing is cached).
    log_format demo '\$remote_addr - \$remote_user [\$time_local] "\$request" \$status \$body_bytes_sent '
                    '"\$http_referer" "\$http_user_agent" \$upstream_cache_status';
    access_log $dir/access.log demo;
    client_body_temp_path $dir/tmp/body;
    proxy_temp_path $dir/tmp/proxy;
    fastcgi_temp_path $dir/tmp/fastcgi;
    uwsgi_temp_path $dir/tmp/uwsgi;
    scgi_temp_path $dir/tmp/scgi;
    default_type application/octet-stream;
    # As tuning guides suggest: the update host's configuration must stay right under it.
    open_file_cache max=1000 inactive=60s;
    include $dir/update-host.conf;
}
CONF
    nginx -c "$dir/nginx.conf" -e "$dir/error.log"
}

# demo_running_pid PIDFILE COMMAND: the pid in PIDFILE if that process still runs COMMAND; a
# killed run's file may name an id that another program has taken since.
demo_running_pid() {
    local pid
    pid="$(cat "$1" 2>/dev/null)" || return 1
    [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = "$2" ] && echo "$pid"
}

# Stops the nginx of DIR and waits until it has ended, also one left by a killed run.
demo_stop_nginx() {
    local dir="$1" pid
    if pid="$(demo_running_pid "$dir/nginx.pid" nginx)"; then
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 1 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.05
        done
    fi
    rm -f "$dir/nginx.pid"
}

demo_stop_game_server() {
    local pid
    if pid="$(demo_running_pid "$1" python3)"; then kill "$pid" 2>/dev/null || true; fi
    rm -f "$1"
}

# A game server that accepts connections and closes them; prints its pid.
demo_start_game_server() {
    local port="$1"
    setsid python3 -c '
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(16)
while True:
    c, _ = s.accept()
    c.close()
' "$port" </dev/null >/dev/null 2>&1 &
    echo $!
}

# The S3 host of the demo's bucket phase: tests/harness/s3_host.sh, started in the background while
# the demo builds (its cluster takes some seconds to come up).
DEMO_S3_PORT="${DEMO_S3_PORT:-19500}"
S3_HOST="$VANTOR_ROOT/tests/harness/s3_host.sh"

# demo_s3_start STATE: starts the S3 host, in a session of its own so that it can be ended whole.
demo_s3_start() {
    setsid "$S3_HOST" start "$1" "$DEMO_S3_PORT" </dev/null >"$1.log" 2>&1 &
    echo $! >"$1.starting"
}

# demo_s3_wait STATE: 0 once the S3 host is up; otherwise its log.
demo_s3_wait() {
    local pid code=0
    pid="$(cat "$1.starting" 2>/dev/null)" || return 1
    wait "$pid" || code=$?
    rm -f "$1.starting"
    [ "$code" -eq 0 ] || cat "$1.log" >&2
    return "$code"
}

# demo_s3_stop STATE: ends a start still running, and every daemon of the S3 host.
demo_s3_stop() {
    local pid
    if pid="$(demo_running_pid "$1.starting" s3_host.sh)"; then
        kill -- "-$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -f "$1.starting"
    "$S3_HOST" stop "$1"
}
