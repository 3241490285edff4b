#!/usr/bin/python3
"""ZorFeedbackServer as a TANGO client sees it: the published properties
against the file and zorfb, a tolerance write, refused input that changes
nothing, change events, readers under load against a re-inverting writer,
and a clean exit on SIGTERM.

  tango_server.py SERVER ZORFB DATA_DIR
"""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import tango

SERVER, ZORFB, DATA = sys.argv[1:4]
RING = os.path.join(DATA, "ring_response.txt")
DEVICE = "zor/feedback/test"
LOAD_SECONDS = 3.0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def zorfb_svd(*args):
    return json.loads(subprocess.check_output([ZORFB, "svd", RING, "--format", "json", *args]))


def refused(call, text):
    try:
        call()
    except tango.DevFailed as e:
        assert text in e.args[0].desc, e.args[0].desc
        return
    raise AssertionError("accepted, expected a refusal with " + text)


def served(dev):
    return {name: dev.read_attribute(name).value for name in ("RESPONSE_MATRIX", "INVERSE", "Tolerance")}


def same(a, b):
    return all(np.array_equal(a[k], b[k]) for k in a)


def check(dev, url, server):
    assert dev.state() == tango.DevState.RUNNING, dev.status()
    matrix = np.loadtxt(RING, dtype=np.float32)
    ref = zorfb_svd()
    sv = np.array(ref["singular_values"])
    assert np.array_equal(dev.RESPONSE_MATRIX, matrix)
    assert np.allclose(dev.SINGULAR_VALUES, sv, rtol=1e-6, atol=0)
    assert dev.INVERSE.shape == (48, 96) and dev.ORBIT.shape == (96, 1) and dev.CORRECTORS.shape == (48, 1)
    assert dev.Tolerance == np.float32(ref["tol"]) and dev.SingularValuesUsed == ref["used"]
    assert dev.Nosv == ref["nosv"] and abs(dev.ConditionNumber / (sv[0] / sv[-1]) - 1) < 1e-6
    history = dev.HISTORY
    assert all(re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ ", h) for h in history), history
    assert any("inverted: 48 of 48 singular values" in h for h in history), history

    events = {"HISTORY": 0, "SINGULAR_VALUES": 0}

    def on_event(e):
        if not e.err:
            events[e.attr_value.name.upper()] += 1

    ids = [dev.subscribe_event(a, tango.EventType.CHANGE_EVENT, on_event) for a in events]
    dev.Period = 0.1

    # A new tolerance re-inverts: zorfb's count of values used, another inverse.
    internal = dev.INVERSE
    dev.Tolerance = 0.02
    assert dev.SingularValuesUsed == zorfb_svd("--tol", "0.02")["used"]
    assert not np.array_equal(dev.INVERSE, internal)

    # Refused input: the library's error line, nothing served changes.
    before = served(dev)
    refused(lambda: dev.LoadMatrix("/nonexistent/ring.txt"), "ERROR: file /nonexistent/ring.txt not found")
    refused(lambda: dev.LoadMatrix(os.path.join(DATA, "transfer_line_response.txt")),
            "ERROR: No. rows (24) do not match no. of monitors (96)")
    refused(lambda: dev.write_attribute("Tolerance", float("nan")), "NaN")  # TANGO's own check
    refused(lambda: dev.write_attribute("Period", 0.0), "refused")
    assert same(served(dev), before)
    dev.Invert()
    assert same(served(dev), before)

    dev.Stop()
    assert dev.state() == tango.DevState.STANDBY
    stopped_at = dev.Cycles
    time.sleep(0.3)
    assert dev.Cycles == stopped_at
    dev.Start()
    assert dev.state() == tango.DevState.RUNNING

    # Read times of the largest attribute, alone.
    t0 = time.perf_counter()
    for _ in range(200):
        dev.INVERSE
    print("INVERSE 48 x 96 read: %.3f ms" % ((time.perf_counter() - t0) / 200 * 1e3))

    # Under load: every image read is one whole inverse of the two served.
    inverses = [dev.INVERSE]
    dev.Tolerance = -1
    inverses.append(dev.INVERSE)
    stop_at = time.monotonic() + LOAD_SECONDS
    reads, writes, failures = [], [0], []

    def reader():
        d, n = tango.DeviceProxy(url), 0
        try:
            while time.monotonic() < stop_at:
                image = d.INVERSE
                if not any(np.array_equal(image, k) for k in inverses):
                    failures.append("an inverse that was never served")
                if not np.array_equal(d.RESPONSE_MATRIX, matrix):
                    failures.append("a response matrix that was never served")
                n += 2
        except tango.DevFailed as e:
            failures.append(e.args[0].desc)
        reads.append(n)

    def writer():
        d = tango.DeviceProxy(url)
        try:
            while time.monotonic() < stop_at:
                d.Tolerance = 0.02 if writes[0] % 2 == 0 else -1
                writes[0] += 1
        except tango.DevFailed as e:
            failures.append(e.args[0].desc)

    cycles0, t0 = dev.Cycles, time.monotonic()
    threads = [threading.Thread(target=reader) for _ in range(3)] + [threading.Thread(target=writer)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed, cycles = time.monotonic() - t0, dev.Cycles - cycles0
    print("load: %.0f image reads/s by 3 clients, %.0f re-inversions/s, %d cycles in %.2f s (period 0.1 s)"
          % (sum(reads) / elapsed, writes[0] / elapsed, cycles, elapsed))
    assert not failures, failures[:3]
    assert writes[0] > 0 and cycles > 0.5 * elapsed / 0.1  # the loop went on: no stall, no deadlock

    assert events["HISTORY"] > 1 and events["SINGULAR_VALUES"] > 1, events
    for i in ids:
        dev.unsubscribe_event(i)
    assert server.poll() is None


def main():
    port = free_port()
    log = tempfile.TemporaryFile(mode="w+")  # the library's log lines, shown when the test fails
    server = subprocess.Popen([SERVER, "test", "-nodb", "-dlist", DEVICE,
                               "-ORBendPoint", "giop:tcp:127.0.0.1:%d" % port], stdout=log, stderr=log)
    url = "tango://127.0.0.1:%d/%s#dbase=no" % (port, DEVICE)
    try:
        deadline = time.monotonic() + 20
        while True:
            assert server.poll() is None, "the server exited with %s" % server.returncode
            try:
                dev = tango.DeviceProxy(url)
                dev.ping()
                break
            except tango.DevFailed:
                assert time.monotonic() < deadline, "the server does not answer"
                time.sleep(0.1)
        check(dev, url, server)
        server.send_signal(signal.SIGTERM)
        assert server.wait(timeout=20) == 0, "exit status %s" % server.returncode
    except BaseException:
        log.seek(0)
        sys.stderr.write("".join(log.readlines()[-30:]))
        raise
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
    print("tango_server: passed")


if __name__ == "__main__":
    main()
