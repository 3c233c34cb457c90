#!/usr/bin/env bash
# The Windows stage: installs the cross compiler and Wine, cross-builds
# Kelvane with the "windows" preset into build-windows, and runs the suites
# built for Windows under Wine (ctest, one at a time: they share the
# prefix's registry and win.ini), then the end-to-end run of the programs
# (tests/win32/e2e_wine.sh), the installer's install and uninstall
# (tests/win32/installer_wine.sh). The desktop spooler and its GUI suites
# need wxWidgets for Windows, built once per machine into ~/.cache/kelvane
# (scripts/build-wx-windows.sh). Wine gets an X server of its own (Xvfb)
# and a fresh prefix, copied from a booted one kept in ~/.cache/kelvane (a
# boot costs far more than a copy), keyed by the Wine version.
# Exit status non-zero when anything failed; timings on the way.
#   scripts/test-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
stage_start=$SECONDS
section() { printf '\n== %s (%s, %ds into the stage)\n' "$1" "$(date +%T)" $((SECONDS - stage_start)); }

section "packages"
scripts/install-deps.sh --windows

export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=true
section "wxWidgets for Windows"
t=$SECONDS
wx_prefix="$(scripts/build-wx-windows.sh | tail -1)"
echo "wxWidgets: $((SECONDS - t)) s ($wx_prefix)"

section "cross build (build-windows)"
t=$SECONDS
cmake --preset windows -DCMAKE_BUILD_TYPE=None -DCMAKE_C_FLAGS=-O1 -DCMAKE_CXX_FLAGS=-O1 \
  -DKELVANE_GUI=ON -DKELVANE_WX_MSW_PREFIX="$wx_prefix" >/dev/null
ninja -C build-windows -j"$(nproc)"
echo "cross build: $((SECONDS - t)) s"

work="$(mktemp -d /tmp/kelvane-windows-XXXXXX)"
xvfb_pid=""
cupsd_pid=""
cleanup() {
  [ -n "$cupsd_pid" ] && kill "$cupsd_pid" 2>/dev/null || true
  if [ -n "${KELVANE_WINEPREFIX:-}" ]; then
    WINEPREFIX="$KELVANE_WINEPREFIX" /usr/lib/wine/wineserver -k 2>/dev/null || true
  fi
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

section "an X server for Wine"
# The first display number nobody holds.
display=90
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.05; done
[ -e "/tmp/.X11-unix/X$display" ] || { cat "$work/xvfb.log"; echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display"
echo "DISPLAY=$DISPLAY"

section "a fresh Wine prefix"
wine_version="$(/usr/lib/wine/wine64 --version 2>/dev/null | tr -cs 'A-Za-z0-9.\n' '-')"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/kelvane"
template="$cache/wine-prefix-$wine_version"
t=$SECONDS
if [ ! -f "$template/system.reg" ]; then
  mkdir -p "$cache"
  rm -rf "$template.new"
  # run_wine.sh boots a prefix that has none yet; wineserver -w waits until
  # everything it started has written the registry out.
  KELVANE_WINEPREFIX="$template.new" tests/win32/run_wine.sh cmd /c exit >/dev/null 2>&1 || true
  WINEPREFIX="$template.new" /usr/lib/wine/wineserver -w || true
  [ -f "$template.new/system.reg" ] || { echo "wineboot made no prefix" >&2; exit 1; }
  rm -rf "$template"
  mv "$template.new" "$template"
  echo "booted a prefix for $wine_version in $((SECONDS - t)) s (kept in $template)"
fi
t=$SECONDS
export KELVANE_WINEPREFIX="$work/prefix"
cp -a "$template" "$KELVANE_WINEPREFIX"
echo "prefix copied in $((SECONDS - t)) s: $KELVANE_WINEPREFIX"
# One server for the whole stage: each program would otherwise start its own.
# Its standard streams are not ours: whoever reads our output (ctest, the
# CI log) would otherwise wait for the server to end.
WINEPREFIX="$KELVANE_WINEPREFIX" /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1
# The prefix's services start with the first program and live as long as
# the server: started here, they hold none of the suites' output pipes
# (ctest would wait for those to close).
tests/win32/run_wine.sh cmd /c exit </dev/null >/dev/null 2>&1 || true

section "a print service for Wine's printer list"
# Wine lists the print service's queues as the system's installed printers
# (EnumPrintersA; their ports are "CUPS:<queue>"). A private cupsd of the
# stage's own offers two, so that the Settings page has the system's
# printers to list; the machine's print service is not touched.
# shellcheck source=../tests/check_lib.sh
source tests/check_lib.sh
start_private_cupsd "$(command -v cupsd || echo /usr/sbin/cupsd)" "$work/cups" "" "FileDevice Yes"
cupsd_pid=$pid
for queue in VORNA_Tamrel Writer; do
  lpadmin -h "$CUPS_SERVER" -p "$queue" -v file:/dev/null -E
done
echo "CUPS_SERVER=$CUPS_SERVER: $(lpstat -h "$CUPS_SERVER" -p | cut -d' ' -f2 | tr '\n' ' ')"

failed=()
section "suites under Wine (ctest -j1)"
t=$SECONDS
(cd build-windows && ctest -j1 --output-on-failure --timeout 600) || failed+=("suites")
echo "suites: $((SECONDS - t)) s"
# The GUI suites' screenshots are BMP (no PNG handler in that wxWidgets).
for shot in build-windows/gui-artefacts/*.bmp; do
  if [ -f "$shot" ]; then convert "$shot" "${shot%.bmp}.png"; fi
done

section "end to end under Wine"
t=$SECONDS
tests/win32/e2e_wine.sh "$root/build-windows" || failed+=("end to end")
echo "end to end: $((SECONDS - t)) s"

section "installer under Wine"
t=$SECONDS
if ninja -C build-windows kelvane_setup >"$work/setup.log" 2>&1; then
  desktop=""
  [ -f build-windows/app/wx/kelvane.exe ] && desktop=--with-desktop
  tests/win32/installer_wine.sh "build-windows/kelvane-setup-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-windows/CMakeCache.txt).exe" $desktop ||
    failed+=("installer")
else
  cat "$work/setup.log"
  failed+=("installer build")
fi
echo "installer: $((SECONDS - t)) s"

section "done"
if [ ${#failed[@]} -gt 0 ]; then
  echo "Windows stage FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "Windows stage passed in $((SECONDS - stage_start)) s"
