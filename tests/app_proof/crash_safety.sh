#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Crashes, damaged state and a full disk lose nothing:
#
#   - A queue of 30 jobs, the server killed (SIGKILL) at random moments while
#     it prints them and started again each time: every job completes, its
#     page reaches the printer whole, and a second time only when the log
#     says it was printing when the server stopped (it starts again from its
#     first page); the state file is whole at every start.
#   - Four clients submitting jobs in a burst (their records flushed to the
#     journal together), the server killed at random moments and started
#     again: every job a client was told was accepted completes, and prints
#     once (twice only when the log says it was printing when the server
#     stopped).
#   - 250 jobs, past the journal's bound: the whole state is saved and the
#     journal starts again, and after a kill the jobs read back as before.
#   - A printer that reads slowly, the server killed while most of a job's
#     bytes are still unacknowledged and the connection then reset: the job
#     was not noted as printed, and after the restart it prints again,
#     whole, from its first page.
#   - A state file cut short or emptied: the server says so in an error line
#     naming the file, keeps it aside, and starts from the last good copy
#     with its printers and jobs.
#   - A damaged state file whose last good copy is older than the newest
#     job: that job comes back from the journal and prints, a document no
#     job names is kept aside with an error line naming it, nothing is
#     deleted, and no job id is given twice.
#   - A second server on the same state folder refuses to start and names the
#     first; SIGTERM and the shutdown sub-command end the server within
#     seconds, with a held job and a client's idle connection open, and the
#     held job waits on after a restart.
#   - A full disk (root only: a small tmpfs of the test's own): a new job is
#     refused with the disk's own reason; a change of darkness is refused
#     with it too (in effect, but lost at a stop, as the reply says) and a
#     cancel is answered as done; after a kill and a restart the darkness
#     is as before and the job stays cancelled; printing goes on once there
#     is room.
#
#   crash_safety.sh APP INSPECT CLIENT PAGES
#
set -uo pipefail
app=$1 inspect=$2 client=$3 pages=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"

log_level=info  # the job lines the checks read
state_file=""   # set once the server runs
full_mount=""   # the full disk's mount point, when made
slow_pid=""     # the slow printer, while it runs

proof_setup
trap 'stop_process "$slow_pid"; proof_cleanup' EXIT
state_file=$SNAP_COMMON/pelna-printer-app.state
add_printer labels pelna_203 "socket://127.0.0.1:$printer_port"
uri=$(printer_uri labels)
docs=$work/docs
mkdir -p "$docs"

#
# restart - Kill the server without a word and start it again on a new
# port; the state file must load whole.
#
restart() {
  kill -KILL "$app_pid" 2>/dev/null
  wait "$app_pid" 2>/dev/null
  app_pid=""
  start_app_server
  uri=$(printer_uri labels)
  if grep -q "cannot be read\|is missing" "$work/app.log"; then
    fail "the state file was not whole after a kill: $(grep 'cannot be read\|is missing' "$work/app.log" | tail -1)"
  fi
}

#
# sound_rows - The rows of every sound page the printer received, one a line.
#
sound_rows() {
  local dir
  for dir in "$work"/printer/job-*; do
    [[ -f $dir/summary.json ]] || continue
    awk '/^      "sound": / { sound = ($2 == "true,") } /^      "rows": / { if (sound) print $2 + 0 }' \
      "$dir/summary.json"
  done
}

# --- A queue of 30 jobs, killed while printing -------------------------------
# Pages of dots, which hardly compress, so that each takes a while to print;
# job k's page is 7000 + k rows long.
for ((k = 1; k <= 30; k++)); do
  "$pages" dots "$docs/page-$k.pwg" 832 $((7000 + k)) 203 "$k"
done
timeout 30 "$app" pause -d labels >/dev/null || fail "pause refused"
: >"$work/queue.txt"
for ((k = 1; k <= 30; k++)); do
  id=$("$client" submit "$uri" "$docs/page-$k.pwg" image/pwg-raster) || fail "job $k refused: $id"
  echo "${id%% *} $((7000 + k))" >>"$work/queue.txt"
done
timeout 30 "$app" resume -d labels >/dev/null || fail "resume refused"
last_id=$(tail -1 "$work/queue.txt" | cut -d' ' -f1)
# Each kill comes a random moment after the printer has had one or two
# more jobs, so that the kills fall all along the queue.
for ((kills = 0; kills < 15; kills++)); do
  target=$(($(job_dirs) + 1 + RANDOM % 2))
  for ((i = 0; i < 100 && $(job_dirs) < target; i++)); do sleep 0.05; done
  sleep "0.0$((RANDOM % 10))"
  "$client" wait "$uri" "$last_id" 0 >/dev/null && break  # the queue has printed
  restart
done
while read -r id rows; do
  state=$("$client" wait "$uri" "$id" 60)
  [[ $state == completed* ]] || fail "queued job $id is $state after $kills kills"
done <"$work/queue.txt"
for ((i = 0; i < 100; i++)); do
  [[ -z $(find "$work/printer" -mindepth 1 -maxdepth 1 -name 'job-*' '!' -exec test -f '{}/summary.json' ';' -print) ]] && break
  sleep 0.1
done
sound_rows | sort -n | uniq -c >"$work/received.txt"
restarted=$(sed -n -e 's/.*Job \([0-9]*\) was printing when the server stopped.*/\1/p' \
                   -e 's/.*Job \([0-9]*\) may have reached the printer just before the server stopped.*/\1/p' \
                   "$work/app.log" | sort -nu)
while read -r id rows; do
  times=$(awk -v r="$rows" '$2 == r { print $1 }' "$work/received.txt")
  if [[ -z $times ]]; then
    fail "job $id ($rows rows) never reached the printer whole"
  elif ((times > 1)) && ! grep -qx "$id" <<<"$restarted"; then
    fail "job $id reached the printer $times times, though the log does not say it might"
  elif ((times > 2)); then
    fail "job $id reached the printer $times times"
  fi
done <"$work/queue.txt"
echo "== queue: 30 jobs, $kills kills, $(wc -w <<<"$restarted") logged as printing again," \
  "$(awk '$1 > 1' "$work/received.txt" | wc -l) printed twice"

# --- A burst of submissions, killed ------------------------------------------
# Clients 0 and 2 send pages each of its own length (160 to 319 rows), so
# that the printer's pages tell which job they are; clients 1 and 3 send a
# PNG picture.
"$pages" png "$docs/small.png" 200 100
for ((k = 1; k <= 2; k++)); do
  "$pages" gray "$docs/small-$k.pwg" 406 $((150 + k)) 203 128
done
burst_rows() { echo $((160 + ($1 - 1) * 32 + $2 * 8 + $3)); }  # ROUND CLIENT N
for ((round = 1; round <= 5; round++)); do
  for c in 0 2; do
    for ((n = 0; n < 8; n++)); do
      "$pages" gray "$docs/burst-$round-$c-$n.pwg" 406 "$(burst_rows "$round" "$c" "$n")" 203 128
    done
  done
done
acked=0
for ((round = 1; round <= 5; round++)); do
  rm -f "$work/stop"
  senders=()
  # Four clients, at most 8 jobs each: the round's jobs stay in the
  # server's history of finished jobs to be checked.
  for ((c = 0; c < 4; c++)); do
    (
      for ((n = 0; n < 8; n++)); do
        [[ -e $work/stop ]] && break
        if ((c % 2)); then
          id=$("$client" submit "$uri" "$docs/small.png" image/png 2>/dev/null) rows=0
        else
          id=$("$client" submit "$uri" "$docs/burst-$round-$c-$n.pwg" image/pwg-raster 2>/dev/null)
          rows=$(burst_rows "$round" "$c" "$n")
        fi
        [[ $id =~ ^[0-9]+ ]] && echo "${id%% *} $rows" >>"$work/acked-$round-$c.txt"
      done
    ) &
    senders+=($!)
  done
  sleep "0.$((RANDOM % 9))$((RANDOM % 10))"
  kill -KILL "$app_pid" 2>/dev/null
  wait "$app_pid" 2>/dev/null
  touch "$work/stop"
  wait "${senders[@]}"
  app_pid=""
  start_app_server
  uri=$(printer_uri labels)
  cat "$work"/acked-"$round"-*.txt 2>/dev/null | sort -n >"$work/acked-$round.txt"
  while read -r id rows; do
    state=$("$client" wait "$uri" "$id" 60)
    [[ $state == completed* ]] || fail "acknowledged job $id of burst $round is $state"
    acked=$((acked + 1))
  done <"$work/acked-$round.txt"
done
for ((i = 0; i < 100; i++)); do
  [[ -z $(find "$work/printer" -mindepth 1 -maxdepth 1 -name 'job-*' '!' -exec test -f '{}/summary.json' ';' -print) ]] && break
  sleep 0.1
done
sound_rows | sort -n | uniq -c >"$work/received.txt"
restarted=$(sed -n -e 's/.*Job \([0-9]*\) was printing when the server stopped.*/\1/p' \
                   -e 's/.*Job \([0-9]*\) may have reached the printer just before the server stopped.*/\1/p' \
                   "$work/app.log" | sort -nu)
twice=0
while read -r id rows; do
  ((rows > 0)) || continue
  times=$(awk -v r="$rows" '$2 == r { print $1 }' "$work/received.txt")
  if [[ -z $times ]]; then
    fail "acknowledged job $id ($rows rows) of a burst never reached the printer whole"
  elif ((times > 1)) && ! grep -qx "$id" <<<"$restarted"; then
    fail "acknowledged job $id of a burst reached the printer $times times, though the log does not say it might"
  elif ((times > 2)); then
    fail "acknowledged job $id of a burst reached the printer $times times"
  fi
  ((times > 1)) && twice=$((twice + 1))
done < <(cat "$work"/acked-?.txt)
echo "== burst: $acked acknowledged jobs in 5 bursts, each ended by a kill; $twice printed twice, as logged"

# --- Jobs past the journal's bound: the whole state saved, read back equal --
# 250 jobs wait on a paused printer, each a record with its settings (about
# 700 bytes): the journal passes its bound of 128 KiB, so the whole state is
# saved with the jobs and the journal starts again.  After a kill the jobs
# read back as they were, and all print.
journal=$state_file.journal
timeout 30 "$app" pause -d labels >/dev/null || fail "pause refused"
: >"$work/bound.txt"
for ((k = 0; k < 250; k++)); do
  id=$("$client" submit "$uri" "$docs/small-1.pwg" image/pwg-raster) || fail "bound: job $k refused: $id"
  echo "${id%% *}" >>"$work/bound.txt"
done
first=$(head -1 "$work/bound.txt")
for ((i = 0; i < 50; i++)); do
  grep -q "^Job .*id=\"$first\"" "$state_file" && break
  sleep 0.1
done
grep -q "^Job .*id=\"$first\"" "$state_file" || fail "bound: the state was not saved whole past the journal's bound"
size=$(stat -c %s "$journal")
((size < 131072)) || fail "bound: the journal is $size bytes, past its bound"
while read -r id; do "$client" wait "$uri" "$id" 0; done <"$work/bound.txt" >"$work/bound-before.txt"
restart
while read -r id; do "$client" wait "$uri" "$id" 0; done <"$work/bound.txt" >"$work/bound-after.txt"
cmp -s "$work/bound-before.txt" "$work/bound-after.txt" ||
  fail "bound: the jobs read back otherwise after a kill: $(diff "$work/bound-before.txt" "$work/bound-after.txt" | head -3)"
echo "== bound: 250 jobs, journal $size bytes after the whole save, $(sort -u "$work/bound-before.txt" | cut -d' ' -f1 | uniq -c | xargs)"
timeout 30 "$app" resume -d labels >/dev/null || fail "resume refused"
state=$("$client" wait "$uri" "$(tail -1 "$work/bound.txt")" 60)
[[ $state == completed* ]] || fail "bound: the last job is $state"

# --- A slow printer, the server killed with bytes unacknowledged ------------
# Three pages of dots (62 KB of printer data each) to a printer that reads
# 10 KB a second through a small receive buffer: the last write returns at
# once, long before the printer has the bytes, and the job says how much it
# has taken.  The server is killed while most of them are unacknowledged and
# the printer's connection is then reset (a power cut: the bytes still
# queued are gone).  The job was not noted as printed; after the restart it
# prints again, whole, from its first page.
for k in 1 2 3; do
  "$pages" dots "$docs/slow-$k.pwg" 832 600 203 $((40 + k))
done
{ cat "$docs/slow-1.pwg"; tail -c +5 "$docs/slow-2.pwg"; tail -c +5 "$docs/slow-3.pwg"; } >"$docs/slow.pwg"
slow_port=$(free_port)
add_printer slow pelna_203 "socket://127.0.0.1:$slow_port"
slow_uri=$(printer_uri slow)
"$client" device "$slow_port" slow 10000 >"$work/slow.out" 2>&1 &
slow_pid=$!
for ((i = 0; i < 50; i++)); do grep -q listening "$work/slow.out" && break; sleep 0.1; done
id=$("$client" submit "$slow_uri" "$docs/slow.pwg" image/pwg-raster)
id=${id%% *}
for ((i = 0; i < 100; i++)); do
  read_bytes=$(sed -n 's/^read //p' "$work/slow.out" | tail -1)
  ((${read_bytes:-0} >= 40000)) && break
  sleep 0.1
done
state=$("$client" wait "$slow_uri" "$id" 0)
echo "== slow printer, $read_bytes bytes read: $state"
[[ $state == processing*"has taken "*" of "*" bytes"* ]] || fail "slow printer: the job does not say how much it has taken"
grep -q "printed $id .* \"slow\"\$" "$state_file" "$state_file.journal" &&
  fail "slow printer: job $id was noted as printed with most of its bytes unacknowledged"
kill -KILL "$app_pid" 2>/dev/null
wait "$app_pid" 2>/dev/null
app_pid=""
stop_process "$slow_pid"  # unread bytes make its close a reset
log_lines=$(wc -l <"$work/app.log")  # (the restart's lines come after)
read_bytes=$(sed -n 's/^read //p' "$work/slow.out" | tail -1)
"$inspect" --listen "$slow_port" --out "$work/slow-printer" >"$work/slow-printer.log" 2>&1 &
slow_pid=$!
start_app_server
slow_uri=$(printer_uri slow)
uri=$(printer_uri labels)
state=$("$client" wait "$slow_uri" "$id" 60)
stop_process "$slow_pid"
slow_pid=""
echo "== slow printer, killed after it had read $read_bytes bytes, then restarted: $state"
[[ $state == completed* ]] || fail "slow printer: job $id is $state after the restart"
(($(wc -l <"$work/app.log") > log_lines)) || log_lines=0  # PAPPL started the log afresh
restart_log=$(tail -n +$((log_lines + 1)) "$work/app.log")
grep -q "Job $id had reached the printer whole" <<<"$restart_log" &&
  fail "slow printer: job $id was taken as printed after the restart"
grep -qE "Job $id (was printing|may have reached the printer)" <<<"$restart_log" ||
  fail "slow printer: the restart's log does not say job $id prints again"
[[ -f $work/slow-printer/job-0001/summary.json && $(json_field "$work/slow-printer/job-0001" pages) == 3 &&
   $(json_field "$work/slow-printer/job-0001" sound) == true && ! -d $work/slow-printer/job-0002 ]] ||
  fail "slow printer: the job was not printed again once, whole, from its first page"

# --- A damaged state file: kept aside, the last good copy used ---------------
for damage in cut empty; do
  stop_process "$app_pid"
  app_pid=""
  case $damage in
    cut) size=$(stat -c %s "$state_file"); truncate -s $((size / 2)) "$state_file" ;;
    empty) : >"$state_file" ;;
  esac
  case $damage in
    cut) reason="it was cut short" ;;
    empty) reason="it is empty" ;;
  esac
  start_app_server
  uri=$(printer_uri labels)
  # (The server may answer before it has read its state; PAPPL starts its
  # log afresh past 1 MB: the lines are read from the last.)
  for ((i = 0; i < 100; i++)); do
    line=$(grep "^E .*\"$state_file\" cannot be read ($reason)" "$work/app.log" | tail -1)
    [[ -n $line ]] && grep -q "Using the last good copy" "$work/app.log" && break
    sleep 0.1
  done
  echo "== $damage state file: $line"
  [[ -n $line && -f $state_file.bad ]] || fail "$damage state file: no error line naming it, or it was not kept aside"
  # (Not grep -q at the end of a pipe: sed, cut off, would fail it.)
  [[ $(sed -n "/cannot be read ($reason)/,\$p" "$work/app.log") == *"Using the last good copy"* ]] ||
    fail "$damage state file: the last good copy was not used"
  id=$("$client" submit "$uri" "$docs/small-1.pwg" image/pwg-raster)
  state=$("$client" wait "$uri" "${id%% *}" 60)
  [[ $state == completed* ]] || fail "$damage state file: the printer did not come back ($state)"
done

# --- A damaged state, its last good copy older than the newest job ---------
# The last good copy is the state before the newest job came, which is in
# the journal; beside that job's files, the spool folder holds a document
# whose request was never answered, with a higher job id.
spool=$SNAP_COMMON/pelna-printer-app.d
timeout 30 "$app" pause -d labels >/dev/null || fail "pause refused"
"$client" submit "$uri" "$docs/small-1.pwg" image/pwg-raster >/dev/null || fail "older job refused"
cp "$state_file" "$work/older.state"
newest=$("$client" submit "$uri" "$docs/small-2.pwg" image/pwg-raster)
newest=${newest%% *}
kill -KILL "$app_pid" 2>/dev/null
wait "$app_pid" 2>/dev/null
app_pid=""
cp "$work/older.state" "$state_file.bak"
truncate -s $(($(stat -c %s "$state_file") / 2)) "$state_file"
newest_doc=$(ls "$spool"/p*j"$(printf '%09d' "$newest")"-*.pwg 2>/dev/null | head -1)
[[ -n $newest_doc ]] || fail "older copy: the newest job $newest has no document"
newest_doc=${newest_doc:-$spool/none}
stray_id=$((newest + 5))
stray=$(dirname "$newest_doc")/$(basename "$newest_doc" | cut -c1-7)$(printf '%09d' "$stray_id")-lost.pwg
cp "$docs/small-1.pwg" "$stray"
ls "$spool" >"$work/spool-before.txt"
start_app_server
uri=$(printer_uri labels)
for ((i = 0; i < 100; i++)); do
  grep -q "Using the last good copy" "$work/app.log" && grep -q "Kept \"$stray\" aside" "$work/app.log" && break
  sleep 0.1
done
line=$(grep "^E .*Kept \"$stray\" aside as \"$stray.orphan\"" "$work/app.log" | tail -1)
echo "== older copy: $line"
[[ -n $line && -f $stray.orphan ]] || fail "older copy: the stray document was not kept aside with an error line"
cmp -s "$docs/small-1.pwg" "$stray.orphan" || fail "older copy: the stray document kept aside is not whole"
while read -r name; do
  [[ -e $spool/$name || -e $spool/$name.orphan ]] || fail "older copy: $name was deleted"
done <"$work/spool-before.txt"
grep -q "Adding the changes of the journal" "$work/app.log" ||
  fail "older copy: no line says the journal's changes were added to the last good copy"
state=$("$client" wait "$uri" "$newest" 0)
[[ $state == pending* ]] || fail "older copy: the newest job $newest is $state, not waiting to print"
next=$("$client" submit "$uri" "$docs/small-1.pwg" image/pwg-raster)
next=${next%% *}
echo "== older copy: newest job $newest back ($state), stray document id $stray_id, next job $next"
((next > stray_id)) || fail "older copy: job id $next given after ids up to $stray_id in the spool folder"
timeout 30 "$app" resume -d labels >/dev/null || fail "resume refused"
for id in "$newest" "$next"; do
  state=$("$client" wait "$uri" "$id" 60)
  [[ $state == completed* ]] || fail "older copy: job $id is $state"
done

# --- A waiting job's settings cut short: the job is ended with the reason --
# (A waiting job's settings are in the journal until the state is saved
# whole, at the latest when the server stops: then in a file of its own.)
timeout 30 "$app" pause -d labels >/dev/null || fail "pause refused"
id=$("$client" submit "$uri" "$docs/small-1.pwg" image/pwg-raster)
id=${id%% *}
stop_process "$app_pid"
app_pid=""
settings=$(ls "$SNAP_COMMON"/pelna-printer-app.d/p*j$(printf '%09d' "$id")-*.ipp 2>/dev/null | head -1)
if [[ -z $settings ]]; then
  fail "cut settings: job $id has no settings file"
else
  truncate -s $(($(stat -c %s "$settings") / 2)) "$settings"
fi
start_app_server
uri=$(printer_uri labels)
state=$("$client" wait "$uri" "$id" 10)
echo "== cut settings: $state"
[[ $state == canceled*"settings were cut short"* ]] || fail "cut settings: job $id is $state"
timeout 30 "$app" resume -d labels >/dev/null || fail "resume refused"
# Why it ended is kept across the next restart, as its state is.
stop_process "$app_pid"
start_app_server
uri=$(printer_uri labels)
state=$("$client" wait "$uri" "$id" 10)
[[ $state == canceled*"settings were cut short"* ]] || fail "cut settings: after a restart, job $id is $state"

# --- One server per state folder, and a stop within seconds ------------------
# A second server on the same state refuses to start and names the first,
# whose local socket and jobs stay its own.
second=$(timeout 20 "$app" server -o server-port="$(free_port)" 2>&1)
second_status=$?
((second_status != 0)) || fail "a second server started on the same state folder"
grep -q "another server (process $app_pid)" <<<"$second" ||
  fail "the second server did not name the first: $second"
timeout 10 "$app" printers 2>&1 | grep -q '^labels' || fail "the first server's socket was taken by the second"
# A held job, an idle connection kept open (as a browser keeps one), then
# SIGTERM: the server ends within seconds and the held job waits on.
id=$("$client" submit "$uri" "$docs/small-1.pwg" image/pwg-raster job-hold-until=indefinite)
id=${id%% *}
exec 3<>"/dev/tcp/127.0.0.1/$app_port"
printf 'GET / HTTP/1.1\r\nHost: localhost\r\n\r\n' >&3
sleep 0.5
start=$SECONDS
kill -TERM "$app_pid"
for ((i = 0; i < 300; i++)); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
stop_process "$app_pid"
app_pid=""
exec 3>&-
echo "== stop: SIGTERM with a held job and an open connection took $((SECONDS - start)) s"
((SECONDS - start <= 5)) || fail "SIGTERM took $((SECONDS - start)) s with a held job and an idle connection"
start_app_server
uri=$(printer_uri labels)
state=$("$client" wait "$uri" "$id" 0)
[[ $state == pending-held* ]] || fail "the held job is $state after the stop and a restart"
"$client" cancel "$uri" "$id" || fail "the held job could not be cancelled"
# The shutdown sub-command, with a connection kept open: the same.
exec 3<>"/dev/tcp/127.0.0.1/$app_port"
printf 'GET / HTTP/1.1\r\nHost: localhost\r\n\r\n' >&3
sleep 0.5
start=$SECONDS
timeout 10 "$app" shutdown || fail "the shutdown sub-command failed"
for ((i = 0; i < 300; i++)); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
exec 3>&-
((SECONDS - start <= 5)) || fail "the shutdown sub-command took $((SECONDS - start)) s to end the server"
stop_process "$app_pid"
start_app_server
uri=$(printer_uri labels)

# --- A full disk (root only) -------------------------------------------------
#
# fill N - Fill the small disk (again: a save that fails frees what it wrote).
#
fill() {
  dd if=/dev/zero of="$full_mount/filler-$1" bs=4k 2>/dev/null
}

if [[ $(id -u) != 0 ]]; then
  echo "== full disk: skipped (not root)"
else
  stop_process "$app_pid"
  app_pid=""
  full_mount=$(mktemp -d /tmp/pelna-full.XXXXXX)
  trap 'exec 4<&- 5<&-; stop_process "$app_pid"; app_pid=""; umount "$full_mount" 2>/dev/null; rmdir "$full_mount"; proof_cleanup' EXIT
  mount -t tmpfs -o size=4m tmpfs "$full_mount" || fail "cannot mount a small tmpfs"
  cp -a "$SNAP_COMMON"/pelna-printer-app.state "$full_mount"/
  SNAP_COMMON=$full_mount start_app "$work/full" info || fail "the server did not start on the small disk"
  full_uri="ipp://127.0.0.1:$app_port/ipp/print/labels"
  fill 1
  out=$("$client" submit "$full_uri" "$docs/small.png" image/png)
  echo "== full disk: submission: $out"
  [[ $out == refused*"No space left on device"* ]] || fail "full disk: not refused with the disk's reason ($out)"
  grep -q "No space left on device" "$work/full.log" || fail "full disk: the log does not give the cause"
  rm -f "$full_mount"/filler-*

  # A change and a cancel on the full disk, a kill, a restart: what the
  # server answered stands.  The test holds the job's files open so that
  # the cancel frees no room, as when the spool folder is on another disk.
  SNAP_COMMON=$full_mount timeout 30 "$app" pause -d labels >/dev/null || fail "full disk: pause refused"
  SNAP_COMMON=$full_mount timeout 30 "$app" modify -d labels -o printer-darkness-configured=50 >/dev/null ||
    fail "full disk: darkness 50 refused with room"
  id=$("$client" submit "$full_uri" "$docs/small.png" image/png)
  id=${id%% *}
  held_doc=$(ls "$full_mount"/pelna-printer-app.d/p*j"$(printf '%09d' "$id")"-*.png 2>/dev/null | head -1)
  [[ -n $held_doc ]] || fail "full disk: job $id has no document"
  exec 4<"${held_doc:-/dev/null}" 5<"${held_doc%.png}.ipp"
  fill 2
  out=$(SNAP_COMMON=$full_mount timeout 30 "$app" modify -d labels -o printer-darkness-configured=60 2>&1) &&
    fail "full disk: darkness 60 answered as done, though it could not be saved"
  echo "== full disk: modify: $out"
  [[ $out == *"No space left on device"* && $out != *": Success"* ]] || fail "full disk: modify not refused with the cause"
  fill 3
  # The cancel is noted at the end of the state file, which has room for
  # a line unless its last block is full: then its reply says it is not
  # saved.
  canceled=$("$client" cancel "$full_uri" "$id") && canceled=done
  echo "== full disk: cancel: $canceled"
  [[ $canceled == done || ($canceled == *"No space left on device"* && $canceled != *": Success"*) ]] ||
    fail "full disk: the cancel was refused without the cause ($canceled)"
  fill 4
  kill -KILL "$app_pid" 2>/dev/null
  wait "$app_pid" 2>/dev/null
  exec 4<&- 5<&-
  SNAP_COMMON=$full_mount start_app "$work/full-again" info || fail "the server did not start again on the full disk"
  full_uri="ipp://127.0.0.1:$app_port/ipp/print/labels"
  darkness=$("$client" attr "$full_uri" printer-darkness-configured)
  state=$("$client" wait "$full_uri" "$id" 0)
  echo "== full disk: after a kill, darkness $darkness, the cancelled job $state"
  [[ $darkness == 50 ]] || fail "full disk: darkness $darkness after a restart, though 60 was refused"
  if [[ $canceled == done ]]; then
    [[ $state == canceled* ]] || fail "full disk: the job $id cancelled is $state after a restart"
  else
    [[ $state == canceled* || $state == aborted*"does not say how"* ]] ||
      fail "full disk: the job $id cancelled (not saved) is $state after a restart"
  fi

  rm -f "$full_mount"/filler-*
  SNAP_COMMON=$full_mount timeout 30 "$app" resume -d labels >/dev/null || fail "full disk: resume refused"
  id=$("$client" submit "$full_uri" "$docs/small.png" image/png)
  state=$("$client" wait "$full_uri" "${id%% *}" 60)
  [[ $state == completed* ]] || fail "full disk: printing did not go on once there was room ($state)"
  stop_process "$app_pid"
  app_pid=""
  grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$work"/full*.out &&
    fail "full disk: the sanitizers found faults: $(grep -E -A8 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$work"/full*.out | head -20)"
  umount "$full_mount" && rmdir "$full_mount"
  trap proof_cleanup EXIT
  start_app_server
fi

proof_finish crash_safety
