#!/usr/bin/env bash
# Set-up, build and run in one step on Debian 12.
#   ./build.sh demo       installs what is missing, builds, runs the main job
#   ./build.sh test       installs what is missing, builds, runs every test
#   ./build.sh sanitize   the tests again, built with ASan and UBSan
#   ./build.sh memcheck   the tests of the normal build under valgrind (tests/valgrind.sh)
#   ./build.sh deps       only installs what is missing
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake make g++ pkg-config libgsl-dev libarmadillo-dev libopenblas-dev liblapack-dev
          libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev libtango-dev python3-tango)
JOBS=${JOBS:-$(nproc)}

install_missing() {  # install_missing [extra packages...]
  local missing=()
  for p in "${PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. As root, run:" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

build() {  # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOR_FEEDBACK_WERROR=ON "$@"
  cmake --build "$dir" -j "$JOBS"
}

case "${1:-demo}" in
  deps) install_missing ;;
  demo)
    install_missing
    build build
    if [ -x build/tools/zorfb ]; then build/tools/zorfb demo; else build/examples/matrix_basics; fi
    ;;
  test)
    install_missing
    build build -DZOR_FEEDBACK_BUILD_TANGO=ON
    ctest --test-dir build --output-on-failure -j "$JOBS"
    ;;
  sanitize)
    install_missing
    # Without the TANGO server: GCC's -Warray-bounds misfires in TANGO's IDL
    # headers under ASan, and LeakSanitizer reports TANGO's own Kill thread.
    build build-sanitize -DZOR_FEEDBACK_SANITIZE=ON -DZOR_FEEDBACK_BUILD_BENCH=OFF -DZOR_FEEDBACK_BUILD_TANGO=OFF
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest --test-dir build-sanitize --output-on-failure -j "$JOBS"
    ;;
  memcheck)
    install_missing valgrind
    build build
    tests/valgrind.sh build
    ;;
  *) echo "usage: $0 [demo|test|sanitize|memcheck|deps]" >&2; exit 2 ;;
esac
