"""measure_response over Python callables: errors against a known noise, and
the correctors restored before a fault of read or write is raised again."""

import numpy as np
import pytest

import zor_feedback as zf


class Ring:
    """orbit = R (kicks - start) + noise; fails on the call numbered fail_at."""

    def __init__(self, m=20, n=6, sigma=0.01, seed=1):
        g = np.random.default_rng(seed)
        self.R = g.normal(size=(m, n))
        self.start = g.normal(scale=0.1, size=n)
        self.kicks = self.start.copy()
        self.sigma = sigma
        self.noise = np.random.default_rng(seed + 1)
        self.calls = 0
        self.fail_at = -1

    def _count(self):
        self.calls += 1
        if self.calls - 1 == self.fail_at:
            raise ConnectionError("device server gone")

    def read(self):
        self._count()
        return self.R @ (self.kicks - self.start) + self.noise.normal(scale=self.sigma, size=self.R.shape[0])

    def write(self, kicks):
        self._count()
        self.kicks = np.array(kicks, dtype=float)


def test_matrix_within_its_errors(tmp_path):
    ring = Ring(m=40, n=10)
    r = zf.measure_response(ring.read, ring.write, ring.start, 0.05, readings=16)
    assert r.matrix.shape == (40, 10) and r.errors.shape == (40, 10)
    assert np.mean(np.abs(r.matrix - ring.R) <= 3 * r.errors) >= 0.99
    # the errors are those of the means, not the shots' spread (4x larger here):
    # the deviations from the truth, in units of their errors, spread as N(0, 1).
    # Not a fixed sigma sqrt(2/N) / d: the drift weight follows the wall clock.
    z = (r.matrix - ring.R) / r.errors
    assert 0.85 < np.std(z) < 1.15
    assert not any(r.drift) and len(r.snr) == 10
    np.testing.assert_array_equal(ring.kicks, ring.start)
    r.save(tmp_path / "m.txt")
    back = zf.read_labelled_matrix(tmp_path / "m.errors.txt")
    np.testing.assert_allclose(back.values, r.errors, rtol=1e-6)


@pytest.mark.parametrize("fail_at", [0, 1, 9, 10, 11, 25, 45, 60])
def test_fault_raised_after_restore(fail_at):
    ring = Ring(n=3)
    ring.fail_at = fail_at
    with pytest.raises(ConnectionError, match="device server gone"):
        zf.measure_response(ring.read, ring.write, ring.start, 0.05, readings=4)
    np.testing.assert_array_equal(ring.kicks, ring.start)


def test_refused_before_writing():
    ring = Ring(n=3)
    with pytest.raises(ValueError, match="no room"):
        zf.measure_response(ring.read, ring.write, ring.start, 0.05, upper=ring.start)
    assert ring.calls > 0 and np.array_equal(ring.kicks, ring.start)


def test_write_that_keeps_failing_names_the_correctors():
    ring = Ring(n=3)
    writes = []

    def write(kicks):
        writes.append(np.array(kicks))
        if len(writes) > 1:
            raise ConnectionError("power supply controller gone")
        ring.write(kicks)

    with pytest.raises(ConnectionError) as info:
        zf.measure_response(ring.read, write, ring.start, 0.05, readings=4)
    assert "not restored to their start values: 0 1 2" in "".join(getattr(info.value, "__notes__", []))
    assert len(writes) > 2  # the restore tried again
