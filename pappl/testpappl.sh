#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# PAPPL's own test program, built from the patched release, on every test
# it has that needs no network beyond loopback and no USB:
#
#   bash pappl/testpappl.sh TESTSUITE_FOLDER KNOWN_FAILURES
#
# testpappl listens on every address, so it runs in a network namespace of
# its own whose one interface is loopback (skipped, status 77, where no
# namespace can be made).  It runs its API, client, JPEG, PNG and PWG
# raster tests against a multi-queue system of its test driver.  Each test
# it reports as failed must be listed, with the reason, in KNOWN_FAILURES;
# any other failure, a missing output file or a crash fails this test.  A
# listed test that passes is reported, so that the list can shrink.
#
set -euo pipefail
suite=$(cd "$1" && pwd)
known=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

if [[ -z ${PELNA_TESTPAPPL_NETNS:-} ]]; then
  for private in "unshare --net" "unshare --net --map-root-user"; do
    if $private ip link set lo up 2>/dev/null; then
      PELNA_TESTPAPPL_NETNS=1 exec $private bash -c 'ip link set lo up && exec bash "$0" "$@"' "$self" "$@"
    fi
  done
  echo "SKIP: no network namespace of its own can be made here, and testpappl listens on every address"
  exit 77
fi

work=$(mktemp -d /tmp/pelna-testpappl.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/out" "$work/spool"

# The sample documents are read from the test program's own folder.
status=0
(cd "$suite" && timeout 600 ./testpappl -c -L warn -l "$work/testpappl.log" -o "$work/out" -d "$work/spool" \
   -t all --no-tls -p 8631 >"$work/stdout" 2>&1) || status=$?

# "NAME: FAIL (why)" (the name may be written twice, once per stream).
failed=$(sed -n 's/^\(.*\): FAIL.*/\1/p' "$work/stdout" | sed 's/^\(.*\): \1$/\1/' | sort -u)
expected=$(grep -Ev '^[[:space:]]*(#|$)' "$known" | sed 's/[[:space:]]*|.*$//' | sort -u)
unexpected=$(comm -23 <(echo "$failed" | sed '/^$/d') <(echo "$expected"))
fixed=$(comm -13 <(echo "$failed" | sed '/^$/d') <(echo "$expected"))
passed=$(grep -c ': PASS' "$work/stdout" || true)
summary=$(grep -E '^(PASSED|FAILED): [0-9]+ of [0-9]+ output file' "$work/stdout" | tail -1 || true)

result=0
if [[ -z $summary ]]; then
  echo "FAIL: testpappl ended (status $status) before its summary:"
  tail -n 30 "$work/stdout"
  result=1
elif [[ ! $summary =~ ([0-9]+)\ of\ ([0-9]+) ]] || [[ ${BASH_REMATCH[1]} != "${BASH_REMATCH[2]}" ]]; then
  echo "FAIL: $summary"
  result=1
fi
if [[ -n $unexpected ]]; then
  echo "FAIL: testpappl tests that fail and are not known to:"
  grep -F -f <(echo "$unexpected") "$work/stdout" | sort -u | sed 's/^/  /'
  result=1
fi
[[ -n $fixed ]] && echo "note: known failures that pass now (take them off $(basename "$known")): $fixed"
if ((result)); then
  echo "testpappl's log, last lines:"
  tail -n 20 "$work/testpappl.log" 2>/dev/null || true
else
  echo "testpappl: $passed checks passed; known failures: $(echo "$failed" | sed '/^$/d' | paste -sd';' -); ${summary#*: }"
fi
exit $result
