#!/bin/sh
# Runs the drive-root placement of launch_process_tests with a Wine drive letter mapped to a
# fresh folder, as a game installed at the root of its own drive.
#   drive_root.sh BUILD_DIR WINE_RUN TEST_PROGRAM
set -u
build="$1"
wine_run="$2"
program="$3"
devices="${WINEPREFIX:-$build/wineprefix}/dosdevices"

root="$(mktemp -d /tmp/vantor-drive.XXXXXX)"
letter=""
for candidate in q r s t u v w x y; do
    if [ ! -e "$devices/$candidate:" ] && [ ! -L "$devices/$candidate:" ]; then
        letter="$candidate"
        break
    fi
done
[ -n "$letter" ] || { echo "no free drive letter in $devices"; rm -rf "$root"; exit 1; }
ln -s "$root" "$devices/$letter:"
cleanup() {
    rm -f "$devices/$letter:"
    rm -rf "$root"
}
trap cleanup EXIT INT TERM

VANTOR_TEST_DRIVE="$(echo "$letter" | tr a-z A-Z):" "$wine_run" "$program" \
    --gtest_filter='Folders/PlacementTest.ClientStartsInTheInstallationDirectory/DriveRoot'
