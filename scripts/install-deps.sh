#!/usr/bin/env bash
# Installs what Kelvane needs to build, test, benchmark and demonstrate on
# Debian 12: everything any test, benchmark or script uses, so that nothing
# depends on what happens to be on a developer's machine.
# Run as root (or with sudo available). Safe to run again.
#   scripts/install-deps.sh             what the Linux build and tests use
#   scripts/install-deps.sh --windows   what the Windows stage uses
#                                       (scripts/test-windows.sh) instead
#
# Who needs what:
#   build (every tree)        build-essential cmake ninja-build ccache pkg-config
#                             libcli11-dev (kelvane-driver, kelvane-headless)
#   unit/threaded/e2e suites  libgtest-dev libgmock-dev googletest
#   benchmarks (bench/run)    libbenchmark-dev; the print-service comparison
#                             runs cupsd, lpadmin, lp from cups below
#   desktop spooler, GUI      libwxgtk3.2-dev (with the X11 headers the
#   suites (tests/gui)        screenshots use); xvfb xauth (xvfb-run),
#                             fonts-dejavu-core (legible screenshots);
#                             xdotool x11-apps imagemagick to drive and look
#                             at the desktop spooler by hand under Xvfb
#   print-service printers    libcups2 (loaded for the Settings page's list;
#                             libcups2-dev: its headers check our declarations);
#   (cups_check, the kelvane  cups-daemon (cupsd), cups-client (lpadmin, lp,
#   backend's checks, bench)  lpstat, lpinfo, cancel) and cups (its socket,
#                             parallel and usb backends and the user lp:
#                             lpadmin refuses a socket:// queue without them);
#                             cups-ipp-utils (ipptool and CUPS's IPP test
#                             files: the cancel and ipptool checks)
#   install_check             dpkg-dev (cpack's shlibdeps), desktop-file-utils
#                             (desktop-file-validate), man-db (man -l)
#   fuzz targets              clang libclang-rt-14-dev (libFuzzer, sanitizers)
#   security suite, queue     setpriv and mount (util-linux, mount: part of
#   file suite (full disk)    every Debian system), the user nobody
#   port benchmark            socat (the dd comparison on a socket)
#   scripts/demo.sh           xxd (the first bytes the printer received)
#
# The Windows stage (--windows):
#   cross build               g++-mingw-w64-x86-64 (its -posix compilers, whose
#                             C++ runtime has std::thread), cmake ninja-build
#                             ccache
#   the suites for Windows    googletest (the sources, built with the cross
#                             compiler: no Windows GoogleTest is packaged)
#   kelvane-driver.exe        libcli11-dev (headers only: the build machine's
#                             copy serves the cross build)
#   running the programs and  wine64 (the loader and wineserver; wineboot
#   suites, the end-to-end    makes the prefix)
#   run
#   Wine's printer list       cups-daemon (a private cupsd with two queues,
#                             which Wine lists through libcups), cups-client
#                             (lpadmin, lpstat)
#   a display for Wine        xvfb xauth (the spooler's windows, even the
#                             headless one's hidden window, need an X server)
#   kelvane.exe               dpkg-dev make (scripts/build-wx-windows.sh: the
#                             wxWidgets source package, built for Windows)
#   the installer             nsis (makensis), groff-base (the manual pages
#                             as text)
#   the GUI suites' shots     imagemagick (Windows saves BMP; kept as PNG)
set -euo pipefail

linux_packages=(
  build-essential cmake ninja-build ccache pkg-config
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libcli11-dev
  libwxgtk3.2-dev
  xvfb xauth xdotool x11-apps imagemagick fonts-dejavu-core
  socat xxd
  libcups2-dev cups cups-daemon cups-client cups-ipp-utils
  desktop-file-utils dpkg-dev man-db groff-base
)
windows_packages=(
  cmake ninja-build ccache
  g++-mingw-w64-x86-64 googletest libcli11-dev
  wine64 xvfb xauth
  dpkg-dev make nsis groff-base imagemagick
  cups-daemon cups-client
)
case "${1:-}" in
  "") packages=("${linux_packages[@]}") ;;
  --windows) packages=("${windows_packages[@]}") ;;
  *) echo "usage: $0 [--windows]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
