#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# The bundled shipping label PDF (4 x 6 in, 203 dpi) printed COUNT times two
# ways, each to printer data for the same printer:
#
#   app   pelna-printer-app reads the PDF itself: COUNT Print-Job requests
#         back to back with ipptool to a server on a free loopback port whose
#         printer is pelna-inspect listening as a socket printer.  Seconds
#         from the first submission to the last frame at the printer, the
#         server's resident memory before, at its peak during and after the
#         run, and the largest peak of the child process that renders each
#         PDF (the job log's "the reader's peak memory").
#   cups  CUPS's Ghostscript path, as a print queue with the PPD runs it:
#         cupsfilter through pdftopdf, Ghostscript's raster filter and
#         rastertopelna, COUNT times one after another.  Seconds for all,
#         and the largest peak resident memory of any program of the chain
#         (GNU time's maximum resident set size of cupsfilter and the
#         programs it waits for).
#
#   bash bench/pdf_bench.sh [BUILD_DIR] [COUNT]    (defaults: build-bench 100)
#
# Figures mean something only in a Release build:
#   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPELNA_BUILD_TESTS=OFF
#   cmake --build build-bench -j2 --target pelna-printer-app pelna-inspect pelna_ppd sample_label rastertopelna
#
set -uo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-bench}
count=${2:-100}
app=$build/app/pelna-printer-app
inspect=$build/inspect/pelna-inspect
filter=$build/filter/rastertopelna
ppd=$build/ppd/pelna203.ppd
pdf=$build/sample/label/label.pdf
run_timeout=900   # seconds the app's run may take

for file in "$app" "$inspect" "$filter" "$ppd" "$pdf"; do
  [[ -e $file ]] || { echo "missing: $file (build the targets named at the top of $0)"; exit 2; }
done
for tool in ipptool cupsfilter /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (bash scripts/install-deps.sh)"; exit 2; }
done

work=$(mktemp -d /tmp/pelna-pdf-bench.XXXXXX)
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

# --- the app ----------------------------------------------------------------
start_inspect "$work/inspect" "$work/inspect.out" --pbm || exit 1
export SNAP_COMMON=$work
start_app "$work/server" info || exit 1
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
  ATTR mimeMediaType document-format application/pdf
  FILE $filename
  STATUS successful-ok
}
EOF

rss_before=$(rss_kb VmRSS)
peak=$rss_before
start=$(date +%s.%N)
for ((n = 1; n <= count; n++)); do
  ipptool -T 60 -f "$pdf" "$uri" "$work/print.test" >/dev/null || { echo "submission $n failed"; exit 1; }
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
reader_peak=$(sed -n "s/.*the reader's peak memory was \([0-9]*\) KiB.*/\1/p" "$work/server.log" | sort -n | tail -1)
faults=$(grep -l '"sound": false' "$work"/inspect/job-*/summary.json 2>/dev/null | wc -l)
stop_process "$app_pid"
app_pid=""

printf 'labels: %d (the bundled label PDF, 4 x 6 in, 203 dpi, %s)\n' "$count" "$(basename "$build")"
awk -v s="$start" -v e="$end" -v m="$submitted" -v n="$count" 'BEGIN {
  printf "app:  %.3f s per label (%.2f s for %d, first submission to last frame at the printer; submitting took %.2f)\n",
         (e - s) / n, e - s, n, m - s }'
printf 'app:  server memory, KiB: before %d, peak during %d (VmHWM %d), after %d; PDF reader child peak %s\n' \
  "$rss_before" "$peak" "$hwm" "$rss_after" "${reader_peak:-?}"
printf 'app:  job summaries with faults at the printer: %d\n' "$faults"

# --- CUPS's Ghostscript path ------------------------------------------------
# cupsfilter runs the filters it finds in ServerBin: the system's and ours.
serverbin=$(cups-config --serverbin)
mkdir -p "$work/serverbin/filter"
ln -s "$serverbin"/filter/* "$work/serverbin/filter/"
rm -f "$work/serverbin/filter/rastertopelna"
install -m 0755 "$filter" "$work/serverbin/filter/rastertopelna"
echo "ServerBin $work/serverbin" >"$work/cups-files.conf"

cups_peak=0
start=$(date +%s.%N)
for ((n = 1; n <= count; n++)); do
  if ! /usr/bin/time -f '%M' -o "$work/time.txt" cupsfilter -c "$work/cups-files.conf" -p "$ppd" -e \
       -m printer/foo "$pdf" >"$work/label.prn" 2>"$work/cupsfilter.log"; then
    echo "cupsfilter failed:"; grep -v '^DEBUG' "$work/cupsfilter.log" | tail -5; exit 1
  fi
  kb=$(tail -1 "$work/time.txt")
  ((kb > cups_peak)) && cups_peak=$kb
done
end=$(date +%s.%N)
"$inspect" "$work/label.prn" >/dev/null || { echo "cups: the last label's printer data is not sound"; exit 1; }
awk -v s="$start" -v e="$end" -v n="$count" 'BEGIN {
  printf "cups: %.3f s per label (%.2f s for %d, one cupsfilter run after another)\n", (e - s) / n, e - s, n }'
printf 'cups: largest peak resident memory of a program of the chain, KiB: %d\n' "$cups_peak"
((faults == 0))
