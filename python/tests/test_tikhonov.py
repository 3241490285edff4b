"""The Tikhonov filter through Python, against numpy: the inverse, and the
strength each automatic rule chooses against a reference written here from
its definition (the L-curve's corner as the largest curvature of
(log ||R x - b||, log ||x||), found by finite differences on a fine grid)."""

import numpy as np
import pytest

import zor_feedback as zf


def ill_posed(seed=11):
    """A 60 x 40 float32 matrix with singular values from 1 to 1e-6, and an orbit with noise."""
    rng = np.random.default_rng(seed)
    U, _ = np.linalg.qr(rng.standard_normal((60, 40)))
    V, _ = np.linalg.qr(rng.standard_normal((40, 40)))
    R = (U * np.logspace(0, -6, 40)) @ V.T
    R = R.astype(np.float32).astype(np.float64)
    b = R @ np.linspace(1.0, 2.0, 40) + 1e-4 * rng.standard_normal(60)
    return R, b


def curve(R, b, alphas):
    U, s, Vt = np.linalg.svd(R, full_matrices=False)
    beta = U.T @ b
    res, sol, dof = [], [], []
    for a in alphas:
        x = Vt.T @ (s / (s**2 + a**2) * beta)
        res.append(np.linalg.norm(R @ x - b))
        sol.append(np.linalg.norm(x))
        dof.append(np.sum(s**2 / (s**2 + a**2)))
    return np.array(res), np.array(sol), np.array(dof), s


def reference_lcurve_corner(R, b):
    s = np.linalg.svd(R, compute_uv=False)
    t = np.linspace(np.log(max(s[-1], 1e-14 * s[0])), np.log(s[0]), 4001)
    res, sol, _, _ = curve(R, b, np.exp(t))
    x, y = np.log(res), np.log(sol)
    x1, y1 = np.gradient(x, t), np.gradient(y, t)
    x2, y2 = np.gradient(x1, t), np.gradient(y1, t)
    kappa = (x1 * y2 - x2 * y1) / (x1**2 + y1**2) ** 1.5
    return np.exp(t[np.argmax(kappa[2:-2]) + 2])


def reference_gcv_minimum(R, b):
    s = np.linalg.svd(R, compute_uv=False)
    alphas = np.exp(np.linspace(np.log(max(s[-1], 1e-14 * s[0])), np.log(s[0]), 4001))
    res, _, dof, _ = curve(R, b, alphas)
    return alphas[np.argmin(res**2 / (R.shape[0] - dof) ** 2)]


def test_the_tikhonov_inverse_is_v_s_over_s2_plus_alpha2_u_transposed():
    R, _ = ill_posed()
    U, s, Vt = np.linalg.svd(R, full_matrices=False)
    for A in (1e-2, 1e-4):
        alpha = A * s[0]
        want = Vt.T @ np.diag(s / (s**2 + alpha**2)) @ U.T
        r = zf.invert(R, tikhonov=A)
        assert r.filter == f"tikhonov {A:g}"
        assert r.alpha == pytest.approx(alpha, rel=1e-12)
        np.testing.assert_allclose(r.filter_factors, s**2 / (s**2 + alpha**2), rtol=1e-9, atol=1e-12)
        # The inverse is stored as float32.
        assert np.linalg.norm(r.inverse - want) <= 1e-6 * np.linalg.norm(want)


@pytest.mark.parametrize("seed", [11, 12, 13])
def test_the_automatic_strengths_are_the_references_within_ten_percent(seed):
    R, b = ill_posed(seed)
    lcurve = zf.invert(R, tikhonov="auto", orbit=b)
    assert lcurve.filter == "tikhonov lcurve"
    assert lcurve.alpha == pytest.approx(reference_lcurve_corner(R, b), rel=0.1)
    gcv = zf.invert(R, tikhonov="gcv", orbit=b)
    assert gcv.alpha == pytest.approx(reference_gcv_minimum(R, b), rel=0.1)
    noise = zf.invert(R, filter="tikhonov discrepancy 1e-4", orbit=b)
    res, _, _, _ = curve(R, b, [noise.alpha])
    assert res[0] == pytest.approx(np.sqrt(60) * 1e-4, rel=1e-6)


def test_tikhonov_options_are_refused_with_the_reason():
    R, b = ill_posed()
    for kwargs, why in [
        ({"tikhonov": 0.0}, "tikhonov strength 0 is not a number > 0"),
        ({"tikhonov": "sometimes"}, "tikhonov takes one finite strength"),
        ({"tikhonov": "auto"}, "needs an orbit of 60 values, not 0"),
        ({"tikhonov": 1e-3, "rcond": 1e-3}, "give one of rcond, keep, tikhonov and filter"),
        ({"filter": "keep -1"}, "cannot keep -1 singular values"),
    ]:
        with pytest.raises(ValueError, match=why):
            zf.invert(R, **kwargs)
    with pytest.raises(ValueError, match="60 values, not 59"):
        zf.invert(R, tikhonov="gcv", orbit=b[:59])



def test_a_correction_plane_chooses_its_strength_once_and_keeps_it_fixed():
    """Correction.choose_tikhonov on the rows in use, weighted, for W (orbit -
    reference): the L-curve's corner of that sub-matrix, then 'tikhonov A'."""
    R, b = ill_posed(12)
    c = zf.Correction()
    c.set_matrix(zf.LabelledMatrix(R, monitor_planes=["x"] * 60, corrector_planes=["x"] * 40))
    c.set_monitor_enabled("4", False)
    w = np.linspace(0.8, 1.2, 60)
    c.set_weights(w)
    orbit = b.copy()
    orbit[4] = np.nan  # masked: never read
    rows = [i for i in range(60) if i != 4]
    A, e = w[rows, None] * R[rows], w[rows] * orbit[rows]
    choice = c.choose_tikhonov("x", orbit)
    assert choice.rule == "lcurve" and (choice.monitors, choice.correctors) == (59, 40)
    assert choice.alpha == pytest.approx(reference_lcurve_corner(A, e), rel=0.1)
    assert choice.relative == pytest.approx(choice.alpha / np.linalg.svd(A, compute_uv=False)[0], rel=1e-12)
    assert c.plane("x").filter == choice.filter == f"tikhonov {choice.relative!r}"
    orbit[7] = np.inf
    for rule, why in [("sometimes", "rule must be 'lcurve', 'gcv' or 'discrepancy NOISE'"),
                      ("gcv", "monitor '7' reads no number")]:
        with pytest.raises(ValueError, match=why):
            c.choose_tikhonov("x", orbit, rule=rule)
    assert c.plane("x").filter == choice.filter  # the refusals changed nothing
