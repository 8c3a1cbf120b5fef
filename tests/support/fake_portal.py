#!/usr/bin/python3
# A stand-in for xdg-desktop-portal's GlobalShortcuts on a private session bus. It answers through
# Request objects as the real portal does, prints "ready" and then each session and binding as a
# JSON line, and offers tests Activate(id): Activated for the newest session. Options choose refusals.
import argparse
import json

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PATH = "/org/freedesktop/portal/desktop"
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"
CONTROL = "org.zelna.test.FakePortal"


class Request(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, response, results):
        pass


class Portal(dbus.service.Object):
    def __init__(self, bus, options):
        super().__init__(bus, PATH)
        self.options = options
        self.session = "/"

    def answer(self, sender, options, response, results):
        path = "%s/request/%s/%s" % (PATH, sender.lstrip(":").replace(".", "_"), options["handle_token"])
        request = Request(self.connection, path)
        # The real portal answers after the method returns; so do we.
        GLib.idle_add(lambda: request.Response(dbus.UInt32(response), results) and False)
        return path

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        if self.options.no_shortcuts:
            raise dbus.exceptions.DBusException("No such interface", name="org.freedesktop.DBus.Error.UnknownMethod")
        self.session = "%s/session/%s/%s" % (PATH, sender.lstrip(":").replace(".", "_"), options["session_handle_token"])
        print(json.dumps({"session": self.session}), flush=True)
        # Sent as a string, as the real portal does.
        return self.answer(sender, options, self.options.create_response, {"session_handle": self.session})

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o", sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent_window, options, sender=None):
        print(json.dumps({"session": session, "shortcuts": [[i, dict(p)] for i, p in shortcuts]}), flush=True)
        results = dbus.Dictionary({"shortcuts": dbus.Array(shortcuts, signature="(sa{sv})")}, signature="sv")
        return self.answer(sender, options, self.options.bind_response, results)

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Activated(self, session, shortcut_id, timestamp, options):
        pass

    @dbus.service.method(CONTROL, in_signature="s")
    def Activate(self, shortcut_id):
        self.Activated(self.session, shortcut_id, 0, dbus.Dictionary(signature="sv"))


parser = argparse.ArgumentParser()
parser.add_argument("--create-response", type=int, default=0)
parser.add_argument("--bind-response", type=int, default=0)
parser.add_argument("--no-shortcuts", action="store_true")
DBusGMainLoop(set_as_default=True)
portal = Portal(dbus.SessionBus(), parser.parse_args())
name = dbus.service.BusName("org.freedesktop.portal.Desktop", portal.connection, do_not_queue=True)
print("ready", flush=True)
loop = GLib.MainLoop()
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, 15, loop.quit)
loop.run()
