# SPDX-License-Identifier: Apache-2.0
# Servers for the tests, benchmarks and the sample (sourced, not run): a
# private cupsd, pelna-printer-app and pelna-inspect as a socket printer,
# each on a free loopback port, each stopped by its own process id, with
# every wait bounded.  The callers' own traps call stop_process on the pids
# these functions set.

#
# stop_process PID - SIGTERM, then SIGKILL after 10 seconds; reap it.
#
stop_process() {
  local pid=$1 i
  [[ -n $pid ]] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  return 0
}

#
# free_port - A loopback port on which nothing accepts connections, below
# the range the kernel hands to outgoing connections: with many clients at
# work, one of their connections may hold a port from that range when the
# server comes to bind it.
#
free_port() {
  local low port i
  read -r low _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || low=32768
  ((low >= 20000)) || low=60000
  for ((i = 0; i < 50; i++)); do
    port=$((10000 + RANDOM % (low - 10000)))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

#
# listens_on PID PORT - 0 when process PID itself listens on 127.0.0.1:PORT
# (or on every IPv4 address at PORT).
# A connection to the port proves only that something listens there: a
# server started in parallel may have taken the port first, and a server
# that could bind only ::1 would then pass for ready while every request
# went to the other one.
#
listens_on() {
  local pid=$1 port=$2 loopback any inodes fd
  printf -v loopback '0100007F:%04X' "$port"
  printf -v any '00000000:%04X' "$port"
  inodes=" $(awk -v l="$loopback" -v a="$any" '($2 == l || $2 == a) && $4 == "0A" { printf "%s ", $10 }' \
    /proc/net/tcp 2>/dev/null)"
  [[ -n ${inodes// /} ]] || return 1
  for fd in /proc/"$pid"/fd/*; do
    fd=$(readlink "$fd" 2>/dev/null) || continue
    [[ $fd == socket:* && $inodes == *" ${fd//[^0-9]/} "* ]] && return 0
  done
  return 1
}

#
# start_inspect OUTDIR LOG [OPTION ...] - pelna-inspect (the program in
# $inspect) listening as a socket printer, job folders in OUTDIR; sets
# inspect_pid and inspect_port.  Returns 1, with its output, when it does
# not start listening within 10 seconds.
#
start_inspect() {
  local out=$1 log=$2 i
  shift 2
  mkdir -p "$out"
  "$inspect" --listen 0 --out "$out" "$@" >"$log" 2>&1 &
  inspect_pid=$!
  for ((i = 0; i < 100; i++)); do
    inspect_port=$(sed -n 's/^listening on [0-9.]*:\([0-9]*\),.*/\1/p' "$log" 2>/dev/null)
    [[ -n $inspect_port ]] && return 0
    sleep 0.1
  done
  echo "pelna-inspect did not start listening:"
  cat "$log"
  return 1
}

#
# start_app LOGBASE [LEVEL] - The Printer Application (the program in $app)
# as a server on a free port, its state in $SNAP_COMMON, its log in
# LOGBASE.log at LEVEL (default debug), its output in LOGBASE.out; sets
# app_pid and app_port.  Another program may take the port first, so three
# ports are tried; returns 1, with the server's output, when the server
# listens on none of them.
#
start_app() {
  local base=$1 level=${2:-debug} attempt i
  mkdir -p "$SNAP_COMMON"
  for ((attempt = 1; attempt <= 3; attempt++)); do
    app_port=$(free_port) || break
    # A socket left by a server that was killed would pass for the new one's,
    # which makes it only once it has read its state.
    rm -f "$SNAP_COMMON/pelna-printer-app.sock"
    "$app" server -o server-port="$app_port" -o log-file="$base.log" -o log-level="$level" \
      >"$base.out" 2>&1 &
    app_pid=$!
    for ((i = 0; i < 100; i++)); do
      if [[ -S $SNAP_COMMON/pelna-printer-app.sock ]] && listens_on "$app_pid" "$app_port"; then
        return 0
      fi
      kill -0 "$app_pid" 2>/dev/null || break
      sleep 0.1
    done
    stop_process "$app_pid"
    app_pid=""
  done
  echo "the Printer Application did not start:"
  cat "$base.out"
  return 1
}

#
# need_cupsd - Make sure a private cupsd can run here: skip the test (exit
# 77) unless root, which the scheduler needs to run filters as lp; fail
# when a CUPS program is missing.  Puts the sbin folders on PATH.
#
need_cupsd() {
  local tool
  if ((EUID != 0)); then
    echo "SKIP: the private scheduler must start as root (it runs filters as lp)"
    exit 77
  fi
  export PATH=$PATH:/usr/sbin:/sbin
  for tool in cupsd lpadmin lp lpstat cancel; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (bash scripts/install-deps.sh)"; exit 1; }
  done
  # The scheduler's folders go under /tmp, and its filters run as lp: on a
  # system whose root folder is closed to other users (a chroot made with
  # mktemp -d is mode 0700), lp cannot reach them, and every filter would
  # fail with "Permission denied".
  if ! setpriv --reuid=lp --regid=lp --clear-groups test -x /tmp/. 2>/dev/null; then
    echo "SKIP: user lp cannot reach /tmp (/ is mode $(stat -c %a /)), and the scheduler runs its filters as lp"
    exit 77
  fi
}

#
# start_cupsd ETC LOG - A private cupsd with ETC/cups-files.conf (written by
# the caller) and a cupsd.conf written here that listens on a free loopback
# port and lets anyone do anything; its output in LOG.  Sets cupsd_pid,
# cups_port and CUPS_SERVER.  Three ports are tried; returns 1 when none
# serves.
#
start_cupsd() {
  local etc=$1 log=$2 attempt i
  for ((attempt = 1; attempt <= 3; attempt++)); do
    cups_port=$(free_port) || break
    cat >"$etc/cupsd.conf" <<CONF
Listen 127.0.0.1:$cups_port
LogLevel debug
Browsing No
WebInterface No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
    cupsd -f -c "$etc/cupsd.conf" -s "$etc/cups-files.conf" >"$log" 2>&1 &
    cupsd_pid=$!
    export CUPS_SERVER=127.0.0.1:$cups_port
    for ((i = 0; i < 100; i++)); do
      listens_on "$cupsd_pid" "$cups_port" && lpstat -r 2>/dev/null | grep -q "is running" && return 0
      kill -0 "$cupsd_pid" 2>/dev/null || break
      sleep 0.2
    done
    stop_process "$cupsd_pid"
    cupsd_pid=""
    echo "cupsd did not come up on port $cups_port:"
    tail -20 "$log"
  done
  return 1
}
