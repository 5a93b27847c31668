#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# A flood of slow connections against a server with few descriptors (the
# soft and hard limit 1024, as systemd gives a service that does not ask
# for more):
#
#   - 300 clients send an IPP request's header and then one byte a second:
#     those past the server's limit of clients are refused at once, and the
#     server closes the others once their request is late;
#   - meanwhile every other request gets a well-formed answer within
#     seconds (a reply or "503 Service Unavailable"), never a time-out;
#   - afterwards a job prints, every reply starts with its HTTP status
#     line, and the log goes on in its file (no log text reaches a client).
#
#   flood.sh APP INSPECT CLIENT PAGES
#
set -uo pipefail
real_app=$1 inspect=$2 client=$3 pages=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"
log_level=info
command -v prlimit >/dev/null || { echo "FAIL: prlimit is missing (util-linux)"; exit 1; }

work_limit=$(mktemp -d /tmp/pelna-flood.XXXXXX)
trap 'rm -rf "$work_limit"' EXIT
app=$work_limit/app
printf '#!/bin/sh\nexec prlimit --nofile=1024:1024 -- %q "$@"\n' "$real_app" >"$app"
chmod +x "$app"

proof_labels_setup
trap 'proof_cleanup; rm -rf "$work_limit"' EXIT
[[ $(awk '/^Max open files/ { print $4 }' "/proc/$app_pid/limits") == 1024 ]] ||
  fail "the server does not run with 1024 descriptors"
"$pages" gray "$docs/page.pwg" 406 150 203 128

"$client" flood "$app_port" 300 40 >"$work/flood.out" &
flood_pid=$!
sleep 3
# During the flood: other requests are answered within seconds, as a
# printer's page or as 503; none waits for a time-out.
for ((i = 0; i < 5; i++)); do
  code=$(curl -s -o /dev/null --max-time 5 -w '%{http_code}' "$base_url/")
  [[ $code == 200 || $code == 503 ]] || fail "during the flood, a request got '$code' (200 or 503 wanted, within 5 s)"
  sleep 2
done
wait "$flood_pid"
echo "== $(cat "$work/flood.out")"
refused=$(sed -n 's/.* \([0-9]*\) refused at once.*/\1/p' "$work/flood.out")
closed=$(sed -n 's/.* \([0-9]*\) closed by the server.*/\1/p' "$work/flood.out")
((refused > 0)) || fail "no slow client past the limit was refused at once: $(cat "$work/flood.out")"
((closed > 0)) || fail "the server closed no slow client: $(cat "$work/flood.out")"
grep -q "Closing the connection: the client sends its request too slowly" "$work/app.log" ||
  fail "the log does not say that slow clients were closed"

# Afterwards: a job prints, replies are HTTP, the log is written.
lines=$(wc -l <"$work/app.log")
id=$("$client" submit "$uri" "$docs/page.pwg" image/pwg-raster)
state=$("$client" wait "$uri" "${id%% *}" 60)
[[ $state == completed* ]] || fail "after the flood, a job is $state"
status_line=$(curl -s -i --max-time 5 "$base_url/" | head -1)
[[ $status_line == HTTP/1.1\ 200* ]] || fail "after the flood, a reply starts '$status_line'"
(($(wc -l <"$work/app.log") > lines)) || fail "the log is no longer written after the flood"
proof_finish flood
