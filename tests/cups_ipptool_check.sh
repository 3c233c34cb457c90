#!/usr/bin/env bash
# CUPS's own IPP conformance files (ipptool's ipp-1.1.test, print-job.test,
# cancel-current-job.test, get-completed-jobs.test) against two raw queues
# of one private cupsd: Card on kelvane:/LPT1: (our backend, the spooler,
# the virtual printer) and, as the control, Sock on socket://127.0.0.1:PORT
# (the stock socket backend, a second virtual printer on TCP). A queue of
# ours must pass and fail exactly what the plain socket queue does.
#
#   tests/cups_ipptool_check.sh BACKEND HEADLESS DRIVER PRINTER
#
# Exit 0 passed, 1 failed, 77 cupsd, lpadmin or ipptool missing (CTest:
# skipped). Under CI (CI=true) a missing tool fails instead.
set -uo pipefail

. "$(dirname "$0")/check_lib.sh"
. "$(dirname "$0")/cups_private_server.sh"

ipptool=$(command -v ipptool) || skip "no ipptool"
tests=/usr/share/cups/ipptool
suites=(ipp-1.1.test print-job.test cancel-current-job.test get-completed-jobs.test)
for suite in "${suites[@]}"; do
  [ -f "$tests/$suite" ] || skip "no $tests/$suite"
done
start_kelvane_print_service cups_ipptool_check.sh "$@"

# Both printers take 8 KiB a second: the suites' small jobs print at
# once, and a long job stays current for cancel-current-job.test however
# quickly each backend hands it on.
kRate=8192
start_printer --rate $kRate
env KELVANE_HOME="$home" "${as_spooler[@]}" "$printer" --tcp 0 --port-file "$home/tcp.port" \
  --output "$home/tcp.prn" --rate $kRate >"$work/tcp-printer.log" 2>&1 &
extra_pids+=($!)
wait_for "[ -s '$home/tcp.port' ]" 10 ||
  { cat "$work/tcp-printer.log" >&2; echo "FAIL: the TCP printer did not start" >&2; exit 1; }
if ! "$lpadmin" -p Card -v kelvane:/LPT1: -E >"$work/lpadmin.out" 2>&1 ||
   ! "$lpadmin" -p Sock -v "socket://127.0.0.1:$(cat "$home/tcp.port")" -E >>"$work/lpadmin.out" 2>&1; then
  cat "$work/lpadmin.out" >&2
  echo "FAIL: lpadmin could not add the queues" >&2
  exit 1
fi
queues=(Card Sock)
declare -A printed=([Card]="$out" [Sock]="$home/tcp.prn")

# The suites' document: data for the printer, typed by its name
# (application/octet-stream), as a raw queue takes it.
{ prefix; head -c 1018 /dev/urandom; } >"$work/card.prn"
# A job of two minutes at the printers' rate.
{ prefix; head -c 1M /dev/urandom; } >"$work/long.prn"
server=$(printf '%s' "$work/cups.sock" | sed 's,/,%2F,g')
# Debian ships the suites without CUPS's sample documents, and ipptool
# stops reading ipp-1.1.test at the first one it cannot find (the PDF,
# PostScript and JPEG jobs, hold and release): the suites run from a copy
# of their folder with stand-ins there, a few bytes of each kind, which
# both raw queues take as they are.
suite_dir="$work/ipptool"
mkdir -p "$suite_dir"
for suite in "${suites[@]}"; do cp "$tests/$suite" "$suite_dir/"; done
for paper in a4 letter; do
  printf '%%PDF-1.4\n%%%%EOF\n' >"$suite_dir/document-$paper.pdf"
  printf '%%!PS-Adobe-3.0\nshowpage\n' >"$suite_dir/document-$paper.ps"
done
for colours in color gray; do printf '\377\330\377\340\000\020JFIF\000' >"$suite_dir/$colours.jpg"; done

# Runs suite $2 on queue $1; its report in $work/$1.$2.out, each test's
# name and result ("name [PASS]") in $work/$1.$2.results.
run_suite() {
  (cd "$work" && "$ipptool" -t -I -f card.prn "ipp://$server/printers/$1" "$suite_dir/$2") \
    >"$work/$1.$2.out" 2>&1
  sed -nE 's/^ {4}([^ ].*[^ ]) +\[(PASS|FAIL|SKIP)\]$/\1 [\2]/p' "$work/$1.$2.out" \
    >"$work/$1.$2.results"
  [ -s "$work/$1.$2.results" ] || echo "(no results: $(head -c 300 "$work/$1.$2.out"))" \
    >"$work/$1.$2.results"
}

for suite in "${suites[@]}"; do
  for queue in "${queues[@]}"; do
    if [ "$suite" = cancel-current-job.test ]; then
      # The current job: a long one that the backend is printing.
      wait_for "! jobs_left $queue" 30 || fail "$queue: the suites' jobs did not end"
      : >"${printed[$queue]}"
      lp -d "$queue" -o raw "$work/long.prn" >/dev/null
      wait_for "[ -s '${printed[$queue]}' ]" 20 || fail "$queue: the long job did not start printing"
    fi
    run_suite "$queue" "$suite"
  done
done

# Each test's result on both queues, side by side.
echo "results (Card = kelvane:/LPT1:, Sock = socket://):"
for suite in "${suites[@]}"; do
  echo "$suite:"
  paste -d'|' "$work/Card.$suite.results" "$work/Sock.$suite.results" |
    while IFS='|' read -r card sock; do
      if [ "$card" = "$sock" ]; then
        echo "  both  $card"
      else
        echo "  DIFF  Card: $card; Sock: $sock"
      fi
    done
  if ! cmp -s "$work/Card.$suite.results" "$work/Sock.$suite.results"; then
    fail "$suite: the kelvane queue's results differ from the socket queue's"
    for queue in "${queues[@]}"; do
      echo "--- ipptool's report on $queue:" >&2
      cat "$work/$queue.$suite.out" >&2
    done
  fi
done
# The long jobs were cancelled while printing: neither queue keeps one.
for queue in "${queues[@]}"; do
  wait_for "! jobs_left $queue" 20 || fail "$queue: a job is still queued: $(lpstat -o "$queue")"
done

if [ $failures -ne 0 ]; then
  show_logs
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "cups ipptool check passed"
