#!/usr/bin/env bash
# Starts VANTOR.exe on the harness display and saves its window as a PNG for a person to look at.
# Usage: screenshot.sh VANTOR.exe OUT.png [SETTLE_SECONDS]
set -euo pipefail
exe="$1" out="$2" settle="${3:-6}"
build="$(cd "$(dirname "$exe")" && pwd)"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}" WINEDEBUG=-all
[ -n "${DISPLAY:-}" ] || DISPLAY="$(cat "$build/harness/display")"
export DISPLAY
install="$(mktemp -d "$build/harness/screenshot.XXXXXX")"
cp "$exe" "$install/VANTOR.exe"
wine "$install/VANTOR.exe" </dev/null >/dev/null 2>&1 &
pid=$!
cleanup() {
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    rm -rf "$install"
}
trap cleanup EXIT

main=""
for _ in $(seq 1 100); do
    for id in $(xdotool search --name '^Vantor Launcher$' 2>/dev/null); do
        # The main window is the one with the 520 x 330 client area; a message box is smaller.
        width="$(xwininfo -id "$id" | sed -n 's/^ *Width: //p')"
        if [ "${width:-0}" -ge 520 ]; then main="$id"; fi
    done
    [ -n "$main" ] && break
    sleep 0.2
done
[ -n "$main" ] || { echo "launcher window did not appear"; exit 1; }
sleep "$settle"
# A message box of a failed check would sit on top; the window is what we want to see.
for id in $(xdotool search --name '^Vantor Launcher$' 2>/dev/null); do
    [ "$id" = "$main" ] || xdotool windowunmap "$id" 2>/dev/null || true
done
mkdir -p "$(dirname "$out")"
xwd -silent -id "$main" | convert xwd:- "$out"
width="$(identify -format '%w' "$out")"
[ "$width" -ge 520 ] || { echo "screenshot is only $width pixels wide"; exit 1; }
echo "saved $out"
