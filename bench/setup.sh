# Sourced by each benchmark script from the project's folder, with the script's arguments:
# reads --quick and --write, installs GNU time, python3 and the packages in $deps, and
# builds morvane-cli (Release) as $cli. Then workspace and row, below.
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

# workspace NAME: a scratch folder for the run, entered, and removed at exit ($BENCH_KEEP: a
# folder that receives the raw timings, also of a run cut short); $times and $rows in it.
workspace() {
    work=$(mktemp -d "${BENCH_DIR:-/tmp}/morvane-$1-XXXXXX")
    trap '[ -n "${BENCH_KEEP:-}" ] && cp "$work"/*.tsv "$BENCH_KEEP"/ 2>/dev/null; rm -rf "$work"' EXIT
    cd "$work"
    times="$work/times.tsv"
    rows="$work/rows.tsv"
    : >"$times"
    : >"$rows"
}

# row TASK OURS THEIRS [THEIRS_THEN_SYNC|-] [GOAL|-]: a line of the table, by tags.
row() { printf '%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "${4:--}" "${5:--}" >>"$rows"; }
