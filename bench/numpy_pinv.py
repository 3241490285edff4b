#!/usr/bin/env python3
"""Times numpy.linalg.pinv on a response-matrix file: what a physicist would
call instead of QTEV_ResponseMatrix::invert with the LAPACK engine.

Usage: numpy_pinv.py FILE [--repetitions N]

The matrix is read with numpy.loadtxt and rounded to float32 (the elements the
property stores), then widened to float64, as the library does, before the
timed calls. Prints one JSON line: the shape, and the median, minimum and
maximum wall time of N calls of numpy.linalg.pinv. Set OPENBLAS_NUM_THREADS
as for the library (run_benchmarks.sh uses 1).
"""

import argparse
import json
import statistics
import sys
import time

import numpy


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--repetitions", type=int, default=5)
    args = parser.parse_args()

    a = numpy.loadtxt(args.file).astype(numpy.float32).astype(numpy.float64)
    numpy.linalg.pinv(a)  # once untimed: the first call pays for loading LAPACK
    times = []
    for _ in range(max(1, args.repetitions)):
        t0 = time.perf_counter()
        numpy.linalg.pinv(a)
        times.append(time.perf_counter() - t0)
    print(json.dumps({
        "name": "numpy.linalg.pinv",
        "numpy": numpy.__version__,
        "rows": a.shape[0],
        "cols": a.shape[1],
        "repetitions": len(times),
        "median_s": statistics.median(times),
        "min_s": min(times),
        "max_s": max(times),
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main())
