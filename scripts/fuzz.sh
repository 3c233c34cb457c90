#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan, build-fuzz/) and runs each
# of them on its seed corpus, then prints the runs each reached.
#
#   scripts/fuzz.sh                    every target for 600 s
#   scripts/fuzz.sh --seconds 60       every target for 60 s
#   scripts/fuzz.sh --runs 20000       every target for 20000 runs (CI)
#   scripts/fuzz.sh --only win_ini,registry_file --parallel 2
#
# New inputs that reach new code go to build-fuzz/fuzz-work/TARGET/ (kept
# between runs); the seeds in fuzz/corpus/TARGET/ are only read. A crash
# leaves its input in build-fuzz/fuzz-artifacts/TARGET/ and makes the script
# fail: minimise it, fix the fault, and keep it as a regression under
# fuzz/regressions/TARGET/ (tests/fuzz_regression_test.cpp replays those).
# Environment: BUILD_DIR (default build-fuzz), JOBS for ninja (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

seconds=600
runs=""
only=""
parallel=1
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --parallel) parallel=$2; shift 2 ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "fuzz.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

build=${BUILD_DIR:-$root/build-fuzz}
jobs=${JOBS:-2}

targets=()
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  name=${name%_fuzz}
  if [ -n "$only" ] && [[ ",$only," != *",$name,"* ]]; then continue; fi
  targets+=("$name")
done
[ ${#targets[@]} -gt 0 ] || { echo "fuzz.sh: no targets" >&2; exit 2; }

command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is needed" >&2; exit 2; }
echo "== building ${targets[*]} in $build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_FUZZ=ON -DKELVANE_GUI=OFF \
  -DKELVANE_BENCH=OFF >/dev/null
ninja -C "$build" -j"$jobs" "${targets[@]/%/_fuzz}"

logs=$build/fuzz-logs
mkdir -p "$logs"

# run_one TARGET: one libFuzzer session; its output goes to a log.
# libFuzzer's per-input time limit stays at its default on purpose: a short
# one arms a frequent alarm that interrupts the targets' socket calls.
run_one() {
  local t=$1
  local work=$build/fuzz-work/$t artifacts=$build/fuzz-artifacts/$t
  mkdir -p "$work" "$artifacts"
  local limit=(-max_total_time="$seconds")
  [ -n "$runs" ] && limit=(-runs="$runs")
  local seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds+=("fuzz/corpus/$t")
  "$build/fuzz/${t}_fuzz" "$work" "${seeds[@]}" "${limit[@]}" \
    -print_final_stats=1 -artifact_prefix="$artifacts/" >"$logs/$t.log" 2>&1
}

if [ -n "$runs" ]; then what="$runs runs"; else what="$seconds s"; fi
echo "== fuzzing ${#targets[@]} targets, $what each, $parallel at a time (logs in $logs)"
declare -A status
pids=()
names=()
for t in "${targets[@]}"; do
  while [ ${#pids[@]} -ge "$parallel" ]; do
    if wait "${pids[0]}"; then status[${names[0]}]=0; else status[${names[0]}]=$?; fi
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  done
  run_one "$t" &
  pids+=($!)
  names+=("$t")
done
for i in "${!pids[@]}"; do
  if wait "${pids[$i]}"; then status[${names[$i]}]=0; else status[${names[$i]}]=$?; fi
done

# Runs reached: the final statistics, else libFuzzer's last "Done" or
# progress line.
runs_of() {
  local log=$1 n
  n=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -1)
  [ -z "$n" ] && n=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -1)
  [ -z "$n" ] && n=$(sed -n 's/^#\([0-9]*\)[[:space:]].*/\1/p' "$log" | tail -1)
  echo "${n:-?}"
}

failed=0
printf '\n%-18s %12s %10s  %s\n' target runs exec/s result
for t in "${targets[@]}"; do
  log=$logs/$t.log
  n=$(runs_of "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *\([0-9]*\).*/\1/p' "$log" | tail -1)
  if [ "${status[$t]}" -eq 0 ]; then
    result=ok
  else
    failed=1
    artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    result="FAILED (exit ${status[$t]}${artifact:+, input $artifact}; see $log)"
  fi
  printf '%-18s %12s %10s  %s\n' "$t" "$n" "${rate:-?}" "$result"
done
exit $failed
