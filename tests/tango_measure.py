#!/usr/bin/python3
"""ZorFeedbackServer's MeasureMatrix as a control room uses it: the response of
the machine the device steers measured on its own thread (readers answer),
the result within its errors and the model error of the nominal matrix and
loadable by LoadMatrix; refusals (loop running, a second run, bad names) that
change nothing; AbortMeasurement and SIGINT put every corrector back.

  tango_measure.py SERVER ZORFB DATA_DIR
"""
import os
import shutil
import signal
import sys
import tempfile
import time

import numpy as np
import tango

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tango_harness  # noqa: E402
from tango_server import RING, Server, refused, wait_for  # noqa: E402

MODEL_ERROR = 0.05  # the device's simulated machine (FeedbackSimulation's default)


def files(tmp):
    return sorted(os.listdir(tmp))


def status(dev):
    return dev.read_attribute("MeasureStatus").value


def check_refusals(dev, tmp):
    """Refused with the reason, nothing written, nothing moved."""
    elsewhere = tempfile.mkdtemp(prefix="zor_measure_out_")
    os.symlink(elsewhere, os.path.join(tmp, "out"))  # a link out of the directory
    before = files(tmp)
    refused(lambda: dev.MeasureMatrix("m.txt"), "the loop is running")
    dev.Stop()
    kicks = dev.CORRECTORS
    for bad, text in (("../m.txt", "is no file name in MatrixDirectory"),
                      ("none/m.txt", "is no file name in MatrixDirectory"),
                      ("out/m.txt", "is no file name in MatrixDirectory"),
                      ("out/", "is no file name in MatrixDirectory"),
                      ("", "is no file name in MatrixDirectory"),
                      ("/etc/m.txt", "is no file name in MatrixDirectory"),
                      ("m\n.txt", "control character"),
                      ("ring.txt", "exists"),
                      ("ring.errors.txt", "exists")):
        refused(lambda: dev.MeasureMatrix(bad), text)
    refused(dev.AbortMeasurement, "no measurement runs")
    assert files(tmp) == before and not os.listdir(elsewhere) and np.array_equal(dev.CORRECTORS, kicks)
    os.rmdir(elsewhere)
    assert status(dev) == "none yet" and dev.MeasureProgress == 0


def check_abort(dev, tmp):
    """Mid-run: a second run, Start and ApplyStep refused; the abort restores
    every corrector exactly as CORRECTORS showed it, and writes nothing."""
    kicks, before = dev.CORRECTORS, files(tmp)
    dev.MeasureMatrix("aborted.txt")
    wait_for(lambda: dev.MeasureProgress > 0, "a column measured", timeout=30)
    refused(lambda: dev.MeasureMatrix("other.txt"), "a measurement runs")
    refused(dev.Start, "a response measurement runs")
    refused(dev.ApplyStep, "a response measurement moves the correctors")
    dev.AbortMeasurement()
    wait_for(lambda: not status(dev).startswith("running"), "the abort")
    assert status(dev).startswith("aborted after") and status(dev).endswith("correctors restored"), status(dev)
    assert 0 < dev.MeasureProgress < 100
    assert np.array_equal(dev.CORRECTORS, kicks), np.abs(dev.CORRECTORS - kicks).max()
    assert files(tmp) == before


def check_measurement(dev, tmp):
    """Complete: readers answer all along, the files load, the result is the
    nominal matrix within the machine's model error, each element within its
    errors of the measured value's neighbourhood."""
    nominal, kicks = dev.RESPONSE_MATRIX.astype(np.float64), dev.CORRECTORS
    events = []
    ids = [dev.subscribe_event(n, tango.EventType.CHANGE_EVENT,
                               lambda e: events.append(e.attr_value.value) if not e.err else None)
           for n in ("MeasureProgress", "MeasureStatus")]
    t0 = time.monotonic()
    assert dev.MeasureMatrix("measured.txt") == "started: measured.txt"
    slowest = 0.0
    while status(dev).startswith("running"):
        r0 = time.monotonic()
        assert dev.ORBIT.shape == (96,) and dev.InversionStatus
        slowest = max(slowest, time.monotonic() - r0)
        assert time.monotonic() - t0 < 60, "the measurement takes too long"
    wall = time.monotonic() - t0
    assert status(dev).startswith("done: measured.txt (96 x 48)"), status(dev)
    assert status(dev).endswith("correctors restored") and dev.MeasureProgress == 100
    assert np.array_equal(dev.CORRECTORS, kicks)
    time.sleep(0.2)
    for i in ids:
        dev.unsubscribe_event(i)
    assert 100.0 in events and any(str(v).startswith("done: measured.txt") for v in events), events[-3:]
    measured = np.loadtxt(os.path.join(tmp, "measured.txt"))
    errors = np.loadtxt(os.path.join(tmp, "measured.errors.txt"))
    assert measured.shape == errors.shape == (96, 48) and (errors > 0).all()
    # The machine differs from the nominal matrix by its model error (plus
    # monitor gains and calibrations) and the measurement by its errors: a
    # wrong sign, a column in the wrong place or a lost kick is far beyond.
    rel = np.linalg.norm(measured - nominal) / np.linalg.norm(nominal)
    noise = np.linalg.norm(errors) / np.linalg.norm(nominal)
    assert noise < 0.1 and rel < 3 * MODEL_ERROR + 3 * noise, (rel, noise)
    for j in range(48):
        assert np.corrcoef(measured[:, j], nominal[:, j])[0, 1] > 0.95, j
    out = dev.LoadMatrix("measured.txt")
    assert out.startswith("served"), out
    assert np.array_equal(dev.RESPONSE_MATRIX, measured.astype(np.float32))
    print("MeasureMatrix ring96: %.2f s wall, |M - N|/|N| = %.3f, |E|/|N| = %.4f, slowest read %.3f s"
          % (wall, rel, noise, slowest))
    assert slowest < 1.0


def check_sigint(srv, tmp):
    """SIGINT mid-run: the server stops the measurement and exits cleanly,
    writing nothing."""
    dev = srv.connect()
    wait_for(lambda: dev.state() == tango.DevState.RUNNING, "RUNNING")
    dev.Stop()
    dev.MeasureMatrix("interrupted.txt")
    wait_for(lambda: dev.MeasureProgress > 0, "a column measured", timeout=30)
    srv.terminate(signal.SIGINT, limit=5.0)
    assert "interrupted.txt" not in files(tmp)


def main():
    with tango_harness.scratch("zor_measure_") as (tmp, servers):
        shutil.copy(RING, os.path.join(tmp, "ring.txt"))
        with open(os.path.join(tmp, "ring.errors.txt"), "w") as f:
            f.write("# in the way\n")
        servers.append(Server(tmp, "measure", MatrixDirectory=tmp, MatrixFile="ring.txt"))
        dev = servers[-1].connect()
        wait_for(lambda: dev.state() == tango.DevState.RUNNING, "RUNNING")
        check_refusals(dev, tmp)
        check_abort(dev, tmp)
        check_measurement(dev, tmp)
        servers[-1].terminate(signal.SIGTERM)
        servers.append(Server(tmp, "interrupted", MatrixDirectory=tmp, MatrixFile="ring.txt"))
        check_sigint(servers[-1], tmp)
    print("tango_measure: passed")


if __name__ == "__main__":
    main()
