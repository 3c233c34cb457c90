#!/usr/bin/env bash
# wxWidgets for Windows, cross-built with mingw-w64 from Debian's own source
# package, for the desktop spooler's Windows build (kelvane.exe). Built once
# per machine into a cache outside the tree, keyed by the package version:
#   ~/.cache/kelvane/wx-msw-<version>/   (lib/, include/, bin/wx-config)
# A second run finds it there and only prints its path.
# Debian's tarball leaves out the bundled zlib, libpng, libjpeg, libtiff and
# expat: wxWidgets is configured without them (the spooler reads and writes
# no image files and no XML; its icon is a Windows resource), and only the
# libraries the spooler links (base and core) are built.
#   scripts/build-wx-windows.sh          prints the prefix on its last line
set -euo pipefail
cd "$(dirname "$0")/.."

cache="${XDG_CACHE_HOME:-$HOME/.cache}/kelvane"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

# Source packages come from a deb-src entry for the archive the machine
# already uses.
if ! apt-cache showsrc wxwidgets3.2 >/dev/null 2>&1 ||
   [ -z "$(apt-cache showsrc wxwidgets3.2 2>/dev/null)" ]; then
  src_list=/etc/apt/sources.list.d/kelvane-deb-src.sources
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $sudo tee "$src_list" >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $sudo tee "${src_list%.sources}.list" >/dev/null
  fi
  $sudo apt-get update -qq
fi
version="$(apt-cache showsrc wxwidgets3.2 | awk '/^Version:/ {print $2; exit}')"
[ -n "$version" ] || { echo "no source package wxwidgets3.2 in the apt sources" >&2; exit 1; }
prefix="$cache/wx-msw-$version"
if [ -f "$prefix/.complete" ]; then
  echo "wxWidgets $version for Windows: cached"
  echo "$prefix"
  exit 0
fi

start=$SECONDS
work="$cache/wx-build-$version"
rm -rf "$work" "$prefix"
mkdir -p "$work"
(cd "$work" && apt-get source -qq "wxwidgets3.2=$version" >/dev/null)
source_dir="$(find "$work" -maxdepth 1 -type d -name 'wxwidgets3.2-*' | head -1)"
[ -d "$source_dir" ] || { echo "apt-get source gave no source tree" >&2; exit 1; }

mkdir -p "$work/build"
cd "$work/build"
launcher=""
command -v ccache >/dev/null && launcher="ccache "
"$source_dir/configure" --host=x86_64-w64-mingw32 --build="$(gcc -dumpmachine)" \
  --prefix="$prefix" --with-msw --disable-shared --enable-unicode \
  CC="${launcher}x86_64-w64-mingw32-gcc-posix" CXX="${launcher}x86_64-w64-mingw32-g++-posix" \
  --without-zlib --without-libpng --without-libjpeg --without-libtiff --without-expat \
  --without-liblzma --without-libcurl --without-opengl --with-regex=builtin \
  --disable-xrc --disable-html --disable-aui --disable-propgrid \
  --disable-ribbon --disable-richtext --disable-stc --disable-webview --disable-mediactrl \
  --disable-sockets --disable-protocols --disable-url --disable-fs_inet --disable-svg \
  --disable-debug_info >configure.log 2>&1 || { tail -30 configure.log; exit 1; }
make -j"$(nproc)" >make.log 2>&1 || { tail -40 make.log; exit 1; }
make install >install.log 2>&1 || { tail -20 install.log; exit 1; }
touch "$prefix/.complete"
cd /
rm -rf "$work"
echo "wxWidgets $version for Windows: built in $((SECONDS - start)) s"
echo "$prefix"
