#!/usr/bin/python3
"""Prints what a screen reader finds of a running program through AT-SPI, one JSON object a
line: every accessible object of the application's windows (role, name, description, states,
depth), or, with --events SECONDS, the name changes and showing/hiding of its objects for that
long.

    atspi-tree.py APPLICATION [--events SECONDS]

Runs on the session bus of DBUS_SESSION_BUS_ADDRESS, with the accessibility bus up."""
import json
import sys

import pyatspi


def application(name):
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == name:
            return app
    return None


def states(obj):
    return sorted(pyatspi.stateToString(s) for s in obj.getState().getStates())


def walk(obj, depth):
    print(json.dumps({"role": obj.getRoleName(), "name": obj.name or "",
                      "description": obj.description or "", "depth": depth,
                      "states": states(obj)}), flush=True)
    for i in range(obj.childCount):
        child = obj.getChildAtIndex(i)
        if child is not None:
            walk(child, depth + 1)


def listen(app_name, seconds):
    from gi.repository import GLib

    def report(event):
        app = event.source.getApplication() if event.source else None
        if app is None or app.name != app_name:
            return
        print(json.dumps({"event": event.type, "role": event.source.getRoleName(),
                          "name": event.source.name or "", "detail": event.detail1}),
              flush=True)

    pyatspi.Registry.registerEventListener(
        report, "object:property-change:accessible-name", "object:state-changed:showing")
    print(json.dumps({"listening": True}), flush=True)
    GLib.timeout_add(int(seconds * 1000), pyatspi.Registry.stop)
    pyatspi.Registry.start()


def main():
    app = application(sys.argv[1])
    if app is None:
        print(json.dumps({"error": "no application " + sys.argv[1]}), flush=True)
        return 1
    if len(sys.argv) > 3 and sys.argv[2] == "--events":
        listen(sys.argv[1], float(sys.argv[3]))
        return 0
    walk(app, 0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
