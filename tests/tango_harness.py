"""What the TANGO tests share: a server started without a database on a free
port of the loopback (its device properties from a file database), its
client, its exit by a signal, the scratch directory its servers run in, and the
checks of a refusal."""
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import tango
from ports import free_port


class Server:
    """One server instance, `executable` serving `device` of `device_class`."""

    def __init__(self, executable, device_class, device, tmp, instance, port=None, **props):
        """A property given as a list is an array property; `port` (free
        when None) lets a restarted server take its old address."""
        self.device = device
        server = os.path.basename(executable)
        db = os.path.join(tmp, instance + ".db")
        with open(db, "w") as f:
            f.write('%s/%s/DEVICE/%s: "%s"\n' % (server, instance, device_class, self.device))
            for k, v in props.items():
                values = v if isinstance(v, (list, tuple)) else [v]
                f.write('%s->%s: %s\n' % (self.device, k, ", ".join('"%s"' % x for x in values)))
        self._fixed_port = port is not None
        self._argv = [executable, instance, "-file=" + db]
        self.log = tempfile.TemporaryFile(mode="w+")
        self._start(port or free_port())

    def _start(self, port):
        self.port = port
        self.url = "tango://127.0.0.1:%d/%s#dbase=no" % (port, self.device)
        self.log.seek(0)
        self.log.truncate()
        self.proc = subprocess.Popen(self._argv + ["-ORBendPoint", "giop:tcp:127.0.0.1:%d" % port],
                                     stdout=self.log, stderr=self.log)

    def _lost_its_port(self):
        """Whether the server exited because its port was taken."""
        return self.proc.poll() is not None and "Failed to bind to address" in self.text()

    def connect(self, timeout=20):
        """The server's client once it answers. A server that could not bind
        its port (some other process took it between the draw and the bind) is
        started again: on a new port, or on its given one once it is free."""
        deadline = time.monotonic() + timeout
        while True:
            if self._lost_its_port() and time.monotonic() < deadline:
                if self._fixed_port:
                    time.sleep(0.2)
                self._start(self.port if self._fixed_port else free_port())
            assert self.proc.poll() is None, "the server exited with %s" % self.proc.returncode
            try:
                dev = tango.DeviceProxy(self.url)
                dev.ping()
                return dev
            except tango.DevFailed:
                assert time.monotonic() < deadline, "the server does not answer"
                time.sleep(0.05)

    def terminate(self, sig=signal.SIGTERM, limit=1.0):
        """SIGTERM, SIGINT or SIGQUIT: exit status 0 within `limit` seconds."""
        t0 = time.monotonic()
        self.proc.send_signal(sig)
        rc = self.proc.wait(timeout=20)
        took = time.monotonic() - t0
        assert rc == 0 and took < limit, "%s: exit status %s after %.2f s" % (sig.name, rc, took)
        return took

    def rss_mib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            return next(int(l.split()[1]) for l in f if l.startswith("VmRSS")) / 1024

    def text(self):
        self.log.seek(0)
        return self.log.read()

    def close(self, failed):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if failed:
            sys.stderr.write("--- %s:\n%s\n" % (self.device, "".join(self.text().splitlines(True)[-30:])))



@contextlib.contextmanager
def scratch(prefix):
    """A scratch directory and the list of servers started in it: on the way
    out every server is killed (its log's end printed if the block failed) and
    the directory removed."""
    tmp = tempfile.mkdtemp(prefix=prefix)
    servers = []
    failed = True
    try:
        yield tmp, servers
        failed = False
    finally:
        for s in servers:
            s.close(failed)
        shutil.rmtree(tmp)


def refused(call, text):
    try:
        call()
    except tango.DevFailed as e:
        assert text in e.args[0].desc, "%r not in %r" % (text, e.args[0].desc)
        return e.args[0].desc
    raise AssertionError("accepted, expected a refusal with " + text)
