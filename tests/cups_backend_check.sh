#!/usr/bin/env bash
# Prints through the print service: starts a private cupsd on a Unix socket
# in a temporary directory (no network, the machine's own print service
# untouched) whose ServerBin is a tree of links to the stock helpers plus
# our backend as backend/kelvane, adds kelvane: queues whose port goes to
# the virtual printer, and checks what arrives there.
#
#   tests/cups_backend_check.sh BACKEND HEADLESS DRIVER PRINTER
#
# Exit 0 passed, 1 failed, 77 cupsd or lpadmin missing (CTest: skipped).
# Under CI (CI=true) a missing tool fails instead.
set -uo pipefail

. "$(dirname "$0")/check_lib.sh"
. "$(dirname "$0")/cups_private_server.sh"
start_kelvane_print_service cups_backend_check.sh "$@"

start_printer --levels 40,71,55,23 --first-reply-length 8

# ---------------------------------------------------------------- listing
devices=$(lpinfo --include-schemes kelvane -v 2>&1)
if grep -qx 'direct kelvane:/LPT1:' <<<"$devices"; then
  pass "lpinfo -v offers kelvane:/LPT1:"
else
  fail "lpinfo -v does not offer kelvane:/LPT1: ($devices)"
fi

# ---------------------------------------------------------------- queues
# Without -m: a raw queue; cups 2.4 takes it without a warning.
if ! "$lpadmin" -p Card -v kelvane:/LPT1: -E >"$work/lpadmin.out" 2>&1 ||
   ! "$lpadmin" -p Ink -v 'kelvane:/LPT1:?printer=Tovrel&ribbon=YMCKO' -E >>"$work/lpadmin.out" 2>&1 ||
   ! "$lpadmin" -p Badge -v 'kelvane:/LPT1:?ribbon=YMCKO' -E >>"$work/lpadmin.out" 2>&1; then
  cat "$work/lpadmin.out" "$work/log/error_log" >&2
  echo "FAIL: lpadmin could not add the kelvane: queues" >&2
  exit 1
fi
[ -s "$work/lpadmin.out" ] && { echo "lpadmin said:"; cat "$work/lpadmin.out"; }

# ---------------------------------------------------------------- one job
head -c 5000 /dev/urandom >"$work/one.bin"
: >"$out"
lp -d Card -o raw "$work/one.bin" >/dev/null
if wait_for '! jobs_left Card' 30; then
  { prefix; cat "$work/one.bin"; } >"$work/one.expected"
  if cmp -s "$work/one.expected" "$out"; then
    pass "a raw job arrives as the job prefix and the file"
  else
    fail "the printer received $(size_of "$out") bytes, not the prefix and the 5000 of the file"
  fi
else
  fail "the job did not complete"
  show_logs
fi
[ -z "$(ls -A "$home/ports/LPT1/spool")" ] || fail "spool files left: $(ls "$home/ports/LPT1/spool")"

# ---------------------------------------------------------------- copies
: >"$out"
printf 'copy\n' >"$work/copy.txt"
lp -d Card -o raw -n 3 "$work/copy.txt" >/dev/null
for _ in 1 2 3; do prefix; printf 'copy\n'; done >"$work/copies.expected"
if wait_for '! jobs_left Card' 30 && cmp -s "$work/copies.expected" "$out"; then
  pass "lp -n 3 prints three copies"
else
  fail "lp -n 3: the printer received $(od -c "$out" | head -5)"
fi
# The page log counts them (quotas and accounting): three cards.
if wait_for 'grep -q "^Card .* total 3 " "$work/log/page_log"' 10; then
  pass "the page log counts the three cards"
else
  fail "page log: $(cat "$work/log/page_log" 2>/dev/null)"
fi

# ---------------------------------------------------------------- offline
# The spooler says "state: not selected" as soon as the port reports it.
: >"$out"
ctl offline
lp -d Card -o raw "$work/one.bin" >/dev/null
if wait_for 'lpstat -l -p Card | grep -q offline-report' 15; then
  pass "an offline printer shows offline-report on the queue"
else
  fail "offline-report not shown: $(lpstat -l -p Card)"
  show_logs
fi
ctl ready
if wait_for '! jobs_left Card' 30 && cmp -s "$work/one.expected" "$out"; then
  pass "the job completes whole when the printer comes back"
else
  fail "the job did not complete after the printer came back ($(size_of "$out") bytes)"
  show_logs
fi
if lpstat -l -p Card | grep -q offline-report; then
  fail "offline-report stays after the job: $(lpstat -l -p Card)"
fi

# ---------------------------------------------------------------- ink
: >"$out"
lp -d Ink -o raw "$work/copy.txt" >/dev/null
wait_for '! jobs_left Ink' 30 || fail "the Tovrel job did not complete"
if wait_for 'queue_attributes Ink | grep -qx "Attribute marker-levels 71,55,23"' 10 &&
   queue_attributes Ink | grep -qx 'Attribute marker-names Cyan,Magenta,Yellow'; then
  pass "a Tovrel job leaves the ink levels on the queue"
else
  fail "no marker-levels 71,55,23 on the Ink queue: $(queue_attributes Ink | grep marker)"
  show_logs
fi
queue_attributes Card | grep -q marker-levels && fail "the Card queue got marker levels"


# ---------------------------------------------------------------- cancel
: >"$out"
ctl rate 4000
head -c 200000 /dev/urandom >"$work/big.bin"
job=$(lp -d Card -o raw "$work/big.bin" | sed -n 's/^request id is \([^ ]*\).*/\1/p')
if wait_for "[ \$(size_of '$out') -gt 4000 ]" 20; then
  cancel "$job"
  wait_for '! jobs_left Card' 10 || fail "the cancelled job is still listed"
  wait_for '! pgrep -f "$headless --on-fault" >/dev/null' 10 || fail "the spooler still runs after the cancel"
  cancelled_at=$(size_of "$out")
  sleep 2
  now=$(size_of "$out")
  if [ "$now" -eq "$cancelled_at" ] && [ "$now" -lt 200006 ]; then
    pass "cancel stops the job at once ($now bytes arrived)"
  else
    fail "bytes arrived after the cancel: $cancelled_at, then $now"
  fi
  [ ! -s "$home/ports/LPT1/cups-queue.txt" ] || fail "the cancelled job's record is left: $(cat "$home/ports/LPT1/cups-queue.txt")"
  [ -z "$(ls -A "$home/ports/LPT1/spool")" ] || fail "the cancelled job's spool file is left: $(ls "$home/ports/LPT1/spool")"
else
  fail "the big job did not start printing"
  show_logs
fi
ctl rate 0

# ---------------------------------------------------------------- order
: >"$out"
ctl offline  # both jobs wait in the print service
printf 'first job\n' >"$work/a.txt"
printf 'second job\n' >"$work/b.txt"
lp -d Card -o raw "$work/a.txt" >/dev/null
lp -d Card -o raw "$work/b.txt" >/dev/null
ctl ready
{ prefix; printf 'first job\n'; prefix; printf 'second job\n'; } >"$work/order.expected"
if wait_for '! jobs_left Card' 30 && cmp -s "$work/order.expected" "$out"; then
  pass "two jobs print in order, once each"
else
  fail "two jobs: the printer received $(od -c "$out" | head -8)"
  show_logs
fi

# ---------------------------------------------------------------- two queues
# Two queues on one port (one spooler home): their backends take turns, and every job
# prints once, whole.
: >"$out"
ctl offline
for n in 1 2 3; do printf 'shared job %s\n' "$n" >"$work/shared$n.txt"; done
lp -d Card -o raw "$work/shared1.txt" >/dev/null
lp -d Badge -o raw "$work/shared2.txt" >/dev/null
lp -d Card -o raw "$work/shared3.txt" >/dev/null
sleep 1
ctl ready
if wait_for '! jobs_left Card && ! jobs_left Badge' 40; then
  counts=""
  for n in 1 2 3; do
    counts+="$(grep -ac "shared job $n\$" "$out") "
  done
  if [ "$counts" = "1 1 1 " ] && [ "$(size_of "$out")" -eq $((3 * (6 + 13))) ]; then
    pass "jobs of two queues on one port print once each"
  else
    fail "jobs of two queues: printed $counts times, $(size_of "$out") bytes"
    show_logs
  fi
else
  fail "the jobs of two queues did not complete"
  show_logs
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "cups backend check passed"
