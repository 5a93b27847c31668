#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Make a folder hold PAPPL's pinned release with the project's patches:
#
#   bash pappl/prepare.sh SOURCE FOLDER
#
# SOURCE is the release tarball, checked against pappl.sha256, or a folder
# holding the unpacked release (the Debian source package's component
# tarball, checked when the package was unpacked).  FOLDER is emptied, the
# release unpacked or copied into it, and each patch named in this folder's
# series file applied in turn, exactly (no fuzz); a patch that does not
# apply stops it with its name.  Running it again starts from the release
# again, so FOLDER always holds the release plus the current series.
#
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source=$1
tree=$2
read -r sum _ <"$here/pappl.sha256"

rm -rf "$tree"
mkdir -p "$tree"
if [[ -d $source ]]; then
  cp -a "$source/." "$tree/"
else
  if [[ $(sha256sum "$source" | cut -d' ' -f1) != "$sum" ]]; then
    echo "prepare: $source is not the pinned release (SHA-256 $sum in pappl/pappl.sha256)" >&2
    exit 1
  fi
  tar -xzf "$source" -C "$tree" --strip-components=1
fi

{ grep -Ev '^[[:space:]]*(#|$)' "$here/series" || true; } | while read -r name _; do
  if ! patch -d "$tree" -p1 --forward --batch --quiet --fuzz=0 --no-backup-if-mismatch <"$here/$name"; then
    echo "prepare: $name does not apply to the release" >&2
    exit 1
  fi
done
