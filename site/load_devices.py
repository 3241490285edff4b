#!/usr/bin/python3
"""Loads the site's declarative file of servers, devices and properties into
the TANGO database that TANGO_HOST names.

  load_devices.py FILE             registers every server's devices and their
                                   properties, and the access rules' service
  load_devices.py FILE --servers   only prints "EXECUTABLE INSTANCE DEVICE" a line
  load_devices.py FILE --access    gives the users their rights through the
                                   running access-control device

The whole file is checked before anything is written: a file with an error
changes nothing in the database. Loading twice gives the same database.
"""
import json
import sys

ACCESS_DEVICE = "sys/access_control/1"


def fail(text):
    sys.stderr.write("load_devices: %s\n" % text)
    sys.exit(1)


def check_string(value, where):
    if not isinstance(value, str) or not value:
        fail("%s: a non-empty string is expected, not %r" % (where, value))


def check_device(dev, where):
    for key in ("class", "name"):
        check_string(dev.get(key), "%s.%s" % (where, key))
    if dev["name"].count("/") != 2:
        fail("%s.name: %r is not domain/family/member" % (where, dev["name"]))
    props = dev.get("properties", {})
    if not isinstance(props, dict):
        fail("%s.properties: an object is expected" % where)
    for k, v in props.items():
        values = v if isinstance(v, list) else [v]
        for item in values:
            check_string(item, "%s.properties.%s" % (where, k))


def check_access(access):
    for key in ("operators", "readers"):
        users = access.get(key, [])
        if not isinstance(users, list):
            fail("access.%s: a list of user names is expected" % key)
        for u in users:
            check_string(u, "access.%s" % key)
    check_string(access.get("address", "127.0.0.1"), "access.address")


def read_site(path):
    try:
        with open(path) as f:
            site = json.load(f)
    except (OSError, ValueError) as e:
        fail("%s: %s" % (path, e))
    servers = site.get("servers")
    if not isinstance(servers, list) or not servers:
        fail("%s: a non-empty list \"servers\" is expected" % path)
    names = set()
    for i, s in enumerate(servers):
        where = "servers[%d]" % i
        check_string(s.get("executable"), where + ".executable")
        check_string(s.get("instance"), where + ".instance")
        devices = s.get("devices")
        if not isinstance(devices, list) or not devices:
            fail(where + ".devices: a non-empty list is expected")
        for j, d in enumerate(devices):
            check_device(d, "%s.devices[%d]" % (where, j))
            if d["name"].lower() in names:
                fail("%s.devices[%d]: device %s is given twice" % (where, j, d["name"]))
            names.add(d["name"].lower())
    check_access(site.get("access", {}))
    return site


def add_device(db, server, dev_class, name):
    """Registers a device unless it is already: registering again would mark a
    running one not exported."""
    import tango

    if name.lower() in (n.lower() for n in db.get_device_name(server, dev_class)):
        return
    info = tango.DbDevInfo()
    info.server, info._class, info.name = server, dev_class, name
    db.add_device(info)


def register(site):
    import tango

    db = tango.Database()
    for s in site["servers"]:
        server = "%s/%s" % (s["executable"], s["instance"])
        for d in s["devices"]:
            add_device(db, server, d["class"], d["name"])
            props = {k: (v if isinstance(v, list) else [v]) for k, v in d.get("properties", {}).items()}
            # The file is the whole truth: a property dropped from it is dropped
            # here; but for those the device saves itself (an operator's masks
            # and limits, "Saved..."), which a reload must not forget.
            stale = [p for p in db.get_device_property_list(d["name"], "*")
                     if p not in props and not p.startswith("Saved")]
            if stale:
                db.delete_device_property(d["name"], stale)
            if props:
                db.put_device_property(d["name"], props)
    if "access" in site:  # its device comes with TANGO's schema
        db.put_property("CtrlSystem", {"Services": ["AccessControl/tango:" + ACCESS_DEVICE]})


def grant(site):
    import tango

    access = site.get("access")
    if access is None:
        return
    ac = tango.DeviceProxy(ACCESS_DEVICE)
    address = access.get("address", "127.0.0.1")
    rules = [("*", "*.*.*.*", "read")]  # anyone not named only reads
    rules += [(u, address, "write") for u in access.get("operators", [])]
    rules += [(u, address, "read") for u in access.get("readers", [])]
    for user, addr, rights in rules:
        # Removed first, so that loading twice leaves one rule, and a user
        # moved from one list to the other keeps only the new right.
        for old in ("read", "write"):
            ac.RemoveDeviceForUser([user, "*/*/*", old])
        ac.RemoveAddressForUser([user, addr])
        ac.AddAddressForUser([user, addr])
        ac.AddDeviceForUser([user, "*/*/*", rights])


def main(argv):
    if len(argv) not in (2, 3) or (len(argv) == 3 and argv[2] not in ("--servers", "--access")):
        fail("usage: load_devices.py FILE [--servers|--access]")
    site = read_site(argv[1])
    if len(argv) == 2:
        register(site)
    elif argv[2] == "--servers":
        for s in site["servers"]:
            for d in s["devices"]:
                print(s["executable"], s["instance"], d["name"])
    else:
        grant(site)


if __name__ == "__main__":
    main(sys.argv)
