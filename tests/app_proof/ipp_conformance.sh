#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# The IPP Everywhere conformance suite that Debian's cups-ipp-utils ships
# (ipp-everywhere.test, which includes the IPP 1.1 and 2.0 tests), run by
# ipptool against a 203 dpi and a 300 dpi printer of the Printer
# Application.  Every failing expectation must be one listed, with its
# reason, in pappl-failures.txt; the suite must have passed tests on both
# printers, and every job it printed must have reached the printer as sound
# frames.
#
#   ipp_conformance.sh APP INSPECT CLIENT PAGES
#
set -uo pipefail
app=$1 inspect=$2 client=$3 pages=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
source "$here/lib.sh"

command -v ipptool >/dev/null || { echo "FAIL: ipptool is missing (bash scripts/install-deps.sh)"; exit 1; }
[[ -f /usr/share/cups/ipptool/ipp-everywhere.test ]] || { echo "FAIL: ipp-everywhere.test is missing"; exit 1; }
known=$(sed -n 's/^\([a-z][-a-z0-9]*\) .*/\1/p' "$here/pappl-failures.txt")

proof_setup
add_printer p203 pelna_203 "socket://127.0.0.1:$printer_port"
add_printer p300 pelna_300 "socket://127.0.0.1:$printer_port"
bash "$here/make_ipp_samples.sh" "$work/ipp" || { echo "FAIL: cannot write the sample documents"; exit 1; }

for printer in p203 p300; do
  out=$work/everywhere-$printer.txt
  (cd "$work/ipp" && timeout 600 ipptool -I -t -T 30 "$(printer_uri $printer)" ipp-everywhere.test) >"$out" 2>&1
  passed=$(grep -c '\[PASS\]' "$out")
  skipped=$(grep -c '\[SKIP\]' "$out")
  failed=$(grep -c '\[FAIL\]' "$out")
  echo "$printer: $passed passed, $skipped skipped, $failed failed"
  ((passed > 0)) || { fail "$printer: no test passed"; tail -20 "$out"; }
  # Each failing test: every EXPECTED line must name a listed attribute,
  # and a failing test without one (a refused request) is never known.
  awk '/\[FAIL\]/ { name = $0; sub(/ +\[FAIL\].*/, "", name); sub(/^ +/, "", name); print "TEST " name; next }
       /\[(PASS|SKIP)\]/ { name = "" }
       name != "" && /^ +EXPECTED: / { print "EXPECTED " $2 }' "$out" >"$out.fails"
  while read -r kind what; do
    if [[ $kind == TEST ]]; then
      test_name=$what
      grep -A1 -F "TEST $what" "$out.fails" | tail -1 | grep -q '^EXPECTED' ||
        fail "$printer: \"$what\" failed without a listed expectation"
    elif ! grep -qxF "$what" <<<"$known"; then
      fail "$printer: \"$test_name\" expects $what, which is not in pappl-failures.txt"
    fi
  done <"$out.fails"
done

# What the suite printed reached the printer, every frame sound.
jobs=$(job_dirs)
((jobs > 0)) || fail "no job reached the printer"
for ((n = 1; n <= jobs; n++)); do
  dir=$(device_job "$n") || { fail "device job $n has no summary"; continue; }
  [[ $(json_field "$dir" sound) == true ]] || fail "device job $n has unsound frames"
done
echo "$jobs jobs reached the printer"
proof_finish ipp_conformance
