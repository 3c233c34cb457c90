#!/usr/bin/env bash
# The Windows installer under Wine: a silent install (/S) puts the programs,
# the manual pages, the settings key (32-bit view) and the Start menu entry
# in place; a second install keeps a value the user changed; the silent
# uninstall removes what was installed and leaves the settings key, and
# with /REMOVESETTINGS removes that too.
#   tests/win32/installer_wine.sh SETUP_EXE [--with-desktop]
# --with-desktop: the installer was built with kelvane.exe, which must be
# installed and be what the Start menu entry starts.
# Needs DISPLAY and KELVANE_WINEPREFIX (a prefix of this run: it installs
# into its Program Files and changes its registry). Exit 0 when every
# check passed.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
RUN="$ROOT/tests/win32/run_wine.sh"
SETUP="$(cd "$(dirname "${1:?give the installer}")" && pwd)/$(basename "$1")"
programs=(kelvane-headless.exe kelvane-driver.exe kelvane-printer.exe)
[ "${2:-}" = --with-desktop ] && programs+=(kelvane.exe)
: "${KELVANE_WINEPREFIX:?set KELVANE_WINEPREFIX to a Wine prefix of this run}"
: "${DISPLAY:?Wine needs an X display (DISPLAY)}"

DRIVE_C="$KELVANE_WINEPREFIX/drive_c"
INSTDIR="$DRIVE_C/Program Files/Kelvane"
MENU="$DRIVE_C/ProgramData/Microsoft/Windows/Start Menu/Programs/Kelvane"
KEY='HKLM\SOFTWARE\VORNA\Kelvane\2.00\Tamrel'

failures=()
fail() { echo "FAILED: $*" >&2; failures+=("$*"); }
check() { local what="$1"; shift; if "$@"; then echo "ok: $what"; else fail "$what"; fi; }

winpath() { printf 'Z:%s' "${1//\//\\}"; }
reg32() { "$RUN" reg "$@" /reg:32 2>/dev/null | tr -d '\r'; }
port_value() { reg32 query "$KEY" /v Port | awk '$1 == "Port" {print $3}'; }
key_exists() { "$RUN" reg query "$KEY" /reg:32 >/dev/null 2>&1; }

install() { "$RUN" "$(winpath "$SETUP")" /S; }
# The uninstaller runs a copy of itself from the temporary folder and ends
# at once; that copy removes the installation folder last, so its absence
# is the end (a folder that stays is a failure after a minute).
uninstall() {
  "$RUN" 'C:\Program Files\Kelvane\uninstall.exe' /S "$@"
  for _ in $(seq 600); do
    [ -e "$INSTDIR" ] || return 0
    sleep 0.1
  done
  echo "the uninstaller left $INSTDIR" >&2
  return 1
}

installed_files() {
  local f
  for f in "${programs[@]}" uninstall.exe manual/kelvane.txt manual/kelvane-driver.txt \
           manual/kelvane-headless.txt manual/kelvane-printer.txt; do
    [ -s "$INSTDIR/$f" ] || { echo "missing $INSTDIR/$f" >&2; return 1; }
  done
}
# The shortcut keeps its target's path as text.
menu_entry() {
  [ -s "$MENU/Kelvane.lnk" ] || return 1
  [ "${programs[-1]}" != kelvane.exe ] || grep -aqF 'Kelvane\kelvane.exe' "$MENU/Kelvane.lnk"
}
nothing_installed() { [ ! -e "$INSTDIR" ] && [ ! -e "$MENU" ]; }
port_is() { [ "$(port_value)" = "$1" ]; }
# The manual is text for Notepad: Windows line ends, no overstrike.
manual_is_text() {
  grep -q $'^NAME\r$' "$INSTDIR/manual/kelvane.txt" && ! grep -q $'\b' "$INSTDIR/manual/kelvane.txt"
}

echo "== install (/S)"
install || fail "the installer exited with $?"
check "programs and manual pages installed" installed_files
check "manual pages are plain text" manual_is_text
check "Start menu entry" menu_entry
check "settings key with Port LPT1:" port_is "LPT1:"

echo "== the user's port survives a second install and the uninstall"
reg32 add "$KEY" /v Port /t REG_SZ /d 'LPT2:' /f >/dev/null
install || fail "the second install exited with $?"
check "a second install keeps Port LPT2:" port_is "LPT2:"
uninstall || fail "the uninstall did not finish"
check "the uninstall removes the files and the Start menu entry" nothing_installed
check "the uninstall keeps the settings key's Port LPT2:" port_is "LPT2:"

echo "== uninstall /REMOVESETTINGS"
install || fail "the third install exited with $?"
uninstall /REMOVESETTINGS || fail "the uninstall did not finish"
check "the uninstall removes the files and the Start menu entry" nothing_installed
check "/REMOVESETTINGS removes the settings key" eval '! key_exists'

if [ ${#failures[@]} -gt 0 ]; then
  echo "installer: ${#failures[@]} check(s) FAILED" >&2
  exit 1
fi
echo "installer: all checks passed"
