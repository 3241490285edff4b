#!/usr/bin/python3
"""ZorFeedbackServer as a control room's TANGO client sees it: what it serves
against numpy, its conventions and events, refused files and tolerances that
change nothing served, readers under load, a slow re-inversion that blocks no
one, and a clean exit on SIGTERM, SIGINT and SIGQUIT at any time.

  tango_server.py SERVER ZORFB DATA_DIR

ZOR_TANGO_SOAK=SECONDS runs the load that long and prints the server's RSS.
"""
import os
import shutil
import signal
import sys
import threading
import time

import numpy as np
import tango

import tango_harness
from tango_harness import refused

SERVER, ZORFB, DATA = sys.argv[1:4]
RING = os.path.join(DATA, "ring_response.txt")
LOAD_SECONDS = float(os.environ.get("ZOR_TANGO_SOAK", "3"))


class Server(tango_harness.Server):
    """One ZorFeedbackServer instance with its device properties from a file database."""

    def __init__(self, tmp, instance, **props):
        super().__init__(SERVER, "ZorFeedback", "zor/feedback/" + instance, tmp, instance, **props)


def served(dev):
    return {name: dev.read_attribute(name).value for name in ("RESPONSE_MATRIX", "INVERSE", "Tolerance")}


def same(a, b):
    return all(np.array_equal(a[k], b[k]) for k in a)


def wait_for(cond, what, timeout=60):
    deadline = time.monotonic() + timeout
    while not cond():
        assert time.monotonic() < deadline, "timed out waiting for " + what
        time.sleep(0.05)


class FiniteWatch(threading.Thread):
    """Reads ORBIT and CORRECTORS all along: never a NaN or an infinity."""

    def __init__(self, url):
        super().__init__()
        self.url, self.stop, self.bad, self.reads = url, threading.Event(), [], 0

    def run(self):
        d = tango.DeviceProxy(self.url)
        while not self.stop.is_set():
            for name in ("ORBIT", "CORRECTORS"):
                v = d.read_attribute(name).value
                if not np.all(np.isfinite(v)):
                    self.bad.append(name)
            self.reads += 1
            time.sleep(0.02)

    def finish(self):
        self.stop.set()
        self.join()
        assert not self.bad and self.reads > 0, self.bad[:3]


def write_files(tmp):
    ring = np.loadtxt(RING)
    lines = open(RING).read().splitlines(True)
    data = [i for i, l in enumerate(lines) if l.strip() and not l.startswith("#")]
    shutil.copy(RING, os.path.join(tmp, "ring.txt"))
    rankdef = ring.copy()
    rankdef[:, -1] = 0.0  # a corrector without effect: a zero singular value
    np.savetxt(os.path.join(tmp, "rankdef.txt"), rankdef, fmt="%.7g")

    def variant(name, row, change, prefix=""):
        out = list(lines)
        out[data[row]] = change(out[data[row]])
        with open(os.path.join(tmp, name), "w") as f:
            f.write(prefix + "".join(out))

    variant("nan_row.txt", 3, lambda l: l.replace(l.split()[10], "nan", 1))
    variant("commas.txt", 5, lambda l: ", ".join(l.split()) + "\n")
    variant("bom.txt", 0, lambda l: l, prefix="\ufeff")
    with open(os.path.join(tmp, "big.txt"), "w") as f:
        f.write(("#" + "x" * 99 + "\n") * 12000 + "".join(lines))
    labels = ("# monitors:", "# correctors:", "# monitor_planes:", "# corrector_planes:", "# units:")
    unlabelled = [l for l in lines if not l.startswith(labels)]
    with open(os.path.join(tmp, "labelled.txt"), "w") as f:
        # Names the shipped ring does not have: every setting by name is dropped.
        f.write("# monitors: %s\n" % " ".join("PU%02d" % i for i in range(96)))
        f.write("# correctors: %s\n" % " ".join("K%s%02d" % ("H" if j < 24 else "V", j) for j in range(48)))
        f.write("# monitor_planes: %s\n" % " ".join("x" if i < 48 else "y" for i in range(96)))
        f.write("# corrector_planes: %s\n" % " ".join("x" if j < 24 else "y" for j in range(48)))
        f.write("# units: m/rad\n")
        f.write("".join(unlabelled))
    os.mkdir(os.path.join(tmp, "sub.txt"))
    shutil.copy(os.path.join(DATA, "transfer_line_response.txt"), tmp)


def check_paths(dev, tmp):
    """No oracle for the host's files: a path outside MatrixDirectory, with a
    `..` component, through a link out, or of a missing file gets one text;
    no refusal echoes a long path or names the directory's absolute path."""
    os.symlink("/etc/hostname", os.path.join(tmp, "link.txt"))
    os.symlink("/etc", os.path.join(tmp, "etc"))
    base = os.path.basename(tmp)
    texts = []
    for path in ("/etc/hostname", "/etc/no-such-file", "no-such.txt", "link.txt", "etc/hostname",
                 "/etc/../%s/ring.txt" % tmp, "/no-such-dir/../%s/ring.txt" % tmp, "sub.txt/../ring.txt",
                 "../%s/ring.txt" % base, "./../%s/ring.txt" % base, tmp + "/./sub.txt/../ring.txt", "..", ""):
        desc = refused(lambda: dev.LoadMatrix(path), "is no readable file in MatrixDirectory")
        texts.append(desc.replace("'%s'" % path, "PATH", 1))
    assert len(set(texts)) == 1, set(texts)
    long_path = "x/" * 50000 + "ring.txt"
    desc = refused(lambda: dev.LoadMatrix(long_path), "is no readable file")
    assert len(desc) < 400, len(desc)
    # A file inside the directory loads by its absolute name, with `.` and
    # repeated slashes; every answer and the history name it relatively.
    dev.LoadMatrix(tmp + "//./ring.txt")
    desc = refused(lambda: dev.LoadMatrix("nan_row.txt"), "is not a number the loader reads")
    for text in [desc, dev.InversionStatus, dev.Status()] + list(dev.HISTORY) + texts:
        assert tmp not in text, text


def check_ring(srv, tmp):
    dev = srv.connect()
    wait_for(lambda: dev.state() == tango.DevState.RUNNING, "RUNNING")
    matrix = np.loadtxt(RING, dtype=np.float32)
    a = matrix.astype(np.float64)
    assert np.array_equal(dev.RESPONSE_MATRIX, matrix)
    assert np.allclose(dev.SINGULAR_VALUES, np.linalg.svd(a, compute_uv=False), rtol=1e-6, atol=0)
    pinv = np.linalg.pinv(a)
    assert np.abs(dev.INVERSE - pinv).max() < 1e-5 * np.abs(pinv).max()
    assert dev.ORBIT.shape == (96,) and dev.CORRECTORS.shape == (48,)
    assert dev.SingularValuesUsed == 48 and "standard inversion" in dev.status(), dev.status()

    # A control room's conventions: every attribute says what it is.
    for name in dev.get_attribute_list():
        if name in ("State", "Status"):
            continue
        c = dev.get_attribute_config(name)
        assert c.label and c.description and c.description != "No description" and c.format, name
    assert dev.get_attribute_config("Tolerance").format == "%.3e"
    assert dev.get_attribute_config("ORBIT").unit == "mm"
    for name in ("ORBIT", "CORRECTORS"):
        assert dev.get_attribute_config(name).data_format == tango.AttrDataFormat.SPECTRUM

    # Change events, pushed by the server, on every attribute.
    names = [n for n in dev.get_attribute_list() if n not in ("State", "Status")]
    events = {n.upper(): 0 for n in names}

    def on_event(e):
        if not e.err:
            events[e.attr_value.name.upper()] += 1

    ids = [dev.subscribe_event(n, tango.EventType.CHANGE_EVENT, on_event) for n in names]

    # The state machine: no silent Start or Stop.
    refused(dev.Start, "already running")
    dev.Stop()
    assert dev.state() == tango.DevState.STANDBY
    refused(dev.Stop, "already stopped")
    stopped_at = dev.Cycles
    time.sleep(0.3)
    assert dev.Cycles == stopped_at
    dev.Start()
    dev.Period = 0.1

    # A new cut re-inverts: numpy's count and inverse at that rcond.
    dev.Tolerance = 0.02
    assert dev.SingularValuesUsed == np.linalg.matrix_rank(a, tol=0.02 * np.linalg.norm(a, 2))
    assert "served: tolerance 2.000e-02" in dev.InversionStatus, dev.InversionStatus
    dev.Tolerance = -1

    # Files that load differently than they look, or that the server must not
    # open: refused, nothing served changes, the history says so.
    watch = FiniteWatch(srv.url)
    watch.start()
    before = served(dev)
    refused(lambda: dev.LoadMatrix("nan_row.txt"), "is not a number the loader reads")
    refused(lambda: dev.LoadMatrix("commas.txt"), "values separated by ','")
    refused(lambda: dev.LoadMatrix("bom.txt"), "a byte-order mark")
    check_paths(dev, tmp)
    refused(lambda: dev.LoadMatrix("big.txt"), "more than the limit")
    refused(lambda: dev.LoadMatrix("ring.txt\nforged line"), "control character")
    refused(lambda: dev.LoadMatrix("sub.txt"), "is not a regular file")
    refused(lambda: dev.LoadMatrix("transfer_line_response.txt"), "do not match")
    assert same(served(dev), before)
    assert sum("refused loaded" in h for h in dev.HISTORY) >= 3, dev.HISTORY
    assert "forged" not in srv.text()

    # Bad cuts on a rank-deficient matrix: refused, the loop keeps the last
    # good inverse.
    dev.LoadMatrix("rankdef.txt")
    assert dev.SingularValuesUsed == 47
    before = served(dev)
    for tol in (-0.5, 1.0, 5.0):  # the cut of the loop's planes
        refused(lambda: dev.write_attribute("Tolerance", tol), "rcond must be a number >= 0 and below 1")
    refused(lambda: dev.write_attribute("Tolerance", float("nan")), "NaN")
    refused(lambda: dev.write_attribute("Period", 0.0), "refused")
    assert same(served(dev), before)
    dev.Invert()
    assert same(served(dev), before) and dev.state() == tango.DevState.RUNNING
    dev.LoadMatrix("ring.txt")
    time.sleep(0.3)
    # The measurement's attributes change with a measurement (tango_measure.py).
    missing = [n for n, k in events.items() if k < (1 if n.startswith("MEASURE") else 2)]
    assert not missing, "no event pushed for %s" % missing
    for i in ids:  # before the load: PyTango may crash unsubscribing under a flood of events
        dev.unsubscribe_event(i)

    # Under load: every image read is one whole inverse of the two served.
    inverses = [dev.INVERSE]
    dev.Tolerance = 0.02
    inverses.append(dev.INVERSE)
    rss0 = srv.rss_mib()
    stop_at = time.monotonic() + LOAD_SECONDS
    reads, writes, failures, rss = [], [0], [], []

    def reader():
        d, n = tango.DeviceProxy(srv.url), 0
        try:
            while time.monotonic() < stop_at:
                image = d.INVERSE  # one of the two, up to the engine's rounding, never a mix
                if not any(np.abs(image - k).max() < 1e-5 * np.abs(k).max() for k in inverses):
                    failures.append("an inverse that was never served")
                if not np.array_equal(d.RESPONSE_MATRIX, matrix):
                    failures.append("a response matrix that was never served")
                n += 2
        except tango.DevFailed as e:
            failures.append(e.args[0].desc)
        reads.append(n)

    def writer():
        d = tango.DeviceProxy(srv.url)
        try:
            while time.monotonic() < stop_at:
                d.Tolerance = -1 if writes[0] % 2 == 0 else 0.02
                writes[0] += 1
        except tango.DevFailed as e:
            failures.append(e.args[0].desc)

    cycles0, t0 = dev.Cycles, time.monotonic()
    threads = [threading.Thread(target=reader) for _ in range(3)] + [threading.Thread(target=writer)]
    for t in threads:
        t.start()
    while any(t.is_alive() for t in threads):
        time.sleep(max(0.0, min(LOAD_SECONDS / 10, stop_at - time.monotonic())) + 0.01)
        rss.append(srv.rss_mib())
    for t in threads:
        t.join()
    elapsed, cycles = time.monotonic() - t0, dev.Cycles - cycles0
    print("load: %.0f image reads/s by 3 clients, %.0f re-inversions/s, %d cycles in %.2f s (period 0.1 s); "
          "RSS MiB %.1f, then %s" % (sum(reads) / elapsed, writes[0] / elapsed, cycles, elapsed, rss0,
                                     " ".join("%.1f" % r for r in rss)))
    assert not failures, failures[:3]
    assert writes[0] > 0 and cycles > 0.8 * elapsed / 0.1
    watch.finish()

    dev.Tolerance = -1  # the writer left either cut
    check_divergence(dev, tmp)
    check_correction(dev)
    check_quality(dev)
    srv.terminate(signal.SIGINT)  # idle


def check_divergence(dev, tmp):
    """A matrix of the wrong sign makes every step worse: the loop trips
    (ALARM, the reason in the status) and moves nothing more until Start."""
    with open(RING) as f:
        lines = f.readlines()
    with open(os.path.join(tmp, "negated.txt"), "w") as f:
        for line in lines:
            f.write(line if line.startswith("#") else " ".join("%.9g" % -float(v) for v in line.split()) + "\n")
    dev.LoadMatrix("negated.txt")
    wait_for(lambda: "tripped" in dev.status(), "the divergence trip", timeout=30)
    assert dev.state() == tango.DevState.ALARM and "grew by more than 10 %" in dev.status(), dev.status()
    cycles, kicks = dev.Cycles, dev.CORRECTORS
    time.sleep(0.35)
    assert dev.Cycles == cycles and np.array_equal(dev.CORRECTORS, kicks)
    dev.LoadMatrix("ring.txt")
    dev.Start()
    wait_for(lambda: dev.state() == tango.DevState.RUNNING and dev.Cycles > cycles + 2, "the loop after a trip")


def check_correction(dev):
    """The loop's step by the library's Correction: masks by name, limits, a
    dry run, apply and undo, labels from the file; bad writes change nothing."""
    ring = np.loadtxt(RING)
    monitors = ["BPM%02d" % (i + 1) for i in range(96)]  # the shipped ring's labels
    assert list(dev.MONITOR_NAMES) == monitors and list(dev.CORRECTOR_NAMES) == ["CH%02d" % (j + 1) for j in range(48)]
    dev.Stop()
    gain = dev.GainX
    dev.MONITOR_ENABLED = [i != 5 for i in range(96)]
    assert list(np.flatnonzero(~dev.MONITOR_ENABLED)) == [5]
    dev.CalcStep()
    rows = [i for i in range(96) if i != 5]
    assert list(dev.LAST_STEP_MONITORS) == [monitors[i] for i in rows], dev.StepStatus

    def plain():  # of the orbit the last CalcStep measured
        return -gain * np.linalg.pinv(ring[rows]) @ dev.ORBIT.astype(float)[rows]

    step = plain()
    assert np.allclose(dev.LAST_STEP, step, rtol=1e-9, atol=1e-12 * np.abs(step).max())
    check_served_inverse(dev, gain)
    assert not dev.INVERSE[:, 5].any()  # the masked monitor

    limit = 0.2 * np.abs(step).max()
    dev.KICK_LIMITS = np.tile([-np.inf, np.inf, limit], (48, 1))
    dev.CalcStep()
    step = plain()
    assert np.abs(dev.LAST_STEP).max() <= limit * (1 + 1e-12) and len(dev.LAST_STEP_LIMITED) > 0
    assert np.allclose(dev.LAST_STEP, step * limit / np.abs(step).max(), rtol=1e-9)
    dev.LimitPolicy = "clip"  # every corrector past its limit held at it, the others solved again
    dev.CalcStep()
    clipped, held = dev.LAST_STEP, len(dev.LAST_STEP_LIMITED)
    assert np.abs(clipped).max() <= limit * (1 + 1e-12) and "clip" in dev.StepStatus, dev.StepStatus
    assert np.isclose(np.abs(clipped), limit, rtol=1e-9).sum() == held > 1
    dev.LimitPolicy = "scale"
    dev.CalcStep()

    # Bad writes: refused with the library's reason; the step calculated
    # before them still applies, so nothing changed.
    names = ("MONITOR_ENABLED", "CORRECTOR_ENABLED", "KICK_LIMITS", "GainX", "CutX", "KeepX", "LimitPolicy",
             "LAST_STEP")
    config = [dev.read_attribute(n).value for n in names]
    bad = np.tile([-np.inf, np.inf, 1.0], (48, 1))
    bad[7] = [1.0, -1.0, 1.0]
    for name, value, text in (("MONITOR_ENABLED", [True] * 95, "95 values for 96 monitors"),
                              ("MONITOR_ENABLED", [False] * 96, "is the last monitor in use"),
                              ("CORRECTOR_ENABLED", [True] * 49, "49 values for 48 correctors"),
                              ("KICK_LIMITS", bad, "need min <= max"),
                              ("KICK_LIMITS", bad[:47], "47 rows for 48 correctors"),
                              ("GainX", float("nan"), "gain must be a finite"), ("GainY", -1.0, "gain must"),
                              ("GainX", 3.0, "below 2"), ("GainY", 2.0, "the loop diverges"),
                              ("CutX", -0.5, "rcond must be"), ("CutY", 1.0, "below 1"), ("KeepX", -2, "keep >= 1"),
                              ("KeepX", 49, "keeps 49 singular values, but has only 95 monitors and 48 correctors in use"),
                              ("LimitPolicy", "shrink", "neither scale")):
        refused(lambda: dev.write_attribute(name, value), text)
    assert all(np.array_equal(a, dev.read_attribute(n).value) for n, a in zip(names, config))
    before = dev.CORRECTORS
    dev.ApplyStep()
    assert np.allclose(dev.CORRECTORS - before, dev.LAST_STEP, atol=1e-6)
    refused(dev.ApplyStep, "applied already")
    dev.Undo()
    assert np.array_equal(dev.CORRECTORS, before)
    refused(dev.ApplyStep, "no step calculated")
    check_manual_steps(dev, np.linalg.pinv(ring[rows]), rows)

    dev.Start()
    refused(dev.ApplyStep, "the loop is running")
    cycles = dev.Cycles
    wait_for(lambda: dev.Cycles > cycles + 1, "a cycle")
    assert len(dev.LAST_STEP_MONITORS) == 95 and np.abs(dev.LAST_STEP).max() <= limit * (1 + 1e-12)

    # A new matrix keeps the settings of the names it shares, over Init too,
    # and says which it drops: in the answer, the status and the history.
    limits = dev.KICK_LIMITS
    assert np.isfinite(limits).any()
    answer = dev.LoadMatrix("ring.txt")
    assert "kept every setting" in answer, answer
    assert list(np.flatnonzero(~dev.MONITOR_ENABLED)) == [5] and np.array_equal(dev.KICK_LIMITS, limits)
    dev.GainY = 0.3
    dev.Init()
    wait_for(lambda: dev.state() == tango.DevState.RUNNING, "the loop after Init")
    assert list(np.flatnonzero(~dev.MONITOR_ENABLED)) == [5] and np.array_equal(dev.KICK_LIMITS, limits)
    assert dev.GainY == 0.3 and "kept every setting" in dev.status(), dev.status()
    dev.GainY = gain

    # A labelled file: names and planes from its header, each plane solved apart.
    answer = dev.LoadMatrix("labelled.txt")
    assert "dropped" in answer and "monitor BPM06 (masked)" in answer and "corrector CH01 (limits)" in answer, answer
    assert "monitor BPM06 (masked)" in dev.status(), dev.status()
    assert any("monitor BPM06 (masked)" in h for h in dev.HISTORY), dev.HISTORY
    assert dev.MONITOR_NAMES[0] == "PU00" and dev.CORRECTOR_NAMES[-1] == "KV47"
    assert dev.MONITOR_ENABLED.all() and np.isinf(dev.KICK_LIMITS).all()
    dev.Stop()
    dev.CalcStep()
    orbit, step = dev.ORBIT.astype(float), dev.LAST_STEP
    blocks = ((slice(0, 48), slice(0, 24)), (slice(48, 96), slice(24, 48)))
    for m, c in blocks:
        assert np.allclose(step[c], -gain * np.linalg.pinv(ring[m, c]) @ orbit[m], rtol=1e-9, atol=1e-12)
    check_served_inverse(dev, gain)
    # Every monitor of plane x masked: plane x stops, plane y goes on.
    dev.MONITOR_ENABLED = [i >= 48 for i in range(96)]
    dev.CalcStep()
    assert "plane x: every monitor is masked" in dev.StepStatus, dev.StepStatus
    assert not dev.LAST_STEP[:24].any() and dev.LAST_STEP[24:].any()
    assert not dev.INVERSE[:24].any()
    dev.MONITOR_ENABLED = [True] * 96
    # The served inverse, its singular values and Tolerance are the planes'
    # at the cut both of them use.
    dev.Tolerance = 0.5
    assert dev.CutX == dev.CutY == 0.5 and dev.KeepX == dev.KeepY == 0
    spectra = [np.linalg.svd(ring[m, c], compute_uv=False) for m, c in blocks]
    used = sum(int((sv > 0.5 * sv[0]).sum()) for sv in spectra)
    assert dev.SingularValuesUsed == used and dev.Tolerance == 0.5, (dev.SingularValuesUsed, used)
    assert np.allclose(dev.SINGULAR_VALUES, np.sort(np.concatenate(spectra))[::-1], rtol=1e-6)
    dev.CalcStep()
    check_served_inverse(dev, gain)
    dev.CutY = 0.1  # the planes' cuts differ: Tolerance says so
    assert np.isnan(dev.Tolerance) and "plane y" in dev.status(), dev.status()
    dev.CalcStep()
    check_served_inverse(dev, gain)
    # A plane's filter by its text: Tikhonov on plane x steps by the damped
    # inverse, which is the one served; CutX and KeepX read the same filter.
    dev.FilterX = "tikhonov 0.05"
    assert dev.FilterX == "tikhonov 0.05" and dev.CutX == -1 and dev.KeepX == 0
    assert "plane x 24 of 24 (tikhonov 0.05, alpha" in dev.status(), dev.status()
    dev.CalcStep()
    m, c = blocks[0]
    U, s, Vt = np.linalg.svd(ring[m, c], full_matrices=False)
    damped = Vt.T @ np.diag(s / (s**2 + (0.05 * s[0]) ** 2)) @ U.T
    assert np.allclose(dev.LAST_STEP[c], -gain * damped @ dev.ORBIT.astype(float)[m], rtol=1e-6, atol=1e-12)
    check_served_inverse(dev, gain)
    refused(lambda: dev.write_attribute("FilterX", "cut 3"), "unknown filter 'cut 3'")
    assert dev.FilterX == "tikhonov 0.05"
    # A rule chooses the strength once, from the last orbit read (CalcStep's),
    # and the plane serves the fixed strength it chose.
    dev.FilterX = "tikhonov lcurve"
    kind, strength = dev.FilterX.split()
    s = np.linalg.svd(ring[m, c], compute_uv=False)
    corner = lcurve_corner(ring[m, c], dev.ORBIT.astype(float)[m])
    assert kind == "tikhonov" and abs(float(strength) * s[0] - corner) <= 0.1 * corner, (strength, corner)
    assert any("FilterX tikhonov lcurve chose tikhonov " + strength in h for h in dev.HISTORY), dev.HISTORY
    refused(lambda: dev.write_attribute("FilterX", "tikhonov discrepancy 1e9"), "nothing to correct")
    assert dev.FilterX == "tikhonov " + strength
    dev.KeepX = 10
    assert dev.FilterX == "keep 10"
    dev.Tolerance = -1
    check_units(dev, "m", "rad")
    dev.LoadMatrix("ring.txt")
    check_units(dev, "mm", "mrad")
    dev.Start()


def lcurve_corner(R, b):
    """The L-curve's corner from its definition: the largest curvature of
    (log ||R x - b||, log ||x||) over 4001 points in log(alpha)."""
    U, s, _ = np.linalg.svd(R, full_matrices=False)
    beta, outside = U.T @ b, max(b @ b - np.sum((U.T @ b) ** 2), 0.0)
    t = np.linspace(np.log(max(s[-1], 1e-14 * s[0])), np.log(s[0]), 4001)
    a2 = np.exp(2 * t)[:, None]
    x = 0.5 * np.log(np.sum((a2 / (s**2 + a2) * beta) ** 2, axis=1) + outside)
    y = 0.5 * np.log(np.sum((s * beta / (s**2 + a2)) ** 2, axis=1))
    x1, y1 = np.gradient(x, t), np.gradient(y, t)
    x2, y2 = np.gradient(x1, t), np.gradient(y1, t)
    kappa = (x1 * y2 - x2 * y1) / (x1**2 + y1**2) ** 1.5
    return np.exp(t[np.argmax(kappa[2:-2]) + 2])


def check_quality(dev):
    """The loop's quality and the planes' controllers: the last cycle's error
    per mode against numpy's SVD, the rms history, controllers by their text
    (the integrator is the gain; a bad text refused with the parser's reason
    and nothing changed)."""
    ring = np.loadtxt(RING)
    wait_for(lambda: len(dev.RmsHistoryX if dev.RmsHistoryX is not None else []) > 2, "the rms history")
    dev.Stop()
    time.sleep(0.3)  # a cycle in flight publishes its step
    orbit, modes = dev.ORBIT.astype(float), dev.ModeResidualX
    rows = [list(dev.MONITOR_NAMES).index(n) for n in dev.LAST_STEP_MONITORS]
    U, s, _ = np.linalg.svd(ring[np.ix_(rows, np.flatnonzero(dev.CORRECTOR_ENABLED))], full_matrices=False)
    want = U[:, :len(modes)].T @ orbit[rows]
    assert len(modes) == dev.SingularValuesUsed and dev.ModeResidualY is None  # a plane-x ring: empty
    # The ring's symmetry pairs equal singular values, whose vectors any
    # rotation within the pair gives: compared by what a pair holds.
    pairs = np.split(np.arange(len(modes)), np.flatnonzero(np.diff(s[:len(modes)]) < -1e-6 * s[0]) + 1)
    held = [(np.linalg.norm(modes[p]), np.linalg.norm(want[p])) for p in pairs]
    assert np.allclose(*zip(*held), rtol=1e-5, atol=1e-6 * np.abs(want).max()), held[:3]
    history = dev.RmsHistoryX
    assert np.isclose(history[-1], np.sqrt(np.mean(orbit[np.isfinite(orbit)] ** 2)), rtol=1e-6)
    assert np.isfinite(history).all() and np.isnan(dev.RmsHistoryY).all()

    gain = dev.GainX
    text = dev.ControllerX
    assert text.startswith("integrator ki=") and float(text.split("=")[1]) == gain, text
    dev.GainX = 0.4
    assert dev.ControllerX == "integrator ki=0.4"
    for value, why in (("pid", "expected integrator or pi"), ("pi kp=1.8 ki=0.5", "kp must lie in [0, 2 - ki)"),
                       ("pi kp=x", "expected kp=X or ki=X"), ("integrator ki=2", "ki must lie in (0, 2)")):
        refused(lambda: dev.write_attribute("ControllerX", value), why)
    assert dev.ControllerX == "integrator ki=0.4" and dev.GainX == 0.4
    dev.ControllerX = "pi kp=0.2 ki=0.5"
    assert dev.GainX == 0.5 and dev.ControllerX == "pi kp=0.2 ki=0.5"
    refused(lambda: dev.write_attribute("GainX", 1.9), "kp must lie in [0, 2 - ki)")
    assert dev.ControllerX == "pi kp=0.2 ki=0.5" and dev.GainX == 0.5
    cycles = dev.Cycles
    dev.Start()
    wait_for(lambda: dev.Cycles > cycles + 3, "cycles with the PI")
    assert dev.state() == tango.DevState.RUNNING and "computed" in dev.StepStatus, dev.StepStatus
    dev.ControllerX = "integrator ki=%r" % gain
    assert dev.GainX == gain


def check_units(dev, orbit, kick):
    """The units of the matrix file's label on every attribute and text that has one."""
    units = {"RESPONSE_MATRIX": orbit + "/" + kick, "SINGULAR_VALUES": orbit + "/" + kick,
             "INVERSE": kick + "/" + orbit, "ORBIT": orbit, "CORRECTORS": kick, "KICK_LIMITS": kick,
             "LAST_STEP": kick}
    for name, unit in units.items():
        assert dev.get_attribute_config(name).unit == unit, (name, dev.get_attribute_config(name).unit)
    dev.CalcStep()
    assert (" %s predicted" % orbit) in dev.StepStatus, dev.StepStatus


def check_served_inverse(dev, gain):
    """The last step (within no limit) is -gain * INVERSE * ORBIT: the served
    inverse is the one the loop applies."""
    expected = -gain * dev.INVERSE.astype(float) @ dev.ORBIT.astype(float)
    step = dev.LAST_STEP
    scale = np.abs(dev.INVERSE).max() * np.abs(dev.ORBIT).max() * dev.ORBIT.size
    assert np.abs(step - expected).max() <= 1e-6 * scale, (np.abs(step - expected).max(), scale)
    assert np.abs(step - expected).max() <= 1e-3 * np.abs(step).max()


def check_manual_steps(dev, pinv, rows):
    """With the loop stopped: CalcStep measures the orbit afresh, a step is
    applied once and only while its orbit is the last one measured; a step
    split by max_step is written one write at a time, by ApplyStep and by
    a cycle."""
    dev.KICK_LIMITS = np.tile([-np.inf, np.inf, np.inf], (48, 1))
    gain, orbits = dev.GainX, []
    for _ in range(4):
        before = dev.CORRECTORS
        dev.CalcStep()
        orbits.append(dev.ORBIT.astype(float))
        step = dev.LAST_STEP
        expected = -gain * pinv @ orbits[-1][rows]
        assert np.allclose(step, expected, rtol=1e-9, atol=1e-12 * np.abs(expected).max())
        dev.ApplyStep()
        assert np.allclose(dev.CORRECTORS - before, step, atol=1e-6)
        refused(dev.ApplyStep, "applied already")
    assert all(not np.array_equal(a, b) for a, b in zip(orbits, orbits[1:])), "the same orbit again"
    dev.CalcStep()
    period, cycles = dev.Period, dev.Cycles
    dev.Period = 2.0  # one cycle at the start, the next two seconds later
    dev.Start()
    wait_for(lambda: dev.Cycles > cycles, "a cycle")
    dev.Stop()
    before = dev.CORRECTORS
    refused(dev.ApplyStep, "older than the orbit")
    assert np.array_equal(dev.CORRECTORS, before)

    dev.CalcStep()
    max_step = 0.05 * np.abs(dev.LAST_STEP).max()
    dev.KICK_LIMITS = np.tile([-np.inf, np.inf, max_step], (48, 1))
    dev.LimitPolicy = "split"
    dev.CalcStep()
    full = dev.LAST_STEP
    parts = int(np.ceil(np.abs(full).max() / max_step * (1 - 1e-12)))
    assert parts > 1 and "one write sets the first" in dev.StepStatus, dev.StepStatus
    dev.ApplyStep()
    moved = dev.CORRECTORS.astype(float) - before
    rounding = 4e-7 * np.abs(before).max()  # CORRECTORS are floats
    assert np.abs(moved).max() <= max_step + rounding, (np.abs(moved).max(), max_step)
    assert np.allclose(moved, full / parts, atol=rounding)
    assert "first write" in dev.HISTORY[0], dev.HISTORY[0]
    before, cycles = dev.CORRECTORS.astype(float), dev.Cycles
    dev.Start()
    wait_for(lambda: dev.Cycles > cycles, "a cycle")
    dev.Stop()
    assert dev.Cycles == cycles + 1 and "split in" in dev.StepStatus, dev.StepStatus
    assert np.abs(dev.CORRECTORS - before).max() <= max_step + rounding
    dev.Period = period
    dev.LimitPolicy = "scale"


def check_classic(srv):
    """The classic inversion for a site tuned against it: its floor refused."""
    dev = srv.connect()
    wait_for(lambda: dev.state() == tango.DevState.RUNNING, "RUNNING")
    assert "classic inversion (gsl)" in dev.status(), dev.status()
    refused(dev.CalcStep, "Inversion=classic")
    dev.LoadMatrix("rankdef.txt")
    watch = FiniteWatch(srv.url)
    watch.start()
    before = served(dev)
    for tol in (-0.5, 0.5, 1e30):
        refused(lambda: dev.write_attribute("Tolerance", tol), "ERROR")
    assert same(served(dev), before)
    time.sleep(0.3)
    watch.finish()
    assert dev.state() == tango.DevState.RUNNING
    srv.terminate(signal.SIGQUIT)  # idle


def check_slow(tmp):
    """1024 x 512 by GSL: nobody waits for the re-inversion; a signal ends it at any time."""
    rng = np.random.default_rng(7)
    np.savetxt(os.path.join(tmp, "large.txt"), rng.standard_normal((1024, 512)), fmt="%.6e")
    props = dict(MatrixDirectory=tmp, MatrixFile="large.txt", SvdMethod="gsl", Period=0.1)

    # Each of the three signals before the device answers; one during the
    # first inversion.
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGQUIT):
        early = Server(tmp, "early", **props)
        time.sleep(0.2)
        early.terminate(sig)
    srv = Server(tmp, "init", **props)
    dev = srv.connect()
    assert dev.state() == tango.DevState.INIT, dev.state()
    srv.terminate(signal.SIGQUIT)

    started = time.monotonic()
    srv = Server(tmp, "slow", **props)
    try:
        dev = srv.connect()
        wait_for(lambda: dev.state() == tango.DevState.RUNNING, "the first inversion", timeout=120)
        started = time.monotonic() - started
        waits, failures, done = [], [], threading.Event()

        def poll():
            d = tango.DeviceProxy(srv.url)
            d.set_timeout_millis(1000)
            while not done.is_set():
                t = time.monotonic()
                try:
                    d.Cycles
                except tango.DevFailed as e:
                    failures.append(e.args[0].desc)
                waits.append(time.monotonic() - t)
                time.sleep(0.1)

        poller = threading.Thread(target=poll)
        poller.start()
        t0, cycles0 = time.monotonic(), dev.Cycles
        dev.Invert()
        answered = time.monotonic() - t0
        assert dev.InversionStatus.startswith("running"), dev.InversionStatus
        refused(dev.Invert, "a re-inversion (Invert) has run for")
        wait_for(lambda: not dev.InversionStatus.startswith("running"), "the re-inversion", timeout=120)
        elapsed, cycles = time.monotonic() - t0, dev.Cycles - cycles0
        done.set()
        poller.join()
        assert dev.InversionStatus.startswith("served: Invert"), dev.InversionStatus
        print("slow re-inversion: running %.1f s after the start; answered in %.3f s, took %.1f s; %d reads, "
              "longest wait %.3f s; %d cycles (period held: %.3f s)" % (started, answered, elapsed, len(waits),
                                                                       max(waits), cycles, elapsed / max(cycles, 1)))
        assert not failures, failures[:3]
        assert abs(elapsed / cycles / 0.1 - 1) < 0.1, "loop period %.3f s" % (elapsed / cycles)

        # A mask re-inverts (seconds by GSL) off the published copies: readers
        # answer, the mask is made when its inverse is served, another
        # re-inversion is refused, not queued. Two monitors: one alone would
        # be a downdate of the held inverse in the library, not seconds.
        dev.MONITOR_ENABLED = [i > 1 for i in range(1024)]
        time.sleep(0.3)
        d = tango.DeviceProxy(srv.url)
        d.set_timeout_millis(1000)
        assert d.MONITOR_ENABLED[0] and d.Cycles > 0 and d.StepStatus and d.INVERSE[:, 0].any()
        assert dev.InversionStatus.startswith("running: MONITOR_ENABLED"), dev.InversionStatus
        refused(dev.Invert, "a re-inversion (MONITOR_ENABLED) has run for")
        refused(lambda: d.write_attribute("KeepX", 10), "a re-inversion (MONITOR_ENABLED) has run for")
        # Served: the step's own inverses were prepared beside the cycles, so
        # no step after it re-inverts (seconds by GSL): a dry run right after
        # it gets the correction at once (within the client's 1 s), with the
        # mask, and the cycles go on.
        wait_for(lambda: not dev.InversionStatus.startswith("running"), "the mask's re-inversion", timeout=120)
        assert dev.InversionStatus.startswith("served: MONITOR_ENABLED") and not d.MONITOR_ENABLED[0]
        time.sleep(0.3)
        cycles0 = d.Cycles
        d.CalcStep()
        assert len(d.LAST_STEP_MONITORS) == 1022, d.StepStatus
        wait_for(lambda: d.Cycles > cycles0 + 2, "the cycles after the mask", timeout=5)
        srv.terminate(signal.SIGINT)
    finally:
        srv.close(sys.exc_info()[0] is not None)


def main():
    with tango_harness.scratch("zor_tango_") as (tmp, servers):
        write_files(tmp)
        servers.append(Server(tmp, "ring", MatrixDirectory=tmp, MatrixFile="ring.txt"))
        check_ring(servers[-1], tmp)
        servers.append(Server(tmp, "classic", MatrixDirectory=tmp, MatrixFile="ring.txt", Inversion="classic"))
        check_classic(servers[-1])
        check_slow(tmp)
    print("tango_server: passed")


if __name__ == "__main__":
    main()
