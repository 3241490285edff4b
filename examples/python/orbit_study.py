#!/usr/bin/python3
"""One orbit correction on the example ring, at several SVD cut-offs.

Loads the shipped ring response matrix (96 monitors x 48 correctors), inverts
it with the standard SVD inversion (zor_feedback.invert) keeping all modes or
only the strongest ones, applies one correction step to a simulated distorted orbit
(orbit = R @ kicks + noise, step = -inverse @ orbit, as the server multiplies
it) and saves a figure: the singular-value spectrum with each cut-off, and the
orbit before and after.

    PYTHONPATH=build/python examples/python/orbit_study.py --out orbit_study.png
"""

import argparse
import logging
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # headless: no display needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import zor_feedback as zf  # noqa: E402

DEFAULT_DATA = Path(__file__).resolve().parents[1] / "data" / "ring_response.txt"

# The correction settings compared: the default cut-off (every mode that is
# not numerically zero), and the N strongest modes.
SETTINGS = [("all modes (default)", {}), ("keep = 24", {"keep": 24}), ("keep = 12", {"keep": 12}),
            ("keep = 6", {"keep": 6})]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", default="orbit_study.png", help="the PNG to write (default: %(default)s)")
    parser.add_argument("--data", default=str(DEFAULT_DATA), help="response-matrix file, mm/mrad")
    parser.add_argument("--seed", type=int, default=7, help="seed of the simulated errors and noise")
    args = parser.parse_args()
    # The library's warnings (res.warnings) also reach the logger "zor_feedback".
    logging.basicConfig(format="%(levelname)s %(name)s: %(message)s")

    R = zf.load(args.data)  # mm per mrad, float32 as the server holds it
    m, n = R.shape
    rng = np.random.default_rng(args.seed)
    kicks = rng.normal(0.0, 0.05, n)  # corrector-like field errors [mrad]
    noise = 0.01  # monitor noise [mm rms]
    machine = R.astype(np.float64)
    orbit = machine @ kicks + rng.normal(0.0, noise, m)

    rms_before = float(np.sqrt(np.mean(orbit**2)))
    print(f"{m} monitors x {n} correctors; orbit rms before: {rms_before:.3f} mm")
    print(f"{'setting':22s} {'cut-off':>10s} {'used':>5s} {'rms after [mm]':>15s}")
    results = []
    for label, kwargs in SETTINGS:
        res = zf.invert(R, **kwargs)  # no element floor: any units will do
        step = -zf.multiply(res.inverse, orbit[:, None].astype(np.float32))[:, 0]
        after = machine @ (kicks + step) + rng.normal(0.0, noise, m)
        rms = float(np.sqrt(np.mean(after**2)))
        results.append((label, res, after, rms))
        print(f"{label:22s} {res.cutoff:10.3g} {res.used:5d} {rms:15.4f}", flush=True)

    fig, (ax_s, ax_o) = plt.subplots(1, 2, figsize=(11, 4.2), gridspec_kw={"width_ratios": [1, 1.4]})
    s = results[0][1].singular_values
    ax_s.semilogy(np.arange(len(s)), s, "o", ms=3.5, color="0.2", label="singular values")
    colors = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    for (label, res, _, _), color in zip(results[1:], colors[1:]):
        ax_s.axhline(res.cutoff, color=color, lw=1.2, ls="--", label=f"cut-off, {label} ({res.used} used)")
    internal = results[0][1]
    ax_s.text(0.98, 0.97, f"{results[0][0]}: cut-off {internal.cutoff:.1e},\nbelow the plot ({internal.used} used)",
              transform=ax_s.transAxes, ha="right", va="top", fontsize=8)
    ax_s.set_xlabel("mode index")
    ax_s.set_ylabel("singular value [mm/mrad]")
    ax_s.set_title(f"Spectrum of the ring matrix ({m} x {n})")
    ax_s.legend(fontsize=8, loc="lower left")

    monitors = np.arange(m)
    ax_o.plot(monitors, orbit, color="0.6", lw=1.0, label=f"before ({rms_before:.2f} mm rms)")
    for (label, _, after, rms), color in zip(results, colors):
        ax_o.plot(monitors, after, color=color, lw=1.0, label=f"{label}: {rms:.3f} mm rms")
    ax_o.set_xlabel("monitor")
    ax_o.set_ylabel("orbit [mm]")
    ax_o.set_title("Orbit before and after one correction step")
    low, high = ax_o.get_ylim()
    ax_o.set_ylim(low - 0.45 * (high - low), high)  # room for the legend below the curves
    ax_o.legend(fontsize=8, loc="lower center", ncol=2)
    fig.tight_layout()
    fig.savefig(args.out, dpi=100, metadata={"Software": None})
    print(f"figure written to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
