# shellcheck shell=bash
# Shared by the packaging checks; sourced, not run.
# Each check reports what is wrong and goes on, so that one run shows every fault; `finish` ends
# the script with status 1 when any check failed.

failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

finish() {
    if ((failures > 0)); then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "all checks passed"
}

# A temporary folder, removed when the script ends.
make_scratch() {
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/morvane-packaging.XXXXXX")
    trap 'rm -rf "$scratch"' EXIT
}

# Runs the program $1 with --help once; help_text prints what it showed. The checks compare
# against its commands and options, so a text in which none can be found stops them at once.
read_help() {
    help_cache=$("$1" --help) || {
        echo "FAIL: $1 --help failed" >&2
        exit 1
    }
    if [[ -z $(help_commands) || -z $(option_pairs) ]]; then
        echo "FAIL: found no commands or no options table in the --help of $1" >&2
        exit 1
    fi
}

help_text() {
    printf '%s\n' "${help_cache:?read_help was not called}"
}

# The names of each option of the "Options:" table of --help, one option a line: "-s --size".
option_pairs() {
    help_text | awk '/^Options:/ { table = 1; next } table && /^$/ { exit } table' |
        grep -oE '^ +(-[[:alnum:]], )?--[[:alnum:]-]+' | sed -E 's/^ +//; s/,//'
}

# Every option name of --help, one a line, sorted.
help_options() {
    option_pairs | tr ' ' '\n' | sort -u
}

# The commands of the usage lines of --help, one a line, sorted.
help_commands() {
    help_text | grep -oE '^  morvane-cli [a-z]+' | awk '{ print $2 }' | sort -u
}

# The options named in the text on standard input (a usage line), each with its other name from
# the options table, plus -h, --help and --version; one a line, sorted.
options_named() {
    local token
    {
        printf '%s\n' -h --help --version
        grep -oE '(^|[^[:alnum:]-])--?[[:alnum:]][[:alnum:]-]*' | grep -oE -- '--?[[:alnum:]-]+$' |
            while read -r token; do
                echo "$token"
                option_pairs |
                    awk -v t="$token" '{ for (i = 1; i <= NF; i++) if ($i == t) print }' |
                    tr ' ' '\n'
            done
    } | sort -u
}

# The usage lines of the command $1 in the text on standard input: from the line that starts
# with "morvane-cli $1" to the next line that names morvane-cli or is empty.
usage_of() {
    awk -v cmd="$1" '
        /^ *morvane-cli / { inside = ($2 == cmd) }
        /^ *$/ { inside = 0 }
        inside'
}

# The options that the usage lines of --help give for the command $1, as options_named does.
help_command_options() {
    help_text | usage_of "$1" | options_named
}

# The files that an installation under the prefix $1 must hold, relative to it, sorted.
expected_files() {
    local size
    {
        printf '%s\n' bin/morvane bin/morvane-cli share/applications/morvane.desktop \
            share/man/man1/morvane-cli.1.gz share/bash-completion/completions/morvane-cli
        for size in 16 32 48 64 128 256; do
            echo "share/icons/hicolor/${size}x${size}/apps/morvane.png"
        done
        find "$1/share/metainfo" -mindepth 1 -maxdepth 1 2>/dev/null | sed 's|.*/|share/metainfo/|'
    } | sort
}

# Checks an installed tree with prefix $1 (the folder that holds bin/ and share/): the files, the
# metainfo and desktop entry, the manual page through man, the completion through the loader of
# bash-completion, the programs' libraries, and morvane-cli --version against $2.
check_tree() {
    local prefix=$1 version=$2 file
    local expected actual
    expected=$(expected_files "$prefix")
    actual=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
    if [[ $expected != "$actual" ]]; then
        fail "installed files differ from the expected ones (< expected, > installed):"
        diff <(echo "$expected") <(echo "$actual") >&2
    fi

    # One metainfo file, named after the component ID that it holds.
    local metainfo_files=("$prefix"/share/metainfo/*.metainfo.xml) id
    if [[ ${#metainfo_files[@]} -ne 1 || ! -f ${metainfo_files[0]} ]]; then
        fail "expected exactly one metainfo file in $prefix/share/metainfo"
    else
        id=$(grep -oE '<id>[^<]+</id>' "${metainfo_files[0]}" | sed -E 's|</?id>||g')
        [[ $(basename "${metainfo_files[0]}") == "$id.metainfo.xml" ]] ||
            fail "metainfo file $(basename "${metainfo_files[0]}") is not named after its ID '$id'"
    fi
    # validate-tree also finds the desktop entry that the metainfo launches.
    appstreamcli validate-tree --no-net --strict "$(dirname "$prefix")" >"$scratch/tree.log" 2>&1 ||
        fail "appstreamcli validate-tree: $(cat "$scratch/tree.log")"
    local desktop=$prefix/share/applications/morvane.desktop
    if [[ -f $desktop ]]; then
        desktop-file-validate "$desktop" >&2 || fail "installed desktop entry is not valid"
        local exec icon
        exec=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
        icon=$(sed -n 's/^Icon=//p' "$desktop")
        [[ -x $prefix/bin/$exec ]] || fail "the desktop entry runs '$exec', which is not in bin/"
        [[ -n $icon && -f $prefix/share/icons/hicolor/48x48/apps/$icon.png ]] ||
            fail "the desktop entry's icon '$icon' is not in the hicolor theme"
    fi

    # The programs find every library that they link.
    for file in "$prefix/bin/morvane" "$prefix/bin/morvane-cli"; do
        [[ -x $file ]] || continue
        if ldd "$file" | grep -q 'not found'; then
            fail "$(basename "$file") misses libraries: $(ldd "$file" | grep 'not found')"
        fi
    done
    local shown
    shown=$("$prefix/bin/morvane-cli" --version) || fail "installed morvane-cli --version failed"
    [[ $shown == "morvane-cli $version" ]] ||
        fail "installed morvane-cli --version says '$shown', not 'morvane-cli $version'"

    # man finds and renders the page from the tree.
    local page
    page=$(man -M "$prefix/share/man" -w morvane-cli 2>&1)
    [[ $page == "$prefix/share/man/man1/morvane-cli.1.gz" ]] ||
        fail "man -M $prefix/share/man -w morvane-cli found '$page'"
    if ! MANWIDTH=80 man -M "$prefix/share/man" morvane-cli 2>"$scratch/man.err" |
        grep -q '^NAME'; then
        fail "man morvane-cli shows no NAME section"
    fi
    [[ -s $scratch/man.err ]] && fail "man morvane-cli complained: $(cat "$scratch/man.err")"

    # bash-completion's loader finds the completion under share/ by the program's name.
    local offered
    # shellcheck disable=SC2016
    offered=$(env -i HOME="$scratch" PATH=/usr/bin:/bin XDG_DATA_DIRS="$prefix/share" \
        bash --norc --noprofile -c '
            source /usr/share/bash-completion/bash_completion
            __load_completion morvane-cli || exit 1
            COMP_WORDS=(morvane-cli sp); COMP_CWORD=1
            _morvane_cli morvane-cli sp morvane-cli
            echo "${COMPREPLY[*]}"' 2>&1)
    [[ $offered == split ]] ||
        fail "bash-completion did not load the installed completion (it offered '$offered')"
}
