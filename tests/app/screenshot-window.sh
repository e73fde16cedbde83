#!/usr/bin/env bash
# Saves the X window with the given exact title (and at least the given width) as a PNG.
# Usage: screenshot-window.sh TITLE MIN_WIDTH OUT.png
set -euo pipefail
title="$1" min="$2" out="$3"
for _ in $(seq 1 50); do
    for id in $(xdotool search --name "^${title}\$" 2>/dev/null); do
        width="$(xwininfo -id "$id" | sed -n 's/^ *Width: //p')"
        if [ "${width:-0}" -ge "$min" ]; then
            mkdir -p "$(dirname "$out")"
            xwd -silent -id "$id" | convert xwd:- "$out"
            exit 0
        fi
    done
    sleep 0.2
done
echo "no window titled $title" >&2
exit 1
