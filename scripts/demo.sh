#!/usr/bin/env bash
# Kelvane demo: builds the spooler, installs the driver stand-in in a
# temporary KELVANE_HOME, serves a simulated printer, queues a few jobs and
# lets the spooler print them, then shows what the printer received.
#
#   scripts/demo.sh            (on Debian; installs build packages via apt-get
#                               when run as root or with sudo available)
# Environment: BUILD_DIR (default build-demo), SKIP_BUILD=1 uses an existing
# build as it is, KEEP_HOME=1 keeps the home.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build-demo}"

step() { printf '\n== %s\n' "$*"; }

install_packages() {
  local packages=(build-essential cmake ninja-build libgtest-dev libgmock-dev
                  libcli11-dev xxd)
  # With a display the demo shows the desktop spooler.
  if [ -n "${DISPLAY:-}" ]; then packages+=(libwxgtk3.2-dev); fi
  local missing=()
  for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}"; exit 1; }
    sudo=sudo
  fi
  step "Installing ${missing[*]}"
  $sudo apt-get update
  $sudo apt-get install -y "${missing[@]}"
}

if command -v apt-get >/dev/null; then install_packages; fi

GUI=OFF
if [ -n "${DISPLAY:-}" ] && dpkg -s libwxgtk3.2-dev >/dev/null 2>&1; then GUI=ON; fi

if [ "${SKIP_BUILD:-0}" != 1 ]; then
  step "Configuring and building ($BUILD_DIR, desktop spooler: $GUI)"
  cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVANE_GUI=$GUI >/dev/null
  targets=(kelvane-headless kelvane-driver kelvane-printer)
  [ "$GUI" = ON ] && targets+=(kelvane)
  ninja -C "$BUILD_DIR" -j2 "${targets[@]}"
fi

DRIVER="$BUILD_DIR/tools/driver/kelvane-driver"
PRINTER="$BUILD_DIR/tools/printer/kelvane-printer"
HEADLESS="$BUILD_DIR/app/headless/kelvane-headless"
SPOOLER="$HEADLESS"
if [ "$GUI" = ON ] && [ -x "$BUILD_DIR/app/wx/kelvane" ]; then SPOOLER="$BUILD_DIR/app/wx/kelvane"; fi

export KELVANE_HOME
KELVANE_HOME="$(mktemp -d /tmp/kelvane-demo-XXXXXX)"
PRINTER_PID=""
cleanup() {
  [ -n "$PRINTER_PID" ] && kill "$PRINTER_PID" 2>/dev/null || true
  if [ "${KEEP_HOME:-0}" != 1 ]; then rm -rf "$KELVANE_HOME"; else echo "home kept: $KELVANE_HOME"; fi
}
trap cleanup EXIT

step "Installing the driver stand-in in $KELVANE_HOME"
"$DRIVER" install
cat "$KELVANE_HOME/win.ini"

step "Starting the simulated printer"
SOCK="$KELVANE_HOME/run/printer.sock"
OUT="$KELVANE_HOME/printer-output.prn"
"$PRINTER" --output "$OUT" --first-reply-length 8 --levels 40,71,55,23 "$SOCK" \
  >"$KELVANE_HOME/printer.log" 2>&1 &
PRINTER_PID=$!
for _ in $(seq 100); do [ -S "$SOCK" ] && break; sleep 0.05; done

step "Rendering sample jobs"
mkdir -p "$KELVANE_HOME/samples"
S="$KELVANE_HOME/samples"
printf 'Kelvane demo page 1\r\n' > "$S/page1.txt"
head -c 5000 /dev/urandom > "$S/photo.bin"
head -c 3000 /dev/urandom > "$S/card-front.bin"
head -c 3000 /dev/urandom > "$S/card-back.bin"
head -c 2500 /dev/urandom > "$S/badge.bin"

"$DRIVER" submit --no-start --name "Demo letter" "$S/page1.txt"
"$DRIVER" submit --no-start --name "Photo x2" --copies 2 "$S/photo.bin"
"$DRIVER" submit --no-start --name "Card two sides" "$S/card-front.bin" "$S/card-back.bin"
"$DRIVER" submit --no-start --name "Badge" --printer Tovrel --ribbon YMCKO "$S/badge.bin"
# Each copy carries the 6-byte job prefix; before the Tovrel job the spooler
# asks the printer for its ink levels (a 6-byte and a 7-byte query frame).
EXPECTED=$(( (6 + 21) + 2 * (6 + 5000) + (6 + 6000) + (6 + 7 + 6 + 2500) ))
# The same, byte for byte: the prefix goes in front of each job's first
# spool file, so both copies of the photo carry it.
PREFIX='\x1b\x00\x04\x45\x00\x00'
INK_QUERIES='\xa5\x00\x03\x50\x04\x0a\xa5\x00\x04\x50\x04\x0c\x00'
{
  printf "$PREFIX"; cat "$S/page1.txt"
  for _ in 1 2; do printf "$PREFIX"; cat "$S/photo.bin"; done
  printf "$PREFIX"; cat "$S/card-front.bin" "$S/card-back.bin"
  printf "$INK_QUERIES"; printf "$PREFIX"; cat "$S/badge.bin"
} >"$KELVANE_HOME/expected.prn"
echo "queue file:"; sed 's/\r$//' "$KELVANE_HOME/queue.txt" | sed 's/^/  | /'

step "Running the spooler: $SPOOLER -f queue.txt"
"$SPOOLER" -f "$KELVANE_HOME/queue.txt" </dev/null &
SPOOLER_PID=$!
for _ in $(seq 600); do
  kill -0 "$SPOOLER_PID" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$SPOOLER_PID" 2>/dev/null; then
  echo "the spooler is still running after 60 s; stopping it"
  kill "$SPOOLER_PID"
fi
spooler_status=0
wait "$SPOOLER_PID" || spooler_status=$?
echo "spooler ended (exit $spooler_status)"

step "Result"
received=$(stat -c %s "$OUT")
queued=$(stat -c %s "$KELVANE_HOME/queue.txt")
left=$(find "$KELVANE_HOME/spool" -type f | wc -l)
printf 'queue file now %s bytes; spool directory holds %s files\n' "$queued" "$left"
printf 'printer received %s bytes (expected %s)\n' "$received" "$EXPECTED"
echo "ink levels published by the spooler:"; "$DRIVER" ink | sed 's/^/  /'
echo "first bytes (each job starts with the 6-byte prefix 1b 00 04 45 00 00):"
# Only the first 128 bytes: a pipe into head would end xxd with SIGPIPE.
xxd -l 128 "$OUT"

# The demo is also the check that the main job works: every job printed
# once, nothing left queued, the spooler ended cleanly.
problems=()
[ "$spooler_status" -eq 0 ] || problems+=("the spooler exited with $spooler_status")
if [ "$received" -ne "$EXPECTED" ]; then
  problems+=("the printer received $received bytes, not $EXPECTED")
elif ! cmp -s "$OUT" "$KELVANE_HOME/expected.prn"; then
  problems+=("the printer received other bytes than the jobs hold: $(cmp "$OUT" "$KELVANE_HOME/expected.prn" 2>&1)")
fi
[ "$queued" -eq 0 ] || problems+=("the queue file still holds $queued bytes")
[ "$left" -eq 0 ] || problems+=("$left spool files were left behind")
if [ ${#problems[@]} -gt 0 ]; then
  printf 'DEMO FAILED: %s\n' "${problems[@]}" >&2
  exit 1
fi
echo "demo passed: every job printed once"
