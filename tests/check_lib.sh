# Shared by the shell checks (sourced): the skip that fails under CI, and a
# private cupsd on a Unix socket in a work folder (no network, the
# machine's own print service untouched).

# A tool that is missing: skipped (exit 77) on a developer's machine, failed
# under CI (CI=true), where scripts/install-deps.sh installs every one.
skip() {
  if [ "${CI:-}" = true ]; then
    echo "FAIL: $* (CI=true: scripts/install-deps.sh must provide it)" >&2
    exit 1
  fi
  echo "SKIP: $*" >&2
  exit 77
}

# start_private_cupsd CUPSD WORK CUPSD_CONF_EXTRA FILES_CONF_EXTRA
# Writes cupsd.conf and cups-files.conf in WORK (each with the extra lines
# given), starts CUPSD in the foreground of a child, waits for its socket and
# exports CUPS_SERVER. Sets `pid` (the caller's clean-up stops it) and
# `user_lines` (User/Group lp when run as root: cupsd refuses to run its
# helpers as root). Exits 1, with cupsd's words, when it does not start.
start_private_cupsd() {
  local cupsd=$1 work=$2 server_extra=$3 files_extra=$4
  mkdir -p "$work"/{spool,cache,state,log,tmp}
  user_lines=""
  if [ "$(id -u)" -eq 0 ]; then
    user_lines=$'User lp\nGroup lp'
    chown lp "$work"/{spool,cache,state,log,tmp} 2>/dev/null
  fi
  cat >"$work/cupsd.conf" <<CONF
Listen $work/cups.sock
$server_extra
Browsing Off
WebInterface No
<Location />
  Order allow,deny
  Allow all
</Location>
<Location /admin>
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
  cat >"$work/cups-files.conf" <<CONF
ServerRoot $work
RequestRoot $work/spool
CacheDir $work/cache
StateDir $work/state
TempDir $work/tmp
ErrorLog $work/log/error_log
AccessLog $work/log/access_log
PageLog $work/log/page_log
Printcap $work/printcap
SystemGroup root
$files_extra
$user_lines
CONF
  "$cupsd" -f -c "$work/cupsd.conf" -s "$work/cups-files.conf" >"$work/cupsd.out" 2>&1 &
  pid=$!
  # Up in well under a second here; give a loaded machine ten.
  for _ in $(seq 100); do
    [ -S "$work/cups.sock" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -S "$work/cups.sock" ]; then
    echo "FAIL: the private cupsd did not start" >&2
    cat "$work/cupsd.out" "$work/log/error_log" >&2 2>/dev/null
    exit 1
  fi
  export CUPS_SERVER="$work/cups.sock"
}
