#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
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
app_pid="" inspect_pid=""
source scripts/servers.sh

cleanup() {
  stop_process "$app_pid"
  stop_process "$inspect_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

#
# rss_kb FIELD - VmRSS or VmHWM of the server in KiB.
#
rss_kb() {
  awk -v f="$1:" '$1 == f { print $2 }' "/proc/$app_pid/status"
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
start_inspect "$work/inspect" "$work/inspect.out" --pbm || exit 1
export SNAP_COMMON=$work
start_app "$work/server" warn || exit 1
"$app" add -d bench -m pelna_203 -v "socket://127.0.0.1:$inspect_port" || exit 1
uri="ipp://127.0.0.1:$app_port/ipp/print/bench"

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
