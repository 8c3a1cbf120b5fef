"""ZelnaMenu driven from outside, as a desktop and its user would: menu clicks through dbusmenu,
media commands through playerctl, hot keys through xdotool.

Each test gets its own X display (Xvfb), session bus and home folder; the channels are served by
the loopback stream server on the port compiled into the build (ZELNA_STREAM_BASE_URL).
"""

import json
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse

from gi.repository import Gio, GLib

ZELNAMENU = os.environ.get("ZELNAMENU", "")
SOURCE_DIR = os.environ.get("ZELNA_SOURCE_DIR", "")
BINARY_DIR = os.environ.get("ZELNA_BINARY_DIR", "")
STREAM_BASE_URL = urllib.parse.urlsplit(os.environ.get("ZELNA_STREAM_BASE_URL", ""))

APP_NAME = "org.zelna.ZelnaMenu"
MENU_PATH = "/MenuBar"
ITEM_PATH = "/StatusNotifierItem"
SLOT_4 = "\u23254: "


def wait_until(condition, timeout=10.0, interval=0.05):
    """condition()'s first true value, or its last false one after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class LineReader:
    """Collects a pipe's lines on a thread, so that a child never blocks on a full pipe."""

    def __init__(self, pipe):
        self.lines = []
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self._thread.start()

    def _read(self, pipe):
        for line in iter(pipe.readline, ""):
            with self._lock:
                self.lines.append(line.rstrip("\n"))
        pipe.close()

    def snapshot(self):
        with self._lock:
            return list(self.lines)

    def finish(self, timeout=5.0):
        self._thread.join(timeout)
        return self.snapshot()


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(5)


class StreamServer:
    """tests/support/stream_server.py on the compiled-in port, serving every channel id."""

    def __init__(self):
        self.process = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(SOURCE_DIR, "tests/support/stream_server.py"),
             "--port", str(STREAM_BASE_URL.port), "--media-dir", os.path.join(BINARY_DIR, "stream-media"),
             "--channels", "mp3"],
            stdout=subprocess.PIPE, text=True)
        self.output = LineReader(self.process.stdout)
        if not wait_until(lambda: any(line.startswith("PORT ") for line in self.output.snapshot()), 120):
            stop(self.process)
            raise RuntimeError("the stream server did not start")

    def requests(self):
        return [line.split(" ", 2)[1:] for line in self.output.snapshot() if line.startswith("REQUEST ")]

    def close(self):
        stop(self.process)


class Session:
    """A private desktop session: a scratch home with XDG folders, Xvfb and a session bus."""

    def __init__(self):
        self.home = tempfile.mkdtemp(prefix="zelna-e2e-")
        self.processes = []
        env = {name: value for name, value in os.environ.items()
               if name not in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE",
                               "LANGUAGE", "LC_MESSAGES", "LANG")}
        env.update({
            "HOME": self.home,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_CONFIG_DIRS": os.path.join(self.home, "system-config"),
            "XDG_DATA_HOME": os.path.join(self.home, ".local/share"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "XDG_RUNTIME_DIR": os.path.join(self.home, "run"),
            "LC_ALL": "C.UTF-8",
            "NO_AT_BRIDGE": "1",
        })
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
        self.env = env

        reader, writer = os.pipe()
        self.start(["Xvfb", "-displayfd", str(writer), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
                   pass_fds=(writer,), stderr=subprocess.DEVNULL)
        os.close(writer)
        with os.fdopen(reader) as display:
            env["DISPLAY"] = ":" + display.readline().strip()

        bus = self.start(["dbus-daemon", "--session", "--nofork", "--print-address", "--address=unix:tmpdir=/tmp"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        bus.stdout.close()
        self.bus = Gio.DBusConnection.new_for_address_sync(
            env["DBUS_SESSION_BUS_ADDRESS"],
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None, None)

    def start(self, argv, **options):
        process = subprocess.Popen(argv, env=self.env, **options)
        self.processes.append(process)
        return process

    def close(self):
        self.bus.close_sync(None)
        for process in reversed(self.processes):
            stop(process)
        shutil.rmtree(self.home, ignore_errors=True)

    def run(self, argv):
        return subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=15)

    # The program's files.

    def preferences(self):
        try:
            with open(os.path.join(self.env["XDG_CONFIG_HOME"], "zelnamenu/preferences.json")) as file:
                return json.load(file)
        except FileNotFoundError:
            return None

    def autostart_entry(self):
        return os.path.join(self.env["XDG_CONFIG_HOME"], "autostart", APP_NAME + ".desktop")

    # The program on the bus.

    def call(self, path, interface, method, parameters, reply_type):
        reply = self.bus.call_sync(APP_NAME, path, interface, method, parameters, GLib.VariantType(reply_type),
                                   Gio.DBusCallFlags.NONE, 5000, None)
        return reply.unpack()

    def has_owner(self, name):
        reply = self.bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                   "NameHasOwner", GLib.Variant("(s)", (name,)), GLib.VariantType("(b)"),
                                   Gio.DBusCallFlags.NONE, 5000, None)
        return reply.unpack()[0]

    def menu(self):
        """The whole menu as nested dicts: id, label, props, children."""
        def node(layout):
            identifier, props, children = layout
            label = props.get("label", "").replace("__", "_")
            return {"id": identifier, "label": label, "props": props, "children": [node(c) for c in children]}
        _, root = self.call(MENU_PATH, "com.canonical.dbusmenu", "GetLayout", GLib.Variant("(iias)", (0, -1, [])),
                            "(u(ia{sv}av))")
        return node(root)

    def item(self, *labels, menu=None):
        """The item reached through the given labels, each one matched at the start of a label."""
        node = menu or self.menu()
        for label in labels:
            matches = [child for child in node["children"] if child["label"].startswith(label)]
            if not matches:
                raise AssertionError(f"no item {label!r} among {[c['label'] for c in node['children']]}")
            node = matches[0]
        return node

    def click(self, *labels):
        item = self.item(*labels)
        self.call(MENU_PATH, "com.canonical.dbusmenu", "Event",
                  GLib.Variant("(isvu)", (item["id"], "clicked", GLib.Variant("i", 0), 0)), "()")

    def checked(self, *labels):
        """Labels of the checked items directly under the given item."""
        return [child["label"] for child in self.item(*labels)["children"] if child["props"].get("toggle-state") == 1]

    def status_title(self):
        (value,) = self.call(ITEM_PATH, "org.freedesktop.DBus.Properties", "Get",
                             GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "XAyatanaLabel")), "(v)")
        return value

    def playback_status(self):
        return self.run(["playerctl", "-p", "zelnamenu", "status"]).stdout.strip()


@unittest.skipUnless(STREAM_BASE_URL.scheme == "http" and STREAM_BASE_URL.hostname == "127.0.0.1",
                     "the build's stream address is not a loopback one (make test configures it)")
class ZelnaMenuTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.streams = StreamServer()

    @classmethod
    def tearDownClass(cls):
        cls.streams.close()

    def setUp(self):
        self.session = Session()
        self.addCleanup(self.session.close)

    def launch(self):
        """Starts ZelnaMenu and waits until its menu is on the bus."""
        process = self.session.start([ZELNAMENU], stderr=subprocess.PIPE, text=True)
        process.stderr_lines = LineReader(process.stderr)

        def menu_is_up():
            try:
                return self.session.menu()["children"]
            except GLib.Error:
                return None
        self.assertTrue(wait_until(menu_is_up), "the menu never appeared: " + "\n".join(process.stderr_lines.snapshot()))
        return process

    def wait_for(self, condition, message, timeout=10.0):
        self.assertTrue(wait_until(condition, timeout), message)

    def test_choosing_a_channel_plays_pauses_and_resumes_it(self):
        self.launch()
        session = self.session
        self.assertEqual(session.status_title(), "")
        self.assertEqual(session.checked(), [])

        session.click("Zelna Pulse")
        self.wait_for(lambda: session.status_title() == " Zelna Pulse", "the title follows the channel")
        self.assertEqual(session.checked(), ["Zelna Pulse"])
        self.wait_for(lambda: session.playback_status() == "Playing", "MPRIS says it plays")
        self.wait_for(lambda: any(path == "/pulse" and agent.startswith("ZelnaMenu/")
                                  for path, agent in self.streams.requests()), "the pulse stream was fetched")
        self.assertEqual(session.run(["playerctl", "-p", "zelnamenu", "metadata", "title"]).stdout.strip(),
                         "Zelna Pulse")

        session.click("Zelna Pulse")
        self.wait_for(lambda: session.playback_status() == "Paused", "a second choice pauses")
        self.assertEqual(session.status_title(), " Zelna Pulse")
        self.assertEqual(session.checked(), ["Zelna Pulse"], "a paused channel keeps its checkmark")

        session.click("Zelna Pulse")
        self.wait_for(lambda: session.playback_status() == "Playing", "a third choice resumes")

        # The desktop's media commands reach the same player.
        session.run(["playerctl", "-p", "zelnamenu", "pause"])
        self.wait_for(lambda: session.playback_status() == "Paused", "playerctl pause")
        session.run(["playerctl", "-p", "zelnamenu", "play-pause"])
        self.wait_for(lambda: session.playback_status() == "Playing", "playerctl play-pause")
        self.assertNotEqual(session.run(["playerctl", "-p", "zelnamenu", "next"]).returncode, 0,
                            "there is no next channel to skip to")

        session.click("Zelna Aria")
        self.wait_for(lambda: session.status_title() == " Zelna Aria", "another channel replaces the title")
        self.assertEqual(session.checked(), ["Zelna Aria"])

    def test_hot_keys_play_their_slots_channels_and_follow_a_new_assignment(self):
        self.launch()
        session = self.session
        self.wait_for(lambda: session.preferences() == {"hotkeyChannels": ["prime", "pulse", "aria", "", ""]},
                      "the first start stores the default slots")
        self.assertEqual(session.item("Zelna Prime")["props"].get("shortcut"), [["Alt", "1"]])

        session.run(["xdotool", "key", "alt+1"])
        self.wait_for(lambda: session.status_title() == " Zelna Prime", "Alt+1 plays the first slot's channel")
        self.assertEqual(session.checked(), ["Zelna Prime"])
        self.wait_for(lambda: session.playback_status() == "Playing", "and it plays")

        session.click("Keyboard Shortcuts", SLOT_4, "Zelna Vintage")
        self.wait_for(lambda: (session.preferences() or {}).get("hotkeyChannels")
                      == ["prime", "pulse", "aria", "vintage", ""], "the assignment is stored")
        self.assertEqual(session.item("Keyboard Shortcuts", SLOT_4)["label"], SLOT_4 + "Zelna Vintage")
        self.assertEqual(session.checked("Keyboard Shortcuts", SLOT_4), ["Zelna Vintage"])
        self.assertEqual(session.item("Zelna Vintage")["props"].get("shortcut"), [["Alt", "4"]])

        session.run(["xdotool", "key", "alt+4"])
        self.wait_for(lambda: session.status_title() == " Zelna Vintage", "Alt+4 plays the newly bound channel")

        session.click("Keyboard Shortcuts", SLOT_4, "None")
        self.wait_for(lambda: session.preferences()["hotkeyChannels"][3] == "", "unbinding is stored")
        self.assertEqual(session.item("Keyboard Shortcuts", SLOT_4)["label"], SLOT_4 + "None")
        self.assertNotIn("shortcut", session.item("Zelna Vintage")["props"])

    def test_launch_at_login_writes_and_removes_the_autostart_entry(self):
        self.launch()
        session = self.session
        entry = session.autostart_entry()
        self.assertEqual(session.checked(), [])

        session.click("Launch at Login")
        self.wait_for(lambda: os.path.exists(entry), "the autostart entry is written")
        with open(entry) as file:
            text = file.read()
        self.assertIn("Exec=" + os.path.realpath(ZELNAMENU), text)
        self.wait_for(lambda: session.checked() == ["Launch at Login"], "the item is checked")

        session.click("Launch at Login")
        self.wait_for(lambda: not os.path.exists(entry), "the autostart entry is removed")
        self.wait_for(lambda: session.checked() == [], "the item is unchecked")

    def test_quit_and_signals_end_the_program_with_status_zero(self):
        process = self.launch()
        self.session.click("Quit ZelnaMenu")
        self.assertEqual(process.wait(10), 0)
        self.assertFalse(self.session.has_owner(APP_NAME))

        for signal_number in (signal.SIGTERM, signal.SIGINT):
            process = self.launch()
            process.send_signal(signal_number)
            self.assertEqual(process.wait(10), 0, signal_number)

    def test_a_second_instance_leaves_the_first_alone(self):
        first = self.launch()
        session = self.session
        preferences_file = os.path.join(session.env["XDG_CONFIG_HOME"], "zelnamenu/preferences.json")
        self.wait_for(lambda: os.path.exists(preferences_file), "the first instance stored its slots")
        written = os.stat(preferences_file).st_mtime_ns
        icons = sorted(os.listdir(os.path.join(session.env["XDG_RUNTIME_DIR"], "zelnamenu")))

        second = session.start([ZELNAMENU], stderr=subprocess.PIPE, text=True)
        said = second.communicate(timeout=10)[1]
        self.assertEqual(second.returncode, 0)
        self.assertEqual(len(said.splitlines()), 1, said)
        self.assertIn("already running", said)
        self.assertEqual(os.stat(preferences_file).st_mtime_ns, written)
        self.assertEqual(sorted(os.listdir(os.path.join(session.env["XDG_RUNTIME_DIR"], "zelnamenu"))), icons)

        self.assertIsNone(first.poll())
        session.click("Zelna Aria")
        self.wait_for(lambda: session.status_title() == " Zelna Aria", "the first instance still answers")
        session.run(["xdotool", "key", "alt+1"])
        self.wait_for(lambda: session.status_title() == " Zelna Prime", "and still holds the hot keys")

    def test_without_a_session_bus_it_says_so_and_exits_with_status_one(self):
        env = dict(self.session.env)
        del env["DBUS_SESSION_BUS_ADDRESS"]
        del env["DISPLAY"]
        result = subprocess.run([ZELNAMENU], env=env, capture_output=True, text=True, timeout=15)
        self.assertEqual(result.returncode, 1)
        self.assertIn("session bus", result.stderr)
        self.assertIsNone(self.session.preferences(), "nothing was written")


if __name__ == "__main__":
    unittest.main()
