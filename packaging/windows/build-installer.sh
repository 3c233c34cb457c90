#!/usr/bin/env bash
# Builds the Windows installer from a Windows build tree: stages the
# programs (stripped of their debugging symbols: the build keeps its own
# copies for debugging), the icon, the licence page's text and the manual
# pages (groff's plain-text rendering, with Windows line ends, for Notepad)
# and runs makensis (package nsis) on packaging/windows/kelvane.nsi.
# kelvane.exe goes in when the tree has it (a build with wxWidgets for
# Windows); the other programs always.
#   packaging/windows/build-installer.sh [BUILD_DIR]   (default build-windows)
# Writes BUILD_DIR/kelvane-setup-<version>.exe and prints its path.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:-$root/build-windows}" && pwd)"
command -v makensis >/dev/null || { echo "makensis not found (Debian: nsis)" >&2; exit 1; }
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
[ -n "$version" ] || { echo "$build is not a configured build tree" >&2; exit 1; }

stage="$build/installer-stage"
rm -rf "$stage"
mkdir -p "$stage/manual"
for program in kelvane-headless kelvane-driver kelvane-printer kelvane; do
  exe="$(find "$build" -name "$program.exe" -not -path "$stage/*" -print -quit)"
  if [ -z "$exe" ]; then
    [ "$program" = kelvane ] && continue  # built only with wxWidgets
    echo "$program.exe is not built in $build" >&2
    exit 1
  fi
  cp "$exe" "$stage/"
done
# The build tree's own strip (the cross one), else the usual name.
strip_tool="$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$build/CMakeCache.txt")"
[ -x "$strip_tool" ] || strip_tool="$(command -v x86_64-w64-mingw32-strip || true)"
[ -n "$strip_tool" ] || { echo "no strip for Windows programs (Debian: binutils-mingw-w64-x86-64)" >&2; exit 1; }
"$strip_tool" --strip-all "$stage"/*.exe
cp "$root/res/kelvane.ico" "$stage/"
# The licence page shows the repository's LICENSE; until there is one, a
# note that says so.
licence="$root/LICENSE"
[ -f "$licence" ] || licence="$root/packaging/windows/licence-pending.txt"
sed 's/\r*$/\r/' "$licence" >"$stage/licence.txt"
for page in "$root"/packaging/man/*.[1-8]; do
  name="$(basename "${page%.*}")"
  # No overstrike, no escapes: plain ASCII text.
  groff -man -Tascii -P-c -P-b -P-u "$page" 2>/dev/null | sed 's/$/\r/' >"$stage/manual/$name.txt"
  [ -s "$stage/manual/$name.txt" ] || { echo "groff rendered nothing of $page" >&2; exit 1; }
done

out="$build/kelvane-setup-$version.exe"
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$out" \
  "$root/packaging/windows/kelvane.nsi" >&2
echo "$out"
