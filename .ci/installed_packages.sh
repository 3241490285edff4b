#!/usr/bin/env bash
# Installs the Debian packages of `./build.sh package` with apt and runs the
# site from the installed files only (servers from /usr/bin, the scripts
# from /usr/share/zor_feedback/site): both servers answer through the site's
# database, the feedback closes the loop on the ring, the panel's script imports. As root
# (CI runs it); it stops the site it started, and leaves the packages installed.
set -euo pipefail
cd "$(dirname "$0")/.."  # the source tree
debs=(build-deb/*.deb)
[ -e "${debs[0]}" ] || { echo "no packages in build-deb/: run ./build.sh package" >&2; exit 1; }
apt-get install -y --no-install-recommends "${debs[@]/#/./}"
site=/usr/share/zor_feedback/site
export ZOR_SITE_DIR=$(mktemp -d /tmp/zor_site_installed.XXXXXX) ZOR_SITE_BIN=/nonexistent
export ZOR_SITE_SQL_PORT=13307 ZOR_SITE_TANGO_PORT=10007
trap '"$site/stop.sh"; rm -rf "$ZOR_SITE_DIR"' EXIT
"$site/start.sh"
TANGO_HOST=127.0.0.1:10007 /usr/bin/python3 - <<'PY'
import time, tango
fb = tango.DeviceProxy("zor/feedback/1")
deadline = time.monotonic() + 30
# It steers the site's ring: served, it waits for Start.
while fb.State() != tango.DevState.STANDBY:
    assert time.monotonic() < deadline, fb.Status()
    time.sleep(0.1)
fb.Start()
while fb.Cycles < 2:
    assert time.monotonic() < deadline, fb.Status()
    time.sleep(0.1)
assert len(fb.ORBIT) == 96 and len(tango.DeviceProxy("zor/sim/ring96").OrbitX) == 96
import zor_feedback  # the Python module, from its package
fb.Stop()
print("installed: both servers under the site database; orbit of", len(fb.ORBIT), "monitors")
PY
grep -q "def main" /usr/bin/zor_panel
