# Sourced by each benchmark script from the project's folder, with the script's arguments:
# reads --quick and --write, installs GNU time, python3 and the packages in $deps, and
# builds morvane-cli (Release) as $cli.
bench="$PWD/bench"
quick=0
write=0
for a in "$@"; do
    case "$a" in
        --quick) quick=1 ;;
        --write) write=1 ;;
        *) echo "usage: bench/$(basename "$0") [--quick] [--write]" >&2; exit 2 ;;
    esac
done
# shellcheck disable=SC2086  # $deps is a list of package names
scripts/deps.sh time python3 ${deps:-}
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target morvane-cli >/dev/null
cli="$PWD/build/morvane-cli"
