#!/usr/bin/env bash
# The Windows zip as a user gets it: unpacked into an empty folder and run under wine with
# nothing else on its search path. Both programs must start; chunk sets written by the zip's
# morvane-cli and by the Linux build must each join on the other side, byte for byte.
#   check_windows_zip.sh ZIP [LINUX_CLI]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
source "$here/common.sh"
zip=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
linux_cli=${2:-$here/../../build/morvane-cli}
wine_env=$here/../../scripts/wine-env.sh
make_scratch
export MORVANE_WINE_BARE=1

unzip -q "$zip" -d "$scratch/zip" || { fail "$zip does not unpack"; finish; }
app=$(find "$scratch/zip" -name morvane-cli.exe -printf '%h\n' | head -n 1)
for f in morvane.exe morvane-cli.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll libstdc++-6.dll \
         libgcc_s_seh-1.dll libwinpthread-1.dll platforms/qwindows.dll \
         styles/qwindowsvistastyle.dll morvane.ico README.txt; do
    [ -f "$app/$f" ] || fail "the zip lacks $f"
done

win() { "$wine_env" wine "$app/morvane-cli.exe" "$@"; }
version=$(win --version 2>&1 | tr -d '\r')
[[ $version == "morvane-cli "* ]] || fail "morvane-cli.exe --version printed: $version"

# The window starts and keeps running until stopped; a missing library ends it at once.
QT_QPA_PLATFORM=offscreen timeout 15 "$wine_env" wine "$app/morvane.exe" >/dev/null 2>&1
status=$?
[ $status -eq 124 ] || fail "morvane.exe ended by itself with status $status"

# A folder of files of several sizes, an empty file and an empty folder, with recovery data.
src=$scratch/data
mkdir -p "$src/docs/deeper" "$src/empty"
head -c 3000000 /dev/urandom > "$src/disk.img"
head -c 777 /dev/urandom > "$src/docs/notes.txt"
: > "$src/docs/deeper/zero.bin"
seq 1 50000 > "$src/docs/deeper/numbers.txt"

same_tree() {  # what, expected folder, joined folder
    if ! diff -r "$2" "$3" >/dev/null; then
        fail "$1: the joined tree differs from the source"
    fi
}

if [ ! -x "$linux_cli" ]; then
    fail "no Linux morvane-cli at $linux_cli for the round trips"
    finish
fi

# Written on Windows, joined on Linux; then one chunk lost, rebuilt by the Linux join.
mkdir -p "$scratch/w" "$scratch/w_out"
win split "$src" -s 700K -r 1 -o "$scratch/w" -q >/dev/null 2>&1 ||
    fail "the Windows split of a folder failed"
set_w=$(find "$scratch/w" -mindepth 1 -maxdepth 1 -type d | head -n 1)
if [ -n "$set_w" ]; then
    "$linux_cli" check "$set_w" -q >/dev/null 2>&1 || fail "Linux check of a Windows set failed"
    (cd "$set_w" && sha256sum --quiet -c spt_checksums.sha256) ||
        fail "sha256sum -c of a Windows set failed"
    rm "$(find "$set_w" -name '*_2.spt')"
    "$linux_cli" join "$set_w" -o "$scratch/w_out" -q >/dev/null 2>&1 ||
        fail "the Linux join of a Windows set with a chunk lost failed"
    same_tree "Windows to Linux" "$src" "$scratch/w_out/data"
else
    fail "the Windows split wrote no set"
fi

# Written on Linux, encrypted, joined on Windows with the password.
mkdir -p "$scratch/l" "$scratch/l_out"
echo "carried both ways" | "$linux_cli" split "$src" -n 4 --password-stdin -o "$scratch/l" -q \
    >/dev/null 2>&1 || fail "the Linux split of a folder failed"
set_l=$(find "$scratch/l" -mindepth 1 -maxdepth 1 -type d | head -n 1)
if [ -n "$set_l" ]; then
    echo "carried both ways" | win join "$set_l" --password-stdin -o "$scratch/l_out" -q \
        >/dev/null 2>&1 || fail "the Windows join of an encrypted Linux set failed"
    same_tree "Linux to Windows" "$src" "$scratch/l_out/data"
    # A changed byte in a chunk is caught by the Windows check.
    chunk=$(find "$set_l" -name '*_1.spt')
    printf 'X' | dd of="$chunk" bs=1 seek=1000 conv=notrunc status=none
    if win check "$set_l" -q >/dev/null 2>&1; then
        fail "the Windows check passed a changed chunk"
    fi
else
    fail "the Linux split wrote no set"
fi

# A Linux set whose names Windows would read as a device or a stream is refused there, named,
# before anything is written.
mkdir -p "$scratch/odd/src" "$scratch/odd/set" "$scratch/odd/out"
echo data > "$scratch/odd/src/aux.txt"
echo more > "$scratch/odd/src/a:b"
"$linux_cli" split "$scratch/odd/src" -n 1 -o "$scratch/odd/set" -q >/dev/null 2>&1 ||
    fail "the Linux split of odd names failed"
out=$(win join "$scratch/odd/set/src_spt" -o "$scratch/odd/out" -q 2>&1)
status=$?
[ $status -ne 0 ] || fail "the Windows join wrote a set holding aux.txt and a:b"
[[ $out == *"aux.txt"* || $out == *"a:b"* ]] || fail "the refusal does not name the file: $out"
[ -z "$(ls -A "$scratch/odd/out")" ] || fail "the refused join left: $(ls -A "$scratch/odd/out")"

# Killed at a random moment, the Windows split leaves no set that looks finished, and the
# next split clears what it left and completes.
mkdir -p "$scratch/k"
head -c 200000000 /dev/zero > "$scratch/big.bin"
win split "$scratch/big.bin" -s 10M -o "$scratch/k" -q >/dev/null 2>&1 &
sleep "0.$((RANDOM % 9 + 1))"
pkill -9 -f 'morvane-cli.exe split' 2>/dev/null
wait
if [ -d "$scratch/k/big_spt" ] && ! "$linux_cli" check "$scratch/k/big_spt" -q >/dev/null 2>&1; then
    fail "a killed Windows split left an incomplete set under the final name"
fi
again=$(win split "$scratch/big.bin" -s 10M -o "$scratch/k" -f -q 2>&1) ||
    fail "the split after a killed one failed: $again"
"$linux_cli" check "$scratch/k/big_spt" -q >/dev/null 2>&1 || fail "the split after a killed one is not whole"
[ "$(ls -A "$scratch/k")" = "big_spt" ] || fail "leftovers beside the set: $(ls -A "$scratch/k")"

# A disk that fills: the Windows split fails, names it, and leaves nothing behind.
if [ "$(id -u)" -eq 0 ] && mkdir -p "$scratch/small" &&
    mount -t tmpfs -o size=1M tmpfs "$scratch/small" 2>/dev/null; then
    out=$(win split "$src/disk.img" -s 700K -o "$scratch/small" -q 2>&1)
    status=$?
    [ $status -eq 1 ] || fail "a split onto a full disk ended with status $status: $out"
    [ -z "$(ls -A "$scratch/small")" ] || fail "a failed split left: $(ls -A "$scratch/small")"
    umount "$scratch/small"
else
    echo "skipped: the full-disk case needs root to mount a small tmpfs"
fi
finish
