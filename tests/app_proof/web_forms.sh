#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# The web interface as a browser uses it: the pages answer, the printing
# defaults form (with the page's session cookie and form token) sets the
# darkness and the default halftone of the next job, and the media form
# sets the loaded roll (size and tracking) of the next job.
#
#   web_forms.sh APP INSPECT CLIENT PAGES
#
set -uo pipefail
app=$1 inspect=$2 client=$3 pages=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"

proof_setup
add_printer labels pelna_203 "socket://127.0.0.1:$printer_port"
uri=$(printer_uri labels)
"$pages" gray "$work/gray.pwg" 406 203 203 128
"$pages" png "$work/white.png" 200 100

for page in / /config /logs /labels/ /labels/printing /labels/media /labels/jobs; do
  "$client" page "$base_url" "$page" || fail "the page $page does not answer"
done

#
# print_one NAME FILE FORMAT - Print; the job's settings line from the log,
# and the printer's folder of it in dir.
#
print_one() {
  local before lines id
  before=$(job_dirs) lines=$(wc -l <"$work/app.log")
  id=$("$client" submit "$uri" "$2" "$3") && "$client" wait "$uri" "${id%% *}" 60 >/dev/null ||
    { fail "$1: the job did not complete"; return 1; }
  settings=$(tail -n +"$lines" "$work/app.log" | grep -o 'Halftone [a-z ]*, blackness [0-9]*, page mark [0-9]*' | tail -1)
  dir=$(device_job $((before + 1))) || { fail "$1: nothing reached the printer"; return 1; }
  echo "== $1: $settings; $(json_field "$dir" width) x $(json_field "$dir" rows) dots, page mark $(json_field "$dir" page_mark), black $(json_field "$dir" black_share)"
}

# Gray 128 by error diffusion at the printer's default darkness: a mix.
print_one defaults "$work/gray.pwg" image/pwg-raster
share=$(json_field "$dir" black_share)
[[ $settings == "Halftone error diffusion, blackness 4,"* ]] || fail "defaults: $settings"
awk -v s="$share" 'BEGIN { exit !(s > 0.1 && s < 0.9) }' || fail "defaults: black share $share is not a dither"

"$client" form "$base_url" /labels/printing print-darkness=100 pelna-halftone=threshold ||
  fail "the printing defaults form was not taken"
# The same gray by the fixed threshold at the darkest setting: all black.
print_one darkest-threshold "$work/gray.pwg" image/pwg-raster
share=$(json_field "$dir" black_share)
[[ $settings == "Halftone threshold, blackness 10,"* ]] || fail "after the form: $settings"
[[ $share == 1.000000 ]] || fail "after the form: black share $share, not all black"

"$client" form "$base_url" /labels/media ready0-size=custom ready0-custom-width=2 \
  ready0-custom-length=1 ready0-custom-units=in ready0-tracking=mark ready0-type=labels ||
  fail "the media form was not taken"
# A picture goes onto the loaded roll: now 2 x 1 in labels with black marks.
print_one loaded-2x1-mark "$work/white.png" image/png
[[ $(json_field "$dir" width) == 406 && $(json_field "$dir" rows) == 203 ]] ||
  fail "after the media form: not a 2 x 1 in label"
[[ $(json_field "$dir" page_mark) == '"black"' ]] || fail "after the media form: page mark $(json_field "$dir" page_mark)"
[[ $(json_field "$dir" black_share) == 0.000000 ]] || fail "a white picture did not stay white"
proof_finish web_forms
