#!/usr/bin/env bash
# The split's, the join's and the check's speed goals, each command interleaved with its peer
# in one run: the verified split against split -b and the verified join against cat (1 GiB
# and 4 GiB), recovery chunks against a plain split, -r 1 against split -b then par2 create,
# and check against sha256sum -c.
# Usage: bench/speed.sh [--quick] [--write]   (--write updates docs/PERFORMANCE.md)
set -euo pipefail
cd "$(dirname "$0")/.."
deps="par2"
. bench/setup.sh "$@"
runs=${BENCH_RUNS:-5}
big_mib=1024
huge_mib=4096
rec_mib=512
[ "$quick" -eq 1 ] && { runs=3; big_mib=256; huge_mib=512; rec_mib=128; }

workspace speed

# measure WARM_MIB RUNS PREP TAG CMD [TAG CMD ...]: one group, its commands interleaved.
measure() {
    local warm=$1 n=$2 prep=$3
    shift 3
    echo "  timing: ${*:1:1} ..." >&2
    python3 "$bench/harness.py" --out "$times" --runs "$n" --warmup 1 --prep "$prep" \
        --warm-mib "$warm" "$@"
}

echo "Generating data in $work ..." >&2
head -c "${big_mib}M" /dev/urandom >big.bin
head -c "${huge_mib}M" /dev/urandom >huge.bin
head -c "${rec_mib}M" /dev/urandom >rec.bin
head -c 10000000 /dev/urandom >small.bin
mkdir -p set && "$cli" split small.bin -s 1000 -o set -q >/dev/null
sync

big="${big_mib} MiB"
huge="${huge_mib} MiB"
for size in big huge; do
    file=$size.bin
    mib=$([ $size = big ] && echo "$big_mib" || echo "$huge_mib")
    measure $((mib + 512)) "$runs" "rm -rf s1 s2; mkdir s1 s2" \
        "morvane-cli split $mib MiB -s 64M" "$cli split $file -s 64M -o s1 -q" \
        "split -b 64M $mib MiB" "split -b 64M $file s2/x_" \
        "split -b 64M $mib MiB && sync" "split -b 64M $file s2/x_ && sync"
    row "split a $mib MiB file into 64 MiB chunks, every chunk hashed (vs split -b)" \
        "morvane-cli split $mib MiB -s 64M" "split -b 64M $mib MiB" \
        "split -b 64M $mib MiB && sync" "<= 1.1"
    # Our set, and split's chunks for cat to join.
    rm -rf s1 s2 && mkdir s1 s2
    "$cli" split "$file" -s 64M -o s1 -q >/dev/null
    split -b 64M "$file" s2/x_
    measure $((mib + 512)) "$runs" "rm -rf j1 j2; mkdir j1 j2" \
        "morvane-cli join $mib MiB" "$cli join s1/${size}_spt -o j1 -q" \
        "cat $mib MiB" "cat s2/x_* >j2/$file" \
        "cat $mib MiB && sync" "cat s2/x_* >j2/$file && sync"
    row "join those $mib MiB, every byte checked (vs cat)" \
        "morvane-cli join $mib MiB" "cat $mib MiB" "cat $mib MiB && sync" "<= 1.25"
    row "the same join (vs cat && sync)" \
        "morvane-cli join $mib MiB" "cat $mib MiB && sync" - "<= 1.0"
    rm -rf s1 s2 j1 j2
done
rm -f huge.bin

# Recovery chunks against the same split without them: 64 MiB chunks of the 1 GiB file,
# and 64 chunks of 8 MiB.
rec_chunk=$((rec_mib / 64))
for shape in "big.bin 64M $big" "rec.bin ${rec_chunk}M 64 chunks of ${rec_chunk} MiB"; do
    set -- $shape
    file=$1 chunk=$2
    shift 2
    what="$*"
    measure $((big_mib + 512)) "$runs" "rm -rf r0 r2 r4; mkdir r0 r2 r4" \
        "split -s $chunk ($what)" "$cli split $file -s $chunk -o r0 -q" \
        "split -s $chunk -r 2 ($what)" "$cli split $file -s $chunk -o r2 -q -r 2" \
        "split -s $chunk -r 4 ($what)" "$cli split $file -s $chunk -o r4 -q -r 4"
    row "split $what with --recovery 2 (vs the same split without)" \
        "split -s $chunk -r 2 ($what)" "split -s $chunk ($what)" - "<= 1.15"
    row "split $what with --recovery 4 (vs the same split without)" \
        "split -s $chunk -r 4 ($what)" "split -s $chunk ($what)" - "<= 1.3"
done

# One chunk's worth of recovery against par2 at its fastest: one recovery block as large as
# a chunk (the fewest blocks to code), every core, and nothing printed.
rec_big=$((rec_mib / 8))
measure $((rec_mib * 3 + 512)) 3 "rm -rf p1 p2; mkdir p1 p2" \
    "morvane-cli split -s ${rec_big}M -r 1" "$cli split rec.bin -s ${rec_big}M -o p1 -q -r 1" \
    "split -b ${rec_big}M && par2 create" \
    "split -b ${rec_big}M rec.bin p2/x_ && cd p2 && par2 create -q -q -s$((rec_big << 20)) -c1 -n1 -t$(nproc) -T$(nproc) r.par2 x_*"
row "split ${rec_mib} MiB in 8 chunks with -r 1 (vs split -b then par2 create; goal: 14 times faster)" \
    "morvane-cli split -s ${rec_big}M -r 1" "split -b ${rec_big}M && par2 create" - "<= 0.0714"

rm -rf set64 && mkdir set64 && "$cli" split big.bin -s 64M -o set64 -q >/dev/null
measure 0 "$runs" ":" \
    "morvane-cli check ($big)" "$cli check set64/big_spt -q" \
    "sha256sum -c ($big)" "cd set64/big_spt && sha256sum -c --quiet spt_checksums.sha256"
row "check $big in 64 MiB chunks, every byte (vs sha256sum -c)" \
    "morvane-cli check ($big)" "sha256sum -c ($big)" - "<= 0.15"
measure 0 "$runs" ":" \
    "morvane-cli check (10,000 chunks)" "$cli check set/small_spt -q" \
    "sha256sum -c (10,000 chunks)" "cd set/small_spt && sha256sum -c --quiet spt_checksums.sha256"
row "check 10,000 chunks of 1000 bytes (vs sha256sum -c)" \
    "morvane-cli check (10,000 chunks)" "sha256sum -c (10,000 chunks)" - "<= 1.0"

table=$(python3 "$bench/table.py" "$times" "$rows")
echo "$table"
if [ "$write" -eq 1 ]; then
    cd - >/dev/null
    python3 "$bench/record.py" docs/PERFORMANCE.md speed "$table" "$work" \
        "$runs interleaved runs (3 for par2)"
fi
