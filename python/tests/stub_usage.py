"""Typical calls as a strict type checker reads them against the stub (not run)."""

import pickle

import numpy as np
from numpy.typing import NDArray

import zor_feedback as zf

R: NDArray[np.float32] = zf.load("examples/data/ring_response.txt")
res: zf.SvdResult = zf.invert(R, keep=35)
classic: zf.SvdResult = zf.invert_classic(R.tolist(), tol=1e-3, method="lapack")
step: NDArray[np.float32] = -zf.multiply(res.inverse, R[:, :1])
share: float = classic.cleared_share + classic.floor_change
again: zf.PinvResult = pickle.loads(pickle.dumps(zf.pinv(R)))
modes: int = res.used + again.used
angle: float = zf.R562alpha(-0.01, 0.5, 3.0)
angles = zf.R562alpha(np.array([-0.01, -0.02]), 0.5, 3.0)
history = zf.RingBuffer(4)
history.store("started")
texts: list[str] = [text for _, text in history.get()]
