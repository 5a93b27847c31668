#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
#
# Run the libFuzzer targets, each for a given time:
#
#   scripts/fuzz.sh [seconds per target] [target ...]
#
# Targets: raster (raster bytes to page frames), decoder (pelna-inspect's
# decoder), options (option readers and halftoning), app_driver (raster
# bytes through the Printer Application's driver callbacks), pdf (the
# Printer Application's PDF reader); all five by default, 60 seconds each.  Builds them with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/.  New inputs collect in
# build-fuzz/corpus/<target>, crashing ones in build-fuzz/crashes/<target>;
# the committed seeds in fuzz/corpus/<target> are read, never written.
# Prints one line per target with the executions that ran clean; exits 1
# when a target found a crash.
#
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(raster decoder options app_driver pdf)

bash scripts/install-deps.sh

cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DPELNA_FUZZ=ON -DPELNA_SANITIZE=ON -DPELNA_BUILD_TESTS=OFF -DPELNA_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j 2 --target "${targets[@]/%/_fuzzer}" >/dev/null

status=0
summary=()
for target in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$target
  crashes=build-fuzz/crashes/$target
  log=build-fuzz/fuzz-$target.log
  mkdir -p "$corpus" "$crashes"

  echo "== $target: ${seconds}s"
  # libcups allocates a row buffer of cupsBytesPerLine bytes (up to 4 GiB)
  # when it reads a compressed page header, before the filter sees it;
  # AddressSanitizer would clear every such buffer.  Allocations past 64 MiB
  # fail instead: no page the filter accepts has rows near that long.
  if ASAN_OPTIONS=max_allocation_size_mb=64:allocator_may_return_null=1 \
     "build-fuzz/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=20 \
       -max_len=16384 -print_final_stats=1 \
       -artifact_prefix="$crashes/" \
       "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 executions in \2 s/p' "$log")
    summary+=("$target: ${runs:-? executions}, all clean")
  else
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    summary+=("$target: CRASH after ${runs:-?} executions; input in $crashes/, log in $log")
    tail -n 40 "$log"
    status=1
  fi
done

printf '%s\n' "${summary[@]}"
exit $status
