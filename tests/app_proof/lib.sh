# SPDX-License-Identifier: Apache-2.0
# Shared by the proof scripts (sourced): a temporary folder, a Printer
# Application server on a free loopback port with its state in that folder
# (SNAP_COMMON), pelna-inspect listening as the printer, each stopped by its
# own process id on exit, and bounded waits.
#
# The caller sets app, inspect, client and pages (paths of the built
# programs) before calling proof_setup, and may set log_level (debug by
# default; PAPPL starts the log afresh past 1 MB).

work="" app_pid="" printer_pid="" inspect_pid="" failures=0
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/servers.sh"

# An ASan build of the server reports leaks at exit; only the ones listed
# (inside libpappl and libcups, with their reasons) are allowed.
export ASAN_OPTIONS=${ASAN_OPTIONS:-fast_unwind_on_malloc=0}
export LSAN_OPTIONS=suppressions=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/lsan.supp
base_url="" printer_port=""

#
# proof_cleanup - Stop what was started; keep the folder with
# PELNA_PROOF_KEEP=1.
#
proof_cleanup() {
  stop_process "$app_pid"
  stop_process "$inspect_pid"
  [[ -n $work ]] || return 0
  if [[ ${PELNA_PROOF_KEEP:-} == 1 ]]; then
    echo "kept: $work"
  else
    rm -rf "$work"
  fi
}

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

#
# start_printer - pelna-inspect as a raw socket printer; sets printer_port.
#
start_printer() {
  start_inspect "$work/printer" "$work/printer.log" --pbm || { echo "FAIL: see above"; exit 1; }
  printer_pid=$inspect_pid printer_port=$inspect_port
}

#
# start_app_server - The server on a free port; sets base_url.
#
start_app_server() {
  export SNAP_COMMON=$work/state
  start_app "$work/app" "${log_level:-debug}" || { echo "FAIL: see above"; exit 1; }
  base_url=http://127.0.0.1:$app_port
}

#
# add_printer NAME DRIVER URI - Add a printer through the running server.
#
add_printer() {
  local out
  if ! out=$(timeout 30 "$app" add -d "$1" -m "$2" -v "$3" 2>&1); then
    echo "FAIL: cannot add printer $1: $out"
    exit 1
  fi
}

#
# printer_uri NAME - The IPP URI of a printer.
#
printer_uri() {
  echo "ipp://127.0.0.1:${base_url##*:}/ipp/print/$1"
}

#
# app_alive - 0 when the server process still runs.
#
app_alive() {
  kill -0 "$app_pid" 2>/dev/null
}

#
# job_dirs - Number of jobs the virtual printer has received.
#
job_dirs() {
  find "$work/printer" -mindepth 1 -maxdepth 1 -name 'job-*' | wc -l
}

#
# device_job N - Folder of the Nth job the printer received, after its
# summary is written (bounded wait); empty when none came.
#
device_job() {
  local dir
  dir=$(printf '%s/printer/job-%04d' "$work" "$1")
  for ((i = 0; i < 100; i++)); do
    [[ -f $dir/summary.json ]] && { echo "$dir"; return 0; }
    sleep 0.1
  done
  return 1
}

#
# json_field DIR NAME - The first value of a field in a job's summary.
#
json_field() {
  sed -n "s/.*\"$2\": \([^,]*\),*$/\1/p" "$1/summary.json" | head -1
}

#
# cancel_within WHAT JOB_URI ID SECONDS - Cancel a job stuck on its device:
# the server still answers for the labels printer ($uri), the cancel is
# taken, and the job is canceled within SECONDS.
#
cancel_within() {
  local what=$1 job_uri=$2 id=$3 bound=$4 start=$SECONDS state
  timeout 5 "$client" attr "$uri" printer-state >/dev/null || fail "$what: the server does not answer"
  "$client" cancel "$job_uri" "$id" || fail "$what: cancel refused"
  state=$("$client" wait "$job_uri" "$id" "$bound")
  echo "== $what, cancelled: $state after $((SECONDS - start)) s"
  [[ $state == canceled* ]] || fail "$what: not cancelled within $bound s ($state)"
}

#
# proof_setup - Temporary folder, printer, server; cleanup on exit.
#
proof_setup() {
  work=$(mktemp -d /tmp/pelna-proof.XXXXXX)
  trap proof_cleanup EXIT
  trap 'exit 1' INT TERM HUP PIPE
  start_printer
  start_app_server
}

#
# proof_labels_setup - proof_setup, then the printer "labels" (pelna_203 on
# the inspector); sets uri, and docs to an empty folder for the documents.
#
proof_labels_setup() {
  proof_setup
  add_printer labels pelna_203 "socket://127.0.0.1:$printer_port"
  uri=$(printer_uri labels)
  docs=$work/docs
  mkdir -p "$docs"
}

#
# proof_finish NAME - Report and exit with the status of the checks.
#
proof_finish() {
  if ! app_alive; then
    fail "the server is no longer running"
    tail -n 20 "$work/app.out" "$work/app.log"
  fi
  # Stopped now, so that a sanitizer build reports what it found at exit.
  stop_process "$app_pid"
  app_pid=""
  if grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$work/app.out"; then
    fail "the sanitizers found faults in the server:"
    grep -E -A12 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$work/app.out" | head -60
  fi
  if ((failures)); then
    echo "$1: $failures failure(s); the server log's last lines:"
    grep -E "^[EW] " "$work/app.log" | tail -20
    echo "(PELNA_PROOF_KEEP=1 keeps $work)"
    exit 1
  fi
  echo "$1: all checks hold"
  exit 0
}
