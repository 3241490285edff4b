"""The loop's controller after a Correction, and the orbit spectrum, from Python."""

import gc
import threading

import numpy as np
import pytest

import zor_feedback as zf


def two_planes():
    """B0/C0 plane x, B1/C1 plane y: orbit = diag(2, 1) kicks."""
    c = zf.Correction()
    c.set_matrix(zf.LabelledMatrix(np.diag([2.0, 1.0]), monitors=["B0", "B1"], correctors=["C0", "C1"],
                                   monitor_planes=["x", "y"], corrector_planes=["x", "y"]))
    return c


def test_each_plane_steps_by_its_own_controller():
    ctl = zf.Controller(two_planes(), x="pi kp=0.3 ki=0.5", y="integrator ki=0.7")
    gc.collect()  # the controller keeps its Correction alive
    assert (ctl.x, ctl.y) == ("pi kp=0.3 ki=0.5", "integrator ki=0.7")
    k = ctl.step([1.0, -0.4], [0.0, 0.0])  # the solve at gain 1: (-0.5, 0.4)
    np.testing.assert_allclose(k, [0.8 * -0.5, 0.7 * 0.4], rtol=1e-12)
    ctl.written()
    k2 = ctl.step([0.2, 0.1], k)  # then (-0.1, -0.1)
    np.testing.assert_allclose(k2, [-0.4 + 0.3 * 0.4 - 0.05, 0.28 - 0.07], rtol=1e-12)
    # A step not written is dropped: the same orbit gives the same kicks.
    np.testing.assert_array_equal(ctl.step([0.2, 0.1], k), k2)
    assert zf.Controller(two_planes(), x="pi kp=0.1 ki=0.4").y == "pi kp=0.1 ki=0.4"


def test_what_cannot_run_is_refused_and_changes_nothing():
    c = two_planes()
    for x, y, text in [("pid kp=1", None, "plane x"), ("integrator ki=0.5", "pi kp=1.9 ki=0.5", "plane y"),
                       ("integrator ki=2", None, "ki")]:
        with pytest.raises(ValueError, match=text):
            zf.Controller(c, x=x, y=y)
    ctl = zf.Controller(c)
    c.set_plane("y", gain=0.5)
    with pytest.raises(ValueError, match="gain 1"):
        ctl.step([1.0, -0.4], [0.0, 0.0])
    with pytest.raises(ValueError, match="no step to record"):
        ctl.written()
    assert c.history == []


def test_limits_hold_and_threads_share_the_correction_safely():
    c = two_planes()
    c.set_limit("C0", min=-0.1, max=0.1, max_step=0.05)
    ctl = zf.Controller(c, x="pi kp=0.5 ki=1.0")
    assert ctl.step([10.0, 0.0], [0.0, 0.0])[0] == pytest.approx(-0.05)
    errors = []

    def work():
        try:
            for _ in range(200):
                ctl.step([0.3, 0.2], [0.0, 0.0])
                c.compute([0.3, 0.2], [0.0, 0.0])
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_welch_equals_scipy():
    signal = pytest.importorskip("scipy.signal")
    rng = np.random.default_rng(7)
    t = np.arange(1000) / 50.0
    x = 0.01 * rng.standard_normal(1000) + 0.003 * np.sin(2 * np.pi * 3.0 * t) + 0.2
    s = zf.welch(x, 50.0, 128)
    f, p = signal.welch(x, 50.0, nperseg=128)
    np.testing.assert_allclose(s.frequency, f, rtol=0, atol=1e-12)
    np.testing.assert_allclose(s.density, p, rtol=0, atol=1e-9 * p.max())
    assert s.integrated == pytest.approx(np.sum(p) * (f[1] - f[0]), rel=1e-9)
    with pytest.raises(ValueError):
        zf.welch(x[:10], 50.0, 128)
