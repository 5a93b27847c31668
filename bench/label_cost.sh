#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Cost per label: the same labels through LPrint (Debian's lprint, its ZPL
# 4-inch 203 dpi driver) and through pelna-printer-app, each server on a free
# loopback port (in a network namespace of the bench's own) printing to
# byte-sink (a network printer that swallows and counts bytes).  The label is the bundled 4 x 6 in shipping label (text, a
# barcode, a gray logo), rendered once by CUPS to 8-bit gray PWG raster at
# 203 dpi, with a photo band laid over its lower quarter by photo-band (-P:
# the label as it is), and sent COUNT times from one client, one at a time:
# each label is a Print-Job (print-color-mode monochrome, so pictures are
# dithered) followed by Get-Job-Attributes until the job has ended, before
# the next is sent.  For each server it prints:
#
#   server CPU per label   utime + stime of the server (/proc/PID/stat), in
#                          all, for the first hundred labels, for labels 11
#                          to 110 and for the last hundred (and how the last
#                          compare with labels 11 to 110)
#   bytes per label        bytes the printer received, divided by COUNT
#   disk bytes per label   what the server had written to storage
#                          (/proc/PID/io write_bytes - cancelled_write_bytes),
#                          divided by COUNT, and as a share of the document
#   first byte             from the start of a label's Print-Job (ipptool
#                          started) to its first byte at the printer: median
#                          and 95th percentile
#   RSS                    before the first label, peak (VmHWM), final
#   labels per second      for the first and the last hundred labels
#   threads, descriptors   after 10 labels and after the last
#
#   bash bench/label_cost.sh [-n COUNT] [-s both|app|lprint] [-b BUILD_DIR] [-P] [-w FILE]
#                            [-q PERCENT] [-c]
#       (defaults: 1000 labels, both servers, build-bench, the photo band;
#       -w FILE: write the label's raster to FILE and stop;
#       -q PERCENT: each server pinned to one core and given PERCENT of it
#       (a cgroup's CPU quota), as on a small print server;
#       -c: count the server's system calls that touch files (strace -c -f
#       while the labels are sent), per label; its CPU figures then count
#       strace's stops too)
#
# Figures mean something only in a Release build:
#   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release
#   cmake --build build-bench -j2 --target pelna-printer-app pelna_ppd sample_label \
#     byte-sink photo-band
# LPrint is installed with apt-get when missing (as root); it runs with a
# private HOME, TMPDIR and spool, all removed afterwards.
#
set -uo pipefail
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."

count=1000 servers=both build=build-bench band=1 keep="" quota="" syscalls=0
while getopts "n:s:b:Pw:q:c" opt; do
  case $opt in
    n) count=$OPTARG ;;
    s) servers=$OPTARG ;;
    b) build=$OPTARG ;;
    P) band=0 ;;
    w) keep=$OPTARG; [[ $keep == /* ]] || keep=$OLDPWD/$keep ;;  # named from where it was run
    q) quota=$OPTARG ;;
    c) syscalls=1 ;;
    *) echo "usage: $0 [-n COUNT] [-s both|app|lprint] [-b BUILD_DIR] [-P] [-w FILE] [-q PERCENT] [-c]"; exit 2 ;;
  esac
done
[[ $count =~ ^[1-9][0-9]*$ ]] || { echo "COUNT must be a positive number"; exit 2; }
[[ $servers =~ ^(both|app|lprint)$ ]] || { echo "servers: both, app or lprint"; exit 2; }
[[ -z $quota || $quota =~ ^[1-9][0-9]?$|^100$ ]] || { echo "PERCENT: 1 to 100"; exit 2; }
((syscalls == 0)) || command -v strace >/dev/null || { echo "strace is missing (apt-get install strace)"; exit 2; }

app=$build/app/pelna-printer-app
sink=$build/bench/byte-sink
photo_band=$build/bench/photo-band
photo=sample/images/photo.pgm
ppd=$build/ppd/pelna203.ppd
pdf=$build/sample/label/label.pdf
label_timeout=60   # seconds one label may take, submission to end of job

for file in "$sink" "$photo_band" "$ppd" "$pdf"; do
  [[ -e $file ]] || { echo "missing: $file (build the targets named at the top of $0)"; exit 2; }
done
[[ $servers == lprint || -x $app ]] || { echo "missing: $app"; exit 2; }
command -v ipptool >/dev/null || { echo "ipptool is missing (bash scripts/install-deps.sh)"; exit 2; }
if [[ -z $keep && $servers != app ]] && ! command -v lprint >/dev/null; then
  apt-get install -y lprint >/dev/null || { echo "lprint is missing and could not be installed"; exit 2; }
fi

# LPrint 1.1.0 listens on every address, whatever its listen-hostname says.
# The bench runs in a network namespace of its own, whose one interface is
# loopback, so nothing it starts can be reached from another machine.
if [[ -z ${PELNA_BENCH_NETNS:-} && -z $keep ]]; then
  for private in "unshare --net" "unshare --net --map-root-user"; do
    if $private ip link set lo up 2>/dev/null; then
      PELNA_BENCH_NETNS=1 exec $private bash -c 'ip link set lo up && exec bash "$0" "$@"' "$self" "$@"
    fi
  done
  [[ $servers == app ]] || echo "warning: no private network namespace here; LPrint listens on every address while the bench runs"
fi

work=$(mktemp -d /var/tmp/pelna-label-cost.XXXXXX)  # on disk, so write_bytes counts
server_pid="" sink_pid="" app_pid="" strace_pid="" cgroup=""
source scripts/servers.sh

cleanup() {
  stop_process "$strace_pid"
  stop_process "$server_pid"
  stop_process "$sink_pid"
  [[ -z $cgroup ]] || rmdir "$cgroup" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

ticks=$(getconf CLK_TCK)

#
# cpu_ticks - utime + stime of the server, all its threads, in clock ticks.
#
cpu_ticks() {
  local stat
  stat=$(<"/proc/$server_pid/stat")
  stat=${stat##*) }            # the fields after the command name
  read -r -a f <<<"$stat"
  echo $((f[11] + f[12]))      # fields 14 and 15 of the whole line
}

#
# limit_cpu - Pin the server to one core and give it $quota percent of it,
# in a cgroup of the bench's own (cgroup v2's cpu.max, or v1's CFS quota);
# sets cgroup.
#
limit_cpu() {
  [[ -n $quota ]] || return 0
  taskset -a -p -c 0 "$server_pid" >/dev/null || { echo "taskset failed"; return 1; }
  if [[ -e /sys/fs/cgroup/cgroup.controllers ]]; then
    cgroup=/sys/fs/cgroup/pelna-bench.$$
    grep -qw cpu /sys/fs/cgroup/cgroup.subtree_control || echo +cpu >/sys/fs/cgroup/cgroup.subtree_control
    mkdir -p "$cgroup" && echo "$((quota * 1000)) 100000" >"$cgroup/cpu.max"
  else
    cgroup=/sys/fs/cgroup/cpu/pelna-bench.$$
    mkdir -p "$cgroup" && echo 100000 >"$cgroup/cpu.cfs_period_us" &&
      echo $((quota * 1000)) >"$cgroup/cpu.cfs_quota_us"
  fi || { echo "no CPU quota can be set here (as root, with the cgroup cpu controller)"; return 1; }
  echo "$server_pid" >"$cgroup/cgroup.procs" || { echo "the server could not be put in $cgroup"; return 1; }
}

#
# status_kb FIELD - VmRSS or VmHWM of the server in KiB; Threads as a count.
#
status_kb() {
  awk -v f="$1:" '$1 == f { print $2 }' "/proc/$server_pid/status"
}

#
# write_bytes - Bytes the server has caused to be written to storage.
#
write_bytes() {
  awk '$1 == "write_bytes:" { w = $2 } $1 == "cancelled_write_bytes:" { c = $2 } END { print w - c }' \
    "/proc/$server_pid/io"
}

#
# descriptors - Open file descriptors of the server.
#
descriptors() {
  local fds=("/proc/$server_pid/fd/"*)
  echo "${#fds[@]}"
}

#
# start_sink - byte-sink on a free loopback port; sets sink_pid, sink_port.
#
start_sink() {
  local i
  "$sink" -t >"$1" 2>&1 &
  sink_pid=$!
  for ((i = 0; i < 100; i++)); do
    sink_port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$1")
    [[ -n $sink_port ]] && return 0
    sleep 0.1
  done
  echo "byte-sink did not start listening"
  return 1
}

#
# start_lprint DIR - LPrint on a free loopback port, everything it writes
# in DIR; sets server_pid and server_port.
#
start_lprint() {
  local dir=$1 attempt i
  mkdir -p "$dir/home" "$dir/tmp" "$dir/spool"
  export HOME=$dir/home TMPDIR=$dir/tmp SNAP_COMMON=$dir
  for ((attempt = 1; attempt <= 3; attempt++)); do
    server_port=$(free_port) || break
    lprint server -o server-port="$server_port" -o listen-hostname=127.0.0.1 \
      -o spool-directory="$dir/spool" -o log-file="$dir/server.log" -o log-level=error \
      >"$dir/server.out" 2>&1 &
    server_pid=$!
    for ((i = 0; i < 100; i++)); do
      if [[ -S $dir/lprint.sock ]] && listens_on "$server_pid" "$server_port"; then
        return 0
      fi
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.1
    done
    stop_process "$server_pid"
    server_pid=""
  done
  echo "LPrint did not start:"
  cat "$dir/server.out"
  return 1
}

#
# start_pelna DIR - pelna-printer-app on a free loopback port, everything it
# writes in DIR; sets server_pid and server_port.
#
start_pelna() {
  local dir=$1
  mkdir -p "$dir/tmp"
  export SNAP_COMMON=$dir TMPDIR=$dir/tmp
  start_app "$dir/server" error || return 1
  server_pid=$app_pid server_port=$app_port app_pid=""
}

cat >"$work/label.test" <<'EOF'
# SPDX-License-Identifier: Apache-2.0
# One label: Print-Job, then Get-Job-Attributes until the job has ended.
{
  NAME "Print-Job"
  OPERATION Print-Job
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR name requesting-user-name bench
  ATTR mimeMediaType document-format image/pwg-raster
  GROUP job-attributes-tag
  ATTR keyword print-color-mode monochrome
  FILE $filename
  STATUS successful-ok
  EXPECT job-id OF-TYPE integer
}
{
  NAME "Wait"
  OPERATION Get-Job-Attributes
  DELAY "0,0.005"
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR integer job-id $job-id
  ATTR name requesting-user-name bench
  ATTR keyword requested-attributes job-state
  STATUS successful-ok
  EXPECT job-state OF-TYPE enum WITH-VALUE >6 REPEAT-NO-MATCH REPEAT-LIMIT 12000
  DISPLAY job-state
}
EOF

#
# start_strace - Count the server's file system calls from now on (-c).
#
start_strace() {
  ((syscalls)) || return 0
  strace -f -c -o "$work/$1-strace.txt" -e trace=openat,rename,renameat,renameat2,fsync,fdatasync,unlink,unlinkat,write,pwrite64 \
    -p "$server_pid" 2>"$work/$1-strace.err" &
  strace_pid=$!
  sleep 1  # strace attaches to every thread before it counts
}

#
# report_strace NAME - The counts, per label.
#
report_strace() {
  ((syscalls)) || return 0
  kill -INT "$strace_pid" 2>/dev/null
  wait "$strace_pid" 2>/dev/null
  strace_pid=""
  awk -v n="$count" '$NF ~ /^(openat|rename|renameat|renameat2|fsync|fdatasync|unlink|unlinkat|write|pwrite64)$/ {
    line = line sprintf(" %s %.2f,", $NF, $4 / n)  # % time, seconds, usecs/call, calls, [errors,] name
  } END { sub(/,$/, "", line); print "  system calls per label (strace -c -f):" line }' "$work/$1-strace.txt"
}

#
# first_bytes NAME - Median and 95th percentile of the time from each
# label's start to its first byte at the printer, in ms.
#
first_bytes() {
  local name=$1
  sed -n 's/^first-byte //p' "$work/$name-sink.out" >"$work/$name-first.txt"
  printf '%s\n' "${t_sent[@]}" >"$work/$name-sent.txt"
  paste "$work/$name-sent.txt" "$work/$name-first.txt" | awk 'NF == 2 { printf "%.3f\n", ($2 - $1) * 1000 }' |
    sort -n | awk -v n="$count" '
    { d[++k] = $1 }
    END {
      if (k != n) { printf "  first byte: %d of %d labels matched, not reported\n", k, n; exit }
      printf "  first byte after the Print-Job starts, ms: median %.1f, 95th percentile %.1f\n",
             d[int((k + 1) / 2)], d[int(k * 0.95 + 0.999)]
    }'
}

#
# run_labels NAME URI - Send the labels one at a time; print the figures.
#
run_labels() {
  local name=$1 uri=$2 n out rss_before cpu_start cpu_first=0 cpu_last_from=0 cpu_end cpu_11=0 cpu_110=0
  local t_start t_first=0 t_last_from=0 t_end threads10=0 fds10=0 failed=0 disk_start
  local -a t
  t_sent=()

  rss_before=$(status_kb VmRSS)
  start_strace "$name"
  disk_start=$(write_bytes)
  cpu_start=$(cpu_ticks)
  t_start=$EPOCHREALTIME
  t[0]=$t_start
  for ((n = 1; n <= count; n++)); do
    t_sent[n]=$EPOCHREALTIME
    out=$(timeout "$label_timeout" ipptool -T "$label_timeout" -t -f "$work/label.pwg" "$uri" "$work/label.test" 2>&1)
    if [[ $out != *"job-state (enum) = completed"* ]]; then
      echo "$name: label $n did not complete:"
      echo "$out" | tail -5
      failed=1
      break
    fi
    t[n]=$EPOCHREALTIME
    ((n == 100 || (count < 100 && n == count))) && cpu_first=$(cpu_ticks) t_first=${t[n]}
    ((n == count - 100)) && cpu_last_from=$(cpu_ticks) t_last_from=${t[n]}
    ((n == 10)) && cpu_11=$(cpu_ticks) threads10=$(status_kb Threads) fds10=$(descriptors)
    ((n == 110)) && cpu_110=$(cpu_ticks)
  done
  ((failed)) && return 1
  cpu_end=$(cpu_ticks)
  t_end=${t[count]}
  ((count <= 100)) && cpu_last_from=$cpu_start t_last_from=$t_start
  report_strace "$name"
  sleep 1  # let the server settle before its final memory is read

  local rss_final hwm threads fds disk
  rss_final=$(status_kb VmRSS)
  hwm=$(status_kb VmHWM)
  threads=$(status_kb Threads)
  fds=$(descriptors)
  disk=$(($(write_bytes) - disk_start))

  # The printer's byte count is final once the server has closed its
  # connections: stop the server, then the sink.
  stop_process "$server_pid"
  server_pid=""
  stop_process "$sink_pid"
  sink_pid=""
  local bytes
  bytes=$(sed -n 's/^connections [0-9]* bytes \([0-9]*\)$/\1/p' "$work/$name-sink.out")

  local first=$((count < 100 ? count : 100))
  awk -v name="$name" -v n="$count" -v k="$first" -v tk="$ticks" -v doc="$(stat -c %s "$work/label.pwg")" \
      -v c0="$cpu_start" -v c1="$cpu_first" -v c2="$cpu_last_from" -v c3="$cpu_end" -v c11="$cpu_11" -v c110="$cpu_110" \
      -v t0="$t_start" -v t1="$t_first" -v t2="$t_last_from" -v t3="$t_end" \
      -v bytes="${bytes:-0}" -v disk="${disk:-0}" -v rb="$rss_before" -v hwm="$hwm" -v rf="$rss_final" \
      -v th10="$threads10" -v fd10="$fds10" -v th="$threads" -v fd="$fds" 'BEGIN {
    ms = 1000 / tk
    printf "%s: %d labels\n", name, n
    printf "  server CPU per label, ms: %.2f in all; first %d %.2f, last %d %.2f\n",
           (c3 - c0) * ms / n, k, (c1 - c0) * ms / k, k, (c3 - c2) * ms / k
    if (n >= 210)
      printf "  server CPU per label, ms: labels 11 to 110 %.2f; the last 100 are %.2f times that\n",
             (c110 - c11) * ms / 100, (c3 - c2) / (c110 - c11 ? c110 - c11 : 1)
    printf "  bytes per label: %.0f (printer), %.0f (written to disk, %.2f times the document)\n",
           bytes / n, disk / n, disk / n / doc
    printf "  RSS, KiB: before %d, peak %d, final %d\n", rb, hwm, rf
    printf "  labels per second: first %d %.1f, last %d %.1f\n", k, k / (t1 - t0), k, k / (t3 - t2)
    printf "  threads %d, descriptors %d after 10 labels; %d, %d after the last\n",
           th10, fd10, th, fd
  }'
  first_bytes "$name"
}

#
# measure NAME - One server through all the labels.
#
measure() {
  local name=$1 dir=$work/$1
  mkdir -p "$dir"
  start_sink "$work/$name-sink.out" || return 1
  if [[ $name == lprint ]]; then
    start_lprint "$dir" || return 1
    limit_cpu || return 1
    lprint add -d bench -m zpl_4inch-203dpi-dt -v "socket://127.0.0.1:$sink_port" >/dev/null || return 1
  else
    start_pelna "$dir" || return 1
    limit_cpu || return 1
    "$app" add -d bench -m pelna_203 -v "socket://127.0.0.1:$sink_port" >/dev/null || return 1
  fi
  run_labels "$name" "ipp://127.0.0.1:$server_port/ipp/print/bench"
}

# --- the label as 8-bit gray PWG raster, once --------------------------------
cupsfilter -m image/pwg-raster -p "$ppd" "$pdf" >"$work/plain.pwg" 2>"$work/cupsfilter.log" ||
  { echo "cupsfilter failed:"; tail -5 "$work/cupsfilter.log"; exit 1; }
if ((band)); then
  "$photo_band" "$work/plain.pwg" "$photo" "$work/label.pwg" || exit 1
  what="$(basename "$pdf") with a photo band"
else
  mv "$work/plain.pwg" "$work/label.pwg"
  what=$(basename "$pdf")
fi
if [[ -n $keep ]]; then
  cp "$work/label.pwg" "$keep" && echo "label ($what) written to $keep"
  exit
fi

echo "label: $what, 4 x 6 in at 203 dpi, 8-bit gray PWG raster, $(stat -c %s "$work/label.pwg") bytes; $(basename "$build"), $(nproc) cores${quota:+; each server on one core at $quota %}"
# Each server in a subshell of its own, so that its environment (HOME,
# TMPDIR, SNAP_COMMON) stays there; the subshell stops what it started.
status=0
for name in lprint app; do
  [[ $servers == both || $servers == "$name" ]] || continue
  (
    trap 'stop_process "$strace_pid"; stop_process "$server_pid"; stop_process "$sink_pid"; [[ -z $cgroup ]] || rmdir "$cgroup" 2>/dev/null' EXIT
    trap 'exit 1' INT TERM HUP
    measure "$name"
  ) || status=1
done
exit $status
