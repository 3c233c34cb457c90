# Shared by the checks that print through the print service (sourced, after
# check_lib.sh): a private cupsd on a Unix socket in a temporary directory
# (no network, the machine's own print service untouched) whose ServerBin is
# a tree of links to the stock helpers plus our backend as backend/kelvane,
# a spooler home whose port LPT1: goes to the virtual printer, and the
# helpers the checks share.
#
#   start_kelvane_print_service SCRIPT BACKEND HEADLESS DRIVER PRINTER
#
# Skips (check_lib.sh) when cupsd, lpadmin or a client tool is missing.
# Leaves: work, bin (ServerBin), home, sock (the virtual printer's socket),
# out (what it received), headless/driver/printer (copies lp may run),
# lpadmin, pid (cupsd) and printer_pid, all stopped and removed on exit,
# as are the processes whose ids a check adds to extra_pids. Lines in
# cupsd_extra go to cupsd.conf.

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  [ -n "$printer_pid" ] && kill "$printer_pid" 2>/dev/null && wait "$printer_pid" 2>/dev/null
  for extra in "${extra_pids[@]}"; do
    kill "$extra" 2>/dev/null && wait "$extra" 2>/dev/null
  done
  rm -rf "$work"
}

start_kelvane_print_service() {
  backend=${2:?usage: $1 BACKEND HEADLESS DRIVER PRINTER}
  headless=${3:?}
  driver=${4:?}
  printer=${5:?}
  cupsd=$(command -v cupsd || echo /usr/sbin/cupsd)
  lpadmin=$(command -v lpadmin || echo /usr/sbin/lpadmin)
  [ -x "$cupsd" ] || skip "no cupsd"
  [ -x "$lpadmin" ] || skip "no lpadmin"
  for tool in lp lpstat lpinfo cancel; do
    command -v "$tool" >/dev/null || skip "no $tool"
  done
  stock=/usr/lib/cups
  [ -d "$stock/backend" ] || skip "no $stock/backend"

  work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-cups-backend.XXXXXX")
  pid=""
  printer_pid=""
  extra_pids=()
  trap cleanup EXIT
  chmod 755 "$work"

  # As root, cupsd runs a backend of mode 0755 as its User (lp), as it will
  # run the installed one; the spooler's home, the virtual printer and the
  # spooler then belong to lp too.
  as_spooler=()
  if [ "$(id -u)" -eq 0 ]; then
    as_spooler=(setpriv --reuid=lp --regid=lp --init-groups)
  fi

  # ServerBin: the stock helpers by link, our backend as a file of its own
  # (cupsd refuses backends that others may change).
  bin="$work/serverbin"
  mkdir -p "$bin/backend"
  for entry in "$stock"/*; do
    [ "$(basename "$entry")" = backend ] || ln -s "$entry" "$bin/"
  done
  for entry in "$stock"/backend/*; do ln -s "$entry" "$bin/backend/"; done
  install -m 0755 "$backend" "$bin/backend/kelvane"
  # The programs run as lp, who may not reach the build tree: copies of them.
  mkdir -p "$work/bin"
  for program in "$headless" "$driver" "$printer"; do
    install -m 0755 "$program" "$work/bin/"
  done
  headless="$work/bin/$(basename "$headless")"
  driver="$work/bin/$(basename "$driver")"
  printer="$work/bin/$(basename "$printer")"

  home="$work/home"
  mkdir -p "$home"
  if [ "$(id -u)" -eq 0 ]; then
    chown lp "$home"
  fi
  chmod 700 "$home"
  run "$driver" install >/dev/null || { echo "FAIL: kelvane-driver install" >&2; exit 1; }
  sock="$home/run/printer.sock"
  out="$sock.prn"

  # printers.conf written at once: the marker levels are read from there.
  start_private_cupsd "$cupsd" "$work" $'LogLevel debug\nMaxLogSize 0\nDirtyCleanInterval 0\n'"${cupsd_extra:-}" \
    "ServerBin $bin
SetEnv KELVANE_HOME $home
SetEnv KELVANE_HEADLESS $headless
SetEnv KELVANE_ON_FAULT retry=2"
}

run() { env KELVANE_HOME="$home" "${as_spooler[@]}" "$@"; }

# The attributes cupsd keeps for queue $1 in printers.conf.
queue_attributes() {
  sed -n "/^<Printer $1>/,/^<\/Printer>/p" "$work/printers.conf" 2>/dev/null
}

show_logs() {
  echo "--- backend and spooler lines of the print service's log:" >&2
  grep -E '\[Job [0-9]+\] (STATE|INFO|ATTR|DEBUG|ERROR):? ' "$work/log/error_log" 2>/dev/null |
    grep -v 'DEBUG2' | tail -40 >&2
}

# Waits up to $2 seconds (default 30) for the command $1 to succeed.
wait_for() {
  local limit=$(( ${2:-30} * 10 ))
  for _ in $(seq "$limit"); do
    eval "$1" && return 0
    sleep 0.1
  done
  return 1
}
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }
jobs_left() { [ -n "$(lpstat -o "$1" 2>/dev/null)" ]; }
prefix() { printf '\033\000\004\105\000\000'; }

start_printer() {
  # Not through the function: $! must be the printer itself (env and
  # setpriv exec it), or the clean-up would stop a subshell and leave it.
  env KELVANE_HOME="$home" "${as_spooler[@]}" "$printer" "$@" "$sock" >"$work/printer.log" 2>&1 &
  printer_pid=$!
  wait_for "[ -S '$sock' ]" 10 || { echo "FAIL: kelvane-printer did not start" >&2; exit 1; }
}
ctl() { run "$printer" ctl "$sock" "$@" >/dev/null; }
