#!/usr/bin/env bash
# Draws the program icon and the two chunk-status marks into image/.
# Run it again after changing a drawing; the results are committed.
set -euo pipefail
cd "$(dirname "$0")/image"

# No timestamps or other metadata, so that redrawing an unchanged picture changes no bytes.
png=(-strip -define png:exclude-chunks=date,time)

# The icon: a file cut into three offset pieces on a blue tile.
convert -size 64x64 xc:none \
    -fill '#2f6fd6' -draw 'roundrectangle 1,1 62,62 11,11' \
    -fill '#ffffff' -draw 'rectangle 14,11 40,23' \
    -fill '#dfe9fb' -draw 'rectangle 19,27 45,37' \
    -fill '#ffffff' -draw 'rectangle 24,41 50,53' \
    "${png[@]}" PNG32:/tmp/morvane-icon-$$.png
convert /tmp/morvane-icon-$$.png program.ico
rm -f /tmp/morvane-icon-$$.png

# A chunk that still matches its manifest: a white tick on a green disc.
convert -size 20x20 xc:none \
    -fill '#2e9d3a' -draw 'circle 9.5,9.5 9.5,0.5' \
    -fill none -stroke '#ffffff' -strokewidth 2.4 -draw 'polyline 5,10 8.5,13.5 15,6.5' \
    "${png[@]}" PNG32:right.png

# A chunk that does not: a white cross on a red disc.
convert -size 20x20 xc:none \
    -fill '#d33a2c' -draw 'circle 9.5,9.5 9.5,0.5' \
    -fill none -stroke '#ffffff' -strokewidth 2.4 \
    -draw 'line 6,6 13,13' -draw 'line 13,6 6,13' \
    "${png[@]}" PNG32:wrong.png
