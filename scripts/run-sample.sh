#!/usr/bin/env bash
#
# The filter's main job on the bundled sample: three gray pages (a shipping
# label, a photo, gray steps) written as a CUPS raster stream at 203 dpi, run
# through rastertopelna with the test PPD, then checked and summarised page
# by page by pelna-inspect.  The printer data lands in out/sample.prn and a
# picture of each page in out/sample-pages/.
#
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target rastertopelna sample_raster pelna-inspect >/dev/null

mkdir -p out
PPD=tests/data/pelna-test.ppd build/filter/rastertopelna 1 "$(id -un)" sample 1 \
  "Halftone=Dither BlacknessAdjustH=h5 PageMark=PageMarkLabel" build/sample/sample.ras \
  > out/sample.prn
echo "Printer data: out/sample.prn ($(stat -c %s out/sample.prn) bytes); log: /tmp/pelna_printer_logs.txt"
build/inspect/pelna-inspect --png out/sample-pages out/sample.prn
