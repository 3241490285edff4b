#!/usr/bin/env python3
"""Times the matrix writer of zorfb: `zorfb svd FILE --svd lapack --out OUT`
against the same command without --out, runs interleaved; the difference of
the medians (wall time, and CPU time of the process) is the write (formatting and writing the inverse). Prints one
JSON line.

Usage: zorfb_write.py ZORFB FILE OUT [--repetitions N]
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time


def run(cmd):
    """Wall time and CPU time (user + system) of one run."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - t
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("zorfb")
    ap.add_argument("file")
    ap.add_argument("out")
    ap.add_argument("--repetitions", type=int, default=5)
    a = ap.parse_args()
    base = [a.zorfb, "svd", a.file, "--svd", "lapack"]
    with_out, without = [], []
    for _ in range(a.repetitions):
        without.append(run(base))
        with_out.append(run(base + ["--out", a.out]))
    w, wo = (statistics.median(r[0] for r in runs) for runs in (with_out, without))
    cw, cwo = (statistics.median(r[1] for r in runs) for runs in (with_out, without))
    print(json.dumps({"with_out_s": w, "without_s": wo, "write_s": w - wo, "write_cpu_s": cw - cwo,
                      "bytes": os.path.getsize(a.out), "repetitions": a.repetitions}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
