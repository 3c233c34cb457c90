#!/usr/bin/env bash
# Lists the queues of a real print server: starts a private cupsd on a Unix
# socket in a temporary directory (no network, the machine's own print
# service untouched), adds a file, a socket, a parallel and an ipp queue,
# and runs the live test of the printers suite against it.
#
#   tests/cups_check.sh PATH/TO/cups_printers_test
#
# Exit 0 passed, 1 failed, 77 cupsd or lpadmin missing (CTest: skipped).
# Under CI (CI=true) a missing tool fails instead: scripts/install-deps.sh
# installs it, so its absence there is a fault of the set-up.
set -uo pipefail

. "$(dirname "$0")/check_lib.sh"

suite=${1:?usage: cups_check.sh PATH/TO/cups_printers_test}
cupsd=$(command -v cupsd || echo /usr/sbin/cupsd)
lpadmin=$(command -v lpadmin || echo /usr/sbin/lpadmin)
[ -x "$cupsd" ] || skip "no cupsd"
[ -x "$lpadmin" ] || skip "no lpadmin"

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-cups.XXXXXX")
pid=""
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# cupsd has to reach its files as the user it runs its helpers as.
chmod 755 "$work"
start_private_cupsd "$cupsd" "$work" "LogLevel warn" "FileDevice Yes"
output="$work/ribbon-out.prn"
for queue in "Ribbon_File file:$output" "Ribbon_Net socket://127.0.0.1:9100" \
             "Par parallel:/dev/lp0" "Office ipp://127.0.0.1/ipp/print"; do
  set -- $queue
  if ! "$lpadmin" -p "$1" -v "$2" -E >"$work/lpadmin.out" 2>&1; then
    echo "FAIL: lpadmin could not add $1 ($2)" >&2
    cat "$work/lpadmin.out" "$work/log/error_log" >&2 2>/dev/null
    exit 1
  fi
done

KELVANE_TEST_CUPS_SERVER="$CUPS_SERVER" KELVANE_TEST_CUPS_FILE="$output" \
  "$suite" --gtest_filter='LiveCupsServer.*' >"$work/suite.out" 2>&1
status=$?
cat "$work/suite.out"
if [ $status -ne 0 ]; then
  cat "$work/log/error_log" >&2 2>/dev/null
  exit 1
fi
# A build without libcups skips the test: say so rather than pass.
grep -q '^\[  SKIPPED \]' "$work/suite.out" && skip "the live test was skipped (built without libcups?)"
grep -q '^\[  PASSED  \] 1 test' "$work/suite.out" || { echo "FAIL: the live test did not run" >&2; exit 1; }
exit 0
