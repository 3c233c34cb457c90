#!/usr/bin/env bash
# Runs a Windows program under Wine: the emulator of the cross build (CMake's
# CMAKE_CROSSCOMPILING_EMULATOR), so CTest runs the Windows suites with it.
# The prefix is KELVANE_WINEPREFIX (scripts/test-windows.sh makes one per
# run); without it, ~/.cache/kelvane/wine-prefix. A prefix is started once
# (wineboot) before its first program: a program started into a prefix that
# is still booting misses its windows.
set -euo pipefail
export WINEPREFIX=${KELVANE_WINEPREFIX:-${WINEPREFIX:-$HOME/.cache/kelvane/wine-prefix}}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || command -v wine)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # One booting process per prefix, whoever comes first.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  [ -f "$WINEPREFIX/system.reg" ] || { "$wine" wineboot -i >/dev/null 2>&1; /usr/lib/wine/wineserver -w || true; }
  exec 9>&-
fi
exec "$wine" "$@"
