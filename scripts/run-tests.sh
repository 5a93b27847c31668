#!/usr/bin/env bash
#
# Build and run every test twice: in a normal build (build/) and in a build
# with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/).
#
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
status=0
for dir in build build-asan; do
  flags=()
  if [[ $dir == build-asan ]]; then
    flags=(-DPELNA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DPELNA_BUILD_BENCH=OFF)
  fi
  echo "== $dir"
  cmake -S . -B "$dir" -DPELNA_BUILD_TESTS=ON "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" || status=1
done
exit $status
