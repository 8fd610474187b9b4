#!/usr/bin/env bash
# A join that meets a lost chunk, interleaved with its peers: the verified join of the whole
# set, and par2 repair then cat (par2 at its fastest for a repair here: blocks of an eighth
# of a chunk, as many recovery blocks as a chunk holds, both cores, silent; blocks of 1, 4,
# 16 and 64 MiB took 9.3, 5.4, 7.4 and 21 s against 5.1 s). 512 MiB in 8 chunks of 64 MiB,
# one recovery chunk.
# Usage: bench/rebuild.sh [--quick] [--write]   (--write updates docs/PERFORMANCE.md)
set -euo pipefail
cd "$(dirname "$0")/.."
deps="par2"
. bench/setup.sh "$@"
runs=${BENCH_RUNS:-5}
mib=512
[ "$quick" -eq 1 ] && { runs=3; mib=128; }
chunk=$((mib / 8))
cores=$(nproc)

workspace rebuild

echo "Generating data in $work ..." >&2
head -c "${mib}M" /dev/urandom >data.bin
mkdir whole && "$cli" split data.bin -s "${chunk}M" -o whole -q -r 1 >/dev/null
mkdir p && split -b "${chunk}M" data.bin p/x_
(cd p && par2 create -q -q -s$((chunk << 17)) -c8 -n1 -t"$cores" -T"$cores" r.par2 x_*)
sync

# Each run starts from the set with its fourth chunk gone: a copy of the set made of hard
# links (the chunks are only read), and par2's fourth file deleted again.
prep="rm -rf lost j1 j2 j3 par.out; mkdir j1 j2 j3; cp -al whole lost; rm lost/data_spt/data_3.spt; rm -f p/x_ad"
python3 "$bench/harness.py" --out "$times" --runs "$runs" --warmup 1 --prep "$prep" \
    --warm-mib $((mib * 3 + 512)) \
    "join, a chunk lost" "$cli join lost/data_spt -o j1 -q" \
    "join of the whole set" "$cli join whole/data_spt -o j2 -q" \
    "par2 repair && cat" "cd p && par2 repair -q -q -t$cores -T$cores r.par2 && cat x_* >../par.out" \
    "par2 repair && cat && sync" "cd p && par2 repair -q -q -t$cores -T$cores r.par2 && cat x_* >../par.out && sync"
row "join $mib MiB in 8 chunks with one chunk lost, rebuilt from -r 1 (vs the verified join of the whole set)" \
    "join, a chunk lost" "join of the whole set" - "<= 1.3"
row "the same join (vs par2 repair then cat; goal: 15 times faster)" \
    "join, a chunk lost" "par2 repair && cat" "par2 repair && cat && sync" "<= 0.0667"

table=$(python3 "$bench/table.py" "$times" "$rows")
echo "$table"
if [ "$write" -eq 1 ]; then
    cd - >/dev/null
    python3 "$bench/record.py" docs/PERFORMANCE.md rebuild "$table" "$work" \
        "$runs interleaved runs"
fi
