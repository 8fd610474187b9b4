#!/usr/bin/env bash
# The desktop entry and the AppStream metainfo pass Debian's validators, and the metainfo agrees
# with the project: its launchable is the desktop entry, its newest release is this version, and
# its screenshot is the one in docs/.
#   check_metadata.sh SOURCE_DIR PACKAGING_BUILD_DIR VERSION
set -uo pipefail
export LC_ALL=C.UTF-8
source "$(dirname "$0")/common.sh"
source_dir=$1 build_dir=$2 version=$3
make_scratch

desktop=$source_dir/packaging/morvane.desktop
if ! desktop-file-validate "$desktop" >"$scratch/desktop.log" 2>&1 || [[ -s $scratch/desktop.log ]]; then
    fail "desktop-file-validate $desktop: $(cat "$scratch/desktop.log")"
fi
grep -qx 'Name=Morvane' "$desktop" || fail "the desktop entry is not named Morvane"
grep -qE '^Categories=(.*;)?Utility;' "$desktop" || fail "the desktop entry is not in Utility"

found=("$build_dir"/*.metainfo.xml)
if [[ ${#found[@]} -ne 1 || ! -f ${found[0]} ]]; then
    fail "expected one configured metainfo file in $build_dir"
    finish
fi
metainfo=${found[0]}
# --strict fails on infos and warnings too; --no-net leaves out only the checks that fetch the
# home page and the screenshot. Pedantic hints are shown and must be absent as well.
if ! appstreamcli validate --no-net --strict --pedantic "$metainfo" >"$scratch/as.log" 2>&1; then
    fail "appstreamcli validate: $(cat "$scratch/as.log")"
elif grep -qE '^[EWIP]: ' "$scratch/as.log"; then
    fail "appstreamcli validate has remarks: $(cat "$scratch/as.log")"
fi

launchable=$(sed -nE 's|.*<launchable type="desktop-id">([^<]+)</launchable>.*|\1|p' "$metainfo")
[[ $launchable == "$(basename "$desktop")" ]] ||
    fail "the metainfo launches '$launchable', not $(basename "$desktop")"
newest=$(grep -oE '<release [^>]*version="[^"]+"' "$metainfo" | head -n 1 |
    sed -E 's/.*version="([^"]+)"/\1/')
[[ $newest == "$version" ]] ||
    fail "the newest release of the metainfo is '$newest', not the project's $version: add a release"
image=$(grep -oE '<image>[^<]+</image>' "$metainfo" | head -n 1 | sed -E 's|</?image>||g')
[[ $image == https://*/screenshot-main.png ]] ||
    fail "the screenshot '$image' is not an https address of screenshot-main.png"
screenshot=$source_dir/docs/screenshot-main.png
if [[ ! -f $screenshot ]]; then
    fail "the metainfo shows docs/screenshot-main.png, which is missing"
elif [[ $(head -c 8 "$screenshot" | od -An -tx1 | tr -d ' \n') != 89504e470d0a1a0a ]]; then
    fail "docs/screenshot-main.png is not a PNG file"
fi

finish
