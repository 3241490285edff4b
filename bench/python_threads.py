#!/usr/bin/env python3
"""Times zor_feedback.invert called from several Python threads at once.

Usage: python_threads.py [--threads 4] [--calls 3] [--rows 320] [--cols 288]
       [--repetitions 5]

Each of --threads threads inverts its own random rows x cols matrix --calls
times; the figure is the wall time of the whole run (median, minimum and
maximum over --repetitions runs), printed as one JSON line with OpenBLAS's
thread count at the start. Run it with the module on PYTHONPATH and without
OPENBLAS_NUM_THREADS to see what the module does with OpenBLAS's own default
(a thread per core); with OPENBLAS_NUM_THREADS=1 for the single-thread figure.
"""

import argparse
import ctypes
import json
import os
import statistics
import threading
import time

import numpy
import zor_feedback


def openblas_threads():
    for name in (None, "libopenblas.so.0", "libblas.so.3"):  # the module's BLAS is loaded privately
        try:
            return ctypes.CDLL(name, mode=os.RTLD_NOLOAD | os.RTLD_LAZY).openblas_get_num_threads()
        except (OSError, AttributeError):
            continue
    return None


def run(matrices, calls):
    def work(a):
        for _ in range(calls):
            zor_feedback.invert(a)

    threads = [threading.Thread(target=work, args=(a,)) for a in matrices]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--calls", type=int, default=3)
    parser.add_argument("--rows", type=int, default=320)
    parser.add_argument("--cols", type=int, default=288)
    parser.add_argument("--repetitions", type=int, default=5)
    args = parser.parse_args()

    rng = numpy.random.default_rng(7)
    matrices = [rng.standard_normal((args.rows, args.cols)).astype(numpy.float32) for _ in range(args.threads)]
    zor_feedback.invert(matrices[0])  # once untimed: loading LAPACK
    before = openblas_threads()
    times = [run(matrices, args.calls) for _ in range(args.repetitions)]
    print(json.dumps({
        "threads": args.threads, "calls": args.calls, "shape": [args.rows, args.cols],
        "openblas_threads": before, "openblas_threads_after": openblas_threads(),
        "median_s": statistics.median(times), "min_s": min(times), "max_s": max(times)}))


if __name__ == "__main__":
    main()
