#!/usr/bin/env python3
"""The sensitivity |S(f)| of one mode of the loop for the integrator and the PI
(docs/controller.md), from the controllers' formulas and a mode that answers
the written kick one cycle later (the solve at gain 1 cancels it then).
Writes docs/sensitivity.png and prints the bandwidth (|S| crosses 0 dB) and
the peak of |S|. Usage: plot_sensitivity.py [rate_hz]"""
import sys

import numpy as np


def sensitivity(kp, ki, f, rate):
    zi = np.exp(-2j * np.pi * f / rate)  # z^-1
    c = (kp * (1 - zi) + ki) / (1 - zi)
    return 1.0 / (1.0 + zi * c)


def crossing(f, s):
    db = 20 * np.log10(np.abs(s))
    return f[np.argmax(db >= 0.0)]


def main():
    rate = float(sys.argv[1]) if len(sys.argv) > 1 else 50.0
    f = np.linspace(rate / 2e4, rate / 2, 20000)
    cases = {"integrator ki=0.5": (0.0, 0.5), "pi kp=0.2 ki=0.5": (0.2, 0.5)}
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(6, 4))
    for name, (kp, ki) in cases.items():
        s = sensitivity(kp, ki, f, rate)
        peak = 20 * np.log10(np.abs(s).max())
        print(f"{name}: bandwidth {crossing(f, s):.2f} Hz, peak |S| {peak:.2f} dB")
        ax.semilogx(f, 20 * np.log10(np.abs(s)), label=name)
    ax.axhline(0.0, color="gray", lw=0.5)
    ax.set_xlabel("frequency [Hz] (loop at %g Hz)" % rate)
    ax.set_ylabel("|S| [dB]")
    ax.legend()
    fig.tight_layout()
    fig.savefig("docs/sensitivity.png", dpi=100)


if __name__ == "__main__":
    main()
