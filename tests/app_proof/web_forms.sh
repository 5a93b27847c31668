#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# The web interface as a browser uses it: the pages answer and no link of
# theirs (nor the printer's IPP links to its pages and icons) answers an
# error; the Media page lists every preset label size; saving any form as a
# browser does (every field as the page shows it) changes no setting the
# user did not touch, read back over IPP; invalid values are refused over
# IPP, by the modify sub-command and on the web form; the printing defaults
# form (with the page's session cookie and form token) sets the darkness
# and the default halftone of the next job, and the media form sets the
# loaded roll (size and tracking) of the next job.  A form's change made
# just before a clean stop is there after the restart; a job alone is
# journaled, the state file not rewritten.
#
#   web_forms.sh APP INSPECT CLIENT PAGES
#
set -uo pipefail
app=$1 inspect=$2 client=$3 pages=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"

proof_labels_setup
"$pages" gray "$work/gray.pwg" 406 203 203 128
"$pages" png "$work/white.png" 200 100

for page in / /config /logs /addprinter /labels/ /labels/printing /labels/media /labels/jobs /labels/supplies; do
  "$client" page "$base_url" "$page" || fail "the page $page does not answer"
done

# --- no link answers an error ---------------------------------------------
ipp_links=()
for name in printer-supply-info-uri printer-more-info printer-icons; do
  IFS=, read -r -a found <<<"$("$client" attr "$uri" "$name")"
  ipp_links+=("${found[@]}")
done
((${#ipp_links[@]} >= 5)) || fail "the printer names too few of its pages: ${ipp_links[*]}"
"$client" links "$base_url" / /labels/ "${ipp_links[@]}" || fail "a link of the web pages answers an error"

# --- the Media page lists every preset size ---------------------------------
listed=$("$client" options "$base_url" /labels/media ready0-size | grep -v '^custom$' | sort)
presets=$("$client" attr "$uri" media-supported | tr ',' '\n' | grep -v '^roll_' | sort)
[[ $(wc -l <<<"$presets") == 20 ]] || fail "not 20 preset sizes: $presets"
[[ $listed == "$presets" ]] || fail "the Media page lists other sizes than the printer: $(diff <(echo "$listed") <(echo "$presets"))"

# --- saving a form changes only what the user changed -------------------------
sys_uri="ipp://127.0.0.1:${base_url##*:}/ipp/system"
settings=(printer-darkness-configured print-darkness-default pelna-halftone-default print-color-mode-default
          print-quality-default print-content-optimize-default print-scaling-default orientation-requested-default
          printer-resolution-default media-default media-col-default media-ready media-col-ready printer-location
          printer-organization printer-organizational-unit printer-geo-location printer-contact-col)
system_settings=(system-location system-organization system-organizational-unit system-geo-location
                 system-contact-col system-dns-sd-name system-default-printer-id)
snapshot() {
  "$client" attrs "$uri" "${settings[@]}" && "$client" attrs "$sys_uri" "${system_settings[@]}"
}
changes() {
  diff <(echo "$1") <(echo "$2") | sed -n 's/^> //p' | tr '\n' ' '
}

# Values other than each control's first choice, so that a form that saved
# its first choice instead would show.
"$client" set "$uri" print-quality-default=5 print-content-optimize-default=photo \
  pelna-halftone-default=threshold || fail "the settings could not be set over IPP"
"$client" form "$base_url" /labels/config location="Shelf 3" organization=Dispatch contact_name=Dana ||
  fail "the printer's configuration form was not taken"
before=$(snapshot) || fail "the settings cannot be read"
grep -qx 'printer-darkness-configured=35' <<<"$before" || fail "the default darkness is not 35"
grep -qx 'printer-location=Shelf 3' <<<"$before" || fail "the configuration form did not set the location"
echo "== settings before the forms: $(tr '\n' ' ' <<<"$before")"
for form in /labels/printing /labels/media /labels/config /config; do
  "$client" form "$base_url" "$form" || { fail "$form: saving it unchanged was not taken"; continue; }
  after=$(snapshot)
  [[ $after == "$before" ]] || fail "$form: saving it unchanged changed $(changes "$before" "$after")"
done
# Changing only the halftone keeps the darkness (and everything else).
"$client" form "$base_url" /labels/printing pelna-halftone=error-diffusion || fail "the halftone change was not taken"
after=$(snapshot)
[[ $(changes "$before" "$after") == "pelna-halftone-default=error-diffusion " ]] ||
  fail "changing the halftone on the form changed $(changes "$before" "$after")"

# --- invalid values are refused, over IPP and on the web -----------------------
before=$(snapshot)
"$client" set "$uri" pelna-halftone-default=bogus >/dev/null && fail "IPP took pelna-halftone-default=bogus"
"$client" set "$uri" printer-darkness-configured=500 >/dev/null && fail "IPP took printer-darkness-configured=500"
timeout 30 "$app" modify -d labels -o pelna-halftone=bogus >/dev/null 2>&1 && fail "modify took pelna-halftone=bogus"
"$client" form "$base_url" /labels/printing pelna-halftone=bogus 2>/dev/null && fail "the web form took pelna-halftone=bogus"
after=$(snapshot)
[[ $after == "$before" ]] || fail "a refused value changed $(changes "$before" "$after")"
# A darkness between two of the levels the page lists is kept as the level
# below it (the same blackness), which the page shows and saves as it is.
"$client" set "$uri" printer-darkness-configured=37 || fail "IPP refused printer-darkness-configured=37"
[[ $("$client" attr "$uri" printer-darkness-configured) == 35 ]] || fail "darkness 37 was not kept as 35"

# The location and the organization set over IPP (the modify sub-command)
# are those settings, and change nothing else.
before=$(snapshot)
timeout 30 "$app" modify -d labels -o "printer-location='Shelf 4'" -o printer-organization=Returns \
  -o printer-organizational-unit=Night >/dev/null || fail "modify of the location was refused"
after=$(snapshot)
[[ $(changes "$before" "$after") == "printer-location=Shelf 4 printer-organization=Returns printer-organizational-unit=Night " ]] ||
  fail "modify of the location and organization changed $(changes "$before" "$after")"

# The pages put back as they were for the prints below.
"$client" set "$uri" print-quality-default=4 print-content-optimize-default=auto ||
  fail "the settings could not be put back"

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

# --- a change just before a clean stop lasts; a job rewrites no state --------
# (The app saves a form's change a few seconds later, or when it stops.)
"$client" form "$base_url" /labels/config location="Shelf 9" || fail "the configuration form was not taken"
stop_process "$app_pid"
start_app_server
uri=$(printer_uri labels)
[[ $("$client" attr "$uri" printer-location) == "Shelf 9" ]] ||
  fail "the location set on the web page just before a clean stop was lost"
state_file=$SNAP_COMMON/pelna-printer-app.state
saved=$(stat -c %i "$state_file")
print_one journaled "$work/white.png" image/png
sleep 6  # past the few seconds a settings change waits to be saved
[[ $(stat -c %i "$state_file") == "$saved" ]] || fail "a job alone rewrote the state file"
grep -q "^# pelna-printer-app job " "$state_file.journal" || fail "the job is not in the journal"
proof_finish web_forms
