#!/usr/bin/env bash
#
# pelna-printer-app under load: COUNT labels of 4 x 6 in at 203 dpi (the
# bundled shipping label, rendered once to 8-bit gray PWG raster by CUPS's
# own chain) submitted back to back with ipptool to a server on a free
# loopback port, whose printer is pelna-inspect listening as a socket
# printer.  Reports the seconds from the first submission to the last frame
# at the printer, and the server's resident memory before, during (peak)
# and after the run.
#
#   bash bench/app_bench.sh [BUILD_DIR] [COUNT]    (defaults: build-bench 100)
#
# Figures mean something only in a Release build:
#   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release
#   cmake --build build-bench -j2 --target pelna-printer-app pelna-inspect pelna_ppd sample_label
#
set -uo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-bench}
count=${2:-100}
app=$build/app/pelna-printer-app
inspect=$build/inspect/pelna-inspect
ppd=$build/ppd/pelna203.ppd
pdf=$build/sample/label/label.pdf
run_timeout=600   # seconds the whole run may take

for file in "$app" "$inspect" "$ppd" "$pdf"; do
  [[ -e $file ]] || { echo "missing: $file (build the targets named at the top of $0)"; exit 2; }
done
command -v ipptool >/dev/null || { echo "ipptool is missing (bash scripts/install-deps.sh)"; exit 2; }

work=$(mktemp -d /tmp/pelna-app-bench.XXXXXX)
server_pid="" inspect_pid=""

#
# stop_process PID - SIGTERM, SIGKILL after 15 seconds; reap it.
#
stop_process() {
  local pid=$1
  [[ -n $pid ]] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 150; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

cleanup() {
  stop_process "$server_pid"
  stop_process "$inspect_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

#
# rss_kb FIELD - VmRSS or VmHWM of the server in KiB.
#
rss_kb() {
  awk -v f="$1:" '$1 == f { print $2 }' "/proc/$server_pid/status"
}

#
# pages_arrived - Pages the virtual printer has checked so far.
#
pages_arrived() {
  cat "$work"/inspect/job-*/summary.json 2>/dev/null | awk -F'[:,]' '/"pages":/ { n += $2 } END { print n + 0 }'
}

# --- the label as the printer's own raster, once --------------------------
cupsfilter -m image/pwg-raster -p "$ppd" "$pdf" >"$work/label.pwg" 2>"$work/cupsfilter.log" ||
  { echo "cupsfilter failed:"; tail -5 "$work/cupsfilter.log"; exit 1; }

# --- virtual printer and server ----------------------------------------------
mkdir -p "$work/inspect"
"$inspect" --listen 0 --pbm --out "$work/inspect" >"$work/inspect.out" 2>&1 &
inspect_pid=$!
for ((i = 0; i < 100; i++)); do
  grep -q "listening on" "$work/inspect.out" && break
  sleep 0.1
done
device=$(grep -o "127\.0\.0\.1:[0-9]*" "$work/inspect.out" | head -1)
[[ -n $device ]] || { echo "pelna-inspect did not start"; exit 1; }

export SNAP_COMMON=$work
for ((attempt = 0; attempt < 3; attempt++)); do
  port=$((20000 + RANDOM % 40000))
  "$app" server -o server-port="$port" -o log-level=warn -o log-file="$work/server.log" >"$work/server.out" 2>&1 &
  server_pid=$!
  for ((i = 0; i < 100; i++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break 2
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  stop_process "$server_pid"
  server_pid=""
done
[[ -n $server_pid ]] || { echo "the server did not start"; cat "$work/server.out"; exit 1; }
"$app" add -d bench -m pelna_203 -v "socket://$device" || exit 1
uri="ipp://127.0.0.1:$port/ipp/print/bench"

cat >"$work/print.test" <<'EOF'
{
  OPERATION Print-Job
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR name requesting-user-name bench
  ATTR mimeMediaType document-format image/pwg-raster
  GROUP job-attributes-tag
  ATTR keyword print-color-mode bi-level
  FILE $filename
  STATUS successful-ok
}
EOF

rss_before=$(rss_kb VmRSS)

# --- the run: submissions back to back, memory sampled meanwhile -----------
peak=$rss_before
start=$(date +%s.%N)
for ((n = 1; n <= count; n++)); do
  ipptool -T 60 -f "$work/label.pwg" "$uri" "$work/print.test" >/dev/null ||
    { echo "submission $n failed"; exit 1; }
  rss=$(rss_kb VmRSS)
  ((rss > peak)) && peak=$rss
done
submitted=$(date +%s.%N)
while (($(pages_arrived) < count)); do
  rss=$(rss_kb VmRSS)
  ((rss > peak)) && peak=$rss
  (($(date +%s) - ${start%.*} > run_timeout)) && { echo "only $(pages_arrived) of $count pages arrived"; exit 1; }
  sleep 0.05
done
end=$(date +%s.%N)
sleep 1
rss_after=$(rss_kb VmRSS)
hwm=$(rss_kb VmHWM)

faults=$(grep -l '"sound": false' "$work"/inspect/job-*/summary.json 2>/dev/null | wc -l)
printf 'labels: %d (4 x 6 in, 203 dpi, %s)\n' "$count" "$(basename "$build")"
awk -v s="$start" -v e="$end" -v m="$submitted" -v n="$count" 'BEGIN {
  printf "seconds, first submission to last frame at the printer: %.2f (%.1f labels/s; submitting took %.2f)\n",
         e - s, n / (e - s), m - s }'
printf 'server memory, KiB: before %d, peak during %d (VmHWM %d), after %d\n' "$rss_before" "$peak" "$hwm" "$rss_after"
printf 'job summaries with faults at the printer: %d\n' "$faults"
((faults == 0))
