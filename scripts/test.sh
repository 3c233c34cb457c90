#!/usr/bin/env bash
# Installs the build dependencies, builds Kelvane and runs every test suite:
# once plainly (unit, threaded, end-to-end and, under Xvfb, GUI tests), once
# under AddressSanitizer+UndefinedBehaviorSanitizer, and the threaded suites
# under ThreadSanitizer.
#   scripts/test.sh            everything
#   scripts/test.sh --quick    the plain build only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/install-deps.sh

jobs=$(nproc)
build() {  # build DIR [cmake args...]
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  ninja -C "$dir" -j"$jobs"
}

echo "== plain build"
build build
(cd build && ctest --output-on-failure -j"$jobs" --timeout 300)

[ $quick -eq 1 ] && exit 0

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DKELVANE_SANITIZE=address -DKELVANE_GUI=OFF -DKELVANE_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs" --timeout 600 -LE "e2e|install|cups|gui|soak")

echo "== ThreadSanitizer (threaded suites)"
build build-tsan -DKELVANE_SANITIZE=thread -DKELVANE_GUI=OFF -DKELVANE_BENCH=OFF
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 \
   ctest --output-on-failure -j"$jobs" --timeout 600 -L threaded)
