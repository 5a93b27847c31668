#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# CUPS driverless queues on the Printer Application: a private cupsd on a
# free loopback port (its own configuration, spool and log folders) with a
# queue made by "lpadmin -m everywhere" and one by "lpadmin -m
# driverless:URI", both on the app's 203 dpi printer, which prints to
# pelna-inspect.  Through each queue the bundled 4 x 6 in label PDF must
# arrive as one sound page of exactly 812 x 1218 dots (the queue's default
# size is the label, not Letter) and a 2 x 1 in label as 406 x 203 dots.
# A 6 x 4 in landscape page must come out the same way round through
# either queue as sent to the app itself: CUPS turns it a quarter right
# onto the 4 x 6 in label, and so must the app.  The printer's darkness
# and default halftone, set through IPP, must apply to the jobs from CUPS,
# which carry neither print-darkness nor bi-level.
#
#   cups_queues.sh APP INSPECT CLIENT PAGES LABEL.pdf PICTURE.png
#
set -uo pipefail
app=$1 inspect=$2 client=$3 pages=$4 pdf=$5 picture=$6
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"

job_timeout=120
cupsd_pid=""

need_cupsd

proof_setup
trap 'stop_process "$cupsd_pid"; proof_cleanup' EXIT
add_printer labels pelna_203 "socket://127.0.0.1:$printer_port"
uri=$(printer_uri labels)

# --- the scheduler: folders lp can reach, the system's filters and backends
cups=$work/cups
mkdir -p "$cups"/{etc,spool/tmp,cache,state,log,serverbin}
chmod 0755 "$work" "$cups" "$cups"/{etc,cache,state,log,serverbin}
for entry in "$(cups-config --serverbin 2>/dev/null || echo /usr/lib/cups)"/*; do
  ln -s "$entry" "$cups/serverbin/"
done
cat >"$cups/etc/cups-files.conf" <<CONF
ServerRoot $cups/etc
RequestRoot $cups/spool
TempDir $cups/spool/tmp
CacheDir $cups/cache
StateDir $cups/state
ServerBin $cups/serverbin
ErrorLog $cups/log/error_log
AccessLog $cups/log/access_log
PageLog $cups/log/page_log
User lp
Group lp
SystemGroup root
CONF
start_cupsd "$cups/etc" "$cups/log/cupsd.out" ||
  { echo "FAIL: the private cupsd could not be started"; exit 1; }

# --- the two queues -----------------------------------------------------
for queue in "everywhere:everywhere" "driverless:driverless:$uri"; do
  name=${queue%%:*}
  if ! out=$(timeout 60 lpadmin -p "$name" -E -v "$uri" -m "${queue#*:}" 2>&1); then
    echo "FAIL: lpadmin could not add the $name queue: $out"
    exit 1
  fi
  # The scheduler may take a moment to answer for a queue it has just made.
  default=""
  for ((try = 0; try < 20 && ${#default} == 0; try ++)); do
    ((try == 0)) || sleep 0.5
    default=$(lpoptions -p "$name" -l 2>/dev/null | sed -n 's/^PageSize[^:]*:.*\*\([^ ]*\).*/\1/p')
  done
  echo "$name queue: default page size $default"
  [[ $default == 4x6* || $default == w288h432* ]] || fail "the $name queue's default page size is $default, not the 4 x 6 in label"
done

#
# cups_print NAME QUEUE FILE WIDTH ROWS [lp options] - Print through CUPS;
# the job must complete and reach the printer as one sound page of
# WIDTH x ROWS dots.  Sets last_dir and last_job (the app's job id).
#
cups_print() {
  local name=$1 queue=$2 file=$3 width=$4 rows=$5 out id before
  shift 5
  before=$(job_dirs)
  last_dir=""
  if ! out=$(lp -d "$queue" -t "$name" "$@" "$file" 2>&1); then
    fail "$name: lp refused the job: $out"
    return
  fi
  id=$(sed -n 's/^request id is .*-\([0-9]\{1,\}\) (.*/\1/p' <<<"$out")
  for ((i = 0; i < job_timeout * 5; i++)); do
    lpstat -W not-completed -o 2>/dev/null | grep -q -- "-$id " || break
    sleep 0.2
  done
  if ! grep -qF "[Job $id] Job completed." "$cups/log/error_log"; then
    fail "$name: the CUPS job $id did not complete:"
    grep -F "[Job $id]" "$cups/log/error_log" | grep -E '^[EW] ' | tail -10
    cancel "$id" 2>/dev/null
    return
  fi
  last_dir=$(device_job $((before + 1))) || { fail "$name: nothing reached the printer"; return; }
  local got_width got_rows got_pages
  got_width=$(json_field "$last_dir" width) got_rows=$(json_field "$last_dir" rows)
  got_pages=$(json_field "$last_dir" pages)
  echo "== $name: $got_pages page(s), $got_width x $got_rows dots"
  [[ $(json_field "$last_dir" sound) == true && $got_pages == 1 ]] || fail "$name: not one sound page"
  [[ $got_width == "$width" && $got_rows == "$rows" ]] ||
    fail "$name: $got_width x $got_rows dots, not $width x $rows"
}

for queue in everywhere driverless; do
  cups_print "label-$queue" $queue "$pdf" 812 1218
  cups_print "2x1-$queue" $queue "$picture" 406 203 -o media=custom_2x1in_2x1in
done

# --- a landscape label the same way round, through CUPS or not -----------
# The label sent to the app itself first; through each queue it must differ
# from that in less than one byte in a hundred (an edge a dot over from
# CUPS's rounding), where a label turned the other way differs at two
# corners.
mark=$work/landscape.pdf direct=""
"$pages" mark "$mark" || fail "the landscape label could not be written"
before=$(job_dirs)
if ! id=$("$client" submit "$uri" "$mark" application/pdf); then
  fail "landscape-direct: the app refused the job: $id"
elif ! state=$("$client" wait "$uri" "$id" "$job_timeout"); then
  fail "landscape-direct: the job did not complete: $state"
elif ! direct=$(device_job $((before + 1))); then
  fail "landscape-direct: nothing reached the printer"
fi
for queue in everywhere driverless; do
  cups_print "landscape-$queue" $queue "$mark" 812 1218
  [[ -n $last_dir && -n $direct ]] || continue
  differing=$(cmp -l "$direct/page-0001.pbm" "$last_dir/page-0001.pbm" | wc -l)
  size=$(stat -c %s "$direct/page-0001.pbm")
  echo "   $differing of its $size bytes differ from the label sent to the app itself"
  ((differing * 100 < size)) ||
    fail "landscape-$queue: the label is not turned as when it is sent to the app itself ($differing bytes differ)"
done

# --- the printer's settings apply to jobs from CUPS -----------------------
# Darkness 100 (blackness 10) and threshold halftoning as the printer's own
# settings; the app's log names the settings of each job.
"$client" form "$base_url" /labels/printing print-darkness=100 pelna-halftone=threshold ||
  fail "the printing defaults form was not taken"
for queue in everywhere driverless; do
  before_lines=$(wc -l <"$work/app.log")
  cups_print "settings-$queue" $queue "$picture" 406 203 -o media=custom_2x1in_2x1in
  settings=$(tail -n +"$before_lines" "$work/app.log" | grep -o 'Halftone [a-z ]*, blackness [0-9]*' | tail -1)
  echo "   the app printed it with: $settings"
  [[ $settings == "Halftone threshold, blackness 10" ]] ||
    fail "settings-$queue: the printer's darkness and halftone did not apply ($settings)"
done

stop_process "$cupsd_pid"
cupsd_pid=""
proof_finish cups_queues
