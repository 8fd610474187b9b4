#!/usr/bin/env bash
# Encrypted split and join against the same in the clear (every byte hashed) and against
# tar | gpg --symmetric | split and cat | gpg -d | tar -x, on one 1 GiB file in 64 MiB
# chunks, interleaved; and the key derivation alone, once per job.
# Usage: bench/encrypt.sh [--quick] [--write]   (--write updates docs/PERFORMANCE.md)
set -euo pipefail
cd "$(dirname "$0")/.."
deps="gnupg"
. bench/setup.sh "$@"
runs=5
big_mib=1024
[ "$quick" -eq 1 ] && { runs=3; big_mib=256; }

workspace bench
measure() {
    local prep=$1
    shift
    echo "  timing: ${*:1:1} ..." >&2
    python3 "$bench/harness.py" --out "$times" --runs "$runs" --warmup 1 --prep "$prep" \
        --warm-mib $((big_mib + 512)) "$@"
}

echo "Generating data in $work ..." >&2
head -c "${big_mib}M" /dev/urandom >big.bin
printf 'x' >tiny.bin
printf 'correct horse battery staple\n' >pw
export GNUPGHOME="$work/gnupg"
mkdir -m 700 "$GNUPGHOME"
# Its fastest for data that does not compress: no compression, AES-256 (hardware AES).
gpg_opts="--batch --quiet --pinentry-mode loopback --passphrase-file pw --compress-algo none --cipher-algo AES256"
sync

big="${big_mib} MiB file"
measure "rm -rf s1 s2 s3; mkdir s1 s2 s3" \
    "morvane-cli split -s 64M" "$cli split big.bin -s 64M -o s1 -q" \
    "morvane-cli split -s 64M --password-stdin" "$cli split big.bin -s 64M -o s2 -q --password-stdin <pw" \
    "tar | gpg --symmetric | split -b 64M" \
    "tar -cf - big.bin | gpg $gpg_opts --symmetric -o - | split -b 64M - s3/big_" \
    "tar | gpg --symmetric | split -b 64M && sync" \
    "tar -cf - big.bin | gpg $gpg_opts --symmetric -o - | split -b 64M - s3/big_ && sync"
row "encrypted split of a $big into 64 MiB chunks (vs the same split in the clear, every chunk hashed)" \
    "morvane-cli split -s 64M --password-stdin" "morvane-cli split -s 64M" - "<= 1.5"
row "the same encrypted split (vs tar | gpg --symmetric | split -b)" \
    "morvane-cli split -s 64M --password-stdin" "tar | gpg --symmetric | split -b 64M" \
    "tar | gpg --symmetric | split -b 64M && sync" "< 1"

rm -rf c p g && mkdir c p g
"$cli" split big.bin -s 64M -o c -q >/dev/null
"$cli" split big.bin -s 64M -o p -q --password-stdin <pw >/dev/null
tar -cf - big.bin | gpg $gpg_opts --symmetric -o - | split -b 64M - g/big_
measure "rm -rf j1 j2 j3; mkdir j1 j2 j3" \
    "morvane-cli join" "$cli join c/big_spt -o j1 -q" \
    "morvane-cli join --password-stdin" "$cli join p/big_spt -o j2 -q --password-stdin <pw" \
    "cat | gpg -d | tar -x" "cat g/big_* | gpg $gpg_opts -d | tar -xf - -C j3" \
    "cat | gpg -d | tar -x && sync" "cat g/big_* | gpg $gpg_opts -d | tar -xf - -C j3 && sync"
row "encrypted join of those chunks (vs the join in the clear, every byte checked)" \
    "morvane-cli join --password-stdin" "morvane-cli join" - "<= 1.5"
row "the same encrypted join (vs cat | gpg -d | tar -x)" \
    "morvane-cli join --password-stdin" "cat | gpg -d | tar -x" "cat | gpg -d | tar -x && sync" "< 1"
rm -rf j2 && mkdir j2 && "$cli" join p/big_spt -o j2 -q --password-stdin <pw >/dev/null
cmp big.bin j2/big.bin

# The key derivation, once per job: an encrypted split of one byte against one in the clear.
measure "rm -rf k1 k2; mkdir k1 k2" \
    "morvane-cli split of 1 byte" "$cli split tiny.bin -s 1M -o k1 -q" \
    "morvane-cli split of 1 byte --password-stdin" "$cli split tiny.bin -s 1M -o k2 -q --password-stdin <pw"
row "encrypted split of 1 byte: the key derivation, once a job (vs the same in the clear)" \
    "morvane-cli split of 1 byte --password-stdin" "morvane-cli split of 1 byte"

table=$(python3 "$bench/table.py" "$times" "$rows")
echo "$table"
if [ "$write" -eq 1 ]; then
    cd - >/dev/null
    python3 "$bench/record.py" docs/PERFORMANCE.md encrypted "$table" "$work" "$runs interleaved runs"
fi
