#!/usr/bin/env bash
# Runs a command with wine set up for the Windows build: a prefix of the project's own, no
# debug chatter, and the Qt and mingw-w64 runtime libraries on wine's search path.
#   scripts/wine-env.sh ctest --test-dir build-win
#   scripts/wine-env.sh wine build-win/morvane-cli.exe --help
# With MORVANE_WINE_BARE=1 the libraries are left off the path, as on a user's machine.
set -euo pipefail
cache=${MORVANE_WIN_CACHE:-$HOME/.cache/morvane-windows}
export WINEPREFIX=${MORVANE_WINEPREFIX:-$cache/wine}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no offer to install Mono or Gecko
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
fi
if [ "${MORVANE_WINE_BARE:-}" != 1 ]; then
    dirs=("$cache/prefix/bin"
          "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")"
          "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libwinpthread-1.dll)")")
    path=""
    for d in "${dirs[@]}"; do path+="$(winepath -w "$d" 2>/dev/null);"; done
    export WINEPATH="$path"
    export QT_PLUGIN_PATH="$(winepath -w "$cache/prefix/plugins" 2>/dev/null)"
fi
# One server for all the processes of the run: starting wine is then about a second.
wineserver -p 2>/dev/null || true
status=0
"$@" || status=$?
wineserver -k 2>/dev/null || true
exit $status
