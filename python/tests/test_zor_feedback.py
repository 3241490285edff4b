"""The Python module against the library's own answers, on the installed copy.

ctest runs this with PYTHONPATH at the scratch prefix, ZORFB naming the zorfb
executable and ZOR_FEEDBACK_DATA_DIR the example data.
"""

import ast
import ctypes
import io
import json
import logging
import os
import pickle
import subprocess
import threading
import warnings
from pathlib import Path

import numpy as np
import pytest

import zor_feedback as zf

DATA = Path(os.environ.get("ZOR_FEEDBACK_DATA_DIR", Path(__file__).resolve().parents[2] / "examples" / "data"))
RING = DATA / "ring_response.txt"


def bits(a):
    """The float32 bit patterns: tells -0 from +0 and any last-bit difference."""
    return np.ascontiguousarray(a, dtype=np.float32).view(np.uint32)


def zorfb(*args):
    exe = os.environ.get("ZORFB")
    if not exe:
        pytest.skip("ZORFB is not set")
    return subprocess.run([exe, *args], check=True, capture_output=True, text=True).stdout


def classic_svd():
    """zorfb's arguments for the classic inversion: `svd --classic` where svd is the standard one."""
    return ["svd", "--classic"] if "--classic" in zorfb("svd", "--help") else ["svd"]


def needs_standard_zorfb():
    if classic_svd() == ["svd"]:
        pytest.skip("this zorfb's svd is the classic inversion")


@pytest.fixture(scope="module")
def ring():
    return zf.load(RING)


@pytest.mark.parametrize("tol", [None, 1e-4])  # 1e-4: a floor that clears, harmlessly
def test_classic_is_zorfbs_bit_for_bit(tmp_path, ring, tol):
    out = tmp_path / "inverse.txt"
    args = [*classic_svd(), str(RING), "--out", str(out), "--format", "json"]
    expected = json.loads(zorfb(*args + (["--tol", str(tol)] if tol else [])))
    res = zf.invert_classic(ring) if tol is None else zf.invert_classic(ring, tol=tol)
    assert res.inverse.dtype == np.float32 and res.inverse.shape == (48, 96)
    assert np.array_equal(bits(res.inverse), bits(zf.load(out)))
    assert np.array_equal(bits(res.singular_values), bits(expected["singular_values"]))
    assert (np.float32(res.tol), res.nosv, res.used, res.inversion) == (
        np.float32(expected["tol"]), expected["nosv"], expected["used"], "classic")
    assert res.internal_tolerance == (tol is None)


def test_standard_is_zorfbs_bit_for_bit(tmp_path, ring):
    needs_standard_zorfb()
    out = tmp_path / "inverse.txt"
    expected = json.loads(zorfb("svd", str(RING), "--keep", "35", "--out", str(out), "--format", "json"))
    res = zf.invert(ring, keep=35)
    assert np.array_equal(bits(res.inverse), bits(zf.load(out)))
    assert (res.inversion, res.used) == (expected["inversion"], expected["used"]) == ("standard", 35)
    assert res.elements_cleared == 0


# What zorfb adds to a report: the command and its arguments, and the flags
# of its chart.
TOOL_ONLY_KEYS = {"command", "file", "out", "used_flags", "tolerance_source"}


@pytest.mark.parametrize("kind", ["classic", "standard", "pinv"])
def test_every_json_key_of_zorfb_is_a_result_attribute(ring, kind):
    if kind == "standard":
        needs_standard_zorfb()
    args = {"classic": classic_svd(), "standard": ["svd", "--keep", "35"], "pinv": ["pinv"]}[kind]
    keys = set(json.loads(zorfb(*args, str(RING), "--format", "json")))
    res = {"classic": zf.invert_classic, "standard": zf.invert, "pinv": zf.pinv}[kind](ring)
    assert keys - TOOL_ONLY_KEYS <= {n for n in dir(res) if not n.startswith("_")}


def test_pinv_is_zorfbs_bit_for_bit(tmp_path, ring):
    out = tmp_path / "inverse.txt"
    zorfb("pinv", str(RING), "--out", str(out))
    res = zf.pinv(ring)
    assert np.array_equal(bits(res.inverse), bits(zf.load(out)))
    assert (res.path, res.used, res.input_cleared) == ("svd", 48, 0)


def test_any_layout_and_dtype_gives_the_same_inverse(ring):
    expected = bits(zf.invert(ring).inverse)
    padded = np.zeros((2 * 96, 3 * 48), dtype=np.float32)
    padded[::2, ::3] = ring
    kept = ring.copy()
    for variant in (ring.astype(np.float64), np.asfortranarray(ring), padded[::2, ::3], ring.tolist()):
        assert np.array_equal(bits(zf.invert(variant).inverse), expected)
    assert np.array_equal(bits(ring), bits(kept))  # the input is never written


def test_refusals_raise_the_librarys_text_once(caplog, tmp_path, ring):
    caplog.set_level(logging.DEBUG, logger="zor_feedback")
    bad = ring.copy()
    bad[3, 5] = np.nan
    with pytest.raises(ValueError, match=r"^ERROR: matrix holds 1 non-finite values, first at \(3, 5\)"):
        zf.invert(bad)
    with pytest.raises(ValueError, match=r"^ERROR: SVD cut off tolerance is not a number"):
        zf.invert_classic(ring, tol=float("nan"))
    with pytest.raises(ValueError, match=r"^ERROR: no tolerance keeps exactly 32 values"):
        zf.invert_classic(ring, keep=32)  # s[31] == s[32]: the ring's modes come in pairs
    for bad_cut in ({"rcond": float("nan")}, {"rcond": -1.0}, {"keep": 0}, {"keep": 49}, {"rcond": 0.1, "keep": 3}):
        with pytest.raises(ValueError, match=r"^(ERROR: |keep=0)"):
            zf.invert(ring, **bad_cut)
    with pytest.raises(ValueError, match=r"^ERROR: Dimension mismatch: dim\(A\): 96 x 48 dim\(B\): 96 x 48"):
        zf.multiply(ring, ring)
    with pytest.raises(OSError, match="No such file"):
        zf.load(tmp_path / "missing.txt")
    longer = tmp_path / "longer.txt"
    longer.write_text("1 2 3\n4 5\n")
    with pytest.raises(ValueError, match=r"as a 2 x 2 response matrix: ERROR: Line 1 has 3 values, more than no\. of "
                                         r"actuators \(2\)!"):
        zf.load(longer)
    assert not [r for r in caplog.records if "ERROR" in r.getMessage()]


def test_warnings_and_progress_reach_logging(caplog, ring):
    caplog.set_level(logging.DEBUG, logger="zor_feedback")
    res = zf.invert_classic(ring, tol=0.003)  # also an absolute floor: clears most of a mm/mrad inverse
    assert res.elements_cleared > 0 and len(res.warnings) == 1
    by_level = {level: [r.getMessage() for r in caplog.records if r.levelno == level]
                for level in (logging.DEBUG, logging.INFO, logging.WARNING)}
    assert by_level[logging.WARNING] == ["QTEV_ResponseMatrix::invert: " + res.warnings[0]]
    assert any("INFO: Using 48 from 48 singular values" in m for m in by_level[logging.INFO])
    assert any("took (ms)" in m for m in by_level[logging.DEBUG])


def test_products_and_transpose(ring):
    inverse = zf.invert(ring).inverse
    identity = zf.multiply(inverse, ring)
    assert identity.dtype == np.float32
    assert np.abs(identity - np.eye(48)).max() < 1e-4
    assert np.array_equal(bits(zf.transpose(ring)), bits(ring.T))
    assert np.array_equal(bits(zf.entrywise_product(ring, ring)), bits(ring * ring))


def test_chicane_functions_broadcast_like_ufuncs():
    alpha = np.linspace(0.0, 0.1, 5)[:, None]
    leff = np.array([0.3, 0.5])
    got = zf.alpha2R56(alpha, leff, 3.0)
    assert got.shape == (5, 2)
    for i, a in enumerate(alpha[:, 0]):
        for j, l in enumerate(leff):
            assert type(zf.alpha2R56(float(a), float(l), 3.0)) is float
            assert got[i, j] == zf.alpha2R56(float(a), float(l), 3.0)
    r56 = zf.alpha2R56(0.05, 0.5, 3.0)
    back = zf.R562alpha(r56, 0.5, [3.0, -1.0])  # d12 < 0: no chicane has it
    assert back[0] == zf.R562alpha(r56, 0.5, 3.0) and np.isnan(back[1])


def test_threads_invert_side_by_side(ring):
    expected = {m: bits(zf.invert(ring, method=m).inverse) for m in ("gsl", "lapack")}
    failures = []

    def work(method):
        for _ in range(5):
            if not np.array_equal(bits(zf.invert(ring, method=method).inverse), expected[method]):
                failures.append(method)

    threads = [threading.Thread(target=work, args=(m,)) for m in ("gsl", "lapack") * 2]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_stub_names_what_the_module_has():
    stub = ast.parse(Path(zf.__file__).with_name("zor_feedback.pyi").read_text())
    names = {n.name for n in stub.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    names |= {n.target.id for n in stub.body if isinstance(n, ast.AnnAssign)}
    assert names == {n for n in dir(zf) if not n.startswith("_")} | {"__version__"}
    for cls in (zf.SvdResult, zf.PinvResult, zf.RingBuffer, zf.LabelledMatrix, zf.PlaneSettings, zf.KickLimit,
                zf.HistoryEntry, zf.Step, zf.Correction):
        stub_cls = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == cls.__name__)
        assert {f.name for f in stub_cls.body if not f.name.startswith("_")} == {
            n for n in dir(cls) if not n.startswith("_")}


def test_results_pickle_with_every_field(ring):
    for res in (zf.invert(ring), zf.invert_classic(ring, tol=0.003), zf.pinv(ring)):
        back = pickle.loads(pickle.dumps(res))
        assert type(back) is type(res) and repr(back) == repr(res)
        assert np.array_equal(bits(back.inverse), bits(res.inverse))
        assert np.array_equal(back.singular_values, res.singular_values)


def npy_bytes(a):
    out = io.BytesIO()
    np.save(out, a)
    return out.getvalue()


REFUSED_FILES = {
    "separator.txt": b"1 2\n3 4, 5\n", "shorter.txt": b"1\n3 4\n", "nan.txt": b"1 nan\n3 4\n",
    "word.txt": b"1 2 x\n3 4\n", "bom.txt": "\ufeff1 2\n3 4\n".encode(),
    "mm_header.txt": b"%%MatrixMarket matrix array real general\n2 2\n1\n2\n3\n4\n",
    "beyond_float.txt": b"1 2\n3 1e39\n", "empty.txt": b"", "comments.txt": b"# a\n# b\n",
    "empty_line_at_end.txt": b"1 2\n3 4\n\n", "junk.txt": bytes(range(256)) * 4,
    "vector.npy": npy_bytes(np.arange(2.0)), "cube.npy": npy_bytes(np.zeros((2, 2, 2))),
    "pattern.mtx": b"%%MatrixMarket matrix coordinate pattern general\n2 2 1\n1 1\n",
    "truncated.mtx.gz": bytes.fromhex("1f8b0800000000000003"),
}


@pytest.mark.parametrize("name", sorted(REFUSED_FILES))
def test_load_refuses_what_zorfb_refuses_with_its_text(tmp_path, name):
    path = tmp_path / name
    path.write_bytes(REFUSED_FILES[name])
    with pytest.raises(ValueError) as refused:
        zf.load(path)
    text = str(refused.value)
    assert text and str(path) in text
    exe = os.environ.get("ZORFB")
    if exe:  # the same refusal, word for word, from the tool
        run = subprocess.run([exe, "svd", str(path)], capture_output=True, text=True)
        assert run.returncode == 1
        assert run.stderr.splitlines()[0] == "zorfb: error: " + text


def test_ring_buffer_replies_as_a_client_sees_it():
    history = zf.RingBuffer(3)
    for text in ("a", "b", "c", "d"):
        history.store(text)
    assert [t for _, t in history.get()] == ["d", "c", "b"]
    assert [t for _, t in history.get(1)] == ["c"] and history.get(3) == []


def matrices():
    """Tall, wide, square and rank deficient float32 matrices (duplicated columns, a zero row)."""
    rng = np.random.default_rng(5)
    tall = rng.normal(size=(40, 12)).astype(np.float32)
    deficient = tall.copy()
    deficient[:, 7:10] = deficient[:, 0:3]
    deficient[4] = 0.0
    return {"tall": tall, "wide": tall.T.copy(), "square": rng.normal(size=(20, 20)).astype(np.float32),
            "deficient": deficient, "deficient wide": deficient.T.copy()}


def truncated_pinv(a, keep):
    u, s, vt = np.linalg.svd(a.astype(np.float64), full_matrices=False)
    return (vt[:keep].T / s[:keep]) @ u[:, :keep].T


def assert_float_rounding(inverse, expected):
    """Each element within a few float roundings of numpy's double result."""
    scale = np.abs(expected).max()
    assert np.all(np.abs(inverse - expected) <= 4 * 2**-24 * (np.abs(expected) + 1e-6 * scale))


@pytest.mark.parametrize("name", matrices().keys())
@pytest.mark.parametrize("rcond", [None, 1e-3])
def test_standard_agrees_with_numpys_pinv(name, rcond):
    a = matrices()[name]
    expected = np.linalg.pinv(a.astype(np.float64), rcond=max(a.shape) * 2**-52 if rcond is None else rcond)
    for method in ("lapack", "gsl"):
        assert_float_rounding(zf.invert(a, rcond=rcond, method=method).inverse, expected)


def test_standard_keep_n_is_numpys_truncation_on_the_ring(ring):
    # Also where N splits a pair of (nearly) equal values: numpy and the
    # library then choose the same split, both running LAPACK's dgesdd.
    for keep in range(1, 49):
        res = zf.invert(ring, keep=keep)
        assert (res.used, res.elements_cleared) == (keep, 0)
        assert_float_rounding(res.inverse, truncated_pinv(ring, keep))


@pytest.mark.parametrize("cut", [{}, {"rcond": 1e-2}, {"keep": 8}])  # rank 9
def test_standard_is_scale_invariant(cut):
    a = matrices()["deficient"]
    base = zf.invert(a, **cut)
    for k in range(-9, 10):
        res = zf.invert(a * np.float32(10.0**k), **cut)
        assert res.used == base.used
        diff = res.inverse.astype(np.float64) * 10.0**k - base.inverse
        assert np.linalg.norm(diff) <= 1e-5 * np.linalg.norm(base.inverse)


def test_the_readmes_snippet_runs_as_printed(capsys, monkeypatch):
    readme = Path(__file__).resolve().parents[2] / "README.md"
    section = readme.read_text().split("## Python: the library on numpy arrays")[1]
    snippet = section.split("```python\n")[1].split("```")[0]
    monkeypatch.chdir(readme.parent)
    exec(compile(snippet, "README.md", "exec"), {})
    assert capsys.readouterr().out.startswith("35 0 (48, 96)\n")


def test_every_format_loads_the_same_matrix_and_npy_says_what_it_drops(tmp_path, ring):
    m = zf.LabelledMatrix(ring, monitors=[f"BPM{i}" for i in range(ring.shape[0])], units="mm/mrad")
    for name in ("r.txt.gz", "r.mtx", "r.mtx.gz", "r.npy", "r.npy.gz"):
        path = tmp_path / name
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            zf.write_labelled_matrix(path, m)
        dropped = [w for w in caught if "names, planes and units were not written" in str(w.message)]
        assert len(dropped) == (1 if ".npy" in name else 0), name
        assert np.array_equal(bits(zf.load(path)), bits(ring)), name
        back = zf.read_labelled_matrix(path)
        assert back.monitors == (m.monitors if ".npy" not in name else [str(i) for i in range(ring.shape[0])])
    with pytest.raises(ValueError, match="beyond the float range"):
        zf.write_labelled_matrix(tmp_path / "big.mtx", zf.LabelledMatrix(np.array([[1e39, 1.0]])))
    assert not (tmp_path / "big.mtx").exists()


def test_overlapping_calls_run_on_one_blas_thread_and_restore_the_count(ring):
    get = put = None
    for name in (None, "libopenblas.so.0", "libblas.so.3"):  # the module's BLAS is loaded privately
        try:
            blas = ctypes.CDLL(name, mode=os.RTLD_NOLOAD | os.RTLD_LAZY)
            get, put = blas.openblas_get_num_threads, blas.openblas_set_num_threads
            break
        except (OSError, AttributeError):
            continue
    if get is None:
        pytest.skip("not OpenBLAS")
    alone = zf.invert(ring).inverse
    before = get()
    put(2)
    try:
        seen, results = [], []

        def work():
            for _ in range(3):
                results.append(zf.invert(ring).inverse)
                seen.append(get())

        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(results) == 12
        for r in results:
            np.testing.assert_allclose(r, alone, rtol=1e-5, atol=1e-6)
        assert get() == 2, "the count is restored when the last call returns"
    finally:
        put(before)
