#!/usr/bin/env bash
# Builds bench/win_sha256.cpp with mingw-w64 against the Windows libraries of
# scripts/windows-deps.sh and runs it under wine: SHA-256 through libcrypto and BCrypt.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=${MORVANE_WIN_CACHE:-$HOME/.cache/morvane-windows}/prefix
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -static -I"$prefix/include" bench/win_sha256.cpp \
    -o "$out/win_sha256.exe" -L"$prefix/lib64" -L"$prefix/lib" -lcrypto -lbcrypt -lws2_32 \
    -lcrypt32 -luser32 -ladvapi32
scripts/wine-env.sh wine "$out/win_sha256.exe"
