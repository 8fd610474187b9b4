#!/usr/bin/env bash
# The manual page of morvane-cli renders without a warning, has the usual sections, and agrees
# with morvane-cli --help: the same commands, options and exit statuses, and the same version.
#   check_manpage.sh MORVANE_CLI MANPAGE
set -uo pipefail
export LC_ALL=C.UTF-8
source "$(dirname "$0")/common.sh"
cli=$1 page=$2
read_help "$cli"
make_scratch

# groff with every warning on; man-db's own run as `man -l` takes the same road as `man NAME`.
groff -man -Tutf8 -ww -z "$page" 2>"$scratch/groff.err" || fail "groff failed on $page"
[[ -s $scratch/groff.err ]] && fail "groff warns: $(cat "$scratch/groff.err")"
MANWIDTH=80 man --warnings -l "$page" >"$scratch/man.txt" 2>"$scratch/man.err" ||
    fail "man -l $page failed"
[[ -s $scratch/man.err ]] && fail "man -l warns: $(cat "$scratch/man.err")"
# whatis and apropos read the NAME line through lexgrog.
lexgrog "$page" >/dev/null 2>&1 || fail "lexgrog cannot read the NAME section"

# Plain ASCII text without overstriking, so that options read as they are typed.
text=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null)
for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' EXAMPLES; do
    grep -qx "$section" <<<"$text" || fail "no $section section"
done
section() {  # the lines of section $1 of the page
    awk -v s="$1" '/^[A-Z]/ { inside = ($0 == s); next } inside' <<<"$text"
}

# The options that the OPTIONS section describes: its tag lines start with a dash.
described=$(section OPTIONS | grep -E '^ {7}-' | grep -oE -- '(^|[ ,])--?[[:alnum:]][[:alnum:]-]*' |
    tr -d ' ,' | sort -u)
helped=$(help_options)
if [[ $described != "$helped" ]]; then
    fail "OPTIONS of the manual page and --help differ (< manual, > --help):"
    diff <(echo "$described") <(echo "$helped") >&2
fi
# The synopsis of each command names the options that its usage line in --help names.
synopsis=$(section SYNOPSIS)
for command in $(help_commands); do
    grep -qE "^ +morvane-cli $command " <<<"$synopsis" || fail "the synopsis lacks the command $command"
    in_page=$(usage_of "$command" <<<"$synopsis" | options_named)
    in_help=$(help_command_options "$command")
    if [[ $in_page != "$in_help" ]]; then
        fail "the synopsis and --help give $command other options (< manual, > --help):"
        diff <(echo "$in_page") <(echo "$in_help") >&2
    fi
    grep -qE "^ {7}$command( |\$)" <<<"$(section DESCRIPTION)" ||
        fail "the description does not describe the command $command"
done

# Exit statuses: the numbers that --help names and the ones that EXIT STATUS lists.
helped_status=$(help_text | awk '/^Exit status:/ { inside = 1 } inside' | grep -oE '\<[0-9]+\>' |
    sort -u)
listed_status=$(section 'EXIT STATUS' | grep -oE '^ {7}[0-9]+( |$)' | tr -d ' ' | sort -u)
[[ -n $helped_status && $helped_status == "$listed_status" ]] ||
    fail "EXIT STATUS lists $(echo "$listed_status" | xargs), --help names $(echo "$helped_status" | xargs)"

# The footer carries the version that the program shows.
version=$("$cli" --version | awk '{ print $2 }')
tail -n 1 <<<"$text" | grep -q "Morvane $version" ||
    fail "the page's footer does not name Morvane $version: $(tail -n 1 <<<"$text")"

finish
