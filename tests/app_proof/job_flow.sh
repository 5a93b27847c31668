#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# The job flow: every document waits in the queue.
#
#   - Paused: three clients send PWG raster, PNG and JPEG jobs at once;
#     nothing reaches the printer while it is paused, and a waiting raster
#     job is cancelled; resumed, every other job prints once, in submission
#     (job id) order, the cancelled one never.
#   - A printer that refuses connections: the job waits, the printer reports
#     offline-report (not paused) and the job's message names the printer;
#     when the printer comes, the job prints once, whole, and its message
#     ends with that outcome (not with the printer answering again).
#   - A printer that goes away inside a frame: the job is not completed; it
#     is sent again, whole, once the printer is back, and says so at the end.
#   - A printer that accepts and never reads: offline-report, and the job's
#     message says why it waits; a job the printer's network stack took
#     whole ends after 30 s completed with a warning, saying the printer did
#     not confirm it; one it did not take cancels within seconds and the
#     server keeps answering.
#
#   job_flow.sh APP INSPECT CLIENT PAGES
#
set -uo pipefail
app=$1 inspect=$2 client=$3 pages=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"

proof_labels_setup

# Each job is known at the printer by its page's width and rows: raster
# job k is 406 dots wide and 100 + k rows long, PNG job k is placed on a
# 4 x k in label, the JPEGs on 4 x 5, 4 x 6, 3 x 2 and 2 x 1 in labels.
gs -q -dNOPAUSE -dBATCH -dSAFER -g406x203 -r203 -sDEVICE=jpeggray -o "$docs/label.jpg" \
  -c '0 setgray 20 20 moveto 120 0 rlineto 0 40 rlineto -120 0 rlineto closepath fill showpage' \
  >/dev/null 2>&1 || { echo "FAIL: cannot draw the JPEG"; exit 1; }
"$pages" png "$docs/label.png" 300 150
for ((k = 1; k <= 4; k++)); do
  "$pages" gray "$docs/page-$k.pwg" 406 $((100 + k)) 203 $((40 * k))
done

jpeg_media=(4x5 4x6 3x2 2x1)

#
# media_of W_x_L - The media name the printer lists for a W x L in label.
#
media_of() {
  "$client" attr "$uri" media-supported | tr ',' '\n' | grep -m1 "_${1}in\$"
}

#
# send_jobs CLIENT - One client's four jobs, one after another; prints
# "ID WIDTH ROWS" per job.
#
send_jobs() {
  local k id size
  for ((k = 1; k <= 4; k++)); do
    case $1 in
      raster) id=$("$client" submit "$uri" "$docs/page-$k.pwg" image/pwg-raster); echo "${id%% *} 406 $((100 + k))" ;;
      png) id=$("$client" submit "$uri" "$docs/label.png" image/png "media=$(media_of "4x$k")")
           echo "${id%% *} 812 $((203 * k))" ;;
      jpeg) size=${jpeg_media[k - 1]}
            id=$("$client" submit "$uri" "$docs/label.jpg" image/jpeg "media=$(media_of "$size")")
            echo "${id%% *} $((203 * ${size%x*})) $((203 * ${size#*x}))" ;;
    esac
    [[ $id == *" "* ]] && echo "submission answered ${id#* }" >&2
  done
}

# --- Paused: three clients, nothing printed until resumed, then in order.
timeout 30 "$app" pause -d labels >/dev/null || fail "pause refused"
senders=()
for c in raster png jpeg; do
  send_jobs "$c" >"$work/sent-$c.txt" &
  senders+=($!)
done
wait "${senders[@]}"
sort -n "$work"/sent-*.txt >"$work/sent.txt"
(($(wc -l <"$work/sent.txt") == 12)) || fail "not every job was acknowledged: $(cat "$work"/sent-*.txt)"
grep -q '^[0-9]* ' "$work/sent.txt" || fail "no job ids"
cancelled=$(head -1 "$work/sent-raster.txt" | cut -d' ' -f1)
"$client" cancel "$uri" "$cancelled" || fail "the waiting raster job $cancelled could not be cancelled"
sleep 3
(($(job_dirs) == 0)) || fail "the paused printer received $(job_dirs) job(s)"
reasons=$("$client" attr "$uri" printer-state-reasons)
[[ $reasons == *paused* ]] || fail "the paused printer reports $reasons"

timeout 30 "$app" resume -d labels >/dev/null || fail "resume refused"
while read -r id width rows; do
  state=$("$client" wait "$uri" "$id" 60)
  if [[ $id == "$cancelled" ]]; then
    [[ $state == canceled* ]] || fail "the cancelled job $id is $state"
  else
    [[ $state == completed* ]] || fail "job $id is $state"
    echo "$width $rows" >>"$work/expected.txt"
  fi
done <"$work/sent.txt"
: >"$work/received.txt"
for ((n = 1; n <= $(job_dirs); n++)); do
  dir=$(device_job "$n") || continue
  [[ $(json_field "$dir" sound) == true ]] || fail "the printer's job $n is not sound"
  echo "$(json_field "$dir" width) $(json_field "$dir" rows)" >>"$work/received.txt"
done
if ! cmp -s "$work/expected.txt" "$work/received.txt"; then
  fail "the printer received the pages out of submission order or not once each:
  expected $(tr '\n' ',' <"$work/expected.txt")
  received $(tr '\n' ',' <"$work/received.txt")"
fi
echo "== paused: 12 jobs from 3 clients held, one cancelled, 11 printed in submission order"

#
# wait_for STATE_PATTERN URI JOB SECONDS - Poll the job's state until it
# matches (bounded); prints the last state.
#
wait_for() {
  local state i
  for ((i = 0; i < $4 * 5; i++)); do
    state=$("$client" wait "$2" "$3" 0)
    [[ $state == $1 ]] && break
    sleep 0.2
  done
  echo "$state"
}

#
# device_comes PORT OUT - pelna-inspect listening on PORT; sets late_pid.
#
device_comes() {
  late_pid=""
  "$inspect" --listen "$1" --out "$2" >"$2.log" 2>&1 &
  late_pid=$!
}

# --- A printer that refuses connections: the job waits, the printer says
# why, and the job prints once the printer is there.
port=$(free_port)
add_printer gone pelna_203 "socket://127.0.0.1:$port"
gone=$(printer_uri gone)
id=$("$client" submit "$gone" "$docs/page-1.pwg" image/pwg-raster)
id=${id%% *}
state=$(wait_for 'processing*127.0.0.1:'"$port"'*' "$gone" "$id" 10)
reasons=$("$client" attr "$gone" printer-state-reasons)
echo "== refused: $state; printer-state-reasons: $reasons"
[[ $state == processing*"127.0.0.1:$port"* ]] || fail "refused: the job does not say which printer it waits for"
[[ $reasons == *offline-report* && $reasons != *paused* ]] || fail "refused: the printer reports $reasons"
device_comes "$port" "$work/gone"
state=$("$client" wait "$gone" "$id" 30)
stop_process "$late_pid"
echo "== refused, then the printer came: $state"
[[ $state == completed* ]] || fail "refused: the job is $state once the printer came"
[[ $state == *"| The printer at 127.0.0.1:$port has taken the whole job." ]] ||
  fail "refused: the job's message is not its outcome ($state)"
[[ $(json_field "$work/gone/job-0001" sound) == true && ! -d $work/gone/job-0002 ]] ||
  fail "refused: the printer did not receive the job once, whole"
reasons=$("$client" attr "$gone" printer-state-reasons)
[[ $reasons == none ]] || fail "refused: the printer still reports $reasons"

# --- A printer that goes away inside a frame: sent again, whole.
port=$(free_port)
add_printer flaky pelna_203 "socket://127.0.0.1:$port"
flaky=$(printer_uri flaky)
"$pages" dots "$docs/dots.pwg" 832 2000 203 7
"$client" device "$port" drop 20000 >"$work/drop.out" 2>&1 &
drop_pid=$!
for ((i = 0; i < 50; i++)); do grep -q listening "$work/drop.out" && break; sleep 0.1; done
id=$("$client" submit "$flaky" "$docs/dots.pwg" image/pwg-raster)
id=${id%% *}
for ((i = 0; i < 100; i++)); do kill -0 "$drop_pid" 2>/dev/null || break; sleep 0.1; done
stop_process "$drop_pid"
state=$(wait_for 'processing*' "$flaky" "$id" 5)
echo "== dropped after $(sed -n 's/took \([0-9]*\) bytes/\1/p' "$work/drop.out") bytes: $state"
[[ $state == processing* ]] || fail "dropped: the job is $state after the printer went away inside a frame"
device_comes "$port" "$work/flaky"
state=$("$client" wait "$flaky" "$id" 30)
stop_process "$late_pid"
[[ $state == completed* ]] || fail "dropped: the job is $state once the printer came back"
[[ $state == *"| The printer at 127.0.0.1:$port has taken the whole job." ]] ||
  fail "dropped: the job's message is not its outcome ($state)"
[[ $(json_field "$work/flaky/job-0001" sound) == true && $(json_field "$work/flaky/job-0001" pages) == 1 &&
   ! -d $work/flaky/job-0002 ]] || fail "dropped: the printer did not receive the job once, whole"

# --- A printer that accepts and never reads: reported, and cancelled.
port=$(free_port)
add_printer stuck pelna_203 "socket://127.0.0.1:$port"
stuck=$(printer_uri stuck)
"$client" device "$port" stall 150 >"$work/stall.out" 2>&1 &
stall_pid=$!
for ((i = 0; i < 50; i++)); do grep -q listening "$work/stall.out" && break; sleep 0.1; done
# A small job, which the printer's network stack takes whole: the printer
# is reported while the job waits for it to confirm, and after 30 s the job
# ends completed with a warning, its message saying it was not confirmed.
id=$("$client" submit "$stuck" "$docs/page-1.pwg" image/pwg-raster)
id=${id%% *}
state=$(wait_for 'processing*not confirmed the job for*' "$stuck" "$id" 20)
reasons=$("$client" attr "$stuck" printer-state-reasons)
echo "== never reads, small job: $state; printer-state-reasons: $reasons"
[[ $state == processing*"127.0.0.1:$port: it has taken all "*" bytes and not confirmed the job for "*" s." ]] ||
  fail "never reads: the job does not say why it waits to be confirmed ($state)"
[[ $reasons == *offline-report* ]] || fail "never reads: the printer reports $reasons while the job waits"
state=$("$client" wait "$stuck" "$id" 40)
reasons=$("$client" attr "$stuck" printer-state-reasons)
echo "== never reads, small job ended: $state; printer-state-reasons: $reasons"
[[ $state == completed*job-completed-with-warnings*"| The printer at 127.0.0.1:$port did not confirm the job"* ]] ||
  fail "never reads: the small job did not end saying the printer did not confirm it ($state)"
[[ $reasons == none ]] || fail "never reads: the printer still reports $reasons once the job ended"
# A large job, most of which stays unacknowledged: the job waits with the
# printer reported, says how much the printer took, and cancels within
# seconds.
id=$("$client" submit "$stuck" "$docs/dots.pwg" image/pwg-raster copies=40)
id=${id%% *}
state=$(wait_for 'processing*nothing*for*' "$stuck" "$id" 30)
reasons=$("$client" attr "$stuck" printer-state-reasons)
echo "== never reads, large job: $state; printer-state-reasons: $reasons"
[[ $state == processing*"127.0.0.1:$port: it "*"taken "*"nothing"*" for "*" s." ]] ||
  fail "never reads: the job does not say why it waits ($state)"
[[ $reasons == *offline-report* ]] || fail "never reads: the printer reports $reasons"
cancel_within "never reads" "$stuck" "$id" 10
stop_process "$stall_pid"

proof_finish job_flow
