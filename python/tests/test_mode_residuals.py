"""Correction.mode_residuals against an SVD made by numpy of the same rows and columns."""

import os
from pathlib import Path

import numpy as np
import pytest

import zor_feedback as zf

DATA = Path(os.environ.get("ZOR_FEEDBACK_DATA_DIR", Path(__file__).resolve().parents[2] / "examples" / "data"))


@pytest.fixture(scope="module")
def ring():
    r = zf.read_labelled_matrix(DATA / "ring_response.txt")
    return zf.LabelledMatrix(r.values, monitor_planes=["x"] * 48 + ["y"] * 48,
                             corrector_planes=["x"] * 24 + ["y"] * 24, units="mm/mrad")


def configured(ring):
    c = zf.Correction()
    c.set_matrix(ring)
    c.set_monitor_enabled("5", False)
    c.set_corrector_enabled("7", False)
    c.set_plane("y", keep=10, gain=0.8)
    rng = np.random.default_rng(3)
    w, ref = rng.uniform(0.5, 2.0, 96), rng.normal(0.0, 0.01, 96)
    c.set_weights(w)
    c.set_reference(ref)
    return c, w, ref


def reference_modes(ring, w, ref, step, orbit, plane, modes):
    """U^T W (orbit - reference) of the plane's rows and columns in the step, signs fixed as documented."""
    R = np.asarray(ring.values, dtype=float)
    mon = [i for i in range(96) if ring.monitor_planes[i] == plane and str(i) in step.monitors_used]
    cor = [j for j in range(48) if ring.corrector_planes[j] == plane and str(j) in step.correctors_used]
    A = w[mon, None] * R[np.ix_(mon, cor)]
    U, s, _ = np.linalg.svd(A, full_matrices=False)
    for k in range(U.shape[1]):
        size = np.abs(U[:, k])
        if U[np.flatnonzero(size >= 0.5 * size.max())[0], k] < 0:
            U[:, k] *= -1
    return U[:, :modes].T @ (w[mon] * (orbit[mon] - ref[mon]))


def test_modes_equal_numpy_with_masks_weights_and_unread_monitors(ring):
    c, w, ref = configured(ring)
    orbit = 0.1 * np.sin(0.7 * np.arange(96))
    orbit[11] = np.nan
    step = c.compute(orbit, np.zeros(48))
    x, y = c.mode_residuals(step, orbit)
    modes_x, modes_y = step.modes
    assert (len(x), len(y)) == (modes_x, modes_y) and modes_y == 10
    for got, plane, modes in ((x, "x", modes_x), (y, "y", modes_y)):
        want = reference_modes(ring, w, ref, step, orbit, plane, modes)
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-12 * np.linalg.norm(want))


def test_refusals_raise_and_leave_the_step_usable(ring):
    c = configured(ring)[0]
    orbit = 0.05 * np.cos(0.3 * np.arange(96))
    step = c.compute(orbit, np.zeros(48))
    with pytest.raises(ValueError, match="monitors"):
        c.mode_residuals(step, orbit[:-1])
    other = configured(ring)[0]
    with pytest.raises(ValueError, match="another Correction"):
        other.mode_residuals(step, orbit)
    before = c.mode_residuals(step, orbit)
    c.set_plane("x", gain=0.3)
    with pytest.raises(ValueError, match="later change"):
        c.mode_residuals(step, orbit)
    again = c.compute(orbit, np.zeros(48))
    after = c.mode_residuals(again, orbit)  # the gain is not in the modes
    np.testing.assert_array_equal(before[0], after[0])
    np.testing.assert_array_equal(before[1], after[1])
