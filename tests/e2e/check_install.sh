#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Install the build into a staging folder (DESTDIR) and check where the
# pieces land: the filter in the scheduler's filter folder with mode 0555,
# both PPD files where the scheduler's driver list finds them, pelna-inspect
# in bin.
#
#   check_install.sh BUILD_DIR SERVERBIN PPD_DIR BIN_DIR
#
set -euo pipefail
build=$1 serverbin=$2 ppd_dir=$3 bin_dir=$4

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" >/dev/null

status=0
expect() {   # expect PATH MODE
  local mode
  if ! mode=$(stat -c %a "$stage$1" 2>/dev/null); then
    echo "FAIL: $1 was not installed"
    status=1
  elif [[ $mode != "$2" ]]; then
    echo "FAIL: $1 has mode $mode, expected $2"
    status=1
  else
    echo "ok: $1 ($mode)"
  fi
}
expect "$serverbin/filter/rastertopelna" 555
expect "$ppd_dir/pelna203.ppd" 644
expect "$ppd_dir/pelna300.ppd" 644
expect "$bin_dir/pelna-inspect" 755
exit $status
