#!/usr/bin/env bash
# Folder trees of 20,000 and 100,000 small files: the split against tar -c | split -b and
# the join against cat | tar -x, each also followed by sync, interleaved; and the peak
# memory of a split and a join of the larger tree.
# Usage: bench/folders.sh [--quick] [--write]   (--write updates docs/PERFORMANCE.md)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/setup.sh "$@"
runs=5
counts="20000 100000"
[ "$quick" -eq 1 ] && { runs=3; counts="4000 20000"; }

workspace bench
measure() {
    local prep=$1
    shift
    echo "  timing: ${*:1:1} ..." >&2
    python3 "$bench/harness.py" --out "$times" --runs "$runs" --warmup 1 --prep "$prep" \
        --warm-mib 1536 "$@"
}
peak() { /usr/bin/time -f '%M' "$@" 2>&1 >/dev/null | tail -n 1; }

memory=""
for n in $counts; do
    echo "Generating a $n-file tree in $work ..." >&2
    # 100 files a folder, 5 folders in each of n / 500: 0 to 8 KiB each, 4 KiB on average.
    python3 - "$n" <<'PY'
import os, random, sys
random.seed(7)
n = int(sys.argv[1])
for i in range(n):
    d = os.path.join("tree", f"d{i // 500}", f"e{(i // 100) % 5}")
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, f"f{i % 100}.txt"), "wb") as f:
        f.write(os.urandom(random.randint(0, 8192)))
PY
    sync
    measure "rm -rf t1 t2; mkdir t1 t2" \
        "morvane-cli split $n files -s 10M" "$cli split tree -s 10M -o t1 -q" \
        "tar | split -b 10M ($n files)" "tar -cf - tree | split -b 10M - t2/tree_" \
        "tar | split -b 10M && sync ($n files)" "tar -cf - tree | split -b 10M - t2/tree_ && sync"
    row "split a $n-file tree into 10 MiB chunks, every chunk hashed (vs tar | split -b)" \
        "morvane-cli split $n files -s 10M" "tar | split -b 10M ($n files)" \
        "tar | split -b 10M && sync ($n files)" "<= 1.0"

    rm -rf t1 t2 && mkdir t1 t2
    "$cli" split tree -s 10M -o t1 -q >/dev/null
    tar -cf - tree | split -b 10M - t2/tree_
    measure "rm -rf u1 u2; mkdir u1 u2" \
        "morvane-cli join $n files" "$cli join t1/tree_spt -o u1 -q" \
        "cat | tar -x ($n files)" "cat t2/tree_* | tar -xf - -C u2" \
        "cat | tar -x && sync ($n files)" "cat t2/tree_* | tar -xf - -C u2 && sync"
    row "join that tree, every byte checked (vs cat | tar -x)" \
        "morvane-cli join $n files" "cat | tar -x ($n files)" "cat | tar -x && sync ($n files)" \
        "<= 1.0"
    rm -rf u1 && mkdir u1 && "$cli" join t1/tree_spt -o u1 -q >/dev/null
    diff -r tree u1/tree >/dev/null

    rm -rf m1 m2 && mkdir m1 m2
    split_kib=$(peak "$cli" split tree -s 10M -o m1 -q)
    join_kib=$(peak "$cli" join m1/tree_spt -o m2 -q)
    memory="$memory split of $n files: $split_kib KiB, join: $join_kib KiB;"
    rm -rf tree t1 t2 u1 u2 m1 m2
done

table=$(python3 "$bench/table.py" "$times" "$rows")
table="$table

Peak memory (max RSS; goal < 32 MiB):${memory%;}."
echo "$table"
if [ "$write" -eq 1 ]; then
    cd - >/dev/null
    python3 "$bench/record.py" docs/PERFORMANCE.md folders "$table" "$work" "$runs interleaved runs"
fi
