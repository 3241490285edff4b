#!/usr/bin/env bash
# Runs every benchmark and prints the tables of BENCHMARKS.md.
#
#   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release
#   cmake --build build-bench --target zf_bench zf_bench_tool zf_bench_correction zf_bench_loop zf_loop_rate zorfb
#   bench/run_benchmarks.sh build-bench [RESULTS_DIR]
#
# Environment: REPS (repetitions, default 5), FILTER (a --benchmark_filter
# regex, default all), PYTHON (an interpreter with
# numpy, default /usr/bin/python3: Debian's python3-numpy),
# OPENBLAS_CORETYPE (passed on; recorded with the BLAS core line),
# OPENBLAS_NUM_THREADS (default 1: the library and its baselines run on the
# same single-threaded BLAS, so that a shared machine's other load does not
# stall BLAS threads that spin waiting for each other).
set -euo pipefail

build=${1:?usage: run_benchmarks.sh BUILD_DIR [RESULTS_DIR]}
out=${2:-$build/bench-results}
here=$(cd "$(dirname "$0")" && pwd)
bench=$build/bench/zf_bench
tool=$build/bench/zf_bench_tool
correction=$build/bench/zf_bench_correction
reps=${REPS:-5}
python=${PYTHON:-/usr/bin/python3}
export OPENBLAS_NUM_THREADS=${OPENBLAS_NUM_THREADS:-1}
for exe in "$bench" "$tool" "$correction"; do
  [ -x "$exe" ] || { echo "missing $exe: build the targets zf_bench, zf_bench_tool and zf_bench_correction first" >&2; exit 1; }
done
mkdir -p "$out"

echo "== data files" >&2
ring=$out/ring_1850x712.txt
"$tool" write 1850 712 "$ring" >&2
"$tool" write 640 576 "$out/ring_640x576.txt" >&2
"$tool" write 1280 712 "$out/ring_10MB.txt" >&2      # 10 MB
"$tool" write 12800 712 "$out/ring_100MB.txt" >&2    # 100 MB

echo "== CBLAS binding of GSL in zf_bench" >&2
# GSL's products and its SVD's inner calls must reach OpenBLAS, not libgslcblas.
binding=$(LD_DEBUG=bindings "$bench" --benchmark_filter='BM_multiply_cycle_accessor_path/m:320/' --benchmark_min_time=0.001 2>&1 \
  | grep -E 'binding file [^ ]*libgsl[^ ]* .*symbol .cblas_dgemm' | head -n1 | sed 's/^[[:space:]]*[0-9]*:[[:space:]]*//' || true)
[ -n "$binding" ] || binding="cblas_dgemm binding of libgsl not seen"
echo "$binding" >&2

{
  echo "CPU:      $(lscpu | sed -n 's/^Model name: *//p' | head -n1), $(nproc) cores visible"
  echo "Memory:   $(free -g | awk '/^Mem:/ {print $2 " GiB"}')"
  echo "Kernel:   $(uname -sr)"
  echo "Compiler: $(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt") $("$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")" -dumpfullversion 2>/dev/null), build type $(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")"
  echo "BLAS:     $(basename "$(readlink -f /usr/lib/x86_64-linux-gnu/libopenblas.so.0 2>/dev/null || echo none)"), OPENBLAS_NUM_THREADS=$OPENBLAS_NUM_THREADS, OPENBLAS_CORETYPE=${OPENBLAS_CORETYPE:-unset}"
  echo "Core:     $("$tool" blas)"
  echo "GSL:      ${binding#binding file }"
  echo "Load:     $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) before the run"
} > "$out/machine.txt"

echo "== zf_bench ($reps repetitions)" >&2
ZOR_FEEDBACK_BENCH_RING_FILE=$ring "$bench" --benchmark_filter="${FILTER:-.}" --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
  --benchmark_display_aggregates_only=true --benchmark_context=zf_repetitions="$reps" \
  --benchmark_out="$out/bench.json" --benchmark_out_format=json >&2

echo "== zf_bench_correction ($reps repetitions)" >&2
"$correction" --benchmark_repetitions="$reps" --benchmark_display_aggregates_only=true \
  --benchmark_out="$out/correction.json" --benchmark_out_format=json >&2
if [ -x "$build/bench/zf_bench_loop" ]; then
  echo "== zf_bench_loop ($reps repetitions)" >&2
  "$build/bench/zf_bench_loop" --benchmark_repetitions="$reps" --benchmark_display_aggregates_only=true \
    --benchmark_out="$out/loop.json" --benchmark_out_format=json >&2
fi
if [ -x "$build/bench/zf_loop_rate" ]; then
  echo "== zf_loop_rate: 10 kHz (the exact step, then the fused one), and 1 kHz with a mask change" >&2
  "$build/bench/zf_loop_rate" --rate 10000 --seconds 2 | tee "$out/loop_rate.md" >&2
  "$build/bench/zf_loop_rate" --rate 10000 --seconds 2 --kernel fused | tee -a "$out/loop_rate.md" >&2
  "$build/bench/zf_loop_rate" --rate 1000 --seconds 2 --mask-change | tail -n 2 | tee -a "$out/loop_rate.md" >&2
fi
echo "Load:     $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) after the run" >> "$out/machine.txt"

echo "== zorfb svd --out at 1850 x 712" >&2
# The writer of zorfb's matrix files; zorfb is built with the project (target zorfb).
if [ -x "$build/tools/zorfb" ]; then
  "$python" "$here/zorfb_write.py" "$build/tools/zorfb" "$ring" "$out/inverse_712x1850.txt" --repetitions "$reps" \
    > "$out/zorfb_write.json"
  cat "$out/zorfb_write.json" >&2
  rm -f "$out/inverse_712x1850.txt"
else
  echo "no $build/tools/zorfb: the write is not timed" >&2
fi

echo "== numpy.loadtxt" >&2
"$python" "$here/numpy_loadtxt.py" "$ring" --repetitions "$reps" --rows 1850 --cols 712 > "$out/numpy.json"
cat "$out/numpy.json" >&2

echo "== numpy.linalg.pinv" >&2
: > "$out/numpy_pinv.jsonl"
for f in "$out/ring_640x576.txt" "$ring"; do
  "$python" "$here/numpy_pinv.py" "$f" --repetitions "$reps" >> "$out/numpy_pinv.jsonl"
done
cat "$out/numpy_pinv.jsonl" >&2

echo "== invert peak memory, each engine" >&2
: > "$out/invert_rss.jsonl"
for method in gsl lapack; do
  "$tool" invert-rss 1850 712 "$ring" "$method" >> "$out/invert_rss.jsonl"
done
cat "$out/invert_rss.jsonl" >&2

echo "== load_file peak memory" >&2
: > "$out/rss.jsonl"
"$tool" load-rss 1280 712 "$out/ring_10MB.txt" >> "$out/rss.jsonl"
"$tool" load-rss 12800 712 "$out/ring_100MB.txt" >> "$out/rss.jsonl"
cat "$out/rss.jsonl" >&2
rm -f "$out/ring_10MB.txt" "$out/ring_100MB.txt"

"$python" "$here/report.py" "$out" | tee "$out/report.md"
