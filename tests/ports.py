"""A free port of the loopback for a server a test starts.

The kernel hands its ephemeral range (ip_local_port_range) to every outgoing
connection: a port taken from it with bind(0) can be reused by some client's
connection before the server binds it. So the port is drawn at random below
that range and checked free; the servers' own pick is then the only race left.
"""
import random
import socket


def _ephemeral_low():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return 32768


def free_port():
    low = 20000
    high = max(low + 1000, _ephemeral_low()) - 1
    for _ in range(200):
        port = random.randint(low, high)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port of the loopback between %d and %d" % (low, high))
