#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each one for
# a bounded time on a copy of its seed corpus.
#   fuzz/run.sh [SECONDS_PER_TARGET]     (default 60; CI uses the default)
# A longer run: fuzz/run.sh 3600
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-60}
BUILD=${FUZZ_BUILD_DIR:-build-fuzz}

CXX=clang++ cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOR_FEEDBACK_FUZZ=ON \
  -DZOR_FEEDBACK_BUILD_TESTS=OFF -DZOR_FEEDBACK_BUILD_TOOLS=OFF -DZOR_FEEDBACK_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)"

status=0
for target in fuzz_load_file fuzz_ringbuf_get fuzz_value_scanner fuzz_labelled_text fuzz_npy fuzz_mtx fuzz_gzip; do
  seeds="fuzz/corpus/${target#fuzz_}"
  work=$(mktemp -d)
  [ -d "$seeds" ] && cp -r "$seeds/." "$work/"
  echo "== $target for ${SECONDS_PER_TARGET}s"
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$BUILD/fuzz/$target" -max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 \
      -artifact_prefix="$BUILD/$target-" "$work" 2>"$BUILD/$target.log"; then
    echo "FAILED: $target (see $BUILD/$target.log)"; tail -40 "$BUILD/$target.log"; status=1
  fi
  grep -E "stat::number_of_executed_units|Done [0-9]+ runs" "$BUILD/$target.log" | tail -2 || true
  rm -rf "$work"
done
exit $status
