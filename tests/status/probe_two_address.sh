#!/bin/sh
# Runs the two-address probe test with a host name of its own: a private network namespace
# whose hosts file gives the name ::1 first and 127.0.0.1 second. Only name resolution happens
# inside the namespace; the machine's own hosts file is never touched.
# usage: probe_two_address.sh <wine-run> <probe_two_address_tests.exe>
set -eu
if [ "$(id -u)" != 0 ] || ! ip netns list >/dev/null 2>&1; then
    echo "skipped: a network namespace needs root and iproute2's ip netns"
    exit 77
fi
ns="vantor-probe-$$"
name="two-address.vantor.test"
cleanup() {
    ip netns delete "$ns" 2>/dev/null || true
    rm -rf "/etc/netns/$ns"
    rmdir /etc/netns 2>/dev/null || true
}
trap cleanup EXIT INT TERM
mkdir -p "/etc/netns/$ns"
printf '::1 %s\n127.0.0.1 %s\n' "$name" "$name" >"/etc/netns/$ns/hosts"
ip netns add "$ns"
ip netns exec "$ns" ip link set lo up
VANTOR_TWO_ADDRESS_HOST="$name" ip netns exec "$ns" "$1" "$2"
