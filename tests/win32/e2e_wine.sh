#!/usr/bin/env bash
# The Windows programs end to end under Wine: kelvane-driver.exe installs
# (registry key and values; the user's printer list untouched), queues jobs
# (records with the system's backslashes) and starts kelvane-headless.exe,
# which prints them to kelvane-printer.exe on socket://127.0.0.1:PORT; the
# printer must receive exactly the jobs' bytes. Then the printer commands
# on a spooler that stays (5 publishes the ink levels in win.ini, 0 closes
# it), a second start while one runs, a fault caused by hand on the
# printer's control port (kelvane-printer.exe ctl tcp:...), the driver's own
# choice of spooler on Wine's desktop with no DISPLAY in the Windows
# environment (kelvane.exe, when built), and "LPT1:" through the prefix's
# dosdevices link to a file.
#   tests/win32/e2e_wine.sh [BUILD_DIR]      (default build-windows)
# Needs DISPLAY (an X server for Wine) and KELVANE_WINEPREFIX (a prefix of
# its own: the run rewrites its win.ini, registry key and LPT1 link).
# Exit 0 when every check passed.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build-windows}" && pwd)"
RUN="$ROOT/tests/win32/run_wine.sh"
: "${KELVANE_WINEPREFIX:?set KELVANE_WINEPREFIX to a Wine prefix of this run}"
: "${DISPLAY:?Wine needs an X display (DISPLAY)}"
export WINEPREFIX="$KELVANE_WINEPREFIX" WINEDEBUG=-all

DRIVER="$BUILD/tools/driver/kelvane-driver.exe"
PRINTER="$BUILD/tools/printer/kelvane-printer.exe"
HEADLESS="$BUILD/app/headless/kelvane-headless.exe"
DESKTOP="$BUILD/app/wx/kelvane.exe"
for program in "$DRIVER" "$PRINTER" "$HEADLESS"; do
  [ -f "$program" ] || { echo "missing $program (build the windows preset first)" >&2; exit 1; }
done

step() { printf '\n== %s (%s)\n' "$*" "$(date +%T)"; }
failures=()
fail() { echo "FAILED: $*" >&2; failures+=("$*"); }

# A Unix path as the Windows programs see it (Wine's Z: is /).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# Runs a Windows program; its standard output without the CRs the C
# runtime adds.
wrun() { "$RUN" "$@" | tr -d '\r'; }

WIN_INI="$WINEPREFIX/drive_c/windows/win.ini"
# Sets KEY in [SECTION] of win.ini (or removes it with no VALUE); Wine
# reads the file again when it changed.
ini_set() {  # SECTION KEY [VALUE]
  local section=$1 key=$2 remove=1 value=""
  if [ $# -ge 3 ]; then remove=0; value=$3; fi
  touch "$WIN_INI"
  awk -v section="$section" -v key="$key" -v value="$value" -v remove="$remove" '
    function flush() { if (inside && !done && !remove) printf "%s=%s\r\n", key, value; done = 1 }
    { sub(/\r$/, "") }
    /^\[/ {
      if (inside) flush()
      inside = (tolower($0) == "[" tolower(section) "]")
      if (inside) { seen = 1; done = 0 }
    }
    inside && tolower($0) ~ "^" tolower(key) "=" { if (!remove) { printf "%s=%s\r\n", key, value; done = 1 } ; next }
    { printf "%s\r\n", $0 }
    END {
      if (inside) flush()
      if (!seen && !remove) printf "[%s]\r\n%s=%s\r\n", section, key, value
    }' "$WIN_INI" >"$WIN_INI.new"
  mv "$WIN_INI.new" "$WIN_INI"
}
# The user's printer list: [devices] of win.ini and where Windows keeps it.
printer_list() {
  tr -d '\r' <"$WIN_INI" 2>/dev/null | awk '/^\[/ { inside = (tolower($0) == "[devices]"); next } inside' || true
  "$RUN" reg query 'HKCU\Software\Microsoft\Windows NT\CurrentVersion\Devices' 2>/dev/null | tr -d '\r' || true
}
# The spooler command lines the driver has logged, one a line.
started_spoolers() { tr -d '\r' <"$HOME_DIR/run/spooler.log" 2>/dev/null | sed -n 's/^kelvane-driver: starting //p'; }
ini_get() {  # SECTION KEY
  [ -f "$WIN_INI" ] || return 0
  tr -d '\r' <"$WIN_INI" | awk -v section="$1" -v key="$2" '
    /^\[/ { inside = (tolower($0) == "[" tolower(section) "]"); next }
    inside && index(tolower($0), tolower(key) "=") == 1 { print substr($0, length(key) + 2) }'
}

HOME_DIR="$(mktemp -d /tmp/kelvane-e2e-XXXXXX)"
export KELVANE_HOME
KELVANE_HOME="$(winpath "$HOME_DIR")"
PRINTER_PID=""
LPT1_LINK="$WINEPREFIX/dosdevices/lpt1"
LPT1_SAVED=""
[ -L "$LPT1_LINK" ] && LPT1_SAVED="$(readlink "$LPT1_LINK")"
cleanup() {
  [ -n "$PRINTER_PID" ] && kill "$PRINTER_PID" 2>/dev/null || true
  # The prefix's programs of this run (a spooler left by a failure).
  WINEPREFIX="$WINEPREFIX" /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -f "$LPT1_LINK"
  [ -n "$LPT1_SAVED" ] && ln -s "$LPT1_SAVED" "$LPT1_LINK"
  if [ "${KEEP_HOME:-0}" = 1 ]; then echo "home kept: $HOME_DIR"; else rm -rf "$HOME_DIR"; fi
}
trap cleanup EXIT

# Waits until COMMAND succeeds, at most SECONDS.
wait_until() {  # SECONDS COMMAND...
  local seconds=$1; shift
  local end=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -ge $end ] && return 1
    sleep 0.5
  done
}
# Whether FILE (default: the printer's output) holds at least N bytes.
printed_at_least() {  # N [FILE]
  [ "$(stat -c %s "${2:-$OUT}" 2>/dev/null || echo 0)" -ge "$1" ]
}
ink_published() { [ "$(ini_get Tovrel "$1")" = "$2" ]; }  # KEY VALUE
spooler_gone() { ! "$RUN" "$DRIVER" status --timeout 1000 >/dev/null 2>&1; }
spooler_up() { "$RUN" "$DRIVER" status --timeout 2000 >/dev/null 2>&1; }
# Printer command N, sent again while the spooler refuses it (0: a print
# run is still alive); prints the last answer.
command_when_idle() {
  local answer=""
  for _ in $(seq 40); do
    answer="$(wrun "$DRIVER" command "$1" --timeout 10000 || true)"
    [ "$answer" = "0" ] || break
    sleep 0.5
  done
  printf '%s' "$answer"
}

step "A clean state: no settings key, no handshake section"
# The key is in the 32-bit view of SOFTWARE, where 32-bit drivers meet it.
"$RUN" reg delete 'HKLM\SOFTWARE\VORNA\Kelvane' /f /reg:32 >/dev/null 2>&1 || true
ini_set Tovrel InkType
for key in BlackLevel CyanLevel MagentaLevel YellowLevel; do ini_set Tovrel "$key"; done

step "kelvane-driver.exe install (KELVANE_HOME=$KELVANE_HOME)"
printers_before="$(printer_list)"
"$RUN" "$DRIVER" install || fail "install failed"
[ "$(printer_list)" = "$printers_before" ] || fail "install changed the user's printer list: $(printer_list)"
registry="$("$RUN" reg query 'HKLM\SOFTWARE\VORNA\Kelvane' /s /reg:32 2>/dev/null | tr -d '\r' || true)"
printf '%s\n' "$registry" | sed 's/^/  | /'
printf '%s\n' "$registry" | grep -Eq '^ +Port +REG_SZ +LPT1:$' ||
  fail "the registry holds no Port=LPT1: under HKLM\\SOFTWARE\\VORNA\\Kelvane"
[ "$(ini_get Tovrel InkType)" = "0" ] || fail "install wrote no [Tovrel] InkType=0 to $WIN_INI"
# A second install keeps what is there.
ini_set Tovrel InkType 7
"$RUN" "$DRIVER" install || fail "the second install failed"
[ "$(ini_get Tovrel InkType)" = "7" ] || fail "the second install replaced InkType"
ini_set Tovrel InkType 0

step "kelvane-printer.exe on TCP"
OUT="$HOME_DIR/printer-output.prn"
"$RUN" "$PRINTER" --tcp 0 --port-file "$(winpath "$HOME_DIR/printer.port")" \
  --output "$(winpath "$OUT")" --first-reply-length 8 --levels 40,71,55,23 \
  --control-port 0 --control-port-file "$(winpath "$HOME_DIR/control.port")" \
  >"$HOME_DIR/printer.log" 2>&1 &
PRINTER_PID=$!
# The control port's file is written last.
wait_until 60 test -s "$HOME_DIR/control.port" || { cat "$HOME_DIR/printer.log"; fail "the printer did not start"; exit 1; }
PORT="$(tr -d '\r\n' <"$HOME_DIR/printer.port")"
ini_set ports LPT1: "socket://127.0.0.1:$PORT"
echo "LPT1: = socket://127.0.0.1:$PORT"

step "Queueing four jobs; the last submit starts kelvane-headless.exe, named"
# Named: the driver's own choice on this desktop would be kelvane.exe (see
# below). Named or chosen, the headless spooler gets the fault policy.
SPOOLER=(--spooler "$(winpath "$HEADLESS")")
S="$HOME_DIR/samples"
mkdir -p "$S"
printf 'Kelvane on Windows, page 1\r\n' >"$S/page1.txt"
head -c 5000 /dev/urandom >"$S/photo.bin"
head -c 3000 /dev/urandom >"$S/card-front.bin"
head -c 3000 /dev/urandom >"$S/card-back.bin"
head -c 2500 /dev/urandom >"$S/badge.bin"
"$RUN" "$DRIVER" submit --no-start --name "Letter" "$(winpath "$S/page1.txt")" >/dev/null
"$RUN" "$DRIVER" submit --no-start --name "Photo x2" --copies 2 "$(winpath "$S/photo.bin")" >/dev/null
"$RUN" "$DRIVER" submit --no-start --name "Card" "$(winpath "$S/card-front.bin")" \
  "$(winpath "$S/card-back.bin")" >/dev/null
# Spool files in the home's spool folder, written as Windows writes paths.
spool_lines="$(tr -d '\r' <"$HOME_DIR/queue.txt" | grep 'KLV~' || true)"
echo "$spool_lines" | sed 's/^/  | /'
[ "$(echo "$spool_lines" | grep -c .)" -eq 4 ] || fail "the queue does not name 4 spool files"
if echo "$spool_lines" | grep -vqF "$KELVANE_HOME\spool\KLV~" || echo "$spool_lines" | grep -q /; then
  fail "a spool line is not $KELVANE_HOME\spool\KLV~... with backslashes only"
fi
started="$(wrun "$DRIVER" submit "${SPOOLER[@]}" --name "Badge" --printer Tovrel --ribbon YMCKO \
  "$(winpath "$S/badge.bin")" || true)"
echo "driver: $started"
[ "$started" = "queued; spooler started" ] || fail "the driver did not start the spooler: $started"
echo "started: $(started_spoolers | tail -1)"
started_spoolers | tail -1 | grep -q '\\kelvane-headless\.exe --on-fault=retry=30 -f ' ||
  fail "the headless spooler was not started with its fault policy: $(started_spoolers | tail -1)"
# Each copy carries the 6-byte job prefix; before the Tovrel job the spooler
# asks for the ink levels (a 6-byte and a 7-byte query frame).
PREFIX='\x1b\x00\x04\x45\x00\x00'
INK_QUERIES='\xa5\x00\x03\x50\x04\x0a\xa5\x00\x04\x50\x04\x0c\x00'
{
  printf "$PREFIX"; cat "$S/page1.txt"
  for _ in 1 2; do printf "$PREFIX"; cat "$S/photo.bin"; done
  printf "$PREFIX"; cat "$S/card-front.bin" "$S/card-back.bin"
  printf "$INK_QUERIES"; printf "$PREFIX"; cat "$S/badge.bin"
} >"$HOME_DIR/expected.prn"

wait_until 180 printed_at_least "$(stat -c %s "$HOME_DIR/expected.prn")" ||
  fail "the printer did not receive the four jobs"
wait_until 60 spooler_gone || fail "the spooler did not end after its queue"
if cmp -s "$OUT" "$HOME_DIR/expected.prn"; then
  echo "printer received the $(stat -c %s "$OUT") bytes of the four jobs, byte for byte"
else
  fail "printer bytes differ: $(cmp "$OUT" "$HOME_DIR/expected.prn" 2>&1 || true) (got $(stat -c %s "$OUT" 2>/dev/null || echo 0), want $(stat -c %s "$HOME_DIR/expected.prn"))"
fi
[ ! -s "$HOME_DIR/queue.txt" ] || fail "the queue file still holds $(stat -c %s "$HOME_DIR/queue.txt") bytes"
left=$(find "$HOME_DIR/spool" -type f | wc -l)
[ "$left" -eq 0 ] || fail "$left spool files were left behind"

step "A spooler that stays: command 5, a second start, command 0"
printed=$(stat -c %s "$OUT")
head -c 4000 /dev/urandom >"$S/cantella.bin"
"$RUN" "$DRIVER" submit "${SPOOLER[@]}" --name "Cantella" --printer "VORNA Cantella" "$(winpath "$S/cantella.bin")" >/dev/null ||
  fail "the Cantella submit failed"
{ printf "$PREFIX"; cat "$S/cantella.bin"; } >"$HOME_DIR/expected-cantella.prn"
wait_until 60 printed_at_least $((printed + 4006)) || fail "the Cantella job was not printed"
tail -c +$((printed + 1)) "$OUT" | head -c 4006 | cmp -s - "$HOME_DIR/expected-cantella.prn" ||
  fail "the Cantella job's bytes differ"
spooler_up || fail "the spooler of a Cantella queue did not stay"
# The Tovrel job published the levels already: take them away, so that
# only command 5 can bring them back. A first reply of 8 bytes is a colour
# printer's: the colour levels are published, black is not.
for key in CyanLevel MagentaLevel YellowLevel; do ini_set Tovrel "$key"; done
answer="$(command_when_idle 5)"
[ "$answer" = "1" ] || fail "command 5 answered '$answer', not 1"
wait_until 30 ink_published CyanLevel 71 ||
  fail "command 5 published no CyanLevel=71 in [Tovrel] of $WIN_INI"
echo "[Tovrel] of win.ini:"; for key in InkType CyanLevel MagentaLevel YellowLevel; do
  echo "  $key=$(ini_get Tovrel "$key")"; done
[ "$(ini_get Tovrel InkType)" = 2 ] || fail "InkType is not 2 (colour) after command 5"
ink="$(wrun "$DRIVER" ink || true)"
printf '%s\n' "$ink" | grep -qx 'YellowLevel=23' || fail "driver ink does not show YellowLevel=23: $ink"

second_status=0
timeout 60 "$RUN" "$HEADLESS" -f "$(winpath "$HOME_DIR/queue.txt")" </dev/null >/dev/null 2>&1 ||
  second_status=$?
[ $second_status -eq 0 ] || fail "a second start while one runs ended with $second_status, not 0"
spooler_up || fail "the first spooler did not stay after a second start"

answer="$(command_when_idle 0)"
[ "$answer" = "1" ] || fail "command 0 answered '$answer', not 1"
wait_until 60 spooler_gone || fail "the spooler did not end after command 0"

step "paperout by hand on the control port holds a job; ready lets it print"
CONTROL="tcp:127.0.0.1:$(tr -d '\r\n' <"$HOME_DIR/control.port")"
answer="$(wrun "$PRINTER" ctl "$CONTROL" paperout 2>&1 || true)"
[ "$answer" = "ok" ] || fail "ctl $CONTROL paperout answered '$answer'"
printed=$(stat -c %s "$OUT")
head -c 3000 /dev/urandom >"$S/held.bin"
{ printf "$PREFIX"; cat "$S/held.bin"; } >"$HOME_DIR/expected-held.prn"
"$RUN" "$DRIVER" submit "${SPOOLER[@]}" --name "Held" "$(winpath "$S/held.bin")" >/dev/null ||
  fail "the held job's submit failed"
# Wine's sockets count no acknowledgements: the spooler waits for the
# printer to read the job to its end, and says it takes nothing.
not_accepting() { wrun "$DRIVER" status --timeout 2000 2>/dev/null | grep -q '^printer: not accepting'; }
wait_until 60 not_accepting || fail "the spooler did not find the printer taking nothing"
! printed_at_least $((printed + 1)) || fail "the printer took data while out of paper"
answer="$(wrun "$PRINTER" ctl "$CONTROL" ready 2>&1 || true)"
[ "$answer" = "ok" ] || fail "ctl $CONTROL ready answered '$answer'"
wait_until 60 printed_at_least $((printed + 3006)) || fail "the held job was not printed after ready"
tail -c +$((printed + 1)) "$OUT" | cmp -s - "$HOME_DIR/expected-held.prn" ||
  fail "the held job's bytes differ"
wait_until 60 spooler_gone || fail "the spooler did not end after the held job"

if [ -f "$DESKTOP" ]; then
  step "The driver's own choice on Wine's desktop, no DISPLAY in the Windows environment"
  # Wine's desktop is an interactive window station: the desktop spooler
  # is the one to start, whatever the environment says. Without DISPLAY it
  # reaches no X server here, so nobody sees it, but it prints all the same.
  printed=$(stat -c %s "$OUT")
  head -c 3500 /dev/urandom >"$S/desktop.bin"
  started="$("$RUN" cmd /c "set DISPLAY=&& $(winpath "$DRIVER") submit --name Desktop $(winpath "$S/desktop.bin")" |
    tr -d '\r' || true)"
  echo "driver: $started; started: $(started_spoolers | tail -1)"
  [ "$started" = "queued; spooler started" ] || fail "the driver did not start the spooler: $started"
  started_spoolers | tail -1 | grep -Eq '\\kelvane\.exe -f ' ||
    fail "the driver did not choose kelvane.exe: $(started_spoolers | tail -1)"
  wait_until 60 printed_at_least $((printed + 3506)) || fail "the desktop spooler printed nothing"
  { printf "$PREFIX"; cat "$S/desktop.bin"; } | cmp -s - <(tail -c +$((printed + 1)) "$OUT") ||
    fail "the desktop spooler's bytes differ"
  wait_until 60 spooler_gone || fail "the desktop spooler did not end after its queue"
fi

step "LPT1: through the prefix's dosdevices link to a file"
kill "$PRINTER_PID" 2>/dev/null || true
wait "$PRINTER_PID" 2>/dev/null || true
PRINTER_PID=""
ini_set ports LPT1:
LPT1_FILE="$HOME_DIR/lpt1.prn"
: >"$LPT1_FILE"
rm -f "$LPT1_LINK"
ln -s "$LPT1_FILE" "$LPT1_LINK"
head -c 6000 /dev/urandom >"$S/lpt.bin"
{ printf "$PREFIX"; cat "$S/lpt.bin"; } >"$HOME_DIR/expected-lpt1.prn"
"$RUN" "$DRIVER" submit "${SPOOLER[@]}" --name "To LPT1" "$(winpath "$S/lpt.bin")" >/dev/null || fail "the LPT1 submit failed"
wait_until 120 printed_at_least 6006 "$LPT1_FILE" || fail "nothing reached the LPT1 file"
wait_until 60 spooler_gone || fail "the spooler did not end after the LPT1 job"
cmp -s "$LPT1_FILE" "$HOME_DIR/expected-lpt1.prn" ||
  fail "LPT1: bytes differ: $(cmp "$LPT1_FILE" "$HOME_DIR/expected-lpt1.prn" 2>&1 || true)"

if [ ${#failures[@]} -gt 0 ]; then
  echo "--- spooler log"; cat "$HOME_DIR/run/spooler.log" 2>/dev/null | tr -d '\r' | tail -40 || true
  echo "--- printer log"; tr -d '\r' <"$HOME_DIR/printer.log" | tail -20 || true
  printf 'END-TO-END FAILED: %s\n' "${failures[@]}" >&2
  exit 1
fi
echo "end to end under Wine: passed"
