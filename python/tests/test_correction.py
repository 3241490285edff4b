"""Correction and LabelledMatrix against zorfb correct, on the installed copy."""

import json
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

import zor_feedback as zf

DATA = Path(os.environ.get("ZOR_FEEDBACK_DATA_DIR", Path(__file__).resolve().parents[2] / "examples" / "data"))
MONITORS = [f"BPM{i:02d}" for i in range(96)]
CORRECTORS = [f"C{j:02d}" for j in range(48)]


def zorfb(*args):
    exe = os.environ.get("ZORFB")
    if not exe:
        pytest.skip("ZORFB is not set")
    return subprocess.run([exe, *args], check=True, capture_output=True, text=True).stdout


@pytest.fixture(scope="module")
def ring_file(tmp_path_factory):
    """The shipped ring with names and two planes, as a labelled file."""
    ring = zf.read_labelled_matrix(DATA / "ring_response.txt")
    m = zf.LabelledMatrix(ring.values, monitors=MONITORS, correctors=CORRECTORS,
                          monitor_planes=["x"] * 48 + ["y"] * 48, corrector_planes=["x"] * 24 + ["y"] * 24,
                          units="mm/mrad")
    path = tmp_path_factory.mktemp("ring") / "ring.txt"
    zf.write_labelled_matrix(path, m)
    return path


def orbit():
    o = 0.1 * np.sin(0.7 * np.arange(96))
    o[11] = np.nan  # not read
    return o


def configured(ring_file, history=None):
    c = zf.Correction(history)
    c.set_matrix(zf.read_labelled_matrix(ring_file))
    c.set_monitor_enabled("BPM05", False)
    c.set_corrector_enabled("C07", False)
    c.set_plane("x", gain=0.5)
    c.set_plane("y", keep=10, gain=0.8)
    c.set_limit("C03", min=-0.002, max=0.002)
    c.set_limit("C30", min=-1.0, max=1.0, max_step=0.001)
    return c


def as_json(value):
    if isinstance(value, np.ndarray):
        return [None if np.isnan(v) else float(v) for v in value]
    if isinstance(value, list) and value and isinstance(value[0], np.ndarray):
        return [as_json(v) for v in value]
    return value


def test_the_step_is_zorfbs_key_by_key(tmp_path, ring_file):
    kicks = np.zeros(48)
    kicks[3] = 0.001
    (tmp_path / "orbit.txt").write_text("".join(f"{v!r}\n" for v in orbit()))
    (tmp_path / "kicks.txt").write_text("".join(f"{v!r}\n" for v in kicks))
    (tmp_path / "limits.txt").write_text("C03 -0.002 0.002\nC30 -1 1 0.001\n")
    expected = json.loads(zorfb(
        "correct", str(ring_file), str(tmp_path / "orbit.txt"), "--kicks", str(tmp_path / "kicks.txt"),
        "--limits", str(tmp_path / "limits.txt"), "--mask-monitor", "BPM05", "--mask-corrector", "C07",
        "--gain-x", "0.5", "--gain-y", "0.8", "--keep-y", "10", "--policy", "clip", "--format", "json"))
    c = configured(ring_file)
    c.policy = "clip"
    step = c.compute(orbit(), kicks)
    assert step.limited and step.policy == "clip"  # a limit is met, and clipped
    for key in expected.keys() - {"command", "matrix", "orbit"}:
        assert as_json(getattr(step, key)) == expected[key], key
    assert "BPM05" not in step.monitors_used and "BPM11" not in step.monitors_used


def test_apply_then_undo_returns_the_kicks_exactly(ring_file):
    history = zf.RingBuffer(4)
    c = configured(ring_file, history)
    c.policy = "split"
    kicks = np.linspace(-1e-3, 1e-3, 48)
    step = c.compute(orbit(), kicks)
    sequence = c.apply(step)
    assert len(step.writes) > 1 and len(sequence) == len(step.writes)
    assert np.array_equal(sequence[-1], step.kicks)
    entry = c.history[0]
    assert np.array_equal(entry.kicks_before, kicks) and np.array_equal(entry.kicks_after, step.kicks)
    assert (entry.policy, entry.scale, entry.rms_after) == ("split", step.scale, step.rms_after)
    assert history.get(0)[0][1].startswith("apply: ")
    back = c.undo()
    assert len(back) == len(step.writes) and np.array_equal(back[-1], kicks) and c.history == []
    assert history.get(0)[0][1].startswith("undo: ")
    # The ring buffer lives as long as the Correction that publishes into it.
    alone = configured(ring_file, zf.RingBuffer(2))
    alone.apply(alone.compute(orbit(), np.zeros(48)))


def test_refusals_raise_the_librarys_text_and_change_nothing(ring_file):
    c = configured(ring_file)
    c.apply(c.compute(orbit(), np.zeros(48)))
    before = c.compute(orbit(), np.zeros(48))
    foreign = configured(ring_file).compute(orbit(), np.zeros(48))
    state = (c.monitor_enabled, c.corrector_enabled, repr(c.limits), c.policy, len(c.history))
    refusals = [
        (lambda: c.set_corrector_enabled("C99", False), r"^no corrector named 'C99'$"),
        (lambda: c.set_limit("C99", max=1.0), r"^no corrector named 'C99'$"),
        (lambda: c.set_limit("C04", min=1.0, max=-1.0), "min <= max"),
        (lambda: c.compute(orbit()[:95], np.zeros(48)), "^the orbit holds 95 values, the matrix 96 monitors$"),
        (lambda: c.compute(orbit(), np.r_[np.nan, np.zeros(47)]), "^the kick of corrector 'C00' is not a number$"),
        (lambda: c.set_plane("z"), "neither x nor y"),
        (lambda: c.set_plane("x", gain=0.0), "gain must be a finite number above 0"),
        (lambda: c.set_plane("y", gain=2.0), "below 2"),
        (lambda: setattr(c, "policy", "bend"), "'scale', 'clip' or 'split'"),
        (lambda: c.apply(foreign), "another Correction"),
    ]
    stale = c.compute(orbit(), np.zeros(48))
    c.apply(c.compute(orbit(), np.zeros(48)))
    c.undo()
    refusals.append((lambda: c.apply(stale), "compute it again"))
    for call, text in refusals:
        with pytest.raises(ValueError, match=text):
            call()
    assert (c.monitor_enabled, c.corrector_enabled, repr(c.limits), c.policy, len(c.history)) == state
    again = c.compute(orbit(), np.zeros(48))
    assert np.array_equal(again.kicks, before.kicks) and again.generation == stale.generation + 2


def test_labelled_matrix_round_trip_and_refusals(tmp_path):
    values = np.random.default_rng(3).normal(size=(5, 3)).astype(np.float32)
    np.save(tmp_path / "m.npy", values)
    m = zf.LabelledMatrix(np.load(tmp_path / "m.npy"), monitors=list("ABCDE"), correctors=["H1", "H2", "V1"],
                          monitor_planes=list("xxxyy"), corrector_planes=list("xxy"), units="mm/mrad")
    zf.write_labelled_matrix(tmp_path / "m.txt", m, comment="two\nlines")
    back = zf.read_labelled_matrix(tmp_path / "m.txt")
    assert (back.shape, back.monitors, back.correctors, back.units) == ((5, 3), list("ABCDE"), ["H1", "H2", "V1"],
                                                                        "mm/mrad")
    assert (back.monitor_planes, back.corrector_planes) == (list("xxxyy"), list("xxy"))
    assert back.values.dtype == np.float64 and np.array_equal(back.values.astype(np.float32), values)
    plain = zf.LabelledMatrix(values)
    assert (plain.monitors, plain.corrector_planes) == (list("01234"), ["x"] * 3)
    for bad, text in [({"monitors": list("ABCDA")}, "'A' appears twice"),
                      ({"corrector_planes": ["x", "y"]}, "do not number the columns"),
                      ({"monitor_planes": list("xxxyz")}, "'z' is neither x nor y")]:
        with pytest.raises(ValueError, match=text):
            zf.LabelledMatrix(values, **bad)
    nan = values.copy()
    nan[1, 2] = np.nan
    with pytest.raises(ValueError, match=r"element \(1, 2\) is not finite"):
        zf.LabelledMatrix(nan)
    with pytest.raises(ValueError, match="cannot open"):
        zf.read_labelled_matrix(tmp_path / "missing.txt")
    with pytest.raises(ValueError, match="line break"):
        zf.write_labelled_matrix(tmp_path / "m.txt", m, comment=["one\ntwo"])
    assert zf.read_labelled_matrix(tmp_path / "m.txt").monitors == list("ABCDE")  # the refused write left it


def test_pickles_carry_the_configuration_and_the_step_as_a_record(ring_file):
    import pickle

    c = configured(ring_file)
    c.add_rf_column("RF", np.linspace(-1, 1, 96))
    c.set_reference(0.01 * np.ones(96))
    c.set_weights(np.r_[np.ones(48), 2 * np.ones(48)])
    c.set_limit("RF", min=-1.0, max=1.0, max_step=0.5)
    c.policy = "clip"
    back = pickle.loads(pickle.dumps(c))
    assert back.corrector_enabled == c.corrector_enabled and repr(back.limits) == repr(c.limits)
    assert back.matrix.correctors[-1] == "RF" and back.policy == "clip"
    kicks = np.zeros(49)
    a, b = c.compute(orbit(), kicks), back.compute(orbit(), kicks)
    assert np.array_equal(a.delta, b.delta) and a.rms_before == b.rms_before
    # The step: every field back, but it belongs to no Correction.
    s = pickle.loads(pickle.dumps(a))
    assert np.array_equal(s.delta, a.delta) and s.limited == a.limited and s.settings[1].keep == 10
    with pytest.raises(ValueError, match="another Correction"):
        c.apply(s)
    m = pickle.loads(pickle.dumps(c.matrix))
    assert np.array_equal(m.values, c.matrix.values) and m.monitor_planes == c.matrix.monitor_planes


def test_set_plane_changes_only_what_it_is_given(ring_file):
    c = configured(ring_file)
    c.set_plane("y", gain=0.3)
    assert (c.plane("y").keep, c.plane("y").gain) == (10, 0.3)
    c.set_plane("y", rcond=0.01)
    assert (c.plane("y").keep, c.plane("y").rcond, c.plane("y").gain) == (0, 0.01, 0.3)
    c.set_plane("y", tikhonov=1e-3)
    assert (c.plane("y").filter, c.plane("y").rcond, c.plane("y").gain) == ("tikhonov 0.001", None, 0.3)
    c.set_plane("x", filter="keep 7")
    assert (c.plane("x").filter, c.plane("x").keep) == ("keep 7", 7)
    back = __import__("pickle").loads(__import__("pickle").dumps(c))
    assert (back.plane("y").filter, back.plane("x").filter) == ("tikhonov 0.001", "keep 7")
    with pytest.raises(ValueError, match="chooses it for one orbit"):
        c.set_plane("y", tikhonov="auto")
    with pytest.raises(ValueError, match="give one of rcond, keep, tikhonov and filter"):
        c.set_plane("y", tikhonov=1e-3, keep=3)
    assert c.plane("y").filter == "tikhonov 0.001"


def test_threads_share_one_correction_without_racing(ring_file):
    import threading

    c = configured(ring_file)
    ref = c.compute(orbit(), np.zeros(48)).delta
    errors = []

    def steps():
        try:
            for _ in range(200):
                assert np.array_equal(c.compute(orbit(), np.zeros(48)).delta, ref)
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def masks():
        for k in range(200):
            c.set_plane("x", gain=0.5)  # the same settings again: the step stays
            c.set_limit("C10", max_step=np.inf if k % 2 else 1.0)

    threads = [threading.Thread(target=steps) for _ in range(2)] + [threading.Thread(target=masks)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
