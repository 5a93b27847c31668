#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Check the compiled PPD files: cupstestppd finds no error (with the built
# filter placed where the scheduler looks for it), and every PPD makes the
# scheduler deliver 8-bit luminance raster to rastertopelna and offers the
# choice keywords that the filter acts on, with their defaults.
#
#   check-ppd.sh CUPSTESTPPD FILTER SERVERBIN PPD...
#
set -euo pipefail

cupstestppd=$1 filter=$2 serverbin=$3
shift 3

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root$serverbin/filter"
install -m 0555 "$filter" "$root$serverbin/filter/rastertopelna"

status=0
for ppd in "$@"; do
  if ! "$cupstestppd" -R "$root" "$ppd"; then
    echo "FAIL: cupstestppd found errors in $ppd"
    status=1
  fi
  for line in \
    '*cupsFilter2: "application/vnd.cups-raster application/vnd.pelna-label 0 rastertopelna"' \
    '*ColorModel Gray/Grayscale: "<</cupsColorSpace 0/' \
    '/cupsBitsPerColor 8/' \
    '*HWMargins: 0 0 0 0' \
    '*CustomPageSize True:' \
    '*DefaultHalftone: BW' '*Halftone BW/' '*Halftone Dither/' \
    '*DefaultBlacknessAdjustH: h4' '*BlacknessAdjustH h1/' '*BlacknessAdjustH h5/' \
    '*BlacknessAdjustH h10/' \
    '*DefaultPageMark: PageMarkLabel' '*PageMark PageMarkLabel/' '*PageMark PageMarkBlack/' \
    '*PageMark Continuous/' \
    '*DefaultPrintDebug: OFF' '*PrintDebug OFF/' '*PrintDebug ON/' \
    '*DefaultPageSize: w288h432' '*PageSize w283h425/' '*PageSize w144h72/' \
    '*PageSize w176h82/'; do
    if ! grep -qF -- "$line" "$ppd"; then
      echo "FAIL: $ppd has no line with: $line"
      status=1
    fi
  done
done
exit $status
