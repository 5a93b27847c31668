#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Install what building, running and testing the project needs on Debian 12
# (bookworm) or Debian 13 (trixie).  Packages already present are left
# alone; apt-get runs only when one is missing.  Then PAPPL's pinned release
# tarball is fetched through apt (pappl/fetch.sh), with deb-src lines for
# the running release added when apt has none.  Run as root.
#
# A package whose name differs between releases is written as alternatives,
# "first|second": one of them already installed is enough; otherwise the
# first that apt can install on the running release is installed.
#
set -euo pipefail

packages=(
  build-essential cmake pkgconf      # compiler and build
  libcups2-dev                        # raster, PPD, options, filter messages
  libdeflate-dev                      # page frame: raw deflate and CRC-32
  libpng-dev zlib1g-dev               # pelna-inspect: pictures, independent inflate; the app: PNG
  # pelna-printer-app: what PAPPL, built from its release with the project's
  # patches (pappl/), builds with: TLS, DNS-SD, USB printers, PAM logins
  libgnutls28-dev libavahi-client-dev libusb-1.0-0-dev libpam0g-dev
  libjpeg-dev                         # pelna-printer-app: JPEG pictures
  libpoppler-cpp-dev fonts-urw-base35  # pelna-printer-app: PDF documents, the standard PDF fonts
  zbar-tools                          # app tests: barcodes read back from printed labels
  cups-ipp-utils                      # app tests: ipptool as the client
  iproute2 curl libpam-modules passwd # network test: namespaces, web client, pam_exec, groupadd
  libgtest-dev libbenchmark-dev       # tests and benchmarks
  cups-ppdc                           # ppdc: the PPD files from ppd/pelna.drv
  cups cups-daemon cups-client        # cupsfilter, cupsd, lp, lpadmin, cupstestppd
  cups-filters ghostscript poppler-utils  # PDF and PNG to raster (pdftopdf, gstoraster)
  valgrind                            # memcheck of the job tests
  # libFuzzer targets: the runtime of the default clang (clang 14 on
  # Debian 12, which first shipped only the versioned package; clang 19 on 13)
  clang 'libclang-rt-dev|libclang-rt-14-dev'
  clang-tidy cppcheck                 # static checks
  git                                 # static checks (licence lines), the package check's clean copy
  debhelper dpkg-dev lintian          # Debian packages (scripts/check-packages.sh)
)

#
# installed NAME - Whether the package NAME is installed.
#
installed() {
  [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == *"ok installed" ]]
}

#
# installable NAME - Whether apt has a version of NAME to install (a name
# apt does not know, or a virtual package, has none).  The output is read
# whole: grep -q leaving early would end apt-cache with SIGPIPE.
#
installable() {
  local policy
  policy=$(apt-cache policy "$1" 2>/dev/null)
  grep -Eq '^ *Candidate: [^(]' <<<"$policy"
}

lists_read=0
#
# read_lists - apt-get update, once: a fresh system's apt knows no package
# until then.
#
read_lists() {
  if ((!lists_read)); then
    apt-get update -qq
    lists_read=1
  fi
}

missing=()
for entry in "${packages[@]}"; do
  IFS='|' read -ra choices <<<"$entry"
  for name in "${choices[@]}"; do
    installed "$name" && continue 2
  done
  if ((${#choices[@]} == 1)); then
    missing+=("$entry")
    continue
  fi
  read_lists
  chosen=""
  for name in "${choices[@]}"; do
    if installable "$name"; then
      chosen=$name
      break
    fi
  done
  if [[ -z $chosen ]]; then
    echo "install-deps: apt can install none of ${choices[*]} on this release" >&2
    exit 1
  fi
  missing+=("$chosen")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  read_lists
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

#
# has_deb_src - Whether apt knows where to fetch source packages from.
#
has_deb_src() {
  apt-get source --print-uris -qq pappl >/dev/null 2>&1
}

#
# add_deb_src - deb-src lines for the running release, from the archive its
# deb lines name, in a file of their own.
#
add_deb_src() {
  local codename uri
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  uri=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(IDENTIFIER)' |
        awk -v suite="$codename" '$2 == suite && $3 == "Packages" { print $1; exit }')
  if [[ -z $codename || -z $uri ]]; then
    echo "install-deps: no deb line for the release '$codename' to take deb-src lines from" >&2
    exit 1
  fi
  echo "Adding deb-src lines for $codename ($uri) to fetch PAPPL's release tarball"
  cat >/etc/apt/sources.list.d/pelna-deb-src.sources <<SOURCES
# Added by pelna's scripts/install-deps.sh: PAPPL's source package, which
# the Printer Application builds from (pappl/fetch.sh).
Types: deb-src
URIs: $uri
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  apt-get update -qq
}

tarball_folder=$(cd "$(dirname "$0")/.." && pwd)/pappl/download
read -r _ tarball_name <"$(dirname "$0")/../pappl/pappl.sha256"
if [[ ! -f $tarball_folder/$tarball_name ]] && ! has_deb_src; then
  add_deb_src
fi
bash "$(dirname "$0")/../pappl/fetch.sh" "$tarball_folder" >/dev/null
