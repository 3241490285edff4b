#!/usr/bin/python3
"""The operator's panel of a ZorFeedback device: the orbit of both planes
against the monitor index (the monitor's name on hover), the correctors, the
singular values with the cut marked, the last step, the history, the state and
the status; the commands Start, Stop, CalcStep, ApplyStep and Undo as buttons.

  zor_panel.py DEVICE [--screenshot FILE]

DEVICE: a TANGO name (zor/feedback/1, with TANGO_HOST set) or a full URL
(tango://host:port/dev#dbase=no). It polls the device every second; a refused
command shows its reason in the panel. --screenshot: draws once, saves the
window to FILE and exits (0 when the device answered).
"""
import argparse
import sys

import numpy as np
import tango
from PyQt5 import QtCore, QtWidgets  # before pyqtgraph, which takes the binding loaded first

import pyqtgraph as pg  # noqa: E402

COMMANDS = ("Start", "Stop", "CalcStep", "ApplyStep", "Undo")


def planes(names, values):
    """Splits a reading by the names' plane: "NAME.Y" is plane y, else x."""
    y = np.array([n.endswith(".Y") for n in names], dtype=bool) if len(names) == len(values) else None
    if y is None:
        return (np.arange(len(values)), values, list(names)), (np.arange(0), np.zeros(0), [])
    idx = np.arange(len(values))
    return ((idx[~y], values[~y], [n for n, b in zip(names, y) if not b]),
            (idx[y], values[y], [n for n, b in zip(names, y) if b]))


def cut_line(sv, used):
    """Where the cut falls: between the last singular value used and the next."""
    if len(sv) == 0 or used <= 0:
        return None
    return min(used, len(sv)) - 0.5


class NamedScatter:
    """A plot of values against their index whose points name themselves on hover."""

    def __init__(self, plot, color):
        self.item = pg.ScatterPlotItem(size=6, brush=pg.mkBrush(color), pen=None, hoverable=True,
                                       tip=lambda x, y, data: "%s: %.4g" % (data, y))
        self.line = pg.PlotCurveItem(pen=pg.mkPen(color, width=1))
        plot.addItem(self.line)
        plot.addItem(self.item)

    def set(self, x, y, names):
        self.line.setData(x, y)
        self.item.setData(x=x, y=y, data=names)


class Panel(QtWidgets.QWidget):
    def __init__(self, device):
        super().__init__()
        self.setWindowTitle("Orbit feedback - " + device)
        self.dev = tango.DeviceProxy(device)
        self.dev.set_timeout_millis(3000)
        layout = QtWidgets.QGridLayout(self)
        self.state = QtWidgets.QLabel()
        self.state.setStyleSheet("font-weight: bold; padding: 4px")
        self.status = QtWidgets.QLabel()
        self.status.setWordWrap(True)
        self.message = QtWidgets.QLabel()
        self.message.setWordWrap(True)
        top = QtWidgets.QHBoxLayout()
        top.addWidget(self.state)
        for c in COMMANDS:
            b = QtWidgets.QPushButton(c)
            b.clicked.connect(lambda _, c=c: self.command(c))
            top.addWidget(b)
        top.addStretch(1)
        layout.addLayout(top, 0, 0, 1, 2)
        layout.addWidget(self.status, 1, 0, 1, 2)
        self.plots = {}
        for (row, col), (key, title, unit) in zip(
                [(2, 0), (2, 1), (3, 0), (3, 1), (4, 0)],
                [("orbit", "Orbit x, y", "mm"), ("correctors", "Correctors", "mrad"),
                 ("sv", "Singular values (cut: dashed)", "mm/mrad"), ("step", "Last step", "mrad"),
                 ("history", "History", "")]):
            if key == "history":
                self.history = QtWidgets.QPlainTextEdit(readOnly=True)
                layout.addWidget(self.history, row, col, 1, 2)
                continue
            p = pg.PlotWidget(title=title)
            p.setLabel("left", unit)
            p.setLabel("bottom", "index")
            p.showGrid(x=True, y=True, alpha=0.3)
            layout.addWidget(p, row, col)
            self.plots[key] = p
        self.plots["orbit"].addLegend()
        self.orbit = [NamedScatter(self.plots["orbit"], c) for c in ("#1f77b4", "#d62728")]
        self.orbit[0].line.opts["name"] = "x"
        self.correctors = NamedScatter(self.plots["correctors"], "#2ca02c")
        self.step = NamedScatter(self.plots["step"], "#9467bd")
        # a PlotDataItem: it follows the log axis, a bare scatter does not
        self.sv = pg.PlotDataItem(pen=None, symbol="o", symbolSize=6, symbolBrush="#ff7f0e", symbolPen=None)
        self.plots["sv"].addItem(self.sv)
        self.plots["sv"].setLogMode(y=True)
        self.cut = pg.InfiniteLine(angle=90, pen=pg.mkPen("k", style=QtCore.Qt.DashLine, width=2))
        self.plots["sv"].addItem(self.cut)
        layout.addWidget(self.message, 5, 0, 1, 2)
        self.timer = QtCore.QTimer(self, interval=1000, timeout=self.refresh)

    def command(self, name):
        try:
            self.dev.command_inout(name)
            self.message.setText(name + ": done")
        except tango.DevFailed as e:
            self.message.setText("%s refused: %s" % (name, e.args[0].desc))
        self.refresh()

    def read(self, *names):
        values = {}
        for name, r in zip(names, self.dev.read_attributes(list(names))):
            values[name] = None if r.has_failed or r.value is None else r.value
        return values

    def refresh(self):
        try:
            v = self.read("ORBIT", "MONITOR_NAMES", "CORRECTORS", "CORRECTOR_NAMES", "SINGULAR_VALUES",
                          "SingularValuesUsed", "LAST_STEP", "HISTORY")
            self.state.setText(str(self.dev.State()))
            self.status.setText(self.dev.Status())
        except tango.DevFailed as e:
            self.message.setText("the device does not answer: " + e.args[0].desc)
            return False
        orbit = np.asarray(v["ORBIT"] if v["ORBIT"] is not None else [], dtype=float)
        for line, (x, y, n) in zip(self.orbit, planes(list(v["MONITOR_NAMES"] or []), orbit)):
            line.set(x, y, n)
        for line, values, names in ((self.correctors, v["CORRECTORS"], v["CORRECTOR_NAMES"]),
                                    (self.step, v["LAST_STEP"], v["CORRECTOR_NAMES"])):
            values = np.asarray(values if values is not None else [], dtype=float)
            names = list(names or [])
            line.set(np.arange(len(values)), values, names if len(names) == len(values) else [""] * len(values))
        sv = np.asarray(v["SINGULAR_VALUES"] if v["SINGULAR_VALUES"] is not None else [], dtype=float)
        keep = sv > 0  # a log axis
        self.sv.setData(x=np.arange(len(sv))[keep], y=sv[keep])
        at = cut_line(sv, int(v["SingularValuesUsed"] or 0))
        self.cut.setVisible(at is not None)
        if at is not None:
            self.cut.setValue(at)
        self.history.setPlainText("\n".join(list(v["HISTORY"] or [])[:50]))
        return True


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("device")
    parser.add_argument("--screenshot")
    args = parser.parse_args(argv[1:])
    pg.setConfigOptions(background="w", foreground="k", antialias=True)
    app = QtWidgets.QApplication(argv[:1])
    try:
        panel = Panel(args.device)
    except tango.DevFailed as e:
        sys.stderr.write("zor_panel: %s: %s\n" % (args.device, e.args[0].desc))
        return 1
    panel.resize(1200, 900)
    panel.show()
    if args.screenshot:
        answered = panel.refresh()
        for _ in range(5):  # let the plots lay out and draw
            app.processEvents()
        panel.grab().save(args.screenshot)
        if not answered:
            sys.stderr.write("zor_panel: %s\n" % panel.message.text())
        return 0 if answered else 1
    panel.refresh()
    panel.timer.start()
    return app.exec_()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
