#!/usr/bin/python3
"""Figures for hostile input: how often the preferences file is opened, how long a start takes
with a FIFO or a huge file where the preferences or the autostart entry belong, and what an
over-long dbusmenu call costs the main thread while a property read waits behind it. Figures
only: nothing here passes or fails.

Each run is ZelnaMenu on its own private session bus and home (tests/support/desktop_session.py).
The main thread's CPU time comes from /proc/<pid>/task/<pid>/schedstat; file opens are counted
with inotify on the preferences folder.

Usage: bench/hostile_input.py [--build-dir build]
"""

import argparse
import ctypes
import os
import struct
import subprocess
import sys
import time

from gi.repository import Gio, GLib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from desktop_session import Desktop, stop, wait_until  # noqa: E402

APP = "org.zelna.ZelnaMenu"
MENU = "com.canonical.dbusmenu"
PREFERENCES = ".config/zelnamenu/preferences.json"
AUTOSTART = ".config/autostart/org.zelna.ZelnaMenu.desktop"


class OpenCounter:
    """Counts the opens of one file name in a folder, through inotify (IN_OPEN)."""

    def __init__(self, folder, name):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_NONBLOCK)
        self.libc.inotify_add_watch(self.fd, folder.encode(), 0x20)
        self.name, self.count = name.encode(), 0

    def read(self):
        try:
            data = os.read(self.fd, 65536)
        except BlockingIOError:
            return self.count
        at = 0
        while at < len(data):
            _, _, _, length = struct.unpack_from("iIII", data, at)
            self.count += data[at + 16:at + 16 + length].rstrip(b"\0") == self.name
            at += 16 + length
        return self.count


def main_thread_ms(pid):
    with open(f"/proc/{pid}/task/{pid}/schedstat") as stat:
        return int(stat.read().split()[0]) / 1e6


def peak_memory_mb(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM")) / 1024


def layout(desktop, depth=-1, timeout_ms=1000):
    return desktop.call(APP, "/MenuBar", MENU, "GetLayout", GLib.Variant("(iias)", (0, depth, [])),
                        "(u(ia{sv}av))", timeout_ms)[1]


def launch(desktop, binary):
    """The process and the seconds until its menu answered (None if it never did)."""
    started = time.monotonic()
    process = desktop.start([binary], stderr=subprocess.DEVNULL)

    def menu_answers():
        try:
            return layout(desktop, 0)
        except GLib.Error:
            return None
    return process, (time.monotonic() - started if wait_until(menu_answers, 15) else None)


def preference_opens(binary):
    desktop = Desktop()
    try:
        path = os.path.join(desktop.home, PREFERENCES)
        os.makedirs(os.path.dirname(path))
        with open(path, "w") as file:
            file.write('{"hotkeyChannels": ["prime", "pulse", "aria", "", ""]}\n')
        opens = OpenCounter(os.path.dirname(path), "preferences.json")
        process, _ = launch(desktop, binary)
        time.sleep(1)
        at_start = opens.read()
        for index in range(4):  # four channel choices, four menu rebuilds, each with new item ids
            item = layout(desktop)[2][index][0]
            desktop.call(APP, "/MenuBar", MENU, "Event",
                         GLib.Variant("(isvu)", (item, "clicked", GLib.Variant("i", 0), 0)), None)
        time.sleep(1)
        print(f"preferences.json opened at start-up: {at_start}; for four menu rebuilds: {opens.read() - at_start}")
        stop(process)
    finally:
        desktop.close()


def refused_starts(binary):
    def fifo(path):
        os.mkfifo(path)

    def huge(path):
        with open(path, "wb") as file:
            file.truncate(256 << 20)
    for label, relative, make in (("nothing there", PREFERENCES, None), ("FIFO preferences", PREFERENCES, fifo),
                                  ("256 MiB preferences", PREFERENCES, huge), ("FIFO autostart entry", AUTOSTART, fifo)):
        desktop = Desktop()
        try:
            path = os.path.join(desktop.home, relative)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if make:
                make(path)
            process, seconds = launch(desktop, binary)
            answered = f"{seconds * 1000:7.0f} ms" if seconds is not None else "   never"
            print(f"start with {label:22s}: menu answers after {answered}, peak memory {peak_memory_mb(process.pid):5.0f} MiB")
            stop(process)
        finally:
            desktop.close()


def overlong_calls(binary):
    desktop = Desktop()
    try:
        process, _ = launch(desktop, binary)
        first = layout(desktop)[2][0][0]
        loop = GLib.MainLoop()
        for label, method, arguments, count in (
                ("GetGroupProperties ids", "GetGroupProperties", lambda n: ([first] * n, []), (1000, 1_000_000)),
                ("GetGroupProperties names", "GetGroupProperties", lambda n: ([], ["label"] * n), (1000, 1_000_000)),
                ("EventGroup events", "EventGroup", lambda n: ([(first, "hovered", GLib.Variant("i", 0), 0)] * n,),
                 (1000, 100_000))):
            for n in count:
                signature = {"GetGroupProperties": "(aias)", "EventGroup": "(a(isvu))"}[method]
                body = GLib.Variant(signature, arguments(n))
                replies = {}
                before = main_thread_ms(process.pid)

                def send(key, interface, member, parameters):
                    sent = time.monotonic()

                    def done(connection, result):
                        try:
                            connection.call_finish(result)
                            replies[key] = ("answered", time.monotonic() - sent)
                        except GLib.Error as error:
                            replies[key] = (Gio.DBusError.get_remote_error(error) or "error", time.monotonic() - sent)
                        if len(replies) == 2:
                            loop.quit()
                    desktop.bus.call(APP, "/MenuBar", interface, member, parameters, None, Gio.DBusCallFlags.NONE,
                                     60000, None, done)
                send("list", MENU, method, body)
                send("get", "org.freedesktop.DBus.Properties", "Get", GLib.Variant("(ss)", (MENU, "Version")))
                loop.run()
                time.sleep(0.2)
                outcome, seconds = replies["list"]
                print(f"{label:25s} {n:>9,}: {outcome.rsplit('.', 1)[-1]:14s} after {seconds * 1000:7.1f} ms; "
                      f"Get behind it {replies['get'][1] * 1000:7.1f} ms; "
                      f"main thread {main_thread_ms(process.pid) - before:6.1f} ms")
        stop(process)
    finally:
        desktop.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build")
    binary = os.path.join(os.path.abspath(parser.parse_args().build_dir), "bin", "zelnamenu")
    preference_opens(binary)
    refused_starts(binary)
    overlong_calls(binary)


if __name__ == "__main__":
    main()
