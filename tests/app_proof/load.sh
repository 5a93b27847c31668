#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Load: 200 jobs from 4 concurrent clients (8-bit PWG raster pages, the
# bundled PNG picture and a label-sized JPEG, in turn).  No client is ever
# told the printer is busy; every job completes, once; every document,
# raster too, waits in the queue: one job at a time, each client's in the
# order it sent them; the printer receives exactly 200 jobs, each one sound
# page, in the order the server started them; every raster page (each of
# its own height) arrives once.  The server's resident memory after the run
# must be within 10 MB of before.
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

proof_labels_setup
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

# The server's log in order: "start ID" and "end ID" lines, and each job
# sent as "ID CLIENT FORMAT ROWS" (the rows its page must have).
tail -n +"$log_start" "$work/app.log" |
  sed -n -e 's/.*\[Job \([0-9]*\)\] Starting print job\..*/start \1/p' \
         -e 's/.*\[Job \([0-9]*\)\] \(Completed\|Aborted\|Canceled\), .*/end \1/p' >"$work/events.txt"
awk '$1 == "start" { print $2 }' "$work/events.txt" >"$work/started.txt"
started=$(wc -l <"$work/started.txt")
((started == clients * per_client)) || fail "the server started $started jobs, not $((clients * per_client))"
sort -n "$work/started.txt" | uniq -d | grep -q . && fail "the server started a job twice"
awk '$1 == "job" { rows = 1218; if ($6 ~ /\/page-[0-9]+\.pwg$/) { k = $6; sub(/.*\/page-/, "", k); sub(/\.pwg$/, "", k); rows = 200 + k }
                   print $4, $2, $5, rows }' "$work/load.out" >"$work/sent.txt"

# Every document runs in the queue, one job at a time: none starts while
# another is under way.
awk '$1 == "start" { if (open != "") print "job " $2 " started while job " open " was under way"; open = $2 }
     $1 == "end" && $2 == open { open = "" }' "$work/events.txt" >"$work/overlap.txt"
[[ -s $work/overlap.txt ]] && fail "jobs under way together: $(head -3 "$work/overlap.txt")"

# Each client's documents, of every format, start in the order it sent them.
awk 'NR == FNR { position[$1] = FNR; next }
     { if (!($1 in position)) { missing++; next }
       if (position[$1] < last[$2]) bad[$2] = 1; last[$2] = position[$1] }
     END { for (c in bad) print "client " c " out of order"; if (missing) print missing " sent jobs never started" }' \
  "$work/started.txt" "$work/sent.txt" >"$work/order.txt"
[[ -s $work/order.txt ]] && fail "order: $(cat "$work/order.txt")"

# What the printer received (one connection per job): every connection
# sound, one page per job, after the warm-up job's page, in the order the
# jobs started; every raster page (each of its own height) once.
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
awk 'FILENAME == ARGV[1] { rows[$1] = $4; next }
     FILENAME == ARGV[2] { order[++jobs] = $1; next }
     FNR == 1 { next }
     { page = FNR - 1
       if (rows[order[page]] != $1) { print "page " page " has " $1 " rows; job " order[page] ", the " page "th started, has " rows[order[page]]; exit }
       if ($1 != 1218) heights[$1]++ }
     END { for (h in heights) { distinct++; if (heights[h] > 1) print "a raster page of " h " rows arrived " heights[h] " times" }
           print "raster pages " distinct + 0 }' \
  "$work/sent.txt" "$work/started.txt" "$work/rows.txt" >"$work/device.txt"
grep -v '^raster pages ' "$work/device.txt" | grep -q . && fail "at the printer: $(grep -v '^raster pages ' "$work/device.txt")"
grep -qx "raster pages $raster_pages" "$work/device.txt" ||
  fail "$(grep '^raster pages ' "$work/device.txt") distinct at the printer, of $raster_pages sent"

# A sanitizer build holds freed memory in quarantine, and its leak check at
# exit (proof_finish) stands in for the bound.
growth=$((rss_after - rss_before))
if [[ $(ldd "$app" 2>/dev/null) != *libasan* ]]; then
  ((growth <= memory_slack_kb)) || fail "the server grew by $growth kB over the load"
fi
# Throughput from the server's own clock: first job started to last job
# ended (the client cannot see jobs the server has dropped from history).
read -r _ jobs _ _ _ busy <<<"$summary"
((busy == 0)) || fail "clients were told $busy times that the printer was busy"
seconds=$(tail -n +"$log_start" "$work/app.log" | grep -E '\] (Starting print job|(Completed|Aborted|Canceled), )' |
  sed -n 's/^. \[[0-9-]*T\([0-9]*\):\([0-9]*\):\([0-9.]*\)Z\].*/\1 \2 \3/p' |
  awk 'NR == 1 { first = $1 * 3600 + $2 * 60 + $3 } { last = $1 * 3600 + $2 * 60 + $3 }
       END { printf "%.2f", last - first }')
echo "load: $jobs jobs printed in $seconds s ($(awk -v j="$jobs" -v s="$seconds" 'BEGIN { if (s > 0) printf "%.1f", j / s }') jobs/s)," \
  "$busy busy answers retried; server memory $rss_before kB before, $rss_after kB after, peak $peak kB"
proof_finish load
