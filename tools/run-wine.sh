#!/usr/bin/env bash
# Runs a Windows program under Wine without a display: a throw-away prefix,
# the null graphics driver set before the server that runs the program starts,
# no debug output, no Mono or Gecko installers. The program's exit code is
# this script's.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: run-wine.sh PROGRAM.exe [ARGS...]" >&2; exit 2; }

find_tool() {
  for c in "$@"; do
    if command -v "$c" >/dev/null 2>&1; then command -v "$c"; return; fi
    if [ -x "$c" ]; then echo "$c"; return; fi
  done
  echo "Wine is not installed (looked for: $*)" >&2
  exit 1
}
wine=$(find_tool wine64 /usr/lib/wine/wine64 wine)
wineserver=$(find_tool wineserver64 /usr/lib/wine/wineserver64 wineserver /usr/lib/wine/wineserver)

prefix=$(mktemp -d)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
cleanup() { "$wineserver" -k >/dev/null 2>&1 || true; rm -rf "$prefix"; }
trap cleanup EXIT

# The first start makes the prefix; the value is read when the next server
# (the one that runs the program) starts its desktop.
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
"$wineserver" -w

status=0
"$wine" "$@" || status=$?
exit $status
