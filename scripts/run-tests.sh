#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Build and run every test: in a normal build (build/), again in a build
# with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/), then
# the filter-running tests (*_job_test) of the normal build once more with
# the filter under valgrind's memcheck, leak check included.  The fuzz
# corpora replay as ordinary tests in both builds; running the fuzzers
# themselves is scripts/fuzz.sh.  Then the static checks (clang-tidy and
# cppcheck) over the filter and the tools, and last the Debian packages,
# built from a clean copy of the tree and checked (scripts/check-packages.sh).
#
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
status=0
for dir in build build-asan; do
  flags=(-DPELNA_VALGRIND_TESTS=ON)
  if [[ $dir == build-asan ]]; then
    flags=(-DPELNA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DPELNA_BUILD_BENCH=OFF
           -DPELNA_VALGRIND_TESTS=OFF)
  fi
  echo "== $dir"
  cmake -S . -B "$dir" -DPELNA_BUILD_TESTS=ON "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" -LE valgrind || status=1
done

echo "== build, the filter under valgrind"
ctest --test-dir build --output-on-failure -j "$jobs" -L valgrind || status=1

echo "== static checks"
bash scripts/static-checks.sh build || status=1

echo "== Debian packages"
if command -v dpkg-buildpackage >/dev/null; then
  bash scripts/check-packages.sh || status=1
else
  echo "SKIP: dpkg-buildpackage is missing (bash scripts/install-deps.sh installs it)"
fi
exit $status
