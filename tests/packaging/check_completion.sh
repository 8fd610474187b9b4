#!/usr/bin/env bash
# The bash completion of morvane-cli, sourced on its own into a clean bash and driven as readline
# drives it (COMP_WORDS, COMP_CWORD): it offers the commands and options of morvane-cli --help,
# each command only the options that its usage line names, and files or folders where the program
# expects them.
#   check_completion.sh MORVANE_CLI COMPLETION_SCRIPT
set -uo pipefail
export LC_ALL=C.UTF-8
source "$(dirname "$0")/common.sh"
cli=$1 completion=$2
read_help "$cli"
make_scratch

bash -n "$completion" || fail "$completion is not valid bash"

# A folder with a file and two folders, for the completions of paths.
mkdir -p "$scratch/place/chunks_spt" "$scratch/place/photos"
touch "$scratch/place/movie.mkv"

# Prints what the completion offers for the words "$@", the last one being completed, sorted,
# one a line. Runs in a new bash without start-up files, in $scratch/place.
offers() {
    # shellcheck disable=SC2016
    (cd "$scratch/place" && env -i HOME="$scratch" PATH=/usr/bin:/bin bash --norc --noprofile -c '
        source "$1" || exit 1
        shift
        registration=$(complete -p morvane-cli) || exit 1
        [[ $registration == *"-F _morvane_cli morvane-cli" ]] || { echo "registered as: $registration"; exit 1; }
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        COMPREPLY=()
        _morvane_cli morvane-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}"' completion "$completion" "$@") | grep -v '^$' | sort
}

expect() {  # expect WHAT_IT_SHOULD_OFFER -- WORDS...: the offers, space-separated and sorted
    local want=$1 got
    shift 2
    got=$(offers "$@" | xargs)
    [[ $got == "$want" ]] || fail "completing '$*' offers '$got', not '$want'"
}

expect split -- morvane-cli sp
expect join -- morvane-cli j
expect "$(help_commands | xargs)" -- morvane-cli ''
# Options may stand before the command, so there every option is offered.
expect "$(help_options | xargs)" -- morvane-cli -
for command in $(help_commands); do
    expect "$(help_command_options "$command" | xargs)" -- morvane-cli "$command" -
done
expect "--delete-chunks --delete-source" -- morvane-cli --del

# Options already given are not offered again, nor the ones that exclude them.
expect "$(help_command_options split | grep -vxE -- '-s|--size|-n|--count|-o|--output' | xargs)" \
    -- morvane-cli split -s 10M --output=/tmp -
expect "--password --password-stdin" -- morvane-cli join --pass
expect "" -- morvane-cli join -p --password-s
expect "" -- morvane-cli join --password-stdin --pass
expect "--quiet" -- morvane-cli split movie.mkv -s 1M --q

# Paths: anything to split, folders to join or check, a folder after -o, nothing after a size.
expect "chunks_spt movie.mkv photos" -- morvane-cli split ''
expect "chunks_spt photos" -- morvane-cli join ''
expect "chunks_spt" -- morvane-cli check ch
expect "chunks_spt photos" -- morvane-cli split movie.mkv -o ''
expect "photos" -- morvane-cli split movie.mkv --output = p
expect "" -- morvane-cli split movie.mkv -s ''
expect "" -- morvane-cli split movie.mkv -n ''
# One operand only.
expect "" -- morvane-cli split movie.mkv ''

finish
