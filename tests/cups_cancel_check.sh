#!/usr/bin/env bash
# Cancels through the print service, with lp and cancel, at random moments
# of a 64 MiB job's life: while the backend copies the job's data into its
# spool file, during that file's sync (made slow by an LD_PRELOAD shim in the
# backend alone: the ServerBin backend is a wrapper that loads it and execs
# the real one), right around the spooler's start, and while it prints.
#
#   tests/cups_cancel_check.sh BACKEND HEADLESS DRIVER PRINTER SHIM
#
# Each trial checks:
#   - a cancel that returned before the printer had the job's first byte:
#     not one byte of the job reaches the printer;
#   - a cancel while the job prints: at most one 2048-byte block arrives
#     after cancel returned (see kBlockBound below);
#   - no record in the backend's queue file, no spool file, the job
#     "canceled" in the print service, and the next job prints whole.
# CANCEL_TRIALS (50) and CANCEL_SEED (chosen and printed) repeat a run: the
# moments are drawn as offsets from the job's observed milestones, so a seed
# repeats the aim, not the machine's timing.
#
# Exit 0 passed, 1 failed, 77 cupsd, lpadmin or ipptool missing (CTest:
# skipped). Under CI (CI=true) a missing tool fails instead.
set -uo pipefail

. "$(dirname "$0")/check_lib.sh"
. "$(dirname "$0")/cups_private_server.sh"

shim=${5:?usage: cups_cancel_check.sh BACKEND HEADLESS DRIVER PRINTER SHIM}
command -v ipptool >/dev/null || skip "no ipptool"
trials=${CANCEL_TRIALS:-50}
seed=${CANCEL_SEED:-$(( $(date +%s%N) / 1000 % 32768 ))}
RANDOM=$seed
echo "seed $seed (CANCEL_SEED=$seed repeats the aim), $trials trials"

# Job files of 64 MiB are not kept once a job ends.
cupsd_extra=$'PreserveJobFiles No'
start_kelvane_print_service cups_cancel_check.sh "${@:1:4}"

# How long the backend's sync of its spool file takes beyond the disk's own
# time, and how long its spooler child waits after the fork before it goes
# on (to set its own signal handling and start the spooler): long enough to
# aim a cancel into, short enough for 50 trials.
kSyncMs=250
kForkMs=60
# The spooler writes the port one 2048-byte block at a time, and the
# virtual printer's port is strictly request and answer (each write waits
# for the printer to say what it took; no socket buffer holds unconfirmed
# data), so at most the one block in flight when the stop is seen can
# still arrive. The print service signals the backend's whole process
# group, the spooler included, before it answers the cancel.
kBlockBound=2048

# The backend the print service runs: the shim, its marks folder, the real
# backend (a copy lp may run, as for the other programs).
marks="$work/marks"
mkdir -p "$marks"
install -m 0755 "$bin/backend/kelvane" "$work/bin/kelvane-backend"
install -m 0644 "$shim" "$work/bin/slow_fsync.so"
[ "$(id -u)" -eq 0 ] && chown lp "$marks"
# The delays come from a file, so that the job after each trial goes at
# full speed. A backend built with AddressSanitizer would refuse a library
# loaded ahead of the sanitizer's runtime; the shim needs none.
cat >"$work/backend-wrapper" <<WRAPPER
#!/bin/sh
read -r sync fork <$work/delays
LD_PRELOAD=$work/bin/slow_fsync.so SLOW_FSYNC_MS=\$sync SLOW_FORK_MS=\$fork SLOW_MARKS=$marks \\
  ASAN_OPTIONS=verify_asan_link_order=0 exec $work/bin/kelvane-backend "\$@"
WRAPPER
echo "0 0" >"$work/delays"
install -m 0755 "$work/backend-wrapper" "$bin/backend/kelvane"

start_printer
"$lpadmin" -p Card -v kelvane:/LPT1: -E >"$work/lpadmin.out" 2>&1 ||
  { cat "$work/lpadmin.out" >&2; echo "FAIL: lpadmin could not add the queue" >&2; exit 1; }
socket_uri="ipp://$(printf '%s' "$work/cups.sock" | sed 's,/,%2F,g')/printers/Card"
cat >"$work/job-state.test" <<'TEST'
{
  NAME "job-state"
  OPERATION Get-Job-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR language attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR integer job-id $job
  ATTR keyword requested-attributes job-state
  STATUS successful-ok
  DISPLAY job-state
}
TEST
job_state() { ipptool -c -d job="$1" "$socket_uri" "$work/job-state.test" 2>&1 | tail -1; }

head -c 64M /dev/urandom >"$work/big.bin"
head -c 5000 /dev/urandom >"$work/next.bin"
{ prefix; cat "$work/next.bin"; } >"$work/next.expected"

# Short waits without a process each: a read that times out on a pipe of
# our own that nobody writes.
exec {nap_fd}<> <(:)
nap_ms() { local s; printf -v s '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); read -r -t "$s" -u "$nap_fd" _; return 0; }
# The printer's file's size at once, without starting a process: a stat(2)
# by a helper that stays (perl is part of every Debian system).
coproc SIZER { exec perl -e '$| = 1; while (<STDIN>) { print((stat $ARGV[0])[7] // 0, "\n") }' "$out"; }
extra_pids+=("$SIZER_PID")
size_now() { echo >&"${SIZER[1]}"; read -r now_size <&"${SIZER[0]}"; }
# A random whole number from $1 to $2 in `drawn`; never in a subshell,
# where bash seeds RANDOM anew and the seed would repeat nothing.
draw() { drawn=$(( $1 + RANDOM % ($2 - $1 + 1) )); }
# The time of mark $2 in the variable $1, empty when it did not happen.
read_mark() { read -r "$1" 2>/dev/null <"$marks/$2" || printf -v "$1" ''; }
# Polls for the mark $1 (or, for "byte", the printer's first byte) up to 20 s.
await() {
  local i
  for ((i = 0; i < 20000; i++)); do
    if [ "$1" = byte ]; then [ -s "$out" ] && return 0
    else [ -e "$marks/$1" ] && return 0
    fi
    nap_ms 1
  done
  return 1
}
# The print service's and our processes of a job: none may be left.
job_processes() { pgrep -f "^($work/bin/kelvane-backend|$headless) " 2>/dev/null; }
# In `final`, once the printer's file has not grown for 150 ms (a write
# request waits at most 100 ms for the printer).
settle() {
  final=-1
  while size_now; [ "$now_size" != "$final" ]; do
    final=$now_size
    nap_ms 150
  done
}

phases=(spooling sync start printing)
declare -A hit=()
max_after=0
unprinted=0 silent=0 in_child=0
# Running measures the aims use: from lp's return to the backend's start,
# the copy's length, and from running cancel to the backend's SIGTERM.
queued_ms=10 spool_ms=40 reach_ms=25
# Appends microseconds $1 as signed milliseconds, then $2, to `detail`.
add_ms() { local text; printf -v text '%+.1f ms%s' "$(($1 / 100))e-1" "$2"; detail+=$text; }
# Waits $1 ms less the time cancel takes to reach the backend: run then,
# cancel signals it $1 ms from now.
ahead_of() { local ms=$(($1 - reach_ms)); [ $ms -gt 0 ] && nap_ms $ms; return 0; }
began=$SECONDS
for ((trial = 1; trial <= trials; trial++)); do
  aim=${phases[$(( (trial - 1) % 4 ))]}
  rm -f "$marks"/*
  : >"$out"
  echo "$kSyncMs $kForkMs" >"$work/delays"
  job=$(lp -d Card -o raw "$work/big.bin" | sed -n 's/^request id is Card-\([0-9]*\).*/\1/p')
  submitted=${EPOCHREALTIME/./}  # microseconds, the marks' scale
  [ -n "$job" ] || { fail "trial $trial: lp refused the job"; break; }
  # Each aim waits for a milestone, then a random part of the phase, less
  # the time cancel takes to reach the backend.
  case $aim in
    spooling) draw 0 "$spool_ms"; ahead_of $((queued_ms + drawn)) ;;
    sync) draw 0 "$kSyncMs"; await sync-begin && ahead_of "$drawn" ;;
    # From 10 ms before the end of the sync to 10 ms past the child's
    # wait: on both sides of the fork, mostly while the child has yet to
    # set its own handling, and into the spooler's first steps.
    start) draw $((kSyncMs - 10)) $((kSyncMs + kForkMs + 10)); await sync-delay && ahead_of "$drawn" ;;
    printing) draw 0 600; await byte && nap_ms "$drawn" ;;
  esac || { fail "trial $trial: the job never reached its $aim"; show_logs; break; }
  asked=${EPOCHREALTIME/./}
  cancel "Card-$job" 2>"$work/cancel.err"
  cancelled=$?
  answered=${EPOCHREALTIME/./}
  # Tested at once, without a process: nothing printed when cancel returned.
  if [ -s "$out" ]; then size_now; printed_then=$now_size; else printed_then=0; fi

  [ $cancelled -eq 0 ] || fail "trial $trial: cancel said $(cat "$work/cancel.err")"
  # The job's processes end; every byte the printer takes has arrived.
  for ((i = 0; i < 500; i++)); do [ -z "$(job_processes)" ] && break; nap_ms 20; done
  if [ -n "$(job_processes)" ]; then
    fail "trial $trial: the backend or spooler still runs 10 s after the cancel"
    for left in $(job_processes); do kill "$left" 2>/dev/null; done
  fi
  settle

  # Where the SIGTERM landed, by the backend's marks.
  read_mark start start; read_mark synced sync-begin; read_mark sync_end sync-end
  read_mark forked fork; read_mark term term
  at=${term:-$answered}
  if [ -z "$start" ] || [ "$at" -lt "$start" ]; then landed=queued
  elif [ -z "$synced" ] || [ "$at" -lt "$synced" ]; then landed=spooling
  elif [ -z "$sync_end" ] || [ "$at" -lt "$sync_end" ]; then landed=sync
  elif [ "$printed_then" -eq 0 ]; then landed=start
  else landed=printing
  fi
  hit[$landed]=$(( ${hit[$landed]:-0} + 1 ))
  [ -n "$forked" ] && [ "$at" -ge "$forked" ] && [ $((at - forked)) -lt $((kForkMs * 1000)) ] &&
    in_child=$((in_child + 1))
  [ -n "$start" ] && queued_ms=$(( (start - submitted) / 1000 ))
  [ -n "$start" ] && [ -n "$synced" ] && spool_ms=$(( (synced - start) / 1000 ))
  [ -n "$term" ] && reach_ms=$(( (3 * reach_ms + (term - asked) / 1000) / 4 ))
  detail="aimed at $aim, landed in $landed"
  case $landed in
    spooling) detail+=" at "; add_ms $((at - start)) " of the copy" ;;
    sync) detail+=" at "; add_ms $((at - synced)) " of the sync"
          [ -n "$sync_end" ] && { detail+=", "; add_ms $((at - sync_end)) " from its end"; } ;;
    start) detail+=" at "; add_ms $((at - sync_end)) " from the sync's end" ;;
  esac
  [ "$landed" = printing ] && [ -n "$term" ] && { detail+=" "; add_ms $((term - answered)) " from cancel's return"; }
  if [ -n "$forked" ]; then detail+=", fork at "; add_ms $((forked - at)) ""
  elif [ "$landed" != queued ]; then detail+=", no fork"
  fi
  detail+="; cancel took $(( (answered - asked) / 1000 )) ms"
  [ -z "$term" ] && detail+=" (no SIGTERM marked)"

  if [ "$printed_then" -eq 0 ]; then
    unprinted=$((unprinted + 1))
    if [ "$final" -ne 0 ]; then
      fail "trial $trial ($detail): nothing had printed when cancel returned, then $final bytes did"
    else
      silent=$((silent + 1))
      echo "trial $trial: $detail; 0 bytes printed"
    fi
  else
    after=$((final - printed_then))
    [ $after -gt $max_after ] && max_after=$after
    if [ $after -gt $kBlockBound ]; then
      fail "trial $trial ($detail): $after bytes arrived after cancel returned (at $printed_then)"
    else
      echo "trial $trial: $detail; $printed_then bytes printed, $after after cancel returned"
    fi
  fi

  # Wherever in the home the backend keeps them (a folder of each port's).
  for queue_file in $(find "$home" -name cups-queue.txt); do
    grep -q '[^[:space:]]' "$queue_file" &&
      fail "trial $trial: the job's record is left in $queue_file: $(head -c 300 "$queue_file")"
  done
  left=$(find "$home" -path '*/spool/*' -type f)
  [ -z "$left" ] || fail "trial $trial: spool files left: $left"
  state=$(job_state "$job")
  [ "$state" = canceled ] || fail "trial $trial: the job is $state, not canceled"

  : >"$out"
  echo "0 0" >"$work/delays"
  lp -d Card -o raw "$work/next.bin" >/dev/null
  if ! wait_for '! jobs_left Card' 20 || ! cmp -s "$work/next.expected" "$out"; then
    fail "trial $trial: the next job printed $(size_of "$out") of its $(size_of "$work/next.expected") bytes"
    show_logs
  fi
done

# The record check above looked at something.
[ -n "$(find "$home" -name cups-queue.txt)" ] || fail "the backend's queue file is nowhere in $home"

summary=""
for landed in queued spooling sync start printing; do summary+=" $landed ${hit[$landed]:-0},"; done
echo "cancels landed:${summary%,} ($in_child while the spooler's child waited after the fork);" \
     "$unprinted returned before the printer's first byte" \
     "($silent of them printed nothing); the most bytes after cancel returned while printing:" \
     "$max_after; $((SECONDS - began)) s for $trials trials; load $(cut -d' ' -f1-3 /proc/loadavg)"
if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed (seed $seed)" >&2
  exit 1
fi
echo "cups cancel check passed"
