#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Get PAPPL's pinned release tarball and check it against pappl.sha256:
#
#   bash pappl/fetch.sh [FOLDER]
#
# FOLDER (default pappl/download/, which git ignores) receives
# pappl_1.3.1.orig.tar.gz, upstream's release tarball as Debian's source
# package "pappl" carries it.  A tarball already there that checks out is
# kept; otherwise apt fetches the source package ("apt-get source
# --download-only", which needs deb-src lines: scripts/install-deps.sh adds
# them as root).  Only the checksum decides: apt may fail on the Debian
# revision's own files after the tarball came whole.  Prints the tarball's
# path; exits 1, saying why, when no good tarball could be had.
#
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
folder=${1:-$here/download}
read -r sum name <"$here/pappl.sha256"

#
# good FILE - Whether FILE is the pinned tarball.
#
good() {
  [[ -f $1 ]] && [[ $(sha256sum "$1" | cut -d' ' -f1) == "$sum" ]]
}

mkdir -p "$folder"
if good "$folder/$name"; then
  echo "$folder/$name"
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "fetch: apt-get source --download-only pappl (for $name)" >&2
(cd "$work" && apt-get source --download-only -qq pappl) >"$work/apt.log" 2>&1 || true
if good "$work/$name"; then
  mv "$work/$name" "$folder/$name"
  echo "$folder/$name"
  exit 0
fi

if [[ -f $work/$name ]]; then
  echo "fetch: $name came with another checksum than pappl/pappl.sha256 ($sum)" >&2
else
  echo "fetch: apt did not bring $name:" >&2
  sed 's/^/  /' "$work/apt.log" >&2
  echo "fetch: apt needs deb-src lines for this release (bash scripts/install-deps.sh adds them as root)," >&2
  echo "fetch: or put upstream's release tarball there by hand (pappl/README.md says where it comes from)" >&2
fi
exit 1
