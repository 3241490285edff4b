#!/usr/bin/env python3
"""Turns the results of bench/run_benchmarks.sh into the Markdown tables of
BENCHMARKS.md: each operation beside its baseline, with the ratio and the
target it has to meet.

Usage: report.py RESULTS_DIR

Reads RESULTS_DIR/bench.json (Google Benchmark, with repetitions: the medians
are used), numpy.json (bench/numpy_loadtxt.py), numpy_pinv.jsonl
(bench/numpy_pinv.py, one line per shape), rss.jsonl (zf_bench_tool load-rss,
one line per file), invert_rss.jsonl (zf_bench_tool invert-rss, one line per
engine), zorfb_write.json (bench/zorfb_write.py), correction.json
(zf_bench_correction) and machine.txt. Python 3 standard library only.
"""

import json
import os
import sys

SHAPES = [(72, 72), (320, 281), (640, 576), (1850, 712)]
CV = {}  # coefficient of variation of the repetitions, by benchmark


def load_medians(path):
    with open(path) as f:
        data = json.load(f)
    medians, context = {}, data.get("context", {})
    singles = {}
    for b in data["benchmarks"]:
        name = b.get("run_name", b["name"])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                medians[name] = b
            elif b.get("aggregate_name") == "cv":
                CV[name] = b["real_time"]
        else:
            singles.setdefault(name, b)
    for name, b in singles.items():  # a run without repetitions
        medians.setdefault(name, b)
    return medians, context


def seconds(b):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
    return b["real_time"] * scale


def fmt_time(s):
    if s >= 1.0:
        return "%.2f s" % s
    if s >= 1e-3:
        return "%.2f ms" % (s * 1e3)
    if s >= 1e-6:
        return "%.1f µs" % (s * 1e6)
    return "%.0f ns" % (s * 1e9)


def key(op, m, n):
    return "BM_%s/m:%d/n:%d/real_time" % (op, m, n)


def verdict(ratio, limit, at_most=True):
    if ratio is None:
        return "–"
    ok = ratio <= limit if at_most else ratio >= limit
    return ("met" if ok else "**missed**") + " (%s %.2f)" % ("≤" if at_most else "≥", limit)


def pair_table(med, title, op, base, target=None, target_shapes=None, extra=None, digits=2):
    lines = ["### " + title, ""]
    head = "| shape (m × n) | %s | %s | ratio |" % (op, base)
    rule = "|---|---:|---:|---:|"
    if extra:
        head += " %s | ratio |" % extra
        rule += "---:|---:|"
    if digits > 2:
        head += " spread (cv) |"
        rule += "---|"
    if target:
        head += " target |"
        rule += "---|"
    lines += [head, rule]
    for m, n in SHAPES:
        a, b = med.get(key(op, m, n)), med.get(key(base, m, n))
        if a is None or b is None:
            continue
        ta, tb = seconds(a), seconds(b)
        r = "%%.%df" % digits
        row = ("| %d × %d | %s | %s | " + r + " |") % (m, n, fmt_time(ta), fmt_time(tb), ta / tb)
        if extra:
            c = med.get(key(extra, m, n))
            row += (" %s | %.2f |" % (fmt_time(seconds(c)), ta / seconds(c))) if c else " – | – |"
        if digits > 2:
            ca, cb = CV.get(key(op, m, n)), CV.get(key(base, m, n))
            row += (" %.1f %% / %.1f %% |" % (100 * ca, 100 * cb)) if ca is not None and cb is not None else " – |"
        if target:
            applies = target_shapes is None or (m, n) in target_shapes
            row += " %s |" % (verdict(ta / tb, target) if applies else "–")
        lines.append(row)
    return lines + [""]


CYCLE_SHAPES = [(320, 288), (640, 576), (1850, 712)]  # ring monitors × actuators; the inverse is n × m
CYCLE_TARGETS = {(320, 288): 0.7, (640, 576): 0.7, (1850, 712): 0.7}  # multiply ÷ dgemv (pre-widened)


def cpu_seconds(b):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b.get("time_unit", "ns")]
    return b["cpu_time"] * scale


def cycle_row_start(med, m, n, ta, time_of):
    """A cycle table's first columns: multiply (ta), cycles/s, dgemv, their ratio and the target."""
    row = "| %d × %d | %s | %.0f |" % (n, m, fmt_time(ta), 1.0 / ta)
    d = med.get(key("raw_cblas_dgemv_cycle", m, n))
    if not d:
        return row + " – | – | – |"
    r = ta / time_of(d)
    return row + " %s | %.2f | %s |" % (fmt_time(time_of(d)), r, verdict(r, CYCLE_TARGETS[(m, n)]))


def cycle_cpu_table(med):
    """The same runs by the CPU time of the benchmark's thread: what the core spent, without the time the
    thread waited for a core on a loaded machine (every operation here runs on the calling thread)."""
    lines = ["CPU time of the calling thread (one BLAS thread, so all of the work), the same runs:", "",
             "| inverse (n × m) | multiply | cycles/s | dgemv | ratio | target | sgemv | ratio | read | ratio |",
             "|---|---:|---:|---:|---:|---|---:|---:|---:|---:|"]
    for m, n in CYCLE_SHAPES:
        a = med.get(key("multiply_cycle", m, n))
        if a is None:
            continue
        ta = cpu_seconds(a)
        row = cycle_row_start(med, m, n, ta, cpu_seconds)
        for op in ("raw_cblas_sgemv_cycle", "raw_read_cycle"):
            c = med.get(key(op, m, n))
            row += (" %s | %.2f |" % (fmt_time(cpu_seconds(c)), ta / cpu_seconds(c))) if c else " – | – |"
        lines.append(row)
    a = med.get(key("multiply_cycle", 640, 576))
    if a:
        lines += ["", "576 × 640 in %s of CPU time: %s (≤ 60 µs)."
                  % (fmt_time(cpu_seconds(a)), "met" if cpu_seconds(a) <= 60e-6 else "**missed**")]
    return lines + [""]


def cycle_table(med):
    lines = ["### The feedback cycle: inverse (n × m float) × orbit (m × 1)", "",
             "`dgemv`: `cblas_dgemv` on a double copy of the inverse made beforehand; `sgemv`: `cblas_sgemv` on "
             "the floats (sums in float: not the library's contract); `read`: one pass of integer sums over the "
             "inverse's bytes, the same cache level (the floor: bytes over the measured read bandwidth); "
             "`accessor path`: `multiply` on a subclass, which goes through the accessors, GSL double copies "
             "and dgemm (as every `multiply` did before). Ratios are `multiply` ÷ each; cycles/s = 1 / time.", "",
             "| inverse (n × m) | multiply | cycles/s | dgemv | ratio | target | sgemv | ratio | read (GB/s) | ratio "
             "| accessor path | ratio |",
             "|---|---:|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|"]
    for m, n in CYCLE_SHAPES:
        a = med.get(key("multiply_cycle", m, n))
        if a is None:
            continue
        ta = seconds(a)
        row = cycle_row_start(med, m, n, ta, seconds)
        sg = med.get(key("raw_cblas_sgemv_cycle", m, n))
        row += (" %s | %.2f |" % (fmt_time(seconds(sg)), ta / seconds(sg))) if sg else " – | – |"
        rd = med.get(key("raw_read_cycle", m, n))
        row += (" %s (%.1f) | %.2f |" % (fmt_time(seconds(rd)), rd.get("GBps", 0), ta / seconds(rd))) if rd \
            else " – | – |"
        ac = med.get(key("multiply_cycle_accessor_path", m, n))
        row += (" %s | %.3f |" % (fmt_time(seconds(ac)), ta / seconds(ac))) if ac else " – | – |"
        lines.append(row)
    a = med.get(key("multiply_cycle", 640, 576))
    if a:
        lines += ["", "Both planes of a 320-monitor ring (576 × 640) in %s: %s (≤ 60 µs)."
                  % (fmt_time(seconds(a)), "met" if seconds(a) <= 60e-6 else "**missed**")]
    lines += [""] + cycle_cpu_table(med)
    lines += ["Eight orbits at once (A is m × 8): `multiply` (the same kernel) beside dgemm on double copies "
              "made beforehand and dgemm after widening the inverse (what a dgemm path pays on float storage).", "",
              "| inverse (n × m) | multiply | dgemm, pre-widened | ratio | widen + dgemm | ratio |",
              "|---|---:|---:|---:|---:|---:|"]
    for m, n in CYCLE_SHAPES:
        a, g, w = (med.get(key(op, m, n)) for op in ("multiply_k8", "raw_cblas_dgemm_k8", "raw_widen_dgemm_k8"))
        if a is None:
            continue
        row = "| %d × %d | %s |" % (n, m, fmt_time(seconds(a)))
        for c in (g, w):
            row += (" %s | %.2f |" % (fmt_time(seconds(c)), seconds(a) / seconds(c))) if c else " – | – |"
        lines.append(row)
    return lines + [""]


def write_table(out):
    path = os.path.join(out, "zorfb_write.json")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        r = json.loads(f.read().strip().splitlines()[-1])
    return ["### zorfb svd --out: writing the 712 × 1850 inverse (target ≤ 0.1 s)", "",
            "Medians of %d runs each of `zorfb svd FILE --svd lapack` with and without `--out`, interleaved; the "
            "write is the difference." % r["repetitions"], "",
            "| with --out | without | write | write, CPU time | file | target |", "|---:|---:|---:|---:|---:|---|",
            "| %s | %s | %s | %s | %.1f MB | %s |" % (
                fmt_time(r["with_out_s"]), fmt_time(r["without_s"]), fmt_time(r["write_s"]),
                fmt_time(r.get("write_cpu_s", float("nan"))), r["bytes"] / 1e6,
                "met" if r.get("write_cpu_s", r["write_s"]) <= 0.1 else "**missed**"), "",
            "The target is judged by the CPU time (the write runs on one thread; the wall time also holds the "
            "time the process waited for a core).", ""]


def read_jsonl(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def lapack_table(med, out):
    numpy_pinv = {(r["rows"], r["cols"]): r for r in read_jsonl(os.path.join(out, "numpy_pinv.jsonl"))}
    lines = ["### invert with the LAPACK engine (targets: ≤ 1.25 × raw economy dgesdd; ≤ numpy.linalg.pinv"
             " at 640 × 576 and 1850 × 712)", "",
             "`raw dgesdd`: `arma::svd_econ(U, s, V, A, \"both\", \"dc\")` of the same matrix, the decomposition "
             "alone; `numpy pinv`: `numpy.linalg.pinv` (numpy's economy divide-and-conquer SVD and its products) "
             "on the same float elements, same OpenBLAS, one thread; `gsl`: `invert` with the default engine.", "",
             "| shape (m × n) | invert (lapack) | raw dgesdd | ratio | target | numpy pinv | ratio | target |"
             " invert (gsl) | gsl ÷ lapack |",
             "|---|---:|---:|---:|---|---:|---:|---|---:|---:|"]
    for m, n in SHAPES:
        a, b = med.get(key("invert_lapack", m, n)), med.get(key("raw_dgesdd_econ", m, n))
        if a is None or b is None:
            continue
        ta, tb = seconds(a), seconds(b)
        row = "| %d × %d | %s | %s | %.2f | %s |" % (m, n, fmt_time(ta), fmt_time(tb), ta / tb, verdict(ta / tb, 1.25))
        npy = numpy_pinv.get((m, n))
        if npy:
            r = ta / npy["median_s"]
            row += " %s | %.2f | %s |" % (fmt_time(npy["median_s"]), r, verdict(r, 1.0))
        else:
            row += " – | – | – |"
        g = med.get(key("invert", m, n))
        row += (" %s | %.1f |" % (fmt_time(seconds(g)), seconds(g) / ta)) if g else " – | – |"
        lines.append(row)
    rss = read_jsonl(os.path.join(out, "invert_rss.jsonl"))
    if rss:
        lines += ["", "Peak working set of one `invert` at 1850 × 712 (getrusage `ru_maxrss`, a fresh process per "
                  "engine, after `load_file`; the matrix itself is 5.0 MiB as floats):", "",
                  "| engine | time | peak RSS before | peak RSS after | growth |", "|---|---:|---:|---:|---:|"]
        for r in rss:
            lines.append("| %s | %.0f ms | %.1f MiB | %.1f MiB | %.1f MiB |" % (
                r["method"], r["time_ms"], r["max_rss_before_kib"] / 1024, r["max_rss_after_kib"] / 1024,
                r["growth_kib"] / 1024))
    return lines + [""]


def correction_table(out):
    """Correction::compute at 640 x 576 (zf_bench_correction), by CPU time: what a cycle costs the loop."""
    path = os.path.join(out, "correction.json")
    if not os.path.exists(path):
        return []
    med, _ = load_medians(path)
    t = {name: cpu_seconds(b) for name, b in med.items()}
    compute, multiply = t.get("BM_correction_compute"), t.get("BM_raw_multiply_same_shape")
    fused = t.get("BM_correction_compute_fused")
    clip, mask = t.get("BM_correction_compute_clip10"), t.get("BM_correction_mask_change")
    inversion = t.get("BM_raw_standard_inversion_319x288")
    lines = ["### Correction::compute, 640 × 576, two planes, inverses cached (CPU time, median)", "",
             "| case | time | against | target |", "|---|---:|---|---|"]
    if fused and multiply:
        lines.append("| no limit hit, fused float kernel | %s | %.2f × one `multiply` (%s) | %s |" % (
            fmt_time(fused), fused / multiply, fmt_time(multiply), verdict(fused / multiply, 1.2)))
    if compute and multiply:
        lines.append("| no limit hit, exact (double) | %s | %.2f × one `multiply` (%s) | – |" % (
            fmt_time(compute), compute / multiply, fmt_time(multiply)))
    if clip:
        lines.append("| 10 correctors at a limit, clip | %s | 50 ms | %s |" % (fmt_time(clip), verdict(clip / 50e-3, 1.0)))
    if mask and inversion:
        lines.append("| a monitor masked (new inverse of its plane) | %s | %.2f × one standard inversion of "
                     "319 × 288 (%s) | – |" % (fmt_time(mask), mask / inversion, fmt_time(inversion)))
    return lines + [""]


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    out = sys.argv[1]
    med, context = load_medians(os.path.join(out, "bench.json"))
    lines = []

    machine = os.path.join(out, "machine.txt")
    if os.path.exists(machine):
        lines += ["### Machine", "", "```"]
        with open(machine) as f:
            lines += [l.rstrip("\n") for l in f]
        lines += ["```", ""]
    reps = context.get("zf_repetitions")
    lines += ["Medians of %s repetitions, wall-clock time; ratio = library / baseline (below 1: the library"
              " is faster); spread: the coefficient of variation of the repetitions, library / baseline."
              % (reps if reps else "the"), ""]

    lines += pair_table(med, "invert: SVD inversion (target ≤ 1.10 × the raw GSL decomposition)",
                        "invert", "raw_gsl_SV_decomp", 1.10, extra="raw_arma_pinv", digits=3)
    lines += lapack_table(med, out)
    lines += pair_table(med, "pinv: Armadillo pseudo-inverse (target ≤ 1.05 × raw arma::pinv)",
                        "pinv", "raw_arma_pinv", 1.05, digits=3)
    lines += cycle_table(med)
    lines += correction_table(out)
    lines += write_table(out)
    lines += pair_table(med, "transpose (no target)", "transpose", "raw_loop_transpose")
    lines += pair_table(med, "entrywise_product (no target)", "entrywise_product", "raw_loop_entrywise_product")

    # Loading.
    lines += ["### load_file: 1850 × 712 file, both passes (target ≥ numpy.loadtxt's throughput)", ""]
    lf, gl = med.get("BM_load_file/real_time"), med.get("BM_raw_getline_istringstream_load/real_time")
    npy = None
    if os.path.exists(os.path.join(out, "numpy.json")):
        with open(os.path.join(out, "numpy.json")) as f:
            npy = json.loads(f.read().strip().splitlines()[-1])
    lines += ["| reader | time | MB/s | load_file ÷ reader (throughput) |", "|---|---:|---:|---:|"]
    lf_rate = lf["MB"] if lf else None
    if lf:
        lines.append("| `load_file` | %s | %.0f | 1.00 |" % (fmt_time(seconds(lf)), lf_rate))
    if gl:
        lines.append("| `std::getline` + `std::istringstream`, two passes | %s | %.0f | %.2f |"
                     % (fmt_time(seconds(gl)), gl["MB"], lf_rate / gl["MB"] if lf_rate else 0))
    if npy:
        lines.append("| `numpy.loadtxt` (numpy %s, one pass, float64) | %s | %.0f | %.2f |"
                     % (npy["numpy"], fmt_time(npy["median_s"]), npy["MB_per_s"],
                        lf_rate / npy["MB_per_s"] if lf_rate else 0))
    if lf_rate and npy:
        lines += ["", "Target: %s." % verdict(lf_rate / npy["MB_per_s"], 1.0, at_most=False)]
    lines.append("")

    rss = os.path.join(out, "rss.jsonl")
    if os.path.exists(rss):
        lines += ["### load_file: peak memory (getrusage, ru_maxrss)", "",
                  "| file | shape | matrix itself | peak RSS before | peak RSS after | growth |",
                  "|---|---|---:|---:|---:|---:|"]
        with open(rss) as f:
            for line in f:
                r = json.loads(line)
                lines.append("| %.1f MB | %d × %d | %.1f MiB | %.1f MiB | %.1f MiB | %d KiB |" % (
                    r["bytes"] / 1e6, r["rows"], r["cols"], r["rows"] * r["cols"] * 4 / 2**20,
                    r["max_rss_before_kib"] / 1024, r["max_rss_after_kib"] / 1024, r["growth_kib"]))
        lines.append("")

    lines += ["### D_ringbuf::store (plain shift of N − 1 entries, no target)", "",
              "| N | message | time per store | per shifted entry |", "|---:|---|---:|---:|"]
    for op, msg in (("ringbuf_store", "15 characters"), ("ringbuf_store_long", "59 characters")):
        for n in (10, 1000, 100000):
            b = med.get("BM_%s/N:%d/real_time" % (op, n))
            if b:
                t = seconds(b)
                lines.append("| %d | %s | %s | %s |" % (n, msg, fmt_time(t), fmt_time(t / max(1, n - 1))))
    lines.append("")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
