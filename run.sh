#!/usr/bin/env bash
# Builds a Release build in build/ and starts Morvane.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)"
if [ -x build/morvane ]; then
    exec build/morvane "$@"
fi
echo "Built: $(ls build/morvane* 2>/dev/null | tr '\n' ' ')"
