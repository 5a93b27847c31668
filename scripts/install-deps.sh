#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Install what building, running and testing the filter needs on Debian 12.
# Packages already present are left alone; apt-get runs only when one is
# missing.  Run as root.
#
set -euo pipefail

packages=(
  build-essential cmake pkg-config   # compiler and build
  libcups2-dev                        # raster, PPD, options, filter messages
  libdeflate-dev                      # page frame: raw deflate and CRC-32
  libpng-dev zlib1g-dev               # pelna-inspect: pictures, independent inflate; the app: PNG
  libpappl-dev                        # pelna-printer-app: IPP Printer Application (PAPPL 1.3.1)
  libjpeg-dev                         # pelna-printer-app: JPEG pictures
  libpoppler-cpp-dev fonts-urw-base35  # pelna-printer-app: PDF documents, the standard PDF fonts
  zbar-tools                          # app tests: barcodes read back from printed labels
  cups-ipp-utils                      # app tests: ipptool as the client
  iproute2 curl libpam-modules passwd # network test: namespaces, web client, pam_exec, groupadd
  libgtest-dev libbenchmark-dev       # tests and benchmarks
  cups-ppdc                           # ppdc: the PPD files from ppd/pelna.drv
  cups cups-daemon cups-client        # cupsfilter, cupsd, lp, lpadmin, cupstestppd
  cups-filters ghostscript poppler-utils  # PDF and PNG to raster (pdftopdf, gstoraster)
  valgrind clang libclang-rt-14-dev   # memcheck of the job tests; libFuzzer targets
  clang-tidy cppcheck                 # static checks
  debhelper dpkg-dev lintian          # Debian packages (scripts/check-packages.sh)
)

missing=()
for package in "${packages[@]}"; do
  [[ $package == \#* ]] && continue
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
