#!/bin/sh
# Runs mounted_install_tests with an installation on file systems that only root can mount:
# a small tmpfs that fills up, and a read-only bind mount of one of its directories.
#   mounted_install.sh WINE_RUN TEST_PROGRAM [gtest arguments]
# Without root, or when mounting fails, the program runs anyway and its tests skip, saying why.
set -u
wine_run="$1"
program="$2"
shift 2

root="$(mktemp -d /tmp/vantor-mounts.XXXXXX)"
mounts=""
cleanup() {
    for m in $mounts; do umount "$m" 2>/dev/null || umount -l "$m"; done
    rm -rf "$root"
}
trap cleanup EXIT INT TERM

windows_path() {
    printf 'Z:%s' "$1" | tr / '\\'
}

if [ "$(id -u)" != 0 ]; then
    export VANTOR_TEST_MOUNT_SKIP="not root: cannot mount the small tmpfs or the read-only directory"
else
    mkdir -p "$root/small"
    if mount -t tmpfs -o size=256k,mode=0755 tmpfs "$root/small"; then
        mounts="$root/small"
        export VANTOR_TEST_SMALL_DISK="$(windows_path "$root/small")"
    fi
    # The read-only directory holds the old file the update would replace.
    mkdir -p "$root/readonly/System"
    printf 'old system items' >"$root/readonly/System/itemInfo.lub"
    if mount --bind "$root/readonly/System" "$root/readonly/System"; then
        mounts="$root/readonly/System $mounts"
        if mount -o remount,bind,ro "$root/readonly/System"; then
            export VANTOR_TEST_READONLY_INSTALL="$(windows_path "$root/readonly")"
        fi
    fi
    [ -n "${VANTOR_TEST_SMALL_DISK:-}" ] && [ -n "${VANTOR_TEST_READONLY_INSTALL:-}" ] ||
        export VANTOR_TEST_MOUNT_SKIP="mounting a tmpfs or a read-only bind mount failed"
fi

"$wine_run" "$program" "$@"
status=$?
exit "$status"
