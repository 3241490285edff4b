#!/usr/bin/env bash
# Runs every test executable of a normal (non-sanitizer) build under valgrind's
# memcheck. Any memory error, or any block definitely or indirectly lost at
# exit, fails the run, as does a failing test.
#   tests/valgrind.sh [BUILD_DIR]        (default: build)
#   ./build.sh memcheck                  builds "build" first, then runs this
# No suppressions are needed: GSL, Armadillo and OpenBLAS leave nothing behind
# in these tests. No test is filtered out; the whole suite takes about a minute
# and a half on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(cd "${1:-build}" && pwd)

command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 1; }
if grep -q '^ZOR_FEEDBACK_SANITIZE:BOOL=ON' "$BUILD/CMakeCache.txt" 2>/dev/null; then
  echo "$BUILD is a sanitizer build; valgrind needs a normal one" >&2
  exit 1
fi

# somalloc=nouserintercepts: valgrind replaces only the allocator of the
# system libraries, so that test_faults' own operator new (which fails on
# request) stays in place and is paired with its own operator delete.
# fair-sched: valgrind runs one thread at a time, and without a fair lock a
# reader spinning on a mutex starves the others (test_sim_ring never ends).
VALGRIND=(valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect
          --error-exitcode=1 --soname-synonyms=somalloc=nouserintercepts --fair-sched=yes)

# Valgrind shows the tests a CPU without AVX-512, so OpenBLAS picks another
# kernel core inside them than in the tools they start (which run natively):
# results compared bit for bit across the two would differ in the last bits.
# One core for both, one that valgrind runs.
export OPENBLAS_CORETYPE=${OPENBLAS_CORETYPE:-Haswell}

logs="$BUILD/memcheck"
mkdir -p "$logs"
status=0
count=0
start=$SECONDS
for exe in "$BUILD"/tests/test_*; do
  [ -f "$exe" ] && [ -x "$exe" ] || continue
  name=$(basename "$exe")
  t0=$SECONDS
  count=$((count + 1))
  # From the test's own directory, as ctest runs it.
  if (cd "$BUILD/tests" && "${VALGRIND[@]}" --log-file="$logs/$name.log" "$exe" --gtest_brief=1 \
        >"$logs/$name.out" 2>&1); then
    echo "ok      $name ($((SECONDS - t0)) s)"
  else
    echo "FAILED  $name ($((SECONDS - t0)) s): $logs/$name.log, $logs/$name.out"
    grep -E "ERROR SUMMARY|definitely lost|indirectly lost" "$logs/$name.log" || true
    tail -20 "$logs/$name.out"
    status=1
  fi
done
if [ "$count" -eq 0 ]; then
  echo "no test executables in $BUILD/tests" >&2
  exit 1
fi
echo "memcheck: $count executables in $((SECONDS - start)) s"
exit $status
