#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Static checks over the core, the filter, the Printer Application,
# pelna-inspect and the sample tools: the licence line of every source file,
# clang-tidy with the project's .clang-tidy and cppcheck.  Any finding fails.
# Needs a configured build folder with compile_commands.json (default build/).
#
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
sources=(core/*.cpp filter/*.cpp app/*.cpp inspect/*.cpp sample/*.cpp sample/label/*.cpp)

echo "== licence lines"
# Every source file, script and build file names its licence on its first
# lines (after a #! line).
missing=$(git ls-files '*.cpp' '*.h' '*.sh' '*.py' '*CMakeLists.txt' '*.drv' 2>/dev/null |
  while read -r f; do head -3 "$f" | grep -q 'SPDX-License-Identifier: Apache-2.0' || echo "$f"; done)
if [[ -n $missing ]]; then
  echo "no SPDX-License-Identifier line:"
  echo "$missing"
  exit 1
fi

echo "== cppcheck"
# The build defines the version for the Printer Application's sources;
# cppcheck reads it from a header put before each file (a -D would make it
# check only that one configuration of the files' #if lines).
version=$(sed -n 's/^project(rastertopelna VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
defines=$(mktemp --suffix=.h)
trap 'rm -f "$defines"' EXIT
printf '#define PELNA_VERSION "%s"\n' "$version" >"$defines"
# cppcheck 2.11 and later limit the branches they follow unless told to
# follow all of them; older ones have no such option.
level=()
[[ $(cppcheck --help) == *--check-level* ]] && level=(--check-level=exhaustive)
cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++20 "${level[@]}" \
  --enable=warning,portability,performance --suppress=missingIncludeSystem \
  --include="$defines" -I core -I filter -I app -I inspect -I sample "${sources[@]}"

echo "== clang-tidy"
findings=$(printf '%s\n' "${sources[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet 2>&1 |
  grep -E "(warning|error):" || true)
if [[ -n $findings ]]; then
  echo "$findings"
  exit 1
fi
echo "static checks: no findings"
