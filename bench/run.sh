#!/usr/bin/env bash
# Times morvane-cli against split, cat and tar on the same data, in one run.
# Usage: bench/run.sh [--quick] [--write]   (--write updates docs/PERFORMANCE.md)
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
write=0
for a in "$@"; do
    case "$a" in
        --quick) quick=1 ;;
        --write) write=1 ;;
        *) echo "usage: bench/run.sh [--quick] [--write]" >&2; exit 2 ;;
    esac
done
scripts/deps.sh hyperfine time python3
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target morvane-cli >/dev/null
cli="$PWD/build/morvane-cli"
runs=5
big_mib=1024
tree_files=20000
[ "$quick" -eq 1 ] && { runs=3; big_mib=256; tree_files=4000; }

work=$(mktemp -d "${BENCH_DIR:-/tmp}/morvane-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
results="$work/results.tsv"
: >"$results"

# name, ours, theirs (each a command line); hyperfine prepares each run with prep.
compare() {
    local name=$1 prep=$2 ours=$3 theirs=$4
    # sync: each run starts with no write-back of an earlier one still pending.
    hyperfine --style none --runs "$runs" --warmup 1 --prepare "$prep; sync" \
        --export-json "$work/h.json" "$ours" "$theirs" >/dev/null 2>&1
    python3 - "$name" "$work/h.json" >>"$results" <<'PY'
import json, sys, statistics
name, path = sys.argv[1], sys.argv[2]
r = json.load(open(path))["results"]
ours, theirs = (statistics.median(x["times"]) for x in r)
print(f"{name}\t{ours:.3f}\t{theirs:.3f}\t{ours / theirs:.2f}")
PY
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

# Peak memory first, before anything else warms the page cache for it.
peak() { /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -n 1; }
rm -rf m && mkdir m
mem_ours_1g=$(peak "$cli" split big.bin -s 100M -o m -q)
rm -rf m && mkdir m
mem_split_1g=$(peak split -b 100M big.bin m/big_)
truncate -s 4G huge.img
rm -rf m && mkdir m
mem_ours_4g=$(peak "$cli" split huge.img -s 500M -o m -q)
rm -rf m huge.img

compare "split ${big_mib} MiB file into 100 MiB chunks (vs split -b)" \
    "rm -rf o1 o2; mkdir o1 o2" \
    "$cli split big.bin -s 100M -o o1 -q" "split -b 100M big.bin o2/big_"
rm -rf o1 o2 && mkdir o1 && "$cli" split big.bin -s 100M -o o1 -q >/dev/null
chunks=$(ls o1/big_spt/big_*.spt | sort -t_ -k3 -n | tr '\n' ' ')
compare "join those chunks (vs cat)" \
    "rm -rf j1 j2; mkdir j1 j2" \
    "$cli join o1/big_spt -o j1 -q" "sh -c 'cat $chunks > j2/big.bin'"
rm -rf j1 && mkdir j1 && "$cli" join o1/big_spt -o j1 -q >/dev/null && cmp big.bin j1/big.bin

compare "split ${tree_files}-file tree into 10 MiB chunks (vs tar | split)" \
    "rm -rf t1 t2; mkdir t1 t2" \
    "$cli split tree -s 10M -o t1 -q" "sh -c 'tar -cf - tree | split -b 10M - t2/tree_'"
rm -rf t1 t2 && mkdir t1 t2
"$cli" split tree -s 10M -o t1 -q >/dev/null
tar -cf - tree | split -b 10M - t2/tree_
compare "join that tree (vs cat | tar -x)" \
    "rm -rf u1 u2; mkdir u1 u2" \
    "$cli join t1/tree_spt -o u1 -q" "sh -c 'cat t2/tree_* | tar -xf - -C u2'"
rm -rf u1 && mkdir u1 && "$cli" join t1/tree_spt -o u1 -q >/dev/null && diff -r tree u1/tree >/dev/null

compare "check 10,000 chunks of 1000 bytes (vs md5sum of them)" \
    ":" \
    "sh -c '$cli check set/small_spt >/dev/null'" "sh -c 'md5sum set/small_spt/*.spt >/dev/null'"

table=$(
    echo "| task | morvane-cli (s) | standard tool (s) | ratio |"
    echo "|---|---:|---:|---:|"
    awk -F'\t' '{gsub(/\|/, "\\|", $1); printf "| %s | %s | %s | %s |\n", $1, $2, $3, $4}' "$results"
    echo
    echo "Peak memory (max RSS): morvane-cli split of ${big_mib} MiB: ${mem_ours_1g} KiB;" \
        "split -b of the same: ${mem_split_1g} KiB; morvane-cli split of a 4 GiB file: ${mem_ours_4g} KiB."
)
echo "$table"
if [ "$write" -eq 1 ]; then
    cd - >/dev/null
    python3 - docs/PERFORMANCE.md "$table" "$(nproc)" "$(free -g | awk '/Mem:/{print $2}')" \
        "$(df -T "$work" | awk 'NR==2{print $2}')" "$(uname -r)" "$runs" <<'PY'
import sys, datetime, re
path, table, cores, mem, fstype, kernel, runs = sys.argv[1:]
text = open(path).read()
block = (f"<!-- results -->\nMeasured {datetime.date.today()} on {cores} cores, {mem} GiB, "
         f"{fstype} on Linux {kernel}; medians of {runs} runs, warm page cache. "
         f"Ratio = morvane-cli / standard tool (below 1 is faster).\n\n{table}\n<!-- /results -->")
text = re.sub(r"<!-- results -->.*<!-- /results -->", block, text, flags=re.S)
open(path, "w").write(text)
PY
fi
