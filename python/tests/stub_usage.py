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
ring = zf.read_labelled_matrix("examples/data/ring_response.txt")
labelled = zf.LabelledMatrix(ring.values, monitor_planes=["x"] * 48 + ["y"] * 48, units="mm/mrad")
zf.write_labelled_matrix("ring.txt", labelled, comment="a labelled ring")
correction = zf.Correction(history, depth=8)
correction.set_matrix(labelled)
correction.set_corrector_enabled("7", False)
correction.set_plane("x", keep=20, gain=0.5)
correction.set_limit("3", min=-0.002, max=0.002)
correction.policy = "clip"
planned: zf.Step = correction.compute(np.zeros(96), np.zeros(48))
modes_x, modes_y = correction.mode_residuals(planned, np.zeros(96))
mode_energy: float = float(np.sum(modes_x**2) + np.sum(modes_y**2))
chosen: zf.TikhonovChoice = correction.choose_tikhonov("x", np.ones(96), rule="gcv")
chosen_strength: float = chosen.relative
kick_sequence: list[NDArray[np.float64]] = correction.apply(planned)
before: NDArray[np.float64] = correction.undo()[-1]
limited: list[str] = planned.limited + [correction.policy]
controller = zf.Controller(correction, x="pi kp=0.2 ki=0.5", y=None)
next_kicks: NDArray[np.float64] = controller.step(np.zeros(96), np.zeros(48))
controller.written()
spectrum: zf.Spectrum = zf.welch(np.zeros(256), 50.0, 64)
band: float = spectrum.integrated + float(spectrum.frequency[-1])
