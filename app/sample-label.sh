#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# The bundled label through pelna-printer-app, beside the filter's print of
# it (run by scripts/run-sample.sh after the filter; the build folder,
# $PELNA_BUILD or build/, must hold the app, pelna-inspect, the PPD files and
# the label).  The queue options given to run-sample.sh become the matching
# IPP job attributes: Halftone=Dither is print-color-mode monochrome (error
# diffusion), otherwise bi-level (the threshold); BlacknessAdjustH=hN the
# darkness of blackness N; PageMark the media tracking.  Other options
# (PageSize) shape the page CUPS renders.
#
#   bash app/sample-label.sh WORKDIR [OPTION=CHOICE ...]
#
# Output: out/app-label-pages/ (a PNG of each page as the printer got it).
#
set -euo pipefail
cd "$(dirname "$0")/.."

work=$1
mkdir -p out
shift
build=${PELNA_BUILD:-build}
mode=bi-level darkness=0 tracking=gap cups_options=()
for option in "$@"; do
  case $option in
    Halftone=Dither) mode=monochrome ;;
    BlacknessAdjustH=h*) darkness=$((10 * ${option#*=h} - 40)) ;;  # the darkness table in README
    PageMark=PageMarkBlack) tracking=mark ;;
    PageMark=Continuous) tracking=continuous ;;
  esac
  cups_options+=(-o "$option")
done

app_pid="" inspect_pid=""
source scripts/servers.sh
trap 'stop_process "$app_pid"; stop_process "$inspect_pid"' EXIT

cupsfilter -m image/pwg-raster -p "$build/ppd/pelna203.ppd" "${cups_options[@]}" "$build/sample/label/label.pdf" \
  >"$work/label.pwg" 2>>out/cupsfilter.log

inspect=$build/inspect/pelna-inspect app=$build/app/pelna-printer-app
start_inspect "$work/inspect" "$work/inspect.out" || exit 1
export SNAP_COMMON=$work/app
start_app "$work/server" info || exit 1
"$app" add -d sample -m pelna_203 -v "socket://127.0.0.1:$inspect_port"
ipptool -T 60 -tf "$work/label.pwg" -d format=image/pwg-raster -d mode="$mode" -d darkness="$darkness" \
  -d tracking="$tracking" "ipp://127.0.0.1:$app_port/ipp/print/sample" tests/app/print-job.test >/dev/null

for ((i = 0; i < 600; i++)); do [[ -e $work/inspect/job-0001/summary.json ]] && break; sleep 0.1; done
rm -rf out/app-label-pages
mkdir -p out/app-label-pages
cp "$work"/inspect/job-0001/*.png out/app-label-pages/ 2>/dev/null || true
echo "Printed through pelna-printer-app: $(ls out/app-label-pages/*.png | tr '\n' ' ')"
for page in out/app-label-pages/*.png; do
  if cmp -s "$page" "out/label-pages/$(basename "$page")"; then
    echo "  $(basename "$page"): the same dots as the filter's out/label-pages/$(basename "$page")"
  else
    echo "  $(basename "$page"): differs from the filter's out/label-pages/$(basename "$page")"
  fi
done
