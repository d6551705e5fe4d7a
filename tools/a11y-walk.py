#!/usr/bin/python3
"""Walks the accessibility tree of every application on the accessibility bus
again and again, as a screen reader does, reading each object's name, role,
child count and, for tables, a few cells, until the given program's process
ends. Used by tools/start-stop-loop.sh.  a11y-walk.py PID"""
import os, sys, time
import dbus

ACC = "org.a11y.atspi.Accessible"
TABLE = "org.a11y.atspi.Table"
PROPS = "org.freedesktop.DBus.Properties"


def a11y_bus():
    for _ in range(100):
        try:
            session = dbus.SessionBus()
            launcher = session.get_object("org.a11y.Bus", "/org/a11y/bus")
            address = dbus.Interface(launcher, "org.a11y.Bus").GetAddress()
            return dbus.bus.BusConnection(address)
        except dbus.DBusException:
            time.sleep(0.05)
    sys.exit("a11y-walk: no accessibility bus")


def walk(bus, name, path, depth, budget):
    if depth > 40 or budget[0] <= 0:
        return
    budget[0] -= 1
    obj = bus.get_object(name, path, introspect=False)
    acc = dbus.Interface(obj, ACC)
    props = dbus.Interface(obj, PROPS)
    props.Get(ACC, "Name")
    acc.GetRole()
    acc.GetState()
    if TABLE in acc.GetInterfaces():
        table = dbus.Interface(obj, TABLE)
        rows = props.Get(TABLE, "NRows")
        cols = props.Get(TABLE, "NColumns")
        for r in range(min(int(rows), 3)):
            for c in range(min(int(cols), 6)):
                table.GetAccessibleAt(r, c)
    for child_name, child_path in acc.GetChildren():
        walk(bus, child_name, child_path, depth + 1, budget)


def main():
    pid = int(sys.argv[1])
    bus = a11y_bus()
    walks = objects = 0
    while os.path.exists(f"/proc/{pid}"):
        try:
            root = bus.get_object("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root",
                                  introspect=False)
            for app_name, app_path in dbus.Interface(root, ACC).GetChildren():
                budget = [5000]
                try:
                    walk(bus, app_name, app_path, 0, budget)
                finally:
                    objects += 5000 - budget[0]
            walks += 1
        except dbus.DBusException:
            pass  # the program went away in the middle of a walk, or is not there yet
        time.sleep(0.02)
    print(f"a11y-walk: {walks} whole walks, {objects} objects read")


main()
