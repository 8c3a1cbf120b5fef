#!/usr/bin/python3
"""A stand-in for xdg-desktop-portal's GlobalShortcuts on a private session bus.

It owns org.freedesktop.portal.Desktop, answers CreateSession and BindShortcuts through Request
objects as the real portal does (session_handle sent as a string), and offers a control
interface for tests: Activate(id) emits Activated for the newest session, Bound() returns what
was bound as JSON. Options choose refusals: --create-response N, --bind-response N,
--no-shortcuts (the interface is missing). Prints "ready" once it owns the name.
"""
import argparse
import json
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PATH = "/org/freedesktop/portal/desktop"
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"
CONTROL = "org.zelna.test.FakePortal"


def sender_part(sender):
    return sender.lstrip(":").replace(".", "_")


class Request(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, response, results):
        pass

    @dbus.service.method("org.freedesktop.portal.Request")
    def Close(self):
        self.remove_from_connection()


class Session(dbus.service.Object):
    def __init__(self, bus, path, portal):
        super().__init__(bus, path)
        self.portal = portal

    @dbus.service.method("org.freedesktop.portal.Session")
    def Close(self):
        self.portal.closed.append(str(self._object_path))
        self.remove_from_connection()


class Portal(dbus.service.Object):
    def __init__(self, bus, options):
        super().__init__(bus, PATH)
        self.bus = bus
        self.options = options
        self.sessions = []
        self.bound = []
        self.closed = []

    def answer(self, sender, token, response, results):
        path = "%s/request/%s/%s" % (PATH, sender_part(sender), token)
        request = Request(self.bus, path)
        # The real portal answers after the method returns; so do we.
        GLib.idle_add(lambda: request.Response(dbus.UInt32(response), results) and False)
        return dbus.ObjectPath(path)

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        if self.options.no_shortcuts:
            raise dbus.exceptions.DBusException(
                "No such interface", name="org.freedesktop.DBus.Error.UnknownMethod")
        session = "%s/session/%s/%s" % (PATH, sender_part(sender), options["session_handle_token"])
        Session(self.bus, session, self)
        self.sessions.append(session)
        results = dbus.Dictionary({"session_handle": dbus.String(session)}, signature="sv")
        return self.answer(sender, options["handle_token"], self.options.create_response, results)

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o", sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent_window, options, sender=None):
        if self.options.no_shortcuts:
            raise dbus.exceptions.DBusException("No such interface", name="org.freedesktop.DBus.Error.UnknownMethod")
        self.bound.append({"session": str(session), "parent_window": str(parent_window),
                           "shortcuts": [[str(i), {str(k): str(v) for k, v in p.items()}] for i, p in shortcuts]})
        results = dbus.Dictionary({"shortcuts": dbus.Array(shortcuts, signature="(sa{sv})")}, signature="sv")
        return self.answer(sender, options["handle_token"], self.options.bind_response, results)

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Activated(self, session, shortcut_id, timestamp, options):
        pass

    @dbus.service.method(CONTROL, in_signature="s")
    def Activate(self, shortcut_id):
        session = self.sessions[-1] if self.sessions else "/"
        self.Activated(dbus.ObjectPath(session), shortcut_id, dbus.UInt64(0), dbus.Dictionary({}, signature="sv"))

    @dbus.service.method(CONTROL, in_signature="os")
    def ActivateFor(self, session, shortcut_id):
        self.Activated(session, shortcut_id, dbus.UInt64(0), dbus.Dictionary({}, signature="sv"))

    @dbus.service.method(CONTROL, out_signature="s")
    def Bound(self):
        return json.dumps({"bound": self.bound, "sessions": self.sessions, "closed": self.closed})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--create-response", type=int, default=0)
    parser.add_argument("--bind-response", type=int, default=0)
    parser.add_argument("--no-shortcuts", action="store_true")
    options = parser.parse_args()

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    portal = Portal(bus, options)
    name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus, do_not_queue=True)
    print("ready", flush=True)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, loop.quit)
    loop.run()
    del name, portal


if __name__ == "__main__":
    sys.exit(main())
