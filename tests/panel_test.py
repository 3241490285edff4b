#!/usr/bin/python3
"""The operator's panel under Xvfb against a running ZorFeedbackServer: its
screenshot is not blank and shows every plot drawn (the orbit, the correctors,
the singular values with the cut's dashed line, the last step); a device that
does not answer makes it fail, not hang.

  panel_test.py SERVER PANEL

Skipped when Xvfb or the panel's Qt packages are missing (./build.sh deps).
"""
import os
import shutil
import subprocess
import sys
import time

import numpy as np

import tango_harness

SKIP = 77
SERVER, PANEL = sys.argv[1:3]
# The colours the panel draws each plot in.
COLOURS = {"orbit x": "#1f77b4", "correctors": "#2ca02c", "singular values": "#ff7f0e", "last step": "#9467bd"}


def skip_unless_possible():
    if shutil.which("xvfb-run") is None:
        print("SKIPPED: xvfb-run is missing (./build.sh deps installs xvfb)")
        sys.exit(SKIP)
    r = subprocess.run(["/usr/bin/python3", "-c", "import PyQt5, pyqtgraph"], capture_output=True)
    if r.returncode != 0:
        print("SKIPPED: PyQt5 or pyqtgraph is missing (./build.sh deps installs them)")
        sys.exit(SKIP)


def screenshot(device, path):
    runtime = os.path.join(os.path.dirname(path), "xdg")
    os.makedirs(runtime, mode=0o700, exist_ok=True)
    return subprocess.run(["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24", "/usr/bin/python3", PANEL, device,
                           "--screenshot", path], capture_output=True, text=True, timeout=90,
                          env=dict(os.environ, XDG_RUNTIME_DIR=runtime))


def pixels_of(image, colour):
    rgb = np.array([int(colour[k:k + 2], 16) for k in (1, 3, 5)]) / 255.0
    return int((np.abs(image[:, :, :3] - rgb).max(axis=2) < 0.02).sum())


def main():
    skip_unless_possible()
    import matplotlib.image

    with tango_harness.scratch("zor_panel_") as (tmp, servers):
        server = tango_harness.Server(SERVER, "ZorFeedback", "zor/feedback/panel", tmp, "panel")
        servers.append(server)
        dev = server.connect()
        deadline = time.monotonic() + 30
        while dev.Cycles < 3:  # an orbit measured, a step computed
            assert time.monotonic() < deadline, dev.Status()
            time.sleep(0.1)
        png = os.path.join(tmp, "panel.png")
        r = screenshot(server.url, png)
        assert r.returncode == 0, r.stderr
        image = matplotlib.image.imread(png)
        assert image.shape[0] >= 600 and image.shape[1] >= 800, image.shape
        colours = len(np.unique((image[:, :, :3] * 255).astype(np.uint8).reshape(-1, 3), axis=0))
        assert colours > 50, "a blank screenshot: %d colours" % colours
        for what, colour in COLOURS.items():
            assert pixels_of(image, colour) > 100, "%s not drawn" % what
        assert pixels_of(image, "#000000") > 200, "the cut's line not drawn"

        # A device that is not there: an error, within the timeout.
        r = screenshot("tango://127.0.0.1:%d/zor/feedback/none#dbase=no" % tango_harness.free_port(), png)
        assert r.returncode != 0 and "zor_panel" in r.stderr, r.stderr
    print("panel: every plot drawn; an absent device refused")


if __name__ == "__main__":
    main()
