#!/usr/bin/env bash
# Installs the build dependencies, builds Kelvane and runs every test suite:
# once plainly (unit, threaded, end-to-end, soak, install and, under Xvfb,
# GUI tests), once under AddressSanitizer+UndefinedBehaviorSanitizer, the
# threaded suites under ThreadSanitizer, each fuzz target for a short
# fixed number of runs, and the Windows stage (scripts/test-windows.sh: the
# mingw-w64 cross build, its suites and the programs end to end under Wine).
#   scripts/test.sh            everything
#   scripts/test.sh --quick    the plain build only
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/install-deps.sh

# Test builds are optimised lightly and carry no debug information: they
# compile in about half the time, and the sanitizers want -O1 anyway.
export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=true
jobs=$(nproc)
configure() {  # configure DIR [cmake args...]
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_C_FLAGS=-O1 -DCMAKE_CXX_FLAGS=-O1 -DKELVANE_BENCH=OFF "$@" >/dev/null
}
build() {  # build DIR [cmake args...]
  configure "$@"
  ninja -C "$1" -j"$jobs"
}
section() { printf '\n== %s (%s)\n' "$1" "$(date +%T)"; }

section "plain build"
# With the benchmarks, whose report has suites of its own (its command line
# and its tables); the sanitizer builds leave them out.
build build -DKELVANE_BENCH=ON
section "plain tests"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 600)

[ $quick -eq 1 ] && exit 0

section "AddressSanitizer + UndefinedBehaviorSanitizer"
build build-asan -DKELVANE_SANITIZE=address -DKELVANE_GUI=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j"$jobs" --timeout 600 -LE "e2e|install|cups|gui|soak")

section "ThreadSanitizer (threaded suites)"
configure build-tsan -DKELVANE_SANITIZE=thread -DKELVANE_GUI=OFF
# Only the threaded suites run here, so only they are built.
ninja -C build-tsan -j"$jobs" $(cd tests && ls *_thread_test.cpp | sed 's/\.cpp$//')
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 \
   ctest --output-on-failure -j"$jobs" --timeout 600 -L threaded)

section "fuzz targets, short runs"
scripts/fuzz.sh --runs 20000

section "the Windows stage: cross build, its suites and the programs under Wine"
scripts/test-windows.sh

section "done"
