#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Check the core's boundary after a build:
#   1. no core source includes a libcups header, directly or through another
#      header: the compiler's dependency lists (*.o.d) name every header each
#      object was built from;
#   2. no object of the core defines writable data (nm types B, D, G, S and
#      their local forms: .bss, .data, small data), so it holds no mutable
#      global or static state.
#
#   check-core.sh LIBRARY OBJECT-FOLDER
#
set -euo pipefail

library=$1
objects=$2
status=0

mapfile -t depfiles < <(find "$objects" -name '*.o.d' | sort)
if ((${#depfiles[@]} == 0)); then
  echo "check-core: no dependency lists under $objects; cannot check the includes" >&2
  exit 1
fi
for depfile in "${depfiles[@]}"; do
  if grep -Eq '(^|[[:space:]/])cups/[A-Za-z_]+\.h' "$depfile"; then
    echo "check-core: $(basename "${depfile%.o.d}") includes a libcups header:" >&2
    grep -Eo '[^[:space:]]*cups/[A-Za-z_]+\.h' "$depfile" | sort -u | sed 's/^/  /' >&2
    status=1
  fi
done
echo "check-core: ${#depfiles[@]} core sources, no libcups header among their includes"

writable=$(nm --defined-only "$library" | awk 'NF == 3 && $2 ~ /^[BbDdGgSs]$/ {print "  " $3 " (" $2 ")"}')
if [[ -n $writable ]]; then
  echo "check-core: writable data in the core:" >&2
  echo "$writable" >&2
  status=1
else
  echo "check-core: no writable data in $(basename "$library")"
fi

exit $status
