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
sources=(core/*.cpp filter/*.cpp app/*.cpp app/workarounds/*.cpp inspect/*.cpp sample/*.cpp sample/label/*.cpp)

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
cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++20 \
  --enable=warning,portability,performance --suppress=missingIncludeSystem \
  -I core -I filter -I app -I inspect -I sample "${sources[@]}"

echo "== clang-tidy"
findings=$(printf '%s\n' "${sources[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet 2>&1 |
  grep -E "(warning|error):" || true)
if [[ -n $findings ]]; then
  echo "$findings"
  exit 1
fi
echo "static checks: no findings"
