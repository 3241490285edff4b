#!/usr/bin/env python3
"""Times numpy.loadtxt on a response-matrix file: what a physicist would use
instead of QTEV_ResponseMatrix::load_file.

Usage: numpy_loadtxt.py FILE [--repetitions N] [--rows R --cols C]

Prints one JSON line: the file's size, the median, minimum and maximum wall
time of N calls of numpy.loadtxt(FILE) (float64, '#' comments, as a user calls
it), and the throughput in MB/s (10^6 bytes) at the median. With --rows and
--cols the shape of the result is checked.
"""

import argparse
import json
import os
import statistics
import sys
import time

import numpy


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--rows", type=int)
    parser.add_argument("--cols", type=int)
    args = parser.parse_args()

    size = os.path.getsize(args.file)
    times = []
    shape = None
    for _ in range(max(1, args.repetitions)):
        t0 = time.perf_counter()
        a = numpy.loadtxt(args.file)
        times.append(time.perf_counter() - t0)
        shape = a.shape
        del a
    if args.rows is not None and args.cols is not None and shape != (args.rows, args.cols):
        print("numpy.loadtxt read shape %s, expected (%d, %d)" % (shape, args.rows, args.cols), file=sys.stderr)
        return 1
    median = statistics.median(times)
    print(json.dumps({
        "name": "numpy.loadtxt",
        "numpy": numpy.__version__,
        "file": args.file,
        "bytes": size,
        "shape": list(shape),
        "repetitions": len(times),
        "median_s": median,
        "min_s": min(times),
        "max_s": max(times),
        "MB_per_s": size / 1e6 / median,
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main())
