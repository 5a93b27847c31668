#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Print through the real scheduler: a private cupsd on a free loopback port,
# with its own configuration, spool and log folders in a temporary folder and
# the built filter among the system's filters; two queues made from our PPDs
# (203 and 300 dpi) whose device is pelna-inspect listening as a raw socket
# printer.  The bundled label PDF and picture PNG are printed with lp under
# several option sets; every job must complete, and what the printer received
# is checked by pelna-e2e-check.  cupsd and the listener are always stopped.
#
#   print_e2e.sh FILTER INSPECT CHECK PPD203 PPD300 LABEL.pdf BARS.txt PICTURE.png
#
# Set PELNA_E2E_KEEP=1 to keep the temporary folder (logs, job folders).
#
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/servers.sh"

if (($# != 8)); then
  echo "usage: $0 FILTER INSPECT CHECK PPD203 PPD300 LABEL.pdf BARS.txt PICTURE.png" >&2
  exit 2
fi
filter=$1 inspect=$2 check=$3 ppd203=$4 ppd300=$5 pdf=$6 bars=$7 picture=$8

job_timeout=${PELNA_E2E_JOB_TIMEOUT:-120}   # seconds one job may take from lp to completion
overall_timeout=600  # seconds for the whole run
filter_log=/tmp/pelna_printer_logs.txt

need_cupsd

work=$(mktemp -d /tmp/pelna-e2e.XXXXXX)
cupsd_pid="" inspect_pid="" failures=0

#
# cleanup - Stop the scheduler and the printer, remove the temporary folder
# and the filter's log (written by lp, it would stand in the way of later
# runs as another user).
#
cleanup() {
  stop_process "$cupsd_pid"
  stop_process "$inspect_pid"
  rm -f "$filter_log"
  if [[ ${PELNA_E2E_KEEP:-} == 1 ]]; then
    echo "kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

#
# time_left - Seconds left of the whole run's budget (at least 1).
#
time_left() {
  local left=$((overall_timeout - SECONDS))
  ((left > 0)) && echo "$left" || echo 1
}


# --- the scheduler's folders: lp must reach the filters and the spool -----
chmod 0755 "$work"
mkdir -p "$work"/{etc,spool/tmp,cache,state,log,serverbin/filter,printer}
chmod 0755 "$work"/{etc,cache,state,log,serverbin,serverbin/filter}
for entry in "$(cups-config --serverbin 2>/dev/null || echo /usr/lib/cups)"/*; do
  if [[ $(basename "$entry") == filter ]]; then
    ln -s "$entry"/* "$work/serverbin/filter/"
  else
    ln -s "$entry" "$work/serverbin/"
  fi
done
rm -f "$work/serverbin/filter/rastertopelna"
install -m 0755 "$filter" "$work/serverbin/filter/rastertopelna"

# libcups's cupsMarkOptions leaks the PPD cache it builds when a job carries
# print-color-mode, which the scheduler always passes.  A filter built with
# AddressSanitizer would fail every job on it: full stacks, and leaks under
# that libcups call alone are not counted.
printf 'leak:_ppdCacheCreateWithPPD\n' >"$work/etc/lsan.supp"
chmod 0644 "$work/etc/lsan.supp"

cat >"$work/etc/cups-files.conf" <<EOF
ServerRoot $work/etc
RequestRoot $work/spool
TempDir $work/spool/tmp
CacheDir $work/cache
StateDir $work/state
ServerBin $work/serverbin
ErrorLog $work/log/error_log
AccessLog $work/log/access_log
PageLog $work/log/page_log
User lp
Group lp
SystemGroup root
SetEnv ASAN_OPTIONS fast_unwind_on_malloc=0
SetEnv LSAN_OPTIONS suppressions=$work/etc/lsan.supp
EOF

# --- start cupsd on a free port -------------------------------------------
if ! start_cupsd "$work/etc" "$work/log/cupsd.out"; then
  tail -20 "$work/log/error_log" 2>/dev/null
  echo "FAIL: the private cupsd could not be started"
  exit 1
fi
echo "cupsd (pid $cupsd_pid) on 127.0.0.1:$cups_port, folders in $work"

# --- the virtual printer -----------------------------------------------------
if ! start_inspect "$work/printer" "$work/log/printer.out" --pbm; then
  echo "FAIL: pelna-inspect did not start listening"
  exit 1
fi
printer_port=$inspect_port
echo "virtual printer (pid $inspect_pid) on 127.0.0.1:$printer_port"

# --- two queues: abort a failed job rather than stopping the queue --------
for queue in pelna203:"$ppd203" pelna300:"$ppd300"; do
  if ! out=$(lpadmin -p "${queue%%:*}" -E -v "socket://127.0.0.1:$printer_port/?snmp=false" \
    -P "${queue#*:}" -o printer-error-policy=abort-job 2>&1); then
    echo "FAIL: lpadmin could not add ${queue%%:*}: $out"
    exit 1
  fi
done
rm -f "$filter_log"

#
# scheduler_message ID - What the scheduler said about a job: its errors and
# warnings, the filters' exit reports and the last state message.
#
scheduler_message() {
  local id=$1
  grep -F "[Job $id]" "$work/log/error_log" |
    grep -E '^[EW] |stopped with status|crashed on signal|Job (aborted|stopped|canceled)|printer-state-message to|Sanitizer|runtime error| #[0-9]+ 0x' |
    tail -20
  [[ -s $filter_log ]] && { echo "$filter_log:"; grep -E '^(ERROR|INFO)' "$filter_log" | tail -5; }
}

#
# wait_job ID - Wait until the job leaves the queue; 0 when it completed.
#
wait_job() {
  local id=$1 limit=$((SECONDS + job_timeout))
  ((limit > overall_timeout)) && limit=$overall_timeout
  while ((SECONDS < limit)); do
    grep -qF "[Job $id] Job completed." "$work/log/error_log" && return 0
    # A filter failure stops the job (it stays queued): take it out.
    if grep -qE "\[Job $id\] Job (stopped|aborted|canceled)" "$work/log/error_log"; then
      cancel "$id" 2>/dev/null
      return 1
    fi
    if ! lpstat -W not-completed -o 2>/dev/null | grep -q -- "-$id "; then
      grep -qF "[Job $id] Job completed." "$work/log/error_log" && return 0
      return 1
    fi
    sleep 0.2
  done
  echo "job $id did not leave the queue within ${job_timeout}s"
  lpstat -W not-completed -o 2>&1
  return 1
}

#
# job_dirs - Number of jobs the virtual printer has received.
#
job_dirs() {
  find "$work/printer" -mindepth 1 -maxdepth 1 -name 'job-*' | wc -l
}

#
# submit NAME QUEUE FILE [lp options] - Print a file; sets job_id.  0 when
# the job completed.
#
submit() {
  local name=$1 queue=$2 file=$3 out
  shift 3
  job_id=""
  if ! out=$(lp -d "$queue" -t "$name" "$@" "$file" 2>&1); then
    fail "$name: lp refused the job: $out"
    return 1
  fi
  job_id=$(sed -n 's/^request id is .*-\([0-9]\{1,\}\) (.*/\1/p' <<<"$out")
  if [[ -z $job_id ]]; then
    fail "$name: lp gave no job id: $out"
    return 1
  fi
  wait_job "$job_id"
}

#
# print_job NAME QUEUE FILE PAGES WIDTH_PT DPI MARK BARS [lp options] - Print
# and check what the printer received (BARS may be "-" for no bar check).
#
print_job() {
  local name=$1 queue=$2 file=$3 pages=$4 width=$5 dpi=$6 mark=$7 bar_list=$8
  shift 8
  local before dir
  before=$(job_dirs)
  if ! submit "$name" "$queue" "$file" "$@"; then
    fail "$name: job ${job_id:-?} did not complete; the scheduler says:"
    [[ -n $job_id ]] && scheduler_message "$job_id"
    return
  fi
  dir=$(printf '%s/printer/job-%04d' "$work" $((before + 1)))
  for ((i = 0; i < 50; i++)); do
    [[ -f $dir/summary.json ]] && break
    sleep 0.2
  done
  echo "== $name (job $job_id, $*)"
  if [[ $bar_list == - ]]; then
    "$check" "$dir" "$pages" "$width" "$dpi" "$mark" || fail "$name: the printer data does not match"
  else
    "$check" "$dir" "$pages" "$width" "$dpi" "$mark" "$bar_list" || fail "$name: the printer data does not match"
  fi
  last_dir=$dir
}

#
# black_share DIR - The first page's share of black dots.
#
black_share() {
  sed -n 's/.*"black_share": \([0-9.]*\).*/\1/p' "$1/summary.json" | head -1
}

# --- the jobs ------------------------------------------------------------
# The label PDF is 4 x 6 in, the 203 dpi queue's default size.
print_job label-defaults pelna203 "$pdf" 1 288 203 label "$bars"
print_job label-dither-h5 pelna203 "$pdf" 1 288 203 label "$bars" \
  -o Halftone=Dither -o BlacknessAdjustH=h5
print_job label-bw-h8-black-mark-2-copies pelna203 "$pdf" 2 288 203 black "$bars" \
  -n 2 -o Halftone=BW -o BlacknessAdjustH=h8 -o PageMark=PageMarkBlack
# On 100 x 150 mm the 4 x 6 in page is centred and cropped, so no bar check.
print_job label-100x150mm-continuous pelna203 "$pdf" 1 283.46 203 continuous - \
  -o media=w283h425 -o PageMark=Continuous
print_job label-300dpi-dither-h7 pelna300 "$pdf" 1 288 300 label "$bars" \
  -o Halftone=Dither -o BlacknessAdjustH=h7

# The picture (2 x 1 in at 203 dpi) dithered light and dark: the darker
# blackness number must give more black dots.
print_job picture-2x1in-h3 pelna203 "$picture" 1 144 203 label - \
  -o media=w144h72 -o Halftone=Dither -o BlacknessAdjustH=h3
light_dir=${last_dir:-}
print_job picture-2x1in-h8 pelna203 "$picture" 1 144 203 label - \
  -o media=w144h72 -o Halftone=Dither -o BlacknessAdjustH=h8
dark_dir=${last_dir:-}
if [[ -f $light_dir/summary.json && -f $dark_dir/summary.json ]]; then
  light=$(black_share "$light_dir") dark=$(black_share "$dark_dir")
  if awk -v l="$light" -v d="$dark" 'BEGIN { exit !(l > 0.05 && d > l + 0.05 && d < 0.95) }'; then
    echo "ok: picture black share $light at h3, $dark at h8"
  else
    fail "picture black share $light at h3 and $dark at h8: expected 0.05 < h3 < h8 - 0.05, h8 < 0.95"
  fi
fi

# The test's own failure path: a raster stream without pages makes the filter
# exit with an error, and the scheduler's report of it must come through.
printf 'RaS3' >"$work/no-pages.ras"
chmod 0644 "$work/no-pages.ras"
if submit filter-failure pelna203 "$work/no-pages.ras"; then
  fail "filter-failure: a job whose filter fails was reported as completed"
else
  message=$(scheduler_message "$job_id")
  if grep -q "rastertopelna" <<<"$message"; then
    echo "ok: a failed filter is reported: $(grep rastertopelna <<<"$message" | head -1)"
  else
    fail "filter-failure: the scheduler's message does not name the filter: $message"
  fi
fi

if ((failures)); then
  echo "$failures failure(s); scheduler log: $work/log/error_log"
  tail -30 "$work/log/error_log" | grep -v '^D'
  exit 1
fi
echo "all jobs printed and checked"
