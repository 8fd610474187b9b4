#!/usr/bin/env bash
# Builds and runs every test through CTest.
#   ./test.sh               the Release build in build/
#   ./test.sh --sanitize    the tests under AddressSanitizer and UndefinedBehaviorSanitizer
#                           (build-asan/; not those of peak memory, which it inflates), then
#                           the worker-thread tests under ThreadSanitizer (build-tsan/)
#   ./test.sh --fuzz SECS   each fuzzing harness for SECS seconds (build-fuzz/, clang++)
#   ./test.sh --windows     the Windows build (build-win/, mingw-w64), its tests under wine,
#                           and the zip package; the libraries it links are built once by
#                           scripts/windows-deps.sh and kept in ~/.cache/morvane-windows
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

# Compiles are cached (ccache, in ~/.cache/ccache; paths taken relative to the clone, so that
# a fresh clone hits too): CI builds five trees from a fresh clone.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
build() {  # folder, extra cmake arguments...
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
        "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

case "${1:-}" in
    "")
        scripts/deps.sh
        build build
        cd build
        QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs"
        ;;
    --sanitize)
        scripts/deps.sh
        build build-asan -DMORVANE_SANITIZE=address,undefined
        (cd build-asan &&
            ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
            QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs" -LE "large|packaging|memory")
        build build-tsan -DMORVANE_SANITIZE=thread
        cd build-tsan
        TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/../tests/tsan.supp" \
            QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs" -L threads
        ;;
    --fuzz)
        secs=${2:?usage: ./test.sh --fuzz SECONDS}
        scripts/deps.sh clang libclang-rt-dev
        CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Release -DMORVANE_FUZZ=ON \
            -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
        cmake --build build-fuzz -j"$jobs" --target fuzz_manifest fuzz_join
        failed=0
        for h in build-fuzz/tests/fuzz/fuzz_manifest build-fuzz/tests/fuzz/fuzz_join; do
            name=$(basename "$h")
            corpus=tests/fuzz/corpus/${name#fuzz_}
            work=$(mktemp -d)
            cp -r "$corpus"/. "$work"/
            echo "== $name for ${secs}s"
            if ! (cd build-fuzz && "../$h" -max_total_time="$secs" -max_len=65536 \
                -artifact_prefix="$PWD/fuzz-$name-" "$work" 2>&1 | tail -n 5); then
                failed=$((failed + 1))
            fi
            rm -rf "$work"
        done
        echo "fuzz: $((2 - failed)) passed, $failed failed"
        [ "$failed" -eq 0 ]
        ;;
    --windows)
        scripts/windows-deps.sh
        cache=${MORVANE_WIN_CACHE:-$HOME/.cache/morvane-windows}
        build build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
            -DMORVANE_WIN_PREFIX="$cache/prefix"
        scripts/wine-env.sh ctest --test-dir build-win --output-on-failure -j"$jobs" \
            -LE large
        (cd build-win && cpack -G ZIP >/dev/null)
        # The round trips between the systems need the Linux program too.
        cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
            >/dev/null
        cmake --build build -j"$jobs" --target morvane-cli
        tests/packaging/check_windows_zip.sh build-win/morvane-*-windows-x64.zip build/morvane-cli
        ;;
    *)
        echo "usage: ./test.sh [--sanitize | --fuzz SECONDS | --windows]" >&2
        exit 2
        ;;
esac
