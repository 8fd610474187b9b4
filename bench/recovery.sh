#!/usr/bin/env bash
# Recovery chunks against par2 on the same data, in one run: 512 MiB in 8 chunks of 64 MiB,
# with enough recovery for one whole chunk (par2: 64 recovery blocks of 1 MiB).
# Usage: bench/recovery.sh   (prints one line per row; each timing is the median of 3)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh par2 bc
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target morvane-cli >/dev/null
cli="$PWD/build/morvane-cli"
work=$(mktemp -d "${BENCH_DIR:-/tmp}/morvane-rec-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
head -c 512M /dev/urandom >big.bin

seconds() {  # command...: wall time of one run
    local s e
    s=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    e=$(date +%s.%N)
    echo "$e - $s" | bc
}
median3() {  # prepare-command, command...
    local prep=$1
    shift
    local t=()
    for _ in 1 2 3; do
        eval "$prep"
        sync
        t+=("$(seconds "$@")")
    done
    printf '%s\n' "${t[@]}" | sort -n | sed -n 2p
}

r0=$(median3 'rm -rf o0' "$cli" split big.bin -s 64M -o o0 -q)
r1=$(median3 'rm -rf o1' "$cli" split big.bin -s 64M -o o1 -q -r 1)
r2=$(median3 'rm -rf o2' "$cli" split big.bin -s 64M -o o2 -q -r 2)
mkdir -p p && split -b 64M big.bin p/big_
par2create() { (cd p && rm -f r*.par2 && par2 create -s1048576 -c64 -n1 r.par2 big_*); }
pc=$(median3 'true' par2create)
splitb=$(median3 'rm -rf q && mkdir q' split -b 64M big.bin q/big_)
rebuild() { rm -rf jo && cp -r o1 o1c && rm o1c/big_spt/big_3.spt && "$cli" join o1c/big_spt -o jo -q; rm -rf o1c; }
jr=$(median3 'rm -rf jo o1c' rebuild)
par2repair() { (cd p && rm -f big_ad && par2 repair -q r.par2 && cat big_* >../par.out); }
pr=$(median3 'true' par2repair)

echo "split, no recovery: $r0 s"
echo "split -r 1 (checksums included): $r1 s; split -b then par2 create: $splitb + $pc s; ratio $(echo "scale=2; ($splitb + $pc) / $r1" | bc)x faster"
echo "split -r 2 against no recovery: $(echo "scale=2; $r2 / $r0" | bc)x"
echo "join with one chunk deleted, rebuilt and checked: $jr s; par2 repair then cat: $pr s; ratio $(echo "scale=2; $pr / $jr" | bc)x faster"
echo "size of one recovery file: $(stat -c %s o1/big_spt/big_0.rec) bytes (chunk $((64 << 20)) + header)"
