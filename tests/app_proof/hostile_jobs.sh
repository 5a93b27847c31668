#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Hostile jobs, one after another on one server: raster pages the printer
# cannot take, raster streams cut short or with impossible headers, PNGs
# too large to read or too thin to place, a JPEG too thin to place, noise, darkness and media values
# out of range, a value of the printer's own option it does not take, and a
# printer whose device never answers.  Each case must
# end as a user would want (refused at submission, or the job aborted with
# a message naming the reason, or printed as far as it can be), nothing may
# reach the printer for a refused page, the server must stay up and answer,
# and a good job printed after every case must come out sound.
#
#   hostile_jobs.sh APP INSPECT CLIENT PAGES
#
set -uo pipefail
app=$1 inspect=$2 client=$3 pages=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"

proof_labels_setup

#
# patch_be32 FILE OFFSET VALUE - Overwrite a big-endian 32-bit field.
#
patch_be32() {
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($3 >> 24 & 255)) $(($3 >> 16 & 255)) \
    $(($3 >> 8 & 255)) $(($3 & 255)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

#
# thin_jpeg FILE - A valid baseline gray JPEG of 2000 x 1 mid-gray pixels,
# written byte by byte: one quantisation table, one Huffman table each for
# DC and AC with a single 1-bit code (DC difference 0, end of block), so
# each of the 250 blocks is two 0 bits; the scan is 62 zero bytes and
# 0x0f (the last four bits pad with ones).
#
thin_jpeg() {
  local ones zeros16
  ones=$(printf '\\x01%.0s' $(seq 1 64))
  zeros16=$(printf '\\x00%.0s' $(seq 1 15))'\x00'
  {
    printf '\xff\xd8\xff\xdb\x00\x43\x00'"$ones"
    printf '\xff\xc0\x00\x0b\x08\x00\x01\x07\xd0\x01\x01\x11\x00'
    printf '\xff\xc4\x00\x14\x00\x01'"$zeros16"
    printf '\xff\xc4\x00\x14\x10\x01'"$zeros16"
    printf '\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00'"$(printf '\\x00%.0s' $(seq 1 62))"'\x0f\xff\xd9'
  } >"$1"
}

# Offsets in a PWG raster stream (4 bytes of sync word, then the header).
off_width=376 off_height=380 off_bytes_per_line=396

"$pages" gray "$docs/good.pwg" 406 203 203 0
"$pages" gray "$docs/page.pwg" 203 100 203 128
"$pages" deep "$docs/deep.pwg" 100 20 203
cp "$docs/page.pwg" "$docs/zero.pwg"
patch_be32 "$docs/zero.pwg" $off_width 0
patch_be32 "$docs/zero.pwg" $off_height 0
patch_be32 "$docs/zero.pwg" $off_bytes_per_line 0
"$pages" gray "$docs/wide.pwg" 65535 4 203 0
"$pages" gray "$docs/tall.pwg" 8 1000000 203 0
size=$(stat -c %s "$docs/page.pwg")
head -c $((1800 + (size - 1800) / 2)) "$docs/page.pwg" >"$docs/cut-page.pwg"
head -c 900 "$docs/page.pwg" >"$docs/cut-header.pwg"
cp "$docs/page.pwg" "$docs/long-rows.pwg"
patch_be32 "$docs/long-rows.pwg" $off_bytes_per_line $((1 << 30))
"$pages" png "$docs/huge.png" 30000 30000 1
"$pages" png "$docs/wide.png" 30000 200 1
"$pages" png "$docs/thin.png" 2000 1
"$pages" png "$docs/small.png" 200 100
thin_jpeg "$docs/thin.jpg"
# The same file claiming 30000 x 30000 pixels (height and width of its
# frame header at offsets 76 and 78), its data far too short for them.
cp "$docs/thin.jpg" "$docs/huge.jpg"
printf '\x75\x30\x75\x30' | dd of="$docs/huge.jpg" bs=1 seek=76 conv=notrunc status=none
"$pages" noise "$docs/noise.bin" 20000 7

#
# hostile NAME WANT FILE FORMAT [NAME=VALUE ...] - Send one hostile job.
# WANT: "refused" (refused at submission, or aborted with a message that
# names the reason or a reason keyword beyond aborted-by-system; nothing
# printed), "unreadable" (aborted, the job log says why, nothing printed), "cut" (completed, one sound page cut to the head's 832 dots),
# "substituted" (the server said it ignored a value; completed on the
# loaded roll, 812 dots wide).  Then a good job must print.
#
hostile() {
  local name=$1 want=$2 file=$3 format=$4 before out id state pages_out=0 width=""
  shift 4
  before=$(job_dirs)
  out=$("$client" submit "$uri" "$file" "$format" "$@")
  if [[ $out == refused:* ]]; then
    state="refused at submission: ${out#refused: }"
  else
    id=${out%% *}
    state=$("$client" wait "$uri" "$id" 120)
    [[ $out == *" "* ]] && state="$state (submission: ${out#* })"
  fi
  echo "== $name: $state"
  for ((n = before + 1; n <= $(job_dirs); n++)); do
    dir=$(device_job "$n") || continue
    pages_out=$((pages_out + $(json_field "$dir" pages)))
    width=$(json_field "$dir" width)
  done
  case $want in
    unreadable)
      # The app reads the spooled raster stream and ends the job with the
      # reason, in its state message and its log.
      [[ $state == aborted* ]] || fail "$name: not aborted ($state)"
      [[ $state == *"cannot be read"* || $state == *"no page that can be read"* ]] ||
        fail "$name: the job's state message does not say why ($state)"
      grep -qE "\[Job ${id:-0}\] The raster document" "$work/app.log" ||
        fail "$name: the job log does not say why"
      ((pages_out == 0)) || fail "$name: $pages_out page(s) reached the printer for a refused job"
      ;;
    refused)
      if [[ $state == aborted* ]]; then
        [[ $state != *"| Job aborted." || $state != *" aborted-by-system |"* ]] ||
          fail "$name: aborted without naming the reason ($state)"
      elif [[ $state != refused* ]]; then
        fail "$name: not refused ($state)"
      fi
      ((pages_out == 0)) || fail "$name: $pages_out page(s) reached the printer for a refused job"
      ;;
    cut | substituted)
      [[ $state == completed* ]] || fail "$name: not printed ($state)"
      local want_width=832
      [[ $want == substituted ]] && want_width=812
      [[ $want == substituted && $state != *ignored-or-substituted* ]] &&
        fail "$name: the server did not say that it ignored a value"
      ((pages_out == 1)) && [[ $width == "$want_width" ]] ||
        fail "$name: $pages_out page(s) of width ${width:-none} reached the printer, not one of $want_width dots"
      ;;
  esac
  app_alive || { fail "$name: the server died"; proof_finish hostile_jobs; }
  good_job "$name"
}

#
# good_job AFTER - A good job prints, one sound 406-dot page.
#
good_job() {
  local before id state dir
  before=$(job_dirs)
  id=$("$client" submit "$uri" "$docs/good.pwg" image/pwg-raster) || { fail "after $1: good job refused: $id"; return; }
  state=$("$client" wait "$uri" "$id" 60) || { fail "after $1: good job $state"; return; }
  dir=$(device_job $((before + 1))) || { fail "after $1: the good job did not reach the printer"; return; }
  [[ $(json_field "$dir" sound) == true && $(json_field "$dir" width) == 406 ]] ||
    fail "after $1: the good job's frame is not sound or not 406 dots wide"
}

hostile pwg-16-bits refused "$docs/deep.pwg" image/pwg-raster
hostile pwg-0x0 unreadable "$docs/zero.pwg" image/pwg-raster
hostile pwg-width-65535 cut "$docs/wide.pwg" image/pwg-raster
hostile pwg-million-rows refused "$docs/tall.pwg" image/pwg-raster
hostile pwg-cut-in-page refused "$docs/cut-page.pwg" image/pwg-raster
hostile pwg-cut-in-header unreadable "$docs/cut-header.pwg" image/pwg-raster
hostile pwg-rows-longer-than-sent refused "$docs/long-rows.pwg" image/pwg-raster
hostile png-30000x30000 refused "$docs/huge.png" image/png
hostile png-30000x200 refused "$docs/wide.png" image/png
grep -q "The picture is 30000 x 200 pixels; the printer takes pictures of at most 16384 x 16384." "$work/app.log" ||
  fail "png-30000x200: the job log does not give the picture's size and the limit"
hostile png-2000x1 refused "$docs/thin.png" image/png
hostile jpeg-2000x1 refused "$docs/thin.jpg" image/jpeg
grep -q "The picture is 2000 x 1 pixels; placed on the label it would be less than one dot" "$work/app.log" ||
  fail "jpeg-2000x1: the job log does not say why"
hostile jpeg-30000x30000 refused "$docs/huge.jpg" image/jpeg
grep -q "The picture is 30000 x 30000 pixels; the printer takes pictures of at most 16384 x 16384." "$work/app.log" ||
  fail "jpeg-30000x30000: the job log does not give the picture's size and the limit"
hostile noise-as-pwg unreadable "$docs/noise.bin" image/pwg-raster
hostile noise-as-octet-stream refused "$docs/noise.bin" application/octet-stream
hostile darkness-1000 refused "$docs/page.pwg" image/pwg-raster print-darkness=1000
hostile darkness-minus-1000 refused "$docs/page.pwg" image/pwg-raster print-darkness=-1000
hostile media-0x0 substituted "$docs/small.png" image/png media-col=0x0
hostile media-10m substituted "$docs/small.png" image/png media-col=10160x1000000
hostile media-0x0-fidelity refused "$docs/small.png" image/png media-col=0x0 ipp-attribute-fidelity=true

# A value of the printer's own option that it does not take: printed with
# the printer's default (threshold, set here) and answered as substituted;
# refused when the client asks for fidelity.
timeout 30 "$app" modify -d labels -o pelna-halftone=threshold >/dev/null || fail "modify to threshold refused"
out=$("$client" submit "$uri" "$docs/page.pwg" image/pwg-raster pelna-halftone=bogus)
id=${out%% *}
state=$("$client" wait "$uri" "$id" 60)
echo "== halftone-bogus: $state (submission: $out)"
[[ $out == *ignored-or-substituted* ]] || fail "halftone-bogus: not answered as substituted ($out)"
[[ $state == completed* ]] || fail "halftone-bogus: not printed ($state)"
grep -q "\[Job $id\] Halftone threshold" "$work/app.log" ||
  fail "halftone-bogus: not printed with the printer's default halftone"
out=$("$client" submit "$uri" "$docs/page.pwg" image/pwg-raster pelna-halftone=bogus ipp-attribute-fidelity=true)
echo "== halftone-bogus-fidelity: $out"
[[ $out == refused:*attributes-or-values* ]] || fail "halftone-bogus with fidelity: not refused ($out)"
timeout 30 "$app" modify -d labels -o pelna-halftone=error-diffusion >/dev/null || fail "modify back refused"
good_job halftone-bogus

# One attribute 10,000 times over: refused as a bad request, naming it.
mapfile -t repeated < <(printf 'copies=1\n%.0s' $(seq 1 10000))
out=$("$client" submit "$uri" "$docs/page.pwg" image/pwg-raster "${repeated[@]}")
echo "== copies-10000-times: ${out:0:120}"
[[ $out == refused:*bad-request*copies* ]] || fail "copies-10000-times: not refused as a bad request (${out:0:200})"
good_job copies-10000-times

# A printer whose device never answers (nothing listens on its port): the
# job waits with a reason, the server answers meanwhile, cancel ends it
# within seconds.
dead_port=$(free_port)
add_printer stuck pelna_203 "socket://127.0.0.1:$dead_port"
stuck_uri=$(printer_uri stuck)
# (A PNG, which PAPPL spools: a raster stream to such a printer keeps the
# client's request open for 60 s and then fails; see the README.)
id=$("$client" submit "$stuck_uri" "$docs/small.png" image/png)
state=$("$client" wait "$stuck_uri" "${id%% *}" 8)
printer_state=$("$client" attr "$stuck_uri" printer-state-reasons)
echo "== device-never-answers, after 8 s: $state; printer-state-reasons: $printer_state"
[[ $printer_state != none ]] || fail "device-never-answers: the printer gives no reason"
[[ $state == pending* || $state == processing* ]] || fail "device-never-answers: the job is $state"
# What a user sees meanwhile: the printer's page names its device, the
# reason in words and the job's message; no page counts as printed; status
# says it on a line of its own, and a printer that does not exist is an
# error.
page=$(curl -s --max-time 10 "$base_url/stuck/")
grep -qF "Device: socket://127.0.0.1:$dead_port" <<<"$page" || fail "device-never-answers: the printer page does not name its device"
grep -q "Waiting for the printer at 127.0.0.1:$dead_port" <<<"$page" ||
  fail "device-never-answers: the printer page does not say why the job waits"
grep -q "Offline Report" <<<"$page" && fail "device-never-answers: the printer page shows the keyword 'Offline Report'"
impressions=$("$client" jobattr "$stuck_uri" "${id%% *}" job-impressions-completed)
[[ $impressions == 0 ]] || fail "device-never-answers: $impressions page(s) counted as printed before the printer took any"
status_line=$(timeout 10 "$app" status -d stuck)
echo "== status -d stuck: $status_line"
[[ $status_line == "Running, "*" GMT ("*"offline-report"*")." ]] || fail "device-never-answers: status says '$status_line'"
timeout 10 "$app" status -d no-such-printer >/dev/null 2>&1 && fail "status of a printer that does not exist exited 0"
cancel_within device-never-answers "$stuck_uri" "${id%% *}" 15
good_job device-never-answers
proof_finish hostile_jobs
