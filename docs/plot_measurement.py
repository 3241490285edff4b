#!/usr/bin/python3
"""The measured response of ring96 against the simulated machine's true one:
a few columns with their error bars over the truth, and every element
measured against true. Runs `zorfb measure --truth` and writes a PNG.

  docs/plot_measurement.py ZORFB [--out docs/measurement.png]
"""
import argparse
import os
import subprocess
import tempfile

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402


def measure(zorfb, tmp):
    m, t = os.path.join(tmp, "measured.txt"), os.path.join(tmp, "true.txt")
    out = subprocess.run([zorfb, "measure", "--ring", "ring96", "--rate", "100", "--readings", "16",
                          "-o", m, "--truth", t], check=True, capture_output=True, text=True).stdout
    return np.loadtxt(m), np.loadtxt(m.replace(".txt", ".errors.txt")), np.loadtxt(t), out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("zorfb")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "measurement.png"))
    a = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        m, e, t, summary = measure(a.zorfb, tmp)
    print(summary, end="")
    inside = np.mean(np.abs(m - t) <= 3 * e)
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(12, 4.8), gridspec_kw={"width_ratios": [2, 1]})
    shown = 32  # monitors: enough to see the error bars
    monitors = np.arange(1, shown + 1)
    for j, colour in ((0, "C0"), (12, "C1")):
        ax1.plot(monitors, t[:shown, j], "-", color=colour, lw=1, label="CH%02d true" % (j + 1))
        ax1.errorbar(monitors, m[:shown, j], yerr=3 * e[:shown, j], fmt="o", color=colour, ms=3,
                     elinewidth=1, capsize=2, label="CH%02d measured, 3 sigma bars" % (j + 1))
    ax1.set_xlabel("monitor")
    ax1.set_ylabel("response [mm/mrad]")
    ax1.set_title("ring96: two columns at the first %d monitors, measured over true" % shown)
    ax1.legend(fontsize=7, ncol=2, loc="lower left")
    lim = np.abs(t).max() * 1.1
    ax2.plot([-lim, lim], [-lim, lim], "k-", lw=0.8)
    ax2.errorbar(t.ravel(), m.ravel(), yerr=e.ravel(), fmt=".", ms=1.5, elinewidth=0.3, alpha=0.6)
    ax2.set_xlabel("true [mm/mrad]")
    ax2.set_ylabel("measured [mm/mrad]")
    ax2.set_title("all %d elements: %.1f %% within 3 sigma" % (m.size, 100 * inside))
    ax2.set_aspect("equal")
    fig.tight_layout()
    fig.savefig(a.out, dpi=90)
    print("written: %s" % a.out)


if __name__ == "__main__":
    main()
