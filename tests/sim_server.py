#!/usr/bin/python3
"""ZorSimServer as a TANGO client sees it: the orbit of both rings, set-points
that move it as the nominal matrix says (within the machine's errors), writes
refused whole, monitor and corrector faults and their repair, names refused,
a clock of its own, bad properties, readers beside a writer, and the same
readings from the same seed.

  sim_server.py SERVER DATA_DIR
"""
import math
import os
import signal
import sys
import threading
import time

import numpy as np
import tango

import tango_harness
from tango_harness import refused

SERVER, DATA = sys.argv[1:3]
VALID, ALARM = tango.AttrQuality.ATTR_VALID, tango.AttrQuality.ATTR_ALARM


class Server(tango_harness.Server):
    """One ZorSimServer with its device properties from a file database."""

    def __init__(self, tmp, instance, **props):
        super().__init__(SERVER, "SimRing", "sim/ring/" + instance, tmp, instance, **props)


def state(dev):
    """What a refused request must leave as it was."""
    return (list(dev.OrbitX), list(dev.CorrectorSetpoints), list(dev.CorrectorReadbacks), dev.Time, dev.Status())


def check_ring96(dev, twin, other):
    nominal = np.loadtxt(os.path.join(DATA, "ring_response.txt"))
    assert dev.State() == tango.DevState.ON and "ring96" in dev.Status()
    names, correctors = list(dev.MonitorNames), list(dev.CorrectorNames)
    assert names == ["BPM%02d" % (i + 1) for i in range(96)] and correctors == ["CH%02d" % (j + 1) for j in range(48)]
    x = dev.read_attribute("OrbitX")
    assert x.value.shape == (96,) and np.all(np.isfinite(x.value)) and x.quality == VALID
    assert dev.OrbitY is None or len(dev.OrbitY) == 0, "ring96 has plane x only"
    assert dev.Time == 0.0

    # The same seed, the same readings, step by step; another seed, others.
    for d in (dev, twin, other):
        d.Advance(0.5)
    assert np.array_equal(dev.OrbitX, twin.OrbitX) and not np.array_equal(dev.OrbitX, other.OrbitX)

    # A set-point moves the orbit when time goes on, by the nominal column
    # within the machine's errors (5 % model error, 2 % gains and calibrations).
    before = dev.OrbitX
    kick = np.zeros(48)
    kick[4] = 0.5
    dev.CorrectorSetpoints = kick
    assert np.array_equal(dev.OrbitX, before), "the orbit moved before the clock did"
    dev.Advance(1.0)
    assert dev.Time == 1.5
    assert np.allclose(dev.CorrectorSetpoints, kick) and np.allclose(dev.CorrectorReadbacks, kick, atol=1e-9)
    moved, expected = dev.OrbitX - before, nominal[:, 4] * 0.5
    rel = np.linalg.norm(moved - expected) / np.linalg.norm(expected)
    assert 0.0 < rel < 0.2, "the orbit moved %.3f off the nominal column" % rel
    print("ring96: 0.5 mrad at CH05 moved the orbit %.1f %% off the nominal column" % (100 * rel))

    # Refused whole, nothing changed: beyond the supply limit, wrong length, NaN.
    kept = state(dev)
    refused(lambda: dev.write_attribute("CorrectorSetpoints", np.full(48, 2.5)), "beyond its supply's limit")
    refused(lambda: dev.write_attribute("CorrectorSetpoints", np.zeros(47)), "47 set-points for 48 correctors")
    bad = kick.copy()
    bad[7] = float("nan")
    refused(lambda: dev.write_attribute("CorrectorSetpoints", bad), "NaN")
    refused(lambda: dev.Advance(-1.0), "refused")
    refused(lambda: dev.Advance(float("nan")), "refused")
    refused(lambda: dev.Advance(1e6), "refused")
    assert state(dev) == kept

    # A corrector that refuses: a write changing it is refused whole, one
    # keeping it goes through; restored, it moves again.
    dev.FailCorrector("CH03")
    assert "CH03 refusing" in dev.Status()
    changed = kick.copy()
    changed[2], changed[10] = 0.2, 0.3
    refused(lambda: dev.write_attribute("CorrectorSetpoints", changed), "CH03 refuses")
    assert np.array_equal(dev.CorrectorSetpoints, kick)
    keeping = kick.copy()
    keeping[10] = 0.3
    dev.CorrectorSetpoints = keeping
    dev.RestoreCorrector("CH03")
    dev.CorrectorSetpoints = changed
    assert np.array_equal(dev.CorrectorSetpoints, changed) and "no fault" in dev.Status()

    # A failed monitor reads NaN at once, the others as before; restored, it reads again.
    dev.FailMonitor("BPM05")
    x = dev.read_attribute("OrbitX")
    assert math.isnan(x.value[4]) and np.all(np.isfinite(np.delete(x.value, 4))) and x.quality == ALARM
    assert "BPM05 failed" in dev.Status()
    dev.Advance(0.1)
    assert math.isnan(dev.OrbitX[4])
    dev.RestoreMonitor("BPM05")
    x = dev.read_attribute("OrbitX")
    assert np.all(np.isfinite(x.value)) and x.quality == VALID and "no fault" in dev.Status()

    # A stuck monitor repeats its reading while the others see the noise.
    dev.StickMonitor("BPM10")
    first = dev.OrbitX
    dev.Advance(0.1)
    second = dev.OrbitX
    assert second[9] == first[9] and not np.array_equal(np.delete(first, 9), np.delete(second, 9))
    dev.RestoreMonitor("BPM10")
    dev.Advance(0.1)
    assert dev.OrbitX[9] != first[9]

    # No valid monitor at all: the orbit is INVALID (TANGO sends no value then).
    for n in names:
        dev.FailMonitor(n)
    assert dev.read_attribute("OrbitX").quality == tango.AttrQuality.ATTR_INVALID
    for n in names:
        dev.RestoreMonitor(n)
    assert dev.read_attribute("OrbitX").quality == VALID

    # Unknown names: refused with the name, nothing changed.
    kept = state(dev)
    for cmd, name, text in (("FailMonitor", "BPM97", "no monitor 'BPM97'"),
                            ("StickMonitor", "", "no monitor ''"),
                            ("RestoreMonitor", "CH01", "no monitor 'CH01'"),
                            ("FailCorrector", "BPM01", "no corrector 'BPM01'"),
                            ("RestoreCorrector", "CH49", "no corrector 'CH49'")):
        refused(lambda: dev.command_inout(cmd, name), text)
    assert state(dev) == kept


def check_ring320(dev):
    assert "ring320" in dev.Status()
    names, correctors = list(dev.MonitorNames), list(dev.CorrectorNames)
    assert len(names) == 640 and len(correctors) == 576
    assert all(n.endswith(".X") for n in names[:320]) and all(n.endswith(".Y") for n in names[320:])
    assert correctors[0].startswith("CH") and correctors[-1].startswith("CV")
    x, y = dev.OrbitX, dev.OrbitY
    assert x.shape == (320,) and y.shape == (320,) and np.all(np.isfinite(x)) and np.all(np.isfinite(y))
    # A vertical corrector moves plane y; plane x only through the monitors' rolls.
    kick = np.zeros(576)
    kick[correctors.index("CV010")] = 0.3
    dev.CorrectorSetpoints = kick
    dev.Advance(1.0)
    dx, dy = np.abs(dev.OrbitX - x).max(), np.abs(dev.OrbitY - y).max()
    assert dy > 0.1 and dx < 0.1 * dy, (dx, dy)
    dev.FailMonitor("BPM007.Y")
    y = dev.read_attribute("OrbitY")
    assert math.isnan(y.value[6]) and y.quality == ALARM and dev.read_attribute("OrbitX").quality == VALID
    print("ring320: 0.3 mrad at CV010 moved y by %.3f mm, x by %.4f mm" % (dy, dx))


def check_free_running(dev, srv):
    t0 = dev.Time
    time.sleep(0.5)
    t1 = dev.Time
    assert t1 > t0 and abs(t1 / 0.05 - round(t1 / 0.05)) < 1e-6, (t0, t1)
    refused(lambda: dev.Advance(1.0), "runs by itself")
    # Readers beside a writer while the clock runs: every read answers,
    # every write of a bad length is refused, the good ones go through.
    errors, reads, stop = [], [0], threading.Event()

    def reader():
        d = tango.DeviceProxy(srv.url)
        while not stop.is_set():
            try:
                v = d.OrbitX
                assert v.shape == (96,) and np.all(np.isfinite(v))
                reads[0] += 1
            except Exception as e:  # noqa: BLE001 - any failure is the test's
                errors.append(repr(e))

    threads = [threading.Thread(target=reader) for _ in range(3)]
    for t in threads:
        t.start()
    for k in range(50):
        dev.CorrectorSetpoints = np.full(48, 0.001 * k)
        refused(lambda: dev.write_attribute("CorrectorSetpoints", np.zeros(3)), "3 set-points")
    stop.set()
    for t in threads:
        t.join()
    assert not errors and reads[0] > 0, errors[:3]
    assert np.allclose(dev.CorrectorSetpoints, 0.049)
    srv.terminate(signal.SIGINT)


def check_fault(dev, text):
    assert dev.State() == tango.DevState.FAULT and text in dev.Status(), dev.Status()
    refused(lambda: dev.OrbitX, "refused in FAULT")
    refused(lambda: dev.FailMonitor("BPM01"), "refused in FAULT")


def main():
    with tango_harness.scratch("zor_sim_") as (tmp, servers):
        stepped = dict(Period=0, Seed=7)
        for name, props in (("a", stepped), ("b", stepped), ("c", dict(Period=0, Seed=8)),
                            ("big", dict(Ring="ring320", Period=0)), ("free", dict(Period=0.05)),
                            ("bad_ring", dict(Ring="ring7")), ("bad_error", dict(ModelError=-1)),
                            ("bad_seed", dict(Seed="x")), ("bad_period", dict(Period=0.001))):
            servers.append(Server(tmp, name, **props))
        a, b, c, big, free, bad_ring, bad_error, bad_seed, bad_period = [s.connect() for s in servers]
        check_ring96(a, b, c)
        check_ring320(big)
        check_free_running(free, servers[4])
        check_fault(bad_ring, "neither ring96 nor ring320")
        check_fault(bad_error, "device property ModelError")
        check_fault(bad_seed, "device property Seed")
        check_fault(bad_period, "neither 0 (stepped) nor within 0.01 to 3600 s")
        servers[0].terminate(signal.SIGTERM)
    print("sim_server: passed")


if __name__ == "__main__":
    main()
