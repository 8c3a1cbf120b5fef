#!/usr/bin/python3
"""Draws docs/screenshot.png: ZelnaMenu in xfce4-panel's tray under Xvfb, a channel chosen and
the menu open. Everything runs in a scratch home on a private X display and session bus.

  scripts/screenshot.py [BUILD_DIR] [OUT.png]

BUILD_DIR defaults to build-test (the test build, whose stream address is a loopback one, so that
nothing here reaches beyond this machine); it needs bin/zelnamenu and bench/zelna-screenshot.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

from gi.repository import Gio, GLib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
def wait_until(condition, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise SystemExit("gave up waiting")


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build-test"))
    out = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "docs/screenshot.png"))
    home = tempfile.mkdtemp(prefix="zelna-screenshot-")
    processes = []
    env = {name: value for name, value in os.environ.items()
           if name not in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "SESSION_MANAGER")}
    env.update(HOME=home, XDG_CONFIG_HOME=f"{home}/.config", XDG_CACHE_HOME=f"{home}/.cache",
               XDG_DATA_HOME=f"{home}/.local/share", XDG_RUNTIME_DIR=f"{home}/run", LC_ALL="C.UTF-8",
               NO_AT_BRIDGE="1", GST_PLUGIN_FEATURE_RANK="fakeaudiosink:MAX")
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
    config = os.path.join(env["XDG_CONFIG_HOME"], "xfce4/xfconf/xfce-perchannel-xml")
    os.makedirs(config)
    shutil.copy(os.path.join(ROOT, "tests/support/xfce4-panel.xml"), config)

    def start(argv, **options):
        process = subprocess.Popen(argv, env=env, **options)
        processes.append(process)
        return process

    try:
        reader, writer = os.pipe()
        start(["Xvfb", "-displayfd", str(writer), "-nolisten", "tcp", "-screen", "0", "800x480x24"],
              pass_fds=(writer,), stderr=subprocess.DEVNULL)
        os.close(writer)
        with os.fdopen(reader) as display:
            env["DISPLAY"] = ":" + display.readline().strip()
        bus = start(["dbus-daemon", "--session", "--nofork", "--print-address", "--address=unix:tmpdir=/tmp"],
                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        bus.stdout.close()
        connection = Gio.DBusConnection.new_for_address_sync(
            env["DBUS_SESSION_BUS_ADDRESS"],
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None, None)

        start(["xfce4-panel", "--disable-wm-check"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        start([os.path.join(build, "bin/zelnamenu")], stderr=subprocess.DEVNULL)

        def call(path, interface, method, parameters, reply_type):
            return connection.call_sync("org.zelna.ZelnaMenu", path, interface, method, parameters,
                                        GLib.VariantType(reply_type), Gio.DBusCallFlags.NONE, 5000, None).unpack()

        def registered():
            try:
                items = connection.call_sync(
                    "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties",
                    "Get", GLib.Variant("(ss)", ("org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems")),
                    GLib.VariantType("(v)"), Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]
                return items and call("/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                                      GLib.Variant("(iias)", (0, 1, ["label"])), "(u(ia{sv}av))")
            except GLib.Error:
                return None

        _, (_, _, children) = wait_until(registered)
        pulse = next(child for child in children if child[1].get("label") == "Zelna Pulse")
        call("/MenuBar", "com.canonical.dbusmenu", "Event",
             GLib.Variant("(isvu)", (pulse[0], "clicked", GLib.Variant("i", 0), 0)), "()")
        time.sleep(1.5)  # the panel draws the new icon
        subprocess.run(["xdotool", "mousemove", "18", "20", "click", "1"], env=env, check=True)
        time.sleep(1.0)
        subprocess.run(["xdotool", "mousemove", "400", "400"], env=env, check=True)
        time.sleep(0.3)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        subprocess.run([os.path.join(build, "bench/zelna-screenshot"), out, "0", "0", "320", "300"], env=env,
                       check=True)
        print(out)
    finally:
        for process in reversed(processes):
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
