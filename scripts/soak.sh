#!/usr/bin/env bash
# Long soak runs against the real programs: the crash soak (SIGKILL of the
# spooler at chosen moments, recovery, invariants after every kill) and the
# driver load (several drivers appending while the spooler prints), on the
# simulated printer and on a plain-file port.
#   scripts/soak.sh                       300 kills, 8 drivers x 1000 records
#   scripts/soak.sh --kills N --drivers D --records R --seed S
#   scripts/soak.sh --asan                the same, built with ASan+UBSan
# Builds into build-soak (or build-soak-asan) with at most two jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

kills=300
drivers=8
records=1000
seed=$(date +%s)
sanitize=""
while [ $# -gt 0 ]; do
  case "$1" in
    --kills) kills=$2; shift 2 ;;
    --drivers) drivers=$2; shift 2 ;;
    --records) records=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --asan) sanitize=address; shift ;;
    *) echo "usage: $0 [--kills N] [--drivers D] [--records R] [--seed S] [--asan]" >&2
       exit 2 ;;
  esac
done

dir=build-soak${sanitize:+-asan}
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVANE_GUI=OFF \
  -DKELVANE_BENCH=OFF ${sanitize:+-DKELVANE_SANITIZE=$sanitize} >/dev/null
ninja -C "$dir" -j2 crash_soak driver_load

status=0
echo "== crash soak: $kills kills, seed $seed"
# About four kills a second at most; allow generously for slow machines.
"$dir/tests/soak/crash_soak" --kills "$kills" --seed "$seed" \
  --max-seconds $((kills * 4 + 60)) || status=1
echo "== driver load on the simulated printer: $drivers drivers x $records records"
"$dir/tests/soak/driver_load" --drivers "$drivers" --records "$records" --seed "$seed" || status=1
echo "== driver load on a file port"
"$dir/tests/soak/driver_load" --drivers "$drivers" --records "$records" --seed "$seed" \
  --file-port || status=1
exit $status
