#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# The filter's main job on the bundled sample: a 4 x 6 in shipping label PDF
# (text, a barcode, a code block, a gray logo) goes through the real CUPS
# conversion chain, as a print queue with our PPD would run it: cupsfilter
# takes it through pdftopdf and Ghostscript's raster filter into 8-bit gray
# raster at 203 dpi, then through rastertopelna into printer data.
# pelna-inspect checks every page frame and draws each page as the printer
# would print it.
#
#   bash scripts/run-sample.sh [OPTION=CHOICE ...]
#
# Options are the queue's, e.g. Halftone=Dither BlacknessAdjustH=h5
# PageMark=PageMarkBlack PageSize=w283h425; the PPD's defaults apply
# otherwise.  Output: out/label.prn (printer data), out/label-pages/ (a PNG of
# each page), out/cupsfilter.log (the conversion chain's messages).
#
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target rastertopelna pelna-inspect pelna_ppd sample_label pelna-printer-app >/dev/null

# cupsfilter runs the filters it finds in ServerBin: a folder that holds the
# system's filters and ours, named in a cups-files.conf of our own.
serverbin=$(cups-config --serverbin)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/serverbin/filter"
ln -s "$serverbin"/filter/* "$work/serverbin/filter/"
rm -f "$work/serverbin/filter/rastertopelna"
install -m 0755 build/filter/rastertopelna "$work/serverbin/filter/rastertopelna"
echo "ServerBin $work/serverbin" >"$work/cups-files.conf"

# -e adds the filters named in the PPD (rastertopelna) and -m printer/foo
# asks for the printer's own format, so the chain ends with our filter.
options="$*"
mkdir -p out
rm -rf out/label-pages
if ! cupsfilter -c "$work/cups-files.conf" -p build/ppd/pelna203.ppd -e -m printer/foo ${options:+-o "$options"} \
  build/sample/label/label.pdf >out/label.prn 2>out/cupsfilter.log; then
  echo "The conversion chain failed; its messages (out/cupsfilter.log):"
  grep -v '^DEBUG' out/cupsfilter.log | tail -20
  exit 1
fi

echo "Printer data: out/label.prn ($(stat -c %s out/label.prn) bytes); filter log: /tmp/pelna_printer_logs.txt"
build/inspect/pelna-inspect --png out/label-pages out/label.prn
echo "Pages as printed: $(ls out/label-pages/*.png | tr '\n' ' ')"

# The same label through pelna-printer-app: CUPS renders the PDF to 8-bit gray
# PWG raster once (as a driverless queue would), ipptool sends it to a server
# on a free loopback port whose printer is pelna-inspect listening as a
# socket printer, with the settings that match the queue options given.
bash app/sample-label.sh "$work" "$@"

