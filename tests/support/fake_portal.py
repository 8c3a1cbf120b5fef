#!/usr/bin/python3
"""xdg-desktop-portal's GlobalShortcuts as it answers on a private session bus: through Request objects,
printing "ready", then each session and binding as a JSON line; the test's Activate(id) emits Activated
for the newest session. CreateSession drops options it does not know (portals from 1.17 on);
--plasma527 binds CreateSession's list and answers BindShortcuts with the session's (1.16 with Plasma
5.27). A session path already taken, also one kept in --state by an earlier run as the backend of a
restarted portal keeps it, is refused, and the old session closed in passing."""
import argparse
import json
import os

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PATH, SHORTCUTS = "/org/freedesktop/portal/desktop", "org.freedesktop.portal.GlobalShortcuts"


class Request(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, response, results):
        pass


class Portal(dbus.service.Object):
    def __init__(self, bus, options):
        super().__init__(bus, PATH)
        self.options, self.session, self.sessions = options, "/", {}  # sessions: path → shortcuts bound with it
        if options.state and os.path.exists(options.state):
            with open(options.state) as file:
                self.sessions = dict.fromkeys(json.load(file), [])

    def answer(self, sender, options, response, results):
        path = "%s/request/%s/%s" % (PATH, sender.lstrip(":").replace(".", "_"), options["handle_token"])
        request = Request(self.connection, path)
        GLib.idle_add(lambda: request.Response(dbus.UInt32(response), results) and False)  # after the reply
        return path

    def bound(self, shortcuts):
        """What a result carries: each shortcut with its key, "" for one that is taken."""
        taken = self.options.taken
        return dbus.Array([] if self.options.bind_nothing else [
            (i, {"description": p["description"], "trigger_description":
                 "" if p["preferred_trigger"] in taken else p["preferred_trigger"]}) for i, p in shortcuts],
            signature="(sa{sv})")

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        if self.options.no_shortcuts:
            raise dbus.exceptions.DBusException("No such interface", name="org.freedesktop.DBus.Error.UnknownMethod")
        path = "%s/session/%s/%s" % (PATH, sender.lstrip(":").replace(".", "_"), options["session_handle_token"])
        listed = options.get("shortcuts", [])
        print(json.dumps({"session": path, "refused": path in self.sessions,
                          "shortcuts": [[i, dict(p)] for i, p in listed]}), flush=True)
        results = dbus.Dictionary({"session_handle": path}, signature="sv")  # a string, as the real one sends
        if self.sessions.pop(path, None) is not None:
            return self.answer(sender, options, 2, results)
        self.session, self.sessions[path] = path, listed if self.options.plasma527 else []
        if self.options.plasma527:
            results["shortcuts"] = self.bound(listed)
        return self.answer(sender, options, self.options.create_response, results)

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o", sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent_window, options, sender=None):
        print(json.dumps({"session": session, "shortcuts": [[i, dict(p)] for i, p in shortcuts]}), flush=True)
        listed = self.sessions.get(session, []) if self.options.plasma527 else shortcuts
        return self.answer(sender, options, self.options.bind_response, {"shortcuts": self.bound(listed)})

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Activated(self, session, shortcut_id, timestamp, options):
        pass

    @dbus.service.method("org.zelna.test.FakePortal", in_signature="s")
    def Activate(self, shortcut_id):
        self.Activated(self.session, shortcut_id, 0, dbus.Dictionary(signature="sv"))


parser = argparse.ArgumentParser()
parser.add_argument("--create-response", type=int, default=0)
parser.add_argument("--bind-response", type=int, default=0)
parser.add_argument("--taken", nargs="*", default=[])
parser.add_argument("--state")
for flag in ("--no-shortcuts", "--plasma527", "--bind-nothing"):
    parser.add_argument(flag, action="store_true")
DBusGMainLoop(set_as_default=True)
portal = Portal(dbus.SessionBus(), parser.parse_args())
name = dbus.service.BusName("org.freedesktop.portal.Desktop", portal.connection, do_not_queue=True)
print("ready", flush=True)
loop = GLib.MainLoop()
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, loop.quit)
loop.run()
if portal.options.state:
    with open(portal.options.state, "w") as file:
        json.dump(list(portal.sessions), file)
