#!/usr/bin/env bash
# The Windows installer under Wine: a silent install (/S) puts the programs
# (stripped), the manual pages, the settings key (32-bit view), the Start
# menu entry and the uninstall entry (publisher, version) in place, and
# /PORT=socket://... points LPT1: at a network printer in win.ini; a second
# install keeps a value the user changed; the silent uninstall removes what
# was installed, keeps the settings key and the print jobs still waiting,
# and puts win.ini back as it was; with /REMOVESETTINGS /REMOVEJOBS it
# leaves no file, key or win.ini line of ours behind.
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
WIN_INI="$DRIVE_C/windows/win.ini"
NETWORK_PORT='socket://printer.example:9100'
DEVICES='HKCU\Software\Microsoft\Windows NT\CurrentVersion\Devices'
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kelvane'
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

install() { "$RUN" "$(winpath "$SETUP")" /S "$@"; }
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

# win.ini without its blank lines, the device list as reg prints it.
profile_state() {
  { tr -d '\r' <"$WIN_INI" | grep -v '^$' || true; } 2>/dev/null
  "$RUN" reg query "$DEVICES" 2>/dev/null | tr -d '\r' || true
}
ini_get() {  # SECTION KEY
  tr -d '\r' <"$WIN_INI" | awk -v section="$1" -v key="$2" '
    /^\[/ { inside = (tolower($0) == "[" tolower(section) "]"); next }
    inside && index(tolower($0), tolower(key) "=") == 1 { print substr($0, length(key) + 2) }'
}
lpt1_goes_to() { [ "$(ini_get ports LPT1:)" = "$1" ]; }
stripped() {
  local f
  for f in "${programs[@]}"; do
    ! x86_64-w64-mingw32-objdump -h "$INSTDIR/$f" | grep -q '\.debug_' || { echo "$f has debugging sections" >&2; return 1; }
  done
}
uninstall_entry() {
  local entry
  entry="$("$RUN" reg query "$UNINSTALL_KEY" 2>/dev/null | tr -d '\r')"
  grep -Eq '^ +Publisher +REG_SZ +.+' <<<"$entry" && grep -Eq '^ +DisplayVersion +REG_SZ +[0-9]' <<<"$entry"
}
# The user's files of the programs: %APPDATA%\Kelvane.
APPDATA_DIR="$("$RUN" winepath -u "$("$RUN" cmd /c echo %APPDATA% | tr -d '\r')" 2>/dev/null)/Kelvane"
jobs_kept() { [ -s "$APPDATA_DIR/queue.txt" ] && [ -n "$(ls -A "$APPDATA_DIR/spool")" ] && [ ! -e "$APPDATA_DIR/run" ]; }
nothing_left() {
  [ ! -e "$APPDATA_DIR" ] && ! key_exists && ! "$RUN" reg query "$UNINSTALL_KEY" >/dev/null 2>&1 &&
    ! "$RUN" reg query 'HKLM\Software\Kelvane' >/dev/null 2>&1 &&
    [ "$(profile_state)" = "$profile_before" ]
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

profile_before="$(profile_state)"
echo "== install (/S /PORT=$NETWORK_PORT)"
install "/PORT=$NETWORK_PORT" || fail "the installer exited with $?"
check "programs and manual pages installed" installed_files
check "programs stripped" stripped
check "manual pages are plain text" manual_is_text
check "Start menu entry" menu_entry
check "uninstall entry with publisher and version" uninstall_entry
check "settings key with Port LPT1:" port_is "LPT1:"
check "[ports] LPT1:=$NETWORK_PORT in win.ini" lpt1_goes_to "$NETWORK_PORT"

echo "== the user's port survives a second install and the uninstall"
reg32 add "$KEY" /v Port /t REG_SZ /d 'LPT2:' /f >/dev/null
install || fail "the second install exited with $?"
check "a second install keeps Port LPT2:" port_is "LPT2:"
# What the programs make: the user's home, a job waiting, [Tovrel].
"$RUN" 'C:\Program Files\Kelvane\kelvane-driver.exe' install || fail "the installed driver's install failed"
printf 'page\r\n' >"$DRIVE_C/kelvane-job.txt"
"$RUN" 'C:\Program Files\Kelvane\kelvane-driver.exe' submit --no-start 'C:\kelvane-job.txt' >/dev/null ||
  fail "the installed driver's submit failed"
uninstall || fail "the uninstall did not finish"
check "the uninstall removes the files and the Start menu entry" nothing_installed
check "the uninstall keeps the settings key's Port LPT2:" port_is "LPT2:"
check "the uninstall keeps the jobs waiting and removes the rest of %APPDATA%\\Kelvane" jobs_kept
check "the uninstall puts win.ini back" eval '[ "$(profile_state)" = "$profile_before" ]'

echo "== uninstall /REMOVESETTINGS /REMOVEJOBS"
install "/PORT=$NETWORK_PORT" || fail "the third install exited with $?"
"$RUN" 'C:\Program Files\Kelvane\kelvane-driver.exe' install || fail "the installed driver's install failed"
uninstall /REMOVESETTINGS /REMOVEJOBS || fail "the uninstall did not finish"
check "the uninstall removes the files and the Start menu entry" nothing_installed
check "no file, key or win.ini line left" nothing_left

if [ ${#failures[@]} -gt 0 ]; then
  echo "installer: ${#failures[@]} check(s) FAILED" >&2
  exit 1
fi
echo "installer: all checks passed"
