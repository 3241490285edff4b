#!/usr/bin/env bash
# Set-up, build and run in one step on Debian 12.
#   ./build.sh demo          installs what the demo needs, builds the library and zorfb, runs zorfb demo
#   ./build.sh test          installs what is missing, builds everything (the Python module and the TANGO
#                            server too), runs every test
#   ./build.sh sanitize      the tests again, built with ASan and UBSan
#   ./build.sh tsan          the threaded tests (label tsan: the loop, the products) built with ThreadSanitizer
#   ./build.sh memcheck      the tests of the normal build under valgrind (tests/valgrind.sh)
#   ./build.sh bench [quick] builds the benchmarks (Release) and runs them (bench/run_benchmarks.sh);
#                            quick: each benchmark once, briefly, to see that they run
#   ./build.sh format        checks the sources against .clang-format
#   ./build.sh site [restart|stop]  installs what is missing, builds the servers, starts the site's
#                            database and servers (site/start.sh, docs/site.md) and prints TANGO_HOST;
#                            restart: the servers only; stop: everything it started
#   ./build.sh package       the Debian packages (CPack) in build-deb/: library, -dev, tools, Python
#                            module, servers (with site/), panel
#   ./build.sh deps          only installs what is missing
# Missing Debian packages are installed with apt-get: directly as root, through
# sudo otherwise; without either the script prints the command and stops.
set -euo pipefail
cd "$(dirname "$0")"

# What the library and zorfb need; the demo needs nothing else.
DEMO_PACKAGES=(cmake make g++ pkg-config libgsl-dev libarmadillo-dev libopenblas-dev liblapack-dev
               libcli11-dev libfmt-dev nlohmann-json3-dev zlib1g-dev)
# What the tests, the benchmarks and the checks need besides; the Python
# module is built for Debian's /usr/bin/python3.
TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev clang-format python3-scipy
               pybind11-dev python3-dev python3-numpy python3-pytest python3-matplotlib mypy
               libtango-dev python3-tango)
# The control room's site: MariaDB, TANGO's database and access-control
# servers (installed without their dbconfig questions: site/start.sh makes the
# database itself), the panel's Qt and plots, Xvfb for the panel's test.
SITE_PACKAGES=(mariadb-server mariadb-client tango-db tango-accesscontrol python3-tango python3-pyqt5
               python3-pyqtgraph xvfb xauth)
# The full build of `test` (and of `memcheck`, which reuses its directory).
TEST_OPTIONS=(-DZOR_FEEDBACK_BUILD_TESTS=ON -DZOR_FEEDBACK_BUILD_PYTHON=ON -DPython3_EXECUTABLE=/usr/bin/python3
              -DZOR_FEEDBACK_BUILD_TANGO=ON)
JOBS=${JOBS:-$(nproc)}

install_missing() {  # install_missing PACKAGE...
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local apt=(apt-get)
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "Missing packages. As root, run:" >&2
      echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
      exit 1
    fi
    apt=(sudo apt-get)
  fi
  # TANGO's database packages would ask to make their database: site/start.sh makes it.
  local p
  for p in tango-db tango-accesscontrol; do
    echo "$p $p/dbconfig-install boolean false" | "${apt[@]:0:${#apt[@]}-1}" debconf-set-selections
  done
  "${apt[@]}" update
  DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y --no-install-recommends "${missing[@]}"
}

configure() {  # configure DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOR_FEEDBACK_WERROR=ON "$@"
}

case "${1:-demo}" in
  deps) install_missing "${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${SITE_PACKAGES[@]}" ;;
  site)
    case "${2:-start}" in
      stop) exec site/stop.sh ;;
      restart) exec site/start.sh restart ;;
      start) ;;
      *) echo "usage: $0 site [restart|stop]" >&2; exit 2 ;;
    esac
    install_missing "${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${SITE_PACKAGES[@]}"
    configure build "${TEST_OPTIONS[@]}"
    cmake --build build -j "$JOBS" --target ZorSimServer ZorFeedbackServer
    exec site/start.sh
    ;;
  demo)
    install_missing "${DEMO_PACKAGES[@]}"
    configure build -DZOR_FEEDBACK_BUILD_TESTS=OFF
    cmake --build build -j "$JOBS" --target zorfb
    build/tools/zorfb demo
    ;;
  test)
    install_missing "${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${SITE_PACKAGES[@]}"
    configure build "${TEST_OPTIONS[@]}"
    cmake --build build -j "$JOBS"
    ctest --test-dir build --output-on-failure -j "$JOBS"
    ;;
  sanitize)
    install_missing "${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    # Without the Python module (an ASan-built module does not load into a
    # normal python3) and the TANGO server (GCC's -Warray-bounds misfires in
    # TANGO's IDL headers under ASan, and LeakSanitizer reports TANGO's own
    # Kill thread).
    configure build-sanitize -DZOR_FEEDBACK_SANITIZE=ON -DZOR_FEEDBACK_BUILD_TESTS=ON \
      -DZOR_FEEDBACK_BUILD_PYTHON=OFF -DZOR_FEEDBACK_BUILD_TANGO=OFF
    cmake --build build-sanitize -j "$JOBS"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest --test-dir build-sanitize --output-on-failure -j "$JOBS"
    ;;
  tsan)
    install_missing "${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    configure build-tsan -DZOR_FEEDBACK_TSAN=ON -DZOR_FEEDBACK_BUILD_TESTS=ON -DZOR_FEEDBACK_BUILD_TOOLS=OFF \
      -DZOR_FEEDBACK_BUILD_PYTHON=OFF -DZOR_FEEDBACK_BUILD_TANGO=OFF
    cmake --build build-tsan -j "$JOBS" --target test_loop test_loop_runner test_sim_ring test_product_threads test_change_queue test_feedback_loop test_correction_prepare
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      ctest --test-dir build-tsan --output-on-failure -j "$JOBS" -L tsan
    ;;
  memcheck)
    install_missing "${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}" valgrind
    configure build "${TEST_OPTIONS[@]}"
    cmake --build build -j "$JOBS"
    tests/valgrind.sh build
    ;;
  bench)
    install_missing "${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}" python3-numpy
    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DZOR_FEEDBACK_WERROR=ON -DZOR_FEEDBACK_BUILD_BENCH=ON \
      -DZOR_FEEDBACK_BUILD_TESTS=OFF
    cmake --build build-bench -j "$JOBS" --target zf_bench zf_bench_tool zf_bench_correction zf_bench_loop \
      zf_loop_rate zorfb
    if [ "${2:-}" = quick ]; then
      OPENBLAS_NUM_THREADS=1 build-bench/bench/zf_bench --benchmark_min_time=0.001 \
        --benchmark_filter='m:72/|cycle.*m:320/' >/dev/null
      OPENBLAS_NUM_THREADS=1 build-bench/bench/zf_bench_correction --benchmark_min_time=0.001 >/dev/null
      OPENBLAS_NUM_THREADS=1 build-bench/bench/zf_bench_loop --benchmark_min_time=0.001 >/dev/null
      OPENBLAS_NUM_THREADS=1 build-bench/bench/zf_loop_rate --rate 1000 --seconds 0.05 >/dev/null
      echo "benchmarks build and run"
    else
      bench/run_benchmarks.sh build-bench
    fi
    ;;
  package)
    # A build of its own with Debian's layout: /usr, the module in Python's dist-packages.
    install_missing "${DEMO_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    configure build-deb "${TEST_OPTIONS[@]}" -DZOR_FEEDBACK_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
      -DZOR_FEEDBACK_PYTHON_INSTALL_DIR=lib/python3/dist-packages
    cmake --build build-deb -j "$JOBS"
    (cd build-deb && cpack -G DEB)
    ls build-deb/*.deb
    ;;
  format)
    install_missing clang-format
    git ls-files '*.cc' '*.h' | xargs clang-format --dry-run --Werror
    echo "sources formatted as .clang-format says"
    ;;
  *) echo "usage: $0 [demo|test|sanitize|tsan|memcheck|bench [quick]|format|site [restart|stop]|package|deps]" >&2; exit 2 ;;
esac
