#!/usr/bin/env bash
#
# Load: 200 jobs from 4 concurrent clients (8-bit PWG raster pages, the
# bundled PNG picture and a label-sized JPEG, in turn), the clients
# retrying while the printer answers busy.  Every job must complete; the
# printer must receive exactly 200 jobs, each one sound page, in the order
# the server processed them, each client's jobs in the order it sent them;
# every raster page (each of its own height) must arrive once.  The
# server's resident memory after the run must be within 10 MB of before.
# Prints jobs per second and the server's peak memory.
#
#   load.sh APP INSPECT CLIENT PAGES PICTURE.png
#
set -uo pipefail
app=$1 inspect=$2 client=$3 pages=$4 picture=$5
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"

clients=4 per_client=50 memory_slack_kb=10240
log_level=info  # the job lines the order check reads, and no more

proof_setup
add_printer labels pelna_203 "socket://127.0.0.1:$printer_port"
uri=$(printer_uri labels)
docs=$work/docs
mkdir -p "$docs"
gs -q -dNOPAUSE -dBATCH -dSAFER -g406x203 -r203 -sDEVICE=jpeggray -o "$docs/label.jpg" \
  -c '0 setgray 20 20 moveto 120 0 rlineto 0 40 rlineto -120 0 rlineto closepath fill 0.5 setgray 80 10 40 50 rectfill showpage' \
  >/dev/null 2>&1 || { echo "FAIL: cannot draw the JPEG"; exit 1; }

# The list: client, document, format.  Raster page k (from 0) is 406 dots
# wide and 200 + k rows long, so each one is known at the printer.
list=$work/jobs.txt
: >"$list"
k=0
for ((s = 0; s < per_client; s++)); do
  for ((c = 0; c < clients; c++)); do
    case $(((c + s) % 3)) in
      0) "$pages" gray "$docs/page-$k.pwg" 406 $((200 + k)) 203 $((k % 256))
         echo "$c $docs/page-$k.pwg image/pwg-raster" >>"$list"; k=$((k + 1)) ;;
      1) echo "$c $picture image/png" >>"$list" ;;
      2) echo "$c $docs/label.jpg image/jpeg" >>"$list" ;;
    esac
  done
done
raster_pages=$k

# Warm up (the first job's one-time allocations), then measure.
id=$("$client" submit "$uri" "$docs/page-0.pwg" image/pwg-raster)
"$client" wait "$uri" "${id%% *}" 60 >/dev/null || fail "the warm-up job did not complete"
rss_before=$(awk '/^VmRSS/ { print $2 }' "/proc/$app_pid/status")
log_start=$(wc -l <"$work/app.log")

timeout 600 "$client" load "$uri" "$list" >"$work/load.out" 2>&1 || fail "the load did not complete:
$(grep -v '^job ' "$work/load.out" | head -20)"
sleep 1
rss_after=$(awk '/^VmRSS/ { print $2 }' "/proc/$app_pid/status")
peak=$(awk '/^VmHWM/ { print $2 }' "/proc/$app_pid/status")
summary=$(grep '^jobs ' "$work/load.out")

# Every job ended as completed, by the server's log (the server keeps only
# the last jobs in its history).
for ((i = 0; i < 100; i++)); do
  ended=$(tail -n +"$log_start" "$work/app.log" | grep -cE '\[Job [0-9]+\] (Completed|Aborted|Canceled), ')
  ((ended >= clients * per_client)) && break
  sleep 0.2
done
completed=$(tail -n +"$log_start" "$work/app.log" | grep -cE '\[Job [0-9]+\] Completed, ')
((completed == clients * per_client)) || fail "$completed jobs completed, not $((clients * per_client))"

# The order in which the server started the jobs, from its log.
tail -n +"$log_start" "$work/app.log" | sed -n 's/.*\[Job \([0-9]*\)\] Starting print job\..*/\1/p' >"$work/started.txt"
started=$(wc -l <"$work/started.txt")
((started == clients * per_client)) || fail "the server started $started jobs, not $((clients * per_client))"
sort -n "$work/started.txt" | uniq -d | grep -q . && fail "the server started a job twice"

# Each client's jobs in the order it sent them.
awk 'NR == FNR { position[$1] = FNR; next }
     $1 == "job" { if ($4 in position) { if (position[$4] < last[$2]) bad[$2] = 1; last[$2] = position[$4] }
                   else missing++ }
     END { for (c in bad) print "client " c " out of order"; if (missing) print missing " sent jobs never started" }' \
  "$work/started.txt" "$work/load.out" >"$work/order.txt"
[[ -s $work/order.txt ]] && fail "order: $(cat "$work/order.txt")"

# What the printer received (PAPPL keeps the device open across queued
# jobs, so one connection may carry several jobs): every connection sound,
# one page per job, the pages in the order the jobs started, after the
# warm-up job's page.
awk '$1 == "job" { print $4, $5, $6 }' "$work/load.out" | sort -n >"$work/sent.txt"
for ((i = 0; i < 100; i++)); do
  [[ -z $(find "$work/printer" -mindepth 1 -maxdepth 1 -name 'job-*' '!' -exec test -f '{}/summary.json' ';' -print) ]] && break
  sleep 0.1
done
: >"$work/rows.txt"
for dir in "$work"/printer/job-*; do
  [[ $(json_field "$dir" sound) == true ]] || fail "the printer's ${dir##*/} is not sound"
  sed -n 's/^ *"rows": \([0-9]*\),$/\1/p' "$dir/summary.json" >>"$work/rows.txt"
done
received=$(($(wc -l <"$work/rows.txt") - 1))
((received == clients * per_client)) || fail "the printer received $received pages, not $((clients * per_client))"
seen_heights=""
n=1
while read -r job_id; do
  n=$((n + 1))
  rows=$(sed -n "${n}p" "$work/rows.txt")
  file=$(awk -v id="$job_id" '$1 == id { print $3 }' "$work/sent.txt")
  if [[ $file == */page-*.pwg ]]; then
    k=${file##*/page-}
    k=${k%.pwg}
    [[ $rows == $((200 + k)) ]] || fail "page $((n - 1)) (job $job_id, raster page $k) has ${rows:-no} rows, not $((200 + k))"
    seen_heights+="$rows "
  elif [[ $rows != 1218 ]]; then
    fail "page $((n - 1)) (job $job_id, $file) has ${rows:-no} rows, not the 4 x 6 in label's 1218"
  fi
done <"$work/started.txt"
distinct=$(tr ' ' '\n' <<<"$seen_heights" | grep -c .)
unique=$(tr ' ' '\n' <<<"$seen_heights" | grep . | sort -u | wc -l)
((distinct == raster_pages && unique == raster_pages)) ||
  fail "raster pages at the printer: $distinct, $unique distinct, of $raster_pages sent"

growth=$((rss_after - rss_before))
((growth <= memory_slack_kb)) || fail "the server grew by $growth kB over the load"
# Throughput from the server's own clock: first job started to last job
# ended (the client cannot see jobs the server has dropped from history).
read -r _ jobs _ _ _ busy <<<"$summary"
seconds=$(tail -n +"$log_start" "$work/app.log" | grep -E '\] (Starting print job|(Completed|Aborted|Canceled), )' |
  sed -n 's/^. \[[0-9-]*T\([0-9]*\):\([0-9]*\):\([0-9.]*\)Z\].*/\1 \2 \3/p' |
  awk 'NR == 1 { first = $1 * 3600 + $2 * 60 + $3 } { last = $1 * 3600 + $2 * 60 + $3 }
       END { printf "%.2f", last - first }')
echo "load: $jobs jobs printed in $seconds s ($(awk -v j="$jobs" -v s="$seconds" 'BEGIN { if (s > 0) printf "%.1f", j / s }') jobs/s)," \
  "$busy busy answers retried; server memory $rss_before kB before, $rss_after kB after, peak $peak kB"
proof_finish load
