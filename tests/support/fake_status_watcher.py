#!/usr/bin/python3
"""A stand-in for a status-area host: owns org.kde.StatusNotifierWatcher on the session bus.

It takes every RegisterStatusNotifierItem and reports what happens on the bus, each line with the
CLOCK_MONOTONIC time (seconds) at which it was seen, so that a caller on the same machine can time
it against its own clock:

  READY <t>                        the watcher's name is owned; items may register from now on
  REGISTERED <t> <service> <path>  an item registered (service: the caller's unique name)
  REFUSED <t> <sender>             a registration was answered with an error (--refuse)
  HOST <t>                         StatusNotifierHostRegistered was sent (--host-after)
  NAME <t> <name> <owner>          a well-known name got an owner (names given with --names)
  GONE <t> <name>                  such a name lost its owner

Runs on DBUS_SESSION_BUS_ADDRESS until SIGTERM, SIGINT, or --timeout seconds have passed.
"""

import argparse
import signal
import sys
import time

from gi.repository import Gio, GLib

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
INTERFACE_XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>
"""


def say(*words):
    print(*words, flush=True)


class Watcher:
    def __init__(self, connection, name_prefixes, refusals):
        self.connection = connection
        self.items = []
        self.refusals = refusals
        self.name_prefixes = name_prefixes
        info = Gio.DBusNodeInfo.new_for_xml(INTERFACE_XML).interfaces[0]
        connection.register_object(WATCHER_PATH, info, self.method_call, self.get_property, None)
        connection.signal_subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                                    "/org/freedesktop/DBus", None, Gio.DBusSignalFlags.NONE,
                                    self.name_owner_changed)

    def method_call(self, connection, sender, path, interface, method, parameters, invocation):
        seen = time.monotonic()
        if method == "RegisterStatusNotifierItem" and self.refusals > 0:
            # As a watcher that owns its name before it has put up its object answers.
            self.refusals -= 1
            invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownObject", "No such object yet")
            say("REFUSED", f"{seen:.6f}", sender)
        elif method == "RegisterStatusNotifierItem":
            # Hosts accept either an object path (the service is then the caller) or a bus name.
            argument = parameters.unpack()[0]
            service, item_path = (sender, argument) if argument.startswith("/") else (argument, "/StatusNotifierItem")
            self.items.append(f"{service}{item_path}")
            invocation.return_value(None)
            say("REGISTERED", f"{seen:.6f}", service, item_path)
            connection.emit_signal(None, WATCHER_PATH, WATCHER, "StatusNotifierItemRegistered",
                                   GLib.Variant("(s)", (self.items[-1],)))
        else:
            invocation.return_value(None)

    def get_property(self, connection, sender, path, interface, name):
        if name == "RegisteredStatusNotifierItems":
            return GLib.Variant("as", self.items)
        if name == "IsStatusNotifierHostRegistered":
            return GLib.Variant("b", True)
        return GLib.Variant("i", 0)

    def name_owner_changed(self, connection, sender, path, interface, signal_name, parameters):
        seen = time.monotonic()
        name, old_owner, new_owner = parameters.unpack()
        if not any(name.startswith(prefix) for prefix in self.name_prefixes):
            return
        if new_owner:
            say("NAME", f"{seen:.6f}", name, new_owner)
        else:
            say("GONE", f"{seen:.6f}", name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--names", nargs="*", default=["org.mpris.MediaPlayer2.", "org.zelna."],
                        help="report owners of well-known names starting with these")
    parser.add_argument("--timeout", type=float, default=3600.0, help="stop after this many seconds")
    parser.add_argument("--refuse", type=int, default=0, help="refuse this many registrations first")
    parser.add_argument("--host-after", type=float, help="announce a host this many seconds after READY")
    args = parser.parse_args()

    loop = GLib.MainLoop()
    connection = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    # Held here for as long as the loop runs: the bus keeps only the bound methods' references.
    watcher = Watcher(connection, args.names, args.refuse)

    def announce_host():
        connection.emit_signal(None, WATCHER_PATH, WATCHER, "StatusNotifierHostRegistered", None)
        say("HOST", f"{time.monotonic():.6f}")
        return False

    def ready(*_):
        say("READY", f"{time.monotonic():.6f}")
        if args.host_after is not None:
            GLib.timeout_add(int(args.host_after * 1000), announce_host)
    Gio.bus_own_name_on_connection(connection, WATCHER, Gio.BusNameOwnerFlags.DO_NOT_QUEUE, ready,
                                   lambda *_: (say("LOST", f"{time.monotonic():.6f}"), loop.quit()))
    for signal_number in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal_number, lambda *_: loop.quit() or False)
    GLib.timeout_add(int(args.timeout * 1000), lambda: loop.quit() or False)
    loop.run()
    del watcher
    return 0


if __name__ == "__main__":
    sys.exit(main())
