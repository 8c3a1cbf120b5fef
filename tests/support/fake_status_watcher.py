#!/usr/bin/python3
"""A stand-in for a status-area host: owns org.kde.StatusNotifierWatcher on the session bus, takes every item, and
reports on stdout, each line with the CLOCK_MONOTONIC time it was seen: READY <t> (items may register), REGISTERED <t>
<service> <path>, REFUSED <t> (--refuse), HOST <t> (a host announced, --host-after), NAME <t> <name> <owner> and GONE
<t> <name> for well-known names starting with one of NAMES. Runs until SIGTERM or SIGINT."""

import argparse
import signal
import time

from gi.repository import Gio, GLib

WATCHER, PATH = "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher"
NAMES = ("org.mpris.MediaPlayer2.", "org.zelna.")
INTERFACE = Gio.DBusNodeInfo.new_for_xml(f"""<node><interface name="{WATCHER}">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
</interface></node>""").interfaces[0]


def say(*words):
    """One line of the protocol, stamped with the time it is written unless it carries one."""
    print(words[0], f"{time.monotonic():.6f}", *words[1:], flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--refuse", type=int, default=0, help="refuse this many registrations first")
    parser.add_argument("--host-after", type=float, help="announce a host this many seconds after READY")
    args = parser.parse_args()
    refusals = [args.refuse]
    connection, items = Gio.bus_get_sync(Gio.BusType.SESSION, None), []

    def method_call(connection, sender, path, interface, method, parameters, invocation):
        if method == "RegisterStatusNotifierItem" and refusals[0] > 0:
            # As a watcher answers that owns its name before it has put up its object.
            refusals[0] -= 1
            invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownObject", "No such object yet")
            say("REFUSED")
        elif method == "RegisterStatusNotifierItem":
            # Hosts accept either an object path (the service is then the caller) or a bus name.
            argument = parameters.unpack()[0]
            service, item = (sender, argument) if argument.startswith("/") else (argument, "/StatusNotifierItem")
            items.append(service + item)
            invocation.return_value(None)
            say("REGISTERED", service, item)
            connection.emit_signal(None, PATH, WATCHER, "StatusNotifierItemRegistered",
                                   GLib.Variant("(s)", (items[-1],)))
        else:
            invocation.return_value(None)

    def get_property(connection, sender, path, interface, name):
        return {"RegisteredStatusNotifierItems": GLib.Variant("as", items),
                "IsStatusNotifierHostRegistered": GLib.Variant("b", True)}.get(name, GLib.Variant("i", 0))

    def name_owner_changed(connection, sender, path, interface, signal_name, parameters):
        name, _, owner = parameters.unpack()
        if name.startswith(NAMES):
            say(*(("NAME", name, owner) if owner else ("GONE", name)))

    connection.register_object(PATH, INTERFACE, method_call, get_property, None)
    connection.signal_subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                                "/org/freedesktop/DBus", None, Gio.DBusSignalFlags.NONE, name_owner_changed)
    loop = GLib.MainLoop()

    def announce_host():
        connection.emit_signal(None, PATH, WATCHER, "StatusNotifierHostRegistered", None)
        say("HOST")

    def ready(*_):
        say("READY")
        if args.host_after is not None:
            GLib.timeout_add(int(args.host_after * 1000), announce_host)
    Gio.bus_own_name_on_connection(connection, WATCHER, Gio.BusNameOwnerFlags.DO_NOT_QUEUE,
                                   ready, lambda *_: (say("LOST"), loop.quit()))
    for number in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, number, loop.quit)
    loop.run()


if __name__ == "__main__":
    main()
