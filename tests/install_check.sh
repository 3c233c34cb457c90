#!/usr/bin/env bash
# Checks what installation delivers: installs the build into a temporary
# DESTDIR and builds the Debian package, then compares both file lists with
# what must be there (and nothing else), runs the installed programs against
# a temporary home, and reads the package's control data.
#
#   tests/install_check.sh BUILD_DIR PROGRAM...
#
# PROGRAM... are the programs this build made (the install rules install
# only those); kelvane-cups-backend among them is the CUPS backend, installed
# as usr/lib/cups/backend/kelvane. Exit 0 all good, 1 a check failed, 77 a tool is missing
# (CTest counts that as skipped).
set -uo pipefail

build=${1:?usage: install_check.sh BUILD_DIR PROGRAM...}
shift
programs=()
backend=no
for p in "$@"; do
  if [ "$p" = kelvane-cups-backend ]; then backend=yes; else programs+=("$p"); fi
done
build=$(cd "$build" && pwd)

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
. "$(dirname "$0")/check_lib.sh"
has() { for p in "${programs[@]}"; do [ "$p" = "$1" ] && return 0; done; return 1; }

for tool in cmake cpack dpkg-deb gzip; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ ${#programs[@]} -gt 0 ] || skip "this build made no programs"
# The checks below are optional on a developer's machine; CI has them all.
if [ "${CI:-}" = true ]; then
  for tool in man desktop-file-validate dpkg readelf apt-get; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
  done
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-install-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

# ---------------------------------------------------------------- expected
expected=()
for p in "${programs[@]}"; do
  expected+=("usr/bin/$p" "usr/share/man/man1/$p.1.gz")
done
if has kelvane; then
  expected+=(usr/share/applications/kelvane.desktop
             usr/share/icons/hicolor/32x32/apps/kelvane.png
             usr/share/icons/hicolor/64x64/apps/kelvane.png
             usr/share/icons/hicolor/128x128/apps/kelvane.png
             usr/share/icons/hicolor/scalable/apps/kelvane.svg)
  # The manual the Help menu opens; rendered where groff is (always in CI).
  if [ -f "$build/doc/kelvane.html" ] || [ "${CI:-}" = true ]; then
    expected+=(usr/share/doc/kelvane/kelvane.html)
  fi
fi
[ $backend = yes ] && expected+=(usr/lib/cups/backend/kelvane)
expected+=(usr/share/doc/kelvane/README-printer.md)
printf '%s\n' "${expected[@]}" | sort >"$work/expected"

# Lists differ: say which file is missing and which is extra.
compare_lists() {  # WHAT ACTUAL_FILE
  if diff -q "$work/expected" "$2" >/dev/null; then
    pass "$1: exactly the expected ${#expected[@]} files"
  else
    fail "$1 differs from the expected files (< missing, > unexpected):"
    diff "$work/expected" "$2" | grep '^[<>]' >&2
  fi
}

# ---------------------------------------------------------------- DESTDIR
root="$work/root"
if ! DESTDIR="$root" cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  fail "cmake --install failed"
  exit 1
fi
(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort) >"$work/installed"
compare_lists "cmake --install" "$work/installed"

for p in "${programs[@]}"; do
  [ -x "$root/usr/bin/$p" ] || fail "usr/bin/$p is not executable"
  page="$root/usr/share/man/man1/$p.1.gz"
  if ! gzip -t "$page" 2>/dev/null; then
    fail "$p.1.gz is not a gzip file"
    continue
  fi
  text=$(gzip -dc "$page")
  for section in NAME SYNOPSIS FILES "EXIT STATUS" EXAMPLES; do
    grep -q "^\.SH \"\?$section" <<<"$text" || fail "$p(1) has no $section section"
  done
  for word in KELVANE_HOME registry.reg win.ini; do
    grep -q -- "$word" <<<"$text" || fail "$p(1) does not mention $word"
  done
  if command -v man >/dev/null; then
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=all -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$p(1) renders with warnings: $warnings"
  fi
done
pass "programs executable, manual pages readable"

# The print service runs a backend of mode 0755 as its user lp, one that
# others may not execute as root; ours needs no root.
if [ $backend = yes ]; then
  mode=$(stat -c %a "$root/usr/lib/cups/backend/kelvane" 2>/dev/null)
  [ "$mode" = 755 ] || fail "usr/lib/cups/backend/kelvane has mode $mode, not 755"
fi

if has kelvane; then
  page=$(gzip -dc "$root/usr/share/man/man1/kelvane.1.gz")
  # The port error numbers and the device group a user needs to know.
  for needle in '\[ports\]' '\[devices\]' '\.B lp' 'Spooler Error' \
                '^\.B 1$' '^\.B 2$' '^\.B 13$' '^\.B 16$' '^\.B 19$'; do
    grep -q -- "$needle" <<<"$page" || fail "kelvane(1) lacks $needle"
  done
  desktop="$root/usr/share/applications/kelvane.desktop"
  grep -qx 'Exec=kelvane' "$desktop" || fail "the desktop entry does not start kelvane"
  grep -qx 'Icon=kelvane' "$desktop" || fail "the desktop entry has no kelvane icon"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the entry"
  fi
  for size in 32 64 128; do
    icon="$root/usr/share/icons/hicolor/${size}x${size}/apps/kelvane.png"
    # PNG signature, then the IHDR width and height (big-endian).
    header=$(od -An -tx1 -N24 "$icon" | tr -d ' \n')
    want=$(printf '89504e470d0a1a0a0000000d49484452%08x%08x' "$size" "$size")
    [ "$header" = "$want" ] || fail "kelvane.png at ${size}x${size} is not a ${size}x${size} PNG"
  done
  pass "desktop entry and icons"
fi

# The installed programs run from their new place, and setting up a user
# touches only that user's KELVANE_HOME.
fakehome="$work/home"
mkdir -p "$fakehome"
if has kelvane-driver; then
  khome="$work/kelvane-home"
  if HOME="$fakehome" KELVANE_HOME="$khome" "$root/usr/bin/kelvane-driver" install; then
    [ -f "$khome/registry.reg" ] || fail "kelvane-driver install made no registry.reg"
    grep -q '^\[ports\]' "$khome/win.ini" 2>/dev/null || fail "kelvane-driver install made no [ports]"
    [ -d "$khome/spool" ] && [ -d "$khome/run" ] || fail "kelvane-driver install made no spool/ or run/"
    pass "installed kelvane-driver sets up a home"
  else
    fail "installed kelvane-driver install failed"
  fi
fi
if has kelvane-headless; then
  HOME="$fakehome" KELVANE_HOME="$work/headless-home" \
    timeout 20 "$root/usr/bin/kelvane-headless" -x </dev/null >/dev/null 2>&1
  status=$?
  [ $status -eq 2 ] || fail "installed kelvane-headless -x exits $status, not 2"
fi
if [ $backend = yes ]; then
  # Run without arguments, as lpinfo does: the [ports] of its home.
  bhome="$work/backend-home"
  mkdir -p "$bhome"
  printf '[ports]\nLPT2:=/dev/usb/lp0\n' >"$bhome/win.ini"
  listing=$(HOME="$fakehome" KELVANE_HOME="$bhome" "$root/usr/lib/cups/backend/kelvane")
  [ "$listing" = 'direct kelvane:/LPT2: "VORNA printer" "Kelvane LPT2: (/dev/usb/lp0)"' ] ||
    fail "the installed backend lists: $listing"
  pass "installed CUPS backend lists the ports"
fi
[ -z "$(ls -A "$fakehome")" ] || fail "a program wrote into HOME: $(ls -A "$fakehome")"

# ---------------------------------------------------------------- package
pkgdir="$work/pkg"
if ! (cd "$build" && cpack -G DEB -B "$pkgdir") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack -G DEB failed"
  exit 1
fi
debs=("$pkgdir"/kelvane_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  fail "cpack made no single kelvane_*.deb: $(ls "$pkgdir")"
  exit 1
fi
deb=${debs[0]}
pass "package $(basename "$deb")"

dpkg-deb -c "$deb" >"$work/contents" || fail "dpkg-deb -c cannot read the package"
awk '$1 !~ /^d/ {print $6}' "$work/contents" | sed 's|^\./||' | sort >"$work/packaged"
compare_lists "dpkg-deb -c" "$work/packaged"
if awk '{print $2}' "$work/contents" | grep -qv '^root/root$'; then
  fail "package files not owned by root/root"
fi
for p in "${programs[@]}"; do
  grep -q "^-rwxr-xr-x .* \./usr/bin/$p\$" "$work/contents" || fail "usr/bin/$p is not mode 0755 in the package"
done
if [ $backend = yes ]; then
  grep -q '^-rwxr-xr-x .* \./usr/lib/cups/backend/kelvane$' "$work/contents" ||
    fail "usr/lib/cups/backend/kelvane is not mode 0755 in the package"
fi

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kelvane ] || fail "Package is '$(field Package)', not kelvane"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -z "$version" ] || [ "$(field Version)" = "$version" ] ||
  fail "Version is '$(field Version)', not $version"
if command -v dpkg >/dev/null; then
  arch=$(dpkg --print-architecture)
  [ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)', not $arch"
fi
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
echo "Depends: $depends"
needs=(libc6 libstdc++6)
# What the programs link is what the package must depend on.
if command -v readelf >/dev/null; then
  for p in "${programs[@]}"; do
    needed=$(readelf -d "$root/usr/bin/$p" 2>/dev/null)
    grep -q 'libcups\.so' <<<"$needed" && needs+=(libcups2)
    grep -q 'libwx_gtk3u_core' <<<"$needed" && needs+=(libwxgtk3.2-1)
  done
fi
# A program that loads libcups when it lists printers names its soname as a
# string rather than in NEEDED: the package recommends the library then.
for p in "${programs[@]}"; do
  if grep -aq 'libcups\.so\.2' "$root/usr/bin/$p"; then
    if tr ',|' '\n\n' <<<"$(field Recommends)" | sed 's/(.*)//; s/ //g' | grep -qx libcups2; then
      pass "$p loads libcups.so.2 when it lists printers; the package recommends libcups2"
    else
      fail "$p loads libcups.so.2 but Recommends lacks libcups2"
    fi
    break
  fi
done
# Package names alone, one a line: "libc6 (>= 2.34), a | b" -> libc6 a b
depends_names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*)//; s/:.*//; s/ //g')
for n in "${needs[@]}"; do
  grep -qxF "$n" <<<"$depends_names" || fail "Depends lacks $n"
done
# Installing must not create files in anyone's home. The only maintainer
# scripts (with the CUPS backend) make and purge the backend's spooler home.
dpkg-deb -I "$deb" >"$work/info"
for script in preinst postinst prerm postrm; do
  grep -Eq "^ +[0-9]+ bytes, +[0-9]+ lines +\*? *$script( |$)" "$work/info" || continue
  if [ $backend = no ] || [ $script = preinst ] || [ $script = prerm ]; then
    fail "the package has a $script script"
    continue
  fi
  text=$(dpkg-deb -I "$deb" "$script")
  touched=$(grep -v '^ *#' <<<"$text" | grep -o '/[A-Za-z0-9_./-]*' | grep -vx /dev/null | sort -u | tr '\n' ' ')
  [ "$touched" = "/var/lib/kelvane " ] || fail "$script touches more than /var/lib/kelvane: $touched"
done
if [ $backend = yes ]; then
  dpkg-deb -I "$deb" postinst 2>/dev/null | grep -q 'install -d -o lp -g lp -m 0700 /var/lib/kelvane' ||
    fail "postinst does not make /var/lib/kelvane for lp"
fi
pass "control data"

# Installable as a user would: apt resolves the package's dependencies
# (simulation only, nothing changes on this machine).
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  if apt-get install -s "$deb" >"$work/apt.log" 2>&1; then
    pass "apt-get install -s accepts the package"
  else
    cat "$work/apt.log" >&2
    fail "apt-get install -s rejects the package"
  fi
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install check passed"
