#!/usr/bin/env bash
# Draws the menu icon at every size that is installed into the hicolor theme.
# It is the program icon of resources/make_images.sh drawn four times as large and then reduced,
# so that the large sizes stay sharp. Run it again after the program icon changes; the PNGs are
# committed, and the packaging tests compare the 64 px one with resources/image/program.ico.
set -euo pipefail
cd "$(dirname "$0")"

# No timestamps or other metadata, so that redrawing an unchanged picture changes no bytes.
png=(-strip -define "png:exclude-chunks=date,time")

big=/tmp/morvane-icon-256-$$.png
trap 'rm -f "$big"' EXIT
# The 64 px drawing with every coordinate times four (a pixel x becomes 4x .. 4x+3).
convert -size 256x256 xc:none \
    -fill '#2f6fd6' -draw 'roundrectangle 4,4 251,251 44,44' \
    -fill '#ffffff' -draw 'rectangle 56,44 163,95' \
    -fill '#dfe9fb' -draw 'rectangle 76,108 183,151' \
    -fill '#ffffff' -draw 'rectangle 96,164 203,215' \
    "${png[@]}" PNG32:"$big"

for size in 16 32 48 64 128 256; do
    # An area average: each small pixel is the mean of the large pixels that it covers.
    convert "$big" -filter Box -resize "${size}x${size}" "${png[@]}" PNG32:"morvane-$size.png"
done
