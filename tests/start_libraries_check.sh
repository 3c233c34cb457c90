#!/usr/bin/env bash
# The programs that print start without the print service's library: no
# libcups among what they link (directly or through another library), and
# none loaded while they run a short job of their own. libcups brings some
# thirty libraries (gnutls, Kerberos, Avahi, D-Bus) that every start would
# load; only the listing of installed printers needs it, and it loads it
# then.
#
#   tests/start_libraries_check.sh HEADLESS DRIVER BACKEND [DESKTOP]
#
# The desktop spooler is checked by what it links only (its start needs a
# display); that it loads libcups no earlier than its first listing is the
# printers suite's part. Exit 0 passed, 1 failed, 77 readelf or ldd missing.
set -uo pipefail

. "$(dirname "$0")/check_lib.sh"

headless=${1:?usage: start_libraries_check.sh HEADLESS DRIVER BACKEND [DESKTOP]}
driver=${2:?}
backend=${3:?}
desktop=${4:-}
command -v readelf >/dev/null || skip "no readelf (binutils)"
command -v ldd >/dev/null || skip "no ldd"

failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

for program in "$headless" "$driver" "$backend" $desktop; do
  name=$(basename "$program")
  readelf -d "$program" | grep -q 'NEEDED.*libcups' && fail "$name links libcups"
  ldd "$program" | grep -q 'libcups\.so' && fail "$name loads libcups through another library"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-libs.XXXXXX")
trap 'rm -rf "$work"' EXIT
export KELVANE_HOME=$work/home
mkdir -p "$KELVANE_HOME"
"$driver" install >/dev/null 2>&1 || fail "kelvane-driver install failed"
head -c 4096 /dev/zero >"$work/job.bin"

# run NAME COMMAND...: the libraries the dynamic loader loads while the
# command runs, dlopen's included, must not be libcups's.
run() {
  local name=$1
  shift
  LD_DEBUG=files LD_DEBUG_OUTPUT="$work/loader" "$@" >"$work/out" 2>&1 </dev/null
  local status=$?
  cat "$work"/loader.* >"$work/loaded" 2>/dev/null
  rm -f "$work"/loader.*
  [ -s "$work/loaded" ] || { fail "$name: the loader reported nothing (LD_DEBUG)"; return; }
  grep -q 'file=libcups\.so' "$work/loaded" && fail "$name loaded libcups"
  echo "$name: exit $status, $(grep -c 'file=.*\[0\];  needed by\|file=.*\[0\];  dynamically loaded by' "$work/loaded") libraries loaded"
}
run "kelvane-driver submit --no-start" "$driver" submit --no-start "$work/job.bin"
: >"$work/empty-queue.txt"
run "kelvane-headless on an empty queue" "$headless" -f "$work/empty-queue.txt"
run "kelvane-cups-backend listing its devices" "$backend"
[ $failed -eq 0 ] && echo "no program that prints loads libcups at start"
exit $failed
