"""A free port of the loopback for a server a test starts.

The kernel hands its ephemeral range (ip_local_port_range) to every outgoing
connection: a port taken from it with bind(0) can be reused by some client's
connection before the server binds it. So the port is drawn at random below
that range and checked free. Tests run in parallel and each starts servers:
a port drawn is also held, for the life of the test's process, by a lock on a
file every test shares, so that no other test draws it before its server
binds it. A foreign process can still take it; the harness then restarts the
server on another port.
"""
import fcntl
import os
import random
import socket
import tempfile

_LOCKS = os.path.join(tempfile.gettempdir(), "zor-feedback-test-ports")
_held = []  # the lock files' descriptors: the locks last as long as the process


def _ephemeral_low():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def _claim(port):
    """Whether this process now holds `port` against the other tests."""
    os.makedirs(_LOCKS, exist_ok=True)
    fd = os.open(os.path.join(_LOCKS, str(port)), os.O_RDWR | os.O_CREAT, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(fd)
        return False
    _held.append(fd)
    return True


def _bindable(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def free_port():
    low = 20000
    high = max(low + 1000, _ephemeral_low()) - 1
    for _ in range(200):
        port = random.randint(low, high)
        if _bindable(port) and _claim(port):
            return port
    raise RuntimeError("no free port of the loopback between %d and %d" % (low, high))
