#!/usr/bin/env bash
# Times morvane-cli against split, cat, tar and sha256sum on the same data, in one run.
# Usage: bench/run.sh [--quick] [--write]   (--write updates docs/PERFORMANCE.md)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/setup.sh "$@"
runs=5
big_mib=1024
tree_files=20000
[ "$quick" -eq 1 ] && { runs=3; big_mib=256; tree_files=4000; }

workspace bench

# measure PREP TAG CMD [TAG CMD ...]: one group, its commands interleaved round by round.
measure() {
    local prep=$1
    shift
    echo "  timing: ${*:1:1} ..." >&2
    python3 "$bench/harness.py" --out "$times" --runs "$runs" --warmup 1 --prep "$prep" \
        --warm-mib $((big_mib + 512)) "$@"
}

echo "Generating data in $work ..." >&2
head -c "${big_mib}M" /dev/urandom >big.bin
python3 - "$tree_files" <<'PY'
import os, random, sys
random.seed(7)
n = int(sys.argv[1])
for i in range(n):
    d = os.path.join("tree", f"d{i % 20}", f"e{(i // 20) % 50}")
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, f"f{i}.dat"), "wb") as f:
        f.write(os.urandom(random.randint(1024, 8192)))
PY
head -c 10000000 /dev/urandom >small.bin
mkdir -p set && "$cli" split small.bin -s 1000 -o set -q >/dev/null
sync

# Peak memory first, before anything else warms the page cache for it.
peak() { /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -n 1; }
rm -rf m && mkdir m
mem_ours=$(peak "$cli" split big.bin -s 64M -o m -q)
rm -rf m && mkdir m
mem_split=$(peak split -b 64M big.bin m/big_)
truncate -s 4G huge.img
rm -rf m && mkdir m
mem_ours_4g=$(peak "$cli" split huge.img -s 512M -o m -q)
rm -rf m huge.img
sync

big="${big_mib} MiB file"
# The split and the join of one file, each against the standard tool alone, the tool
# followed by sync (our split and join flush their output to the disk before they rename
# it into place; split and cat leave that to the kernel's write-back), and the careful
# user's way: the tool plus sha256sum.
measure "rm -rf s1 s2; mkdir s1 s2" \
    "morvane-cli split -s 64M" "$cli split big.bin -s 64M -o s1 -q" \
    "split -b 64M" "split -b 64M big.bin s2/big_" \
    "split -b 64M && sync" "split -b 64M big.bin s2/big_ && sync" \
    "split -b 64M && sha256sum" "split -b 64M big.bin s2/big_ && cd s2 && sha256sum big_* >SHA256SUMS" \
    "split -b 64M && sha256sum && sync" \
    "split -b 64M big.bin s2/big_ && cd s2 && sha256sum big_* >SHA256SUMS && sync"
row "split $big into 64 MiB chunks, every chunk hashed (vs split -b)" \
    "morvane-cli split -s 64M" "split -b 64M" "split -b 64M && sync" "<= 1.1"
row "the same split (vs split -b, then sha256sum of the chunks)" \
    "morvane-cli split -s 64M" "split -b 64M && sha256sum" "split -b 64M && sha256sum && sync"

rm -rf set64 && mkdir set64 && "$cli" split big.bin -s 64M -o set64 -q >/dev/null
chunks=$(ls set64/big_spt/big_*.spt | sort -t_ -k3 -n | tr '\n' ' ')
sums="cd set64/big_spt && sha256sum -c --quiet spt_checksums.sha256"
measure "rm -rf j1 j2; mkdir j1 j2" \
    "morvane-cli join" "$cli join set64/big_spt -o j1 -q" \
    "morvane-cli join --no-verify" "$cli join set64/big_spt -o j1 -q --no-verify" \
    "cat" "cat $chunks >j2/big.bin" \
    "cat && sync" "cat $chunks >j2/big.bin && sync" \
    "sha256sum -c && cat" "($sums) && cat $chunks >j2/big.bin" \
    "sha256sum -c && cat && sync" "($sums) && cat $chunks >j2/big.bin && sync"
row "join those chunks, every byte checked (vs cat)" \
    "morvane-cli join" "cat" "cat && sync" "<= 2.0"
row "join those chunks with --no-verify (vs cat)" \
    "morvane-cli join --no-verify" "cat" "cat && sync"
row "join, every byte checked (vs sha256sum -c, then cat)" \
    "morvane-cli join" "sha256sum -c && cat" "sha256sum -c && cat && sync"
rm -rf j1 && mkdir j1 && "$cli" join set64/big_spt -o j1 -q >/dev/null && cmp big.bin j1/big.bin

measure ":" \
    "morvane-cli check" "$cli check set64/big_spt -q" \
    "morvane-cli check --quick" "$cli check set64/big_spt --quick -q" \
    "sha256sum -c" "$sums"
row "check those chunks, every byte (vs sha256sum -c in the chunk folder)" \
    "morvane-cli check" "sha256sum -c" - "<= 0.15"
row "check --quick: sizes and fingerprints (vs sha256sum -c)" \
    "morvane-cli check --quick" "sha256sum -c"

# Recovery chunks, the 4 GiB split and par2: bench/speed.sh.

measure "rm -rf t1 t2; mkdir t1 t2" \
    "morvane-cli split tree -s 10M" "$cli split tree -s 10M -o t1 -q" \
    "tar | split -b 10M" "tar -cf - tree | split -b 10M - t2/tree_" \
    "tar | split -b 10M && sync" "tar -cf - tree | split -b 10M - t2/tree_ && sync"
row "split ${tree_files}-file tree into 10 MiB chunks (vs tar | split)" \
    "morvane-cli split tree -s 10M" "tar | split -b 10M" "tar | split -b 10M && sync"
rm -rf t1 t2 && mkdir t1 t2
"$cli" split tree -s 10M -o t1 -q >/dev/null
tar -cf - tree | split -b 10M - t2/tree_
measure "rm -rf u1 u2; mkdir u1 u2" \
    "morvane-cli join tree" "$cli join t1/tree_spt -o u1 -q" \
    "cat | tar -x" "cat t2/tree_* | tar -xf - -C u2" \
    "cat | tar -x && sync" "cat t2/tree_* | tar -xf - -C u2 && sync"
row "join that tree (vs cat | tar -x)" \
    "morvane-cli join tree" "cat | tar -x" "cat | tar -x && sync"
rm -rf u1 && mkdir u1 && "$cli" join t1/tree_spt -o u1 -q >/dev/null && diff -r tree u1/tree >/dev/null

measure ":" \
    "morvane-cli check (10,000 chunks)" "$cli check set/small_spt -q" \
    "sha256sum -c (10,000 chunks)" "cd set/small_spt && sha256sum -c --quiet spt_checksums.sha256"
row "check 10,000 chunks of 1000 bytes (vs sha256sum -c)" \
    "morvane-cli check (10,000 chunks)" "sha256sum -c (10,000 chunks)" - "<= 1.0"

mem_ok=missed
[ "$mem_ours" -lt $((32 * 1024)) ] && mem_ok=met
table=$(
    python3 "$bench/table.py" "$times" "$rows"
    echo
    echo "Peak memory (max RSS): morvane-cli split of the ${big}, every chunk hashed:" \
        "${mem_ours} KiB (goal < 32 MiB: ${mem_ok}); split -b of the same: ${mem_split} KiB;" \
        "morvane-cli split of a 4 GiB file: ${mem_ours_4g} KiB."
)
echo "$table"
if [ "$write" -eq 1 ]; then
    cd - >/dev/null
    python3 - docs/PERFORMANCE.md "$table" "$(nproc)" "$(free -g | awk '/Mem:/{print $2}')" \
        "$(df -T "$work" | awk 'NR==2{print $2}')" "$(uname -r)" "$runs" \
        "$(openssl version | awk '{print $1, $2}')" <<'PY'
import sys, datetime, re
path, table, cores, mem, fstype, kernel, runs, ssl = sys.argv[1:]
text = open(path).read()
block = (f"<!-- results -->\nMeasured {datetime.date.today()} on {cores} cores, {mem} GiB, "
         f"{fstype} on Linux {kernel}, {ssl}; medians of {runs} interleaved runs, warm page "
         f"cache. Ratio = morvane-cli / standard tool (below 1 is faster).\n\n{table}\n"
         f"<!-- /results -->")
text = re.sub(r"<!-- results -->.*<!-- /results -->", block, text, flags=re.S)
open(path, "w").write(text)
PY
fi
