#!/usr/bin/env bash
# An S3 host for the tests, on 127.0.0.1 only: a one-node Ceph cluster held in memory and a RADOS
# Gateway in front of it.
#
#   s3_host.sh start STATE_DIR PORT [CERT.pem KEY.pem]
#                                            gateway on 127.0.0.1:PORT; writes STATE_DIR/env. With
#                                            a certificate it also takes TLS on PORT+9
#                                            (S3_TLS_ENDPOINT in env, https://localhost:PORT+9)
#   s3_host.sh bucket STATE_DIR NAME [public-read]
#   s3_host.sh drop STATE_DIR NAME           deletes bucket NAME and every object in it
#   s3_host.sh stop STATE_DIR
#
# The monitor listens on PORT+1 and the OSD takes its ports from PORT+2..PORT+8, so callers that
# keep their gateway ports ten apart can run clusters side by side. Every daemon runs from
# STATE_DIR/ceph.conf with its own run, socket and log folders; stop ends only the daemons whose
# pid files are under STATE_DIR.
set -euo pipefail

ACCESS_KEY=VANTORTESTACCESSKEY
SECRET_KEY=vantor-test-secret-key
REGION=us-east-1
DAEMONS=(rgw osd mon)

usage() {
    echo "usage: s3_host.sh start STATE_DIR PORT [CERT.pem KEY.pem] | bucket STATE_DIR NAME [public-read] | drop STATE_DIR NAME |" \
        "stop STATE_DIR" >&2
    exit 2
}

# daemon_pid STATE NAME: the pid of daemon NAME if it is still the one this state folder started.
daemon_pid() {
    local file="$1/run/$2.pid" pid
    [ -f "$file" ] || return 1
    pid="$(cat "$file" 2>/dev/null)" || return 1
    [[ "$pid" =~ ^[0-9]+$ ]] || return 1
    # A pid file from a killed run may name an id another program has taken since.
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "$1/ceph.conf" || return 1
    echo "$pid"
}

stop_host() {
    local state="$1" name pid i
    for name in "${DAEMONS[@]}"; do
        pid="$(daemon_pid "$state" "$name")" || continue
        kill "$pid" 2>/dev/null || true
        for i in $(seq 1 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
        rm -f "$state/run/$name.pid"
    done
}

fail_start() {
    local state="$1" log
    echo "s3_host: $2" >&2
    for log in "$state"/log/*.log; do
        [ -f "$log" ] || continue
        echo "--- tail of $log" >&2
        tail -n 30 "$log" >&2
    done
    stop_host "$state"
    exit 1
}

# s3_curl STATE CURL_ARGS...: a request signed with the test user's keys; prints the status code.
# The body is always hashed and signed, as the gateway wants on every request.
s3_curl() {
    local state="$1" body_hash
    shift
    local body=/dev/null
    local args=("$@") i
    for ((i = 0; i < ${#args[@]}; i++)); do
        [ "${args[i]}" = --data-binary ] && body="${args[i + 1]#@}"
    done
    body_hash="$(sha256sum <"$body" | cut -d' ' -f1)"
    curl -sS -o "$state/last-response" -w '%{http_code}' --max-time 10 \
        --aws-sigv4 "aws:amz:$REGION:s3" --user "$ACCESS_KEY:$SECRET_KEY" \
        -H "x-amz-content-sha256: $body_hash" "$@"
}

write_conf() {
    local state="$1" port="$2" fsid="$3" cert="${4:-}" key="${5:-}" tls=""
    [ -z "$cert" ] || tls=" ssl_endpoint=127.0.0.1:$((port + 9)) ssl_certificate=$cert ssl_private_key=$key"
    cat >"$state/ceph.conf" <<EOF
[global]
fsid = $fsid
mon host = v2:127.0.0.1:$((port + 1))
public addr = 127.0.0.1
cluster addr = 127.0.0.1
public network = 127.0.0.1/32
cluster network = 127.0.0.1/32
ms bind msgr1 = false
ms bind port min = $((port + 2))
ms bind port max = $((port + 8))
auth cluster required = none
auth service required = none
auth client required = none
ms cluster mode = crc
ms service mode = crc
ms client mode = crc
ms mon cluster mode = crc
ms mon service mode = crc
ms mon client mode = crc
osd objectstore = memstore
# Only a ceiling: memory is taken as objects come. The bench puts 1 GiB at a time.
memstore device bytes = 8589934592
osd pool default size = 1
osd pool default min size = 1
mon allow pool size one = true
mon warn on pool no redundancy = false
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
mon max pg per osd = 1000
osd crush chooseleaf type = 0
run dir = $state/run
pid file = $state/run/\$type.pid
log file = $state/log/\$name.log
log to stderr = false
err to stderr = true
mon data = $state/mon/\$id
osd data = $state/osd/\$id
keyring = $state/keyring
mon cluster log file = $state/log/cluster.log

[mon]
admin socket = $state/run/\$name.asok

[osd]
admin socket = $state/run/\$name.asok

[client.rgw]
rgw frontends = beast endpoint=127.0.0.1:$port$tls
rgw data = $state/rgw
# Deleted objects are held for the garbage collector, by default for two hours: in memory, that
# is memory kept. Here they go within seconds.
rgw gc obj min wait = 1
rgw gc processor period = 2
admin socket = $state/run/\$name.asok
pid file = $state/run/rgw.pid
EOF
}

start_host() {
    local state="$1" port="$2" cert="${3:-}" key="${4:-}" fsid i
    [[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -gt 0 ] && [ "$port" -lt 65527 ] || usage
    mkdir -p "$state"
    state="$(cd "$state" && pwd)"
    stop_host "$state"
    rm -rf "${state:?}"/*
    mkdir -p "$state"/{run,log,mon,osd/0,rgw}
    # A caller that gives up on a slow start must not be left with half a cluster.
    trap 'stop_host "$state"; exit 143' TERM INT HUP
    fsid="$(cat /proc/sys/kernel/random/uuid)"
    write_conf "$state" "$port" "$fsid" "$cert" "$key"
    local conf=(-c "$state/ceph.conf")
    : >"$state/keyring"

    monmaptool --create --fsid "$fsid" --addv a "[v2:127.0.0.1:$((port + 1))]" "$state/monmap" \
        >"$state/log/setup.log" 2>&1 || fail_start "$state" "monmaptool failed"
    ceph-mon "${conf[@]}" --mkfs -i a --monmap "$state/monmap" >>"$state/log/setup.log" 2>&1 ||
        fail_start "$state" "ceph-mon --mkfs failed"
    ceph-mon "${conf[@]}" -i a </dev/null >>"$state/log/setup.log" 2>&1 || fail_start "$state" "ceph-mon did not start"

    local id
    id="$(timeout 30 ceph "${conf[@]}" --connect-timeout 20 osd create 2>>"$state/log/setup.log")" ||
        fail_start "$state" "the monitor did not answer"
    [ "$id" = 0 ] || fail_start "$state" "unexpected OSD id '$id'"
    ceph-osd "${conf[@]}" -i 0 --mkfs >>"$state/log/setup.log" 2>&1 || fail_start "$state" "ceph-osd --mkfs failed"
    ceph-osd "${conf[@]}" -i 0 </dev/null >>"$state/log/setup.log" 2>&1 || fail_start "$state" "ceph-osd did not start"

    timeout 60 radosgw-admin "${conf[@]}" user create --uid=vantor-test --display-name="Vantor tests" \
        --access-key="$ACCESS_KEY" --secret-key="$SECRET_KEY" >>"$state/log/setup.log" 2>&1 ||
        fail_start "$state" "radosgw-admin could not create the test user"
    radosgw "${conf[@]}" -n client.rgw --no-mon-config </dev/null >>"$state/log/setup.log" 2>&1 ||
        fail_start "$state" "radosgw did not start"

    # Another server on PORT may answer too: only the gateway's bucket list counts.
    local code=none ready=0
    for i in $(seq 1 300); do
        code="$(s3_curl "$state" "http://127.0.0.1:$port/" 2>/dev/null)" || code=none
        if [ "$code" = 200 ] && grep -q ListAllMyBucketsResult "$state/last-response"; then
            ready=1
            break
        fi
        daemon_pid "$state" rgw >/dev/null || fail_start "$state" "radosgw exited"
        sleep 0.2
    done
    [ "$ready" = 1 ] || fail_start "$state" "the gateway did not answer a signed request (last status $code)"

    cat >"$state/env" <<EOF
AWS_ACCESS_KEY_ID=$ACCESS_KEY
AWS_SECRET_ACCESS_KEY=$SECRET_KEY
AWS_REGION=$REGION
AWS_ENDPOINT_URL=http://127.0.0.1:$port
EOF
    [ -z "$cert" ] || echo "S3_TLS_ENDPOINT=https://localhost:$((port + 9))" >>"$state/env"
}

make_bucket() {
    local state="$1" name="$2" access="${3:-}" endpoint code
    [ -f "$state/env" ] || {
        echo "s3_host: no S3 host started in $state" >&2
        exit 1
    }
    endpoint="$(sed -n 's/^AWS_ENDPOINT_URL=//p' "$state/env")"
    code="$(s3_curl "$state" -I "$endpoint/$name")"
    if [ "$code" != 200 ]; then
        code="$(s3_curl "$state" -X PUT "$endpoint/$name")"
        if [ "$code" != 200 ]; then
            echo "s3_host: creating bucket $name answered $code" >&2
            cat "$state/last-response" >&2
            exit 1
        fi
    fi
    [ "$access" = public-read ] || return 0
    cat >"$state/policy-$name.json" <<EOF
{"Version": "2012-10-17", "Statement": [{"Sid": "PublicRead", "Effect": "Allow", "Principal": "*",
 "Action": ["s3:GetObject"], "Resource": ["arn:aws:s3:::$name/*"]}]}
EOF
    code="$(s3_curl "$state" -X PUT --data-binary "@$state/policy-$name.json" "$endpoint/$name?policy=")"
    case "$code" in
    200 | 204) ;;
    *)
        echo "s3_host: setting the policy of bucket $name answered $code" >&2
        cat "$state/last-response" >&2
        exit 1
        ;;
    esac
}

[ $# -ge 2 ] || usage
case "$1" in
start)
    [ $# -eq 3 ] || [ $# -eq 5 ] || usage
    if [ $# -eq 5 ]; then
        start_host "$2" "$3" "$(realpath "$4")" "$(realpath "$5")"
    else
        start_host "$2" "$3"
    fi
    ;;
bucket)
    [ $# -ge 3 ] && [ $# -le 4 ] || usage
    [ $# -eq 3 ] || [ "$4" = public-read ] || usage
    make_bucket "$(cd "$2" && pwd)" "$3" "${4:-}"
    ;;
drop)
    [ $# -eq 3 ] || usage
    state="$(cd "$2" && pwd)"
    out="$(radosgw-admin -c "$state/ceph.conf" bucket rm --bucket="$3" --purge-objects --bypass-gc 2>&1)" || {
        # Nothing to drop is no failure.
        grep -q 'No such file or directory' <<<"$out" || { echo "s3_host: $out" >&2; exit 1; }
    }
    ;;
stop)
    [ $# -eq 2 ] || usage
    [ -d "$2" ] || exit 0
    stop_host "$(cd "$2" && pwd)"
    ;;
*) usage ;;
esac
