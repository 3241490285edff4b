#!/usr/bin/env python3
"""Writes the example response matrices in examples/data/ from a beam-optics model.

Both matrices are horizontal orbit responses of thin-lens FODO lattices, in
mm of orbit per mrad of corrector kick (sqrt(beta_i beta_j) in m gives m/rad,
which is mm/mrad):

  ring_response.txt           closed-orbit response of a storage ring,
                              R_ij = sqrt(b_i b_j) cos(|phi_i - phi_j| - pi Q) / (2 sin(pi Q))
  transfer_line_response.txt  response of a transfer line,
                              R_ij = sqrt(b_i b_j) sin(phi_i - phi_j) for a monitor
                              downstream of the corrector, 0 upstream

Rows are monitors, columns correctors: the format that
QTEV_ResponseMatrix::load_file reads (lines starting with '#' are comments).

Usage: make_example_data.py [--out DIR] [--check]
  --out DIR   where to write (default: examples/data next to this script's parent)
  --check     compare with the files in DIR instead of writing; exit 1 on a difference

Python 3 standard library only; the output is the same on every platform.
"""

import argparse
import math
import os
import sys


def fodo_optics(cell_length, mu):
    """Beta functions at the focusing and defocusing quadrupole of a symmetric
    thin-lens FODO cell with phase advance mu per cell (sin(mu/2) = L / 4f)."""
    s = math.sin(mu / 2.0)
    beta_max = cell_length * (1.0 + s) / math.sin(mu)
    beta_min = cell_length * (1.0 - s) / math.sin(mu)
    return beta_max, beta_min


def fodo_elements(cells, cell_length, mu):
    """Monitors at every quadrupole (QF then QD in each cell), correctors at
    every QF. By the cell's symmetry the phase advance from QF to QD is mu/2.
    Returns (monitors, correctors), each a list of (name, s [m], beta [m], phase [rad])."""
    beta_max, beta_min = fodo_optics(cell_length, mu)
    monitors, correctors = [], []
    for k in range(cells):
        s0 = k * cell_length
        monitors.append(("BPM.QF%02d" % (k + 1), s0, beta_max, k * mu))
        monitors.append(("BPM.QD%02d" % (k + 1), s0 + cell_length / 2.0, beta_min, k * mu + mu / 2.0))
        correctors.append(("CH.QF%02d" % (k + 1), s0, beta_max, k * mu))
    return monitors, correctors


def ring_matrix(monitors, correctors, tune):
    d = 2.0 * math.sin(math.pi * tune)
    return [[math.sqrt(bi * bj) * math.cos(abs(pi - pj) - math.pi * tune) / d
             for (_, _, bj, pj) in correctors]
            for (_, _, bi, pi) in monitors]


def line_matrix(monitors, correctors):
    # A corrector at the same place as a monitor (same phase) does not move it.
    return [[math.sqrt(bi * bj) * math.sin(pi - pj) if pi > pj else 0.0
             for (_, _, bj, pj) in correctors]
            for (_, _, bi, pi) in monitors]


def fmt(v):
    text = "%.6f" % v
    return "0.000000" if text == "-0.000000" else text


def matrix_text(header, matrix):
    lines = ["# " + h if h else "#" for h in header]
    lines += [" ".join("%10s" % fmt(v) for v in row) for row in matrix]
    return "\n".join(lines) + "\n"


def element_notes(monitors, correctors):
    def span(items):
        first, last = items[0], items[-1]
        return "%s (s = %.1f m) ... %s (s = %.1f m)" % (first[0], first[1], last[0], last[1])
    return ["rows:    %d monitors %s" % (len(monitors), span(monitors)),
            "columns: %d horizontal correctors %s" % (len(correctors), span(correctors))]


def ring_file():
    cells, cell_length, tune = 48, 6.0, 8.23
    mu = 2.0 * math.pi * tune / cells
    beta_max, beta_min = fodo_optics(cell_length, mu)
    monitors, correctors = fodo_elements(cells, cell_length, mu)
    header = [
        "Closed-orbit response matrix of a storage-ring model, horizontal plane.",
        "Units: mm of orbit per mrad of corrector kick.",
        "Lattice: %d thin-lens FODO cells of %.1f m (circumference %.1f m), tune Q = %.2f,"
        % (cells, cell_length, cells * cell_length, tune),
        "  phase advance %.2f deg per cell, beta %.3f m at QF, %.3f m at QD."
        % (math.degrees(mu), beta_max, beta_min),
        "Monitors at every quadrupole (QF, QD), correctors at every QF.",
        "R_ij = sqrt(beta_i beta_j) cos(|phi_i - phi_j| - pi Q) / (2 sin(pi Q))",
    ] + element_notes(monitors, correctors) + [
        "Shape: %d rows x %d columns. Made by tools/make_example_data.py." % (len(monitors), len(correctors)),
    ]
    return "ring_response.txt", matrix_text(header, ring_matrix(monitors, correctors, tune))


def line_file():
    cells, cell_length, mu = 12, 8.0, math.pi / 2.0
    beta_max, beta_min = fodo_optics(cell_length, mu)
    monitors, correctors = fodo_elements(cells, cell_length, mu)
    header = [
        "Orbit response matrix of a transfer-line model, horizontal plane.",
        "Units: mm of orbit per mrad of corrector kick.",
        "Lattice: %d thin-lens FODO cells of %.1f m, %.0f deg phase advance per cell,"
        % (cells, cell_length, math.degrees(mu)),
        "  beta %.3f m at QF, %.3f m at QD." % (beta_max, beta_min),
        "Monitors at every quadrupole (QF, QD), correctors at every QF.",
        "R_ij = sqrt(beta_i beta_j) sin(phi_i - phi_j) for a monitor downstream of",
        "  the corrector, 0 upstream or at the corrector itself.",
    ] + element_notes(monitors, correctors) + [
        "Shape: %d rows x %d columns. Made by tools/make_example_data.py." % (len(monitors), len(correctors)),
    ]
    return "transfer_line_response.txt", matrix_text(header, line_matrix(monitors, correctors))


def main():
    default_out = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples", "data")
    parser = argparse.ArgumentParser(description="Write the example response matrices.")
    parser.add_argument("--out", default=os.path.normpath(default_out), help="output directory")
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args()

    stale = []
    for name, text in (ring_file(), line_file()):
        path = os.path.join(args.out, name)
        if args.check:
            try:
                with open(path, newline="") as f:
                    same = f.read() == text
            except OSError:
                same = False
            if not same:
                stale.append(path)
        else:
            os.makedirs(args.out, exist_ok=True)
            with open(path, "w", newline="\n") as f:
                f.write(text)
            print("wrote", path)
    if stale:
        print("differs from the generator's output: " + ", ".join(stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
