"""ZelnaMenu driven from outside, as a desktop and its user would: menu clicks through dbusmenu,
media commands through playerctl, hot keys through xdotool. Each test gets its own Xvfb, session
bus and home; the loopback stream server listens on the port compiled into the build."""

import json
import os
import pathlib
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.parse

from gi.repository import Gio, GLib

ZELNAMENU = os.environ.get("ZELNAMENU", "")
STREAM_BASE_URL = urllib.parse.urlsplit(os.environ.get("ZELNA_STREAM_BASE_URL", ""))
APP_NAME = "org.zelna.ZelnaMenu"
SLOT_4 = "\u23254: "


def wait_until(condition, timeout=10.0):
    """condition()'s first true value, or its last false one after timeout seconds."""
    deadline = time.monotonic() + timeout
    while not (value := condition()) and time.monotonic() < deadline:
        time.sleep(0.05)
    return value


def stop(process):
    process.terminate()
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(5)


class Session:
    """A private desktop session: a scratch home with XDG folders, Xvfb and a session bus."""

    def __init__(self):
        self.home = tempfile.mkdtemp(prefix="zelna-e2e-")
        self.processes = []
        self.env = {name: value for name, value in os.environ.items()
                    if name not in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE",
                                    "LANGUAGE", "LC_MESSAGES", "LANG")}
        self.env.update({name: os.path.join(self.home, folder) for name, folder in (
            ("HOME", ""), ("XDG_CONFIG_HOME", ".config"), ("XDG_CONFIG_DIRS", "system-config"),
            ("XDG_DATA_HOME", ".local/share"), ("XDG_CACHE_HOME", ".cache"), ("XDG_RUNTIME_DIR", "run"))})
        self.env.update(LC_ALL="C.UTF-8", NO_AT_BRIDGE="1")
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        self.preferences_file = os.path.join(self.env["XDG_CONFIG_HOME"], "zelnamenu/preferences.json")

        reader, writer = os.pipe()
        self.start(["Xvfb", "-displayfd", str(writer), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
                   pass_fds=(writer,), stderr=subprocess.DEVNULL)
        os.close(writer)
        with os.fdopen(reader) as display:
            self.env["DISPLAY"] = ":" + display.readline().strip()
        bus = self.start(["dbus-daemon", "--session", "--nofork", "--print-address", "--address=unix:tmpdir=/tmp"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        bus.stdout.close()
        self.bus = Gio.DBusConnection.new_for_address_sync(
            self.env["DBUS_SESSION_BUS_ADDRESS"],
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)

    def start(self, argv, **options):
        self.processes.append(subprocess.Popen(argv, env=self.env, **options))
        return self.processes[-1]

    def close(self):
        self.bus.close_sync(None)
        for process in reversed(self.processes):
            stop(process)
        shutil.rmtree(self.home, ignore_errors=True)

    def run(self, *argv):
        return subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=15).stdout.strip()

    def preferences(self):
        try:
            with open(self.preferences_file) as file:
                return json.load(file)
        except FileNotFoundError:
            return None

    def call(self, path, interface, method, parameters, reply_type):
        return self.bus.call_sync(APP_NAME, path, interface, method, parameters, GLib.VariantType(reply_type),
                                  Gio.DBusCallFlags.NONE, 5000, None).unpack()

    def item(self, *labels):
        """The menu item reached through labels, each matching the start of a label; the root for none."""
        def node(layout):
            identifier, props, children = layout
            return {"id": identifier, "label": props.get("label", "").replace("__", "_"), "props": props,
                    "children": [node(child) for child in children]}
        found = node(self.call("/MenuBar", "com.canonical.dbusmenu", "GetLayout", GLib.Variant("(iias)", (0, -1, [])),
                               "(u(ia{sv}av))")[1])
        for label in labels:
            found = next(child for child in found["children"] if child["label"].startswith(label))
        return found

    def click(self, *labels):
        self.call("/MenuBar", "com.canonical.dbusmenu", "Event",
                  GLib.Variant("(isvu)", (self.item(*labels)["id"], "clicked", GLib.Variant("i", 0), 0)), "()")

    def checked(self, *labels):
        """Labels of the checked items directly under the given item."""
        return [child["label"] for child in self.item(*labels)["children"] if child["props"].get("toggle-state") == 1]

    def title(self):
        return self.call("/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                         GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "XAyatanaLabel")), "(v)")[0]

    def playback_status(self):
        return self.run("playerctl", "-p", "zelnamenu", "status")


@unittest.skipUnless(STREAM_BASE_URL.scheme == "http" and STREAM_BASE_URL.hostname == "127.0.0.1",
                     "the build's stream address is not a loopback one (make test configures it)")
class ZelnaMenuTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.stream_log = tempfile.NamedTemporaryFile("w", prefix="zelna-streams-")
        cls.streams = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(os.environ["ZELNA_SOURCE_DIR"], "tests/support/stream_server.py"),
             "--port", str(STREAM_BASE_URL.port), "--channels", "mp3",
             "--media-dir", os.path.join(os.environ["ZELNA_BINARY_DIR"], "stream-media")],
            stdout=cls.stream_log)
        if not wait_until(lambda: "PORT " in cls.stream_output(), 120):
            stop(cls.streams)
            raise RuntimeError("the stream server did not start")

    @classmethod
    def tearDownClass(cls):
        stop(cls.streams)
        cls.stream_log.close()

    @classmethod
    def stream_output(cls):
        with open(cls.stream_log.name) as log:
            return log.read()

    def setUp(self):
        self.session = Session()
        self.addCleanup(self.session.close)

    def launch(self, **options):
        """Starts ZelnaMenu and waits until its menu is on the bus."""
        process = self.session.start([ZELNAMENU], **options)

        def menu_is_up():
            try:
                return self.session.item()["children"]
            except GLib.Error:
                return None
        self.assertTrue(wait_until(menu_is_up), "the menu never appeared")
        return process

    def wait_for(self, condition, message):
        self.assertTrue(wait_until(condition), message)

    def test_choosing_a_channel_plays_pauses_and_resumes_it(self):
        self.launch()
        session = self.session
        self.assertEqual((session.title(), session.checked()), ("", []))

        session.click("Zelna Pulse")
        self.wait_for(lambda: session.title() == " Zelna Pulse", "the title follows the channel")
        self.assertEqual(session.checked(), ["Zelna Pulse"])
        self.wait_for(lambda: session.playback_status() == "Playing", "MPRIS says it plays")
        self.wait_for(lambda: "REQUEST /pulse ZelnaMenu/" in self.stream_output(), "the pulse stream was fetched")

        session.click("Zelna Pulse")
        self.wait_for(lambda: session.playback_status() == "Paused", "a second choice pauses")
        self.assertEqual((session.title(), session.checked()), (" Zelna Pulse", ["Zelna Pulse"]))
        session.click("Zelna Pulse")
        self.wait_for(lambda: session.playback_status() == "Playing", "a third choice resumes")

        # The desktop's media commands reach the same player.
        session.run("playerctl", "-p", "zelnamenu", "play-pause")
        self.wait_for(lambda: session.playback_status() == "Paused", "playerctl play-pause")

        session.click("Zelna Aria")
        self.wait_for(lambda: session.title() == " Zelna Aria", "another channel replaces the title")
        self.assertEqual(session.checked(), ["Zelna Aria"])

    def test_hot_keys_play_their_slots_channels_and_follow_a_new_assignment(self):
        self.launch()
        session = self.session
        self.wait_for(lambda: session.preferences() == {"hotkeyChannels": ["prime", "pulse", "aria", "", ""]},
                      "the first start stores the default slots")
        session.run("xdotool", "key", "alt+1")
        self.wait_for(lambda: session.title() == " Zelna Prime", "Alt+1 plays the first slot's channel")
        self.wait_for(lambda: session.playback_status() == "Playing", "and it plays")
        session.run("gapplication", "action", APP_NAME, "hotkey-1")  # what desktop shortcuts run instead
        self.wait_for(lambda: session.playback_status() == "Paused", "the action of Alt+1 pauses it, as the key does")

        session.click("Keyboard Shortcuts", SLOT_4, "Zelna Vintage")
        self.wait_for(lambda: session.preferences()["hotkeyChannels"][3] == "vintage", "the assignment is stored")
        self.assertEqual(session.item("Keyboard Shortcuts", SLOT_4)["label"], SLOT_4 + "Zelna Vintage")
        self.assertEqual(session.checked("Keyboard Shortcuts", SLOT_4), ["Zelna Vintage"])
        self.assertEqual(session.item("Zelna Vintage")["props"].get("shortcut"), [["Alt", "4"]])
        session.run("xdotool", "key", "alt+4")
        self.wait_for(lambda: session.title() == " Zelna Vintage", "Alt+4 plays the newly bound channel")

        session.click("Keyboard Shortcuts", SLOT_4, "None")
        self.wait_for(lambda: session.preferences()["hotkeyChannels"][3] == "", "unbinding is stored")
        self.assertEqual(session.item("Keyboard Shortcuts", SLOT_4)["label"], SLOT_4 + "None")
        self.assertNotIn("shortcut", session.item("Zelna Vintage")["props"])

    def test_launch_at_login_writes_and_removes_the_autostart_entry(self):
        self.launch()
        session = self.session
        entry = os.path.join(session.env["XDG_CONFIG_HOME"], "autostart", APP_NAME + ".desktop")
        session.click("Launch at Login")
        self.wait_for(lambda: os.path.exists(entry), "the autostart entry is written")
        with open(entry) as file:
            self.assertIn("Exec=" + os.path.realpath(ZELNAMENU), file.read())
        self.wait_for(lambda: session.checked() == ["Launch at Login"], "the item is checked")

        session.click("Launch at Login")
        self.wait_for(lambda: not os.path.exists(entry), "the autostart entry is removed")
        self.wait_for(lambda: session.checked() == [], "the item is unchecked")

    def test_a_fifo_or_an_oversized_file_is_left_as_it_is_and_the_run_goes_on_in_memory(self):
        session = self.session
        entry = os.path.join(session.env["XDG_CONFIG_HOME"], "autostart", APP_NAME + ".desktop")
        paths = (session.preferences_file, entry)
        os.makedirs(os.path.dirname(entry))
        os.makedirs(os.path.dirname(session.preferences_file))
        os.mkfifo(entry)
        for make in (os.mkfifo, lambda path: pathlib.Path(path).write_bytes(b"{}" + b" " * (2 << 20))):
            make(session.preferences_file)
            before = [(s.st_ino, s.st_mode, s.st_size, s.st_mtime_ns) for s in map(os.stat, paths)]
            process = self.launch(stderr=subprocess.PIPE, text=True)
            session.click("Keyboard Shortcuts", SLOT_4, "Zelna Vintage")
            self.wait_for(lambda: session.item("Zelna Vintage")["props"].get("shortcut") == [["Alt", "4"]],
                          "a slot change holds for the run")
            session.click("Launch at Login")
            stop(process)
            said = process.stderr.read()
            self.assertTrue(all(path in said for path in paths), said)
            self.assertEqual([(s.st_ino, s.st_mode, s.st_size, s.st_mtime_ns) for s in map(os.stat, paths)], before)
            os.unlink(session.preferences_file)

    def test_quit_and_signals_end_the_program_with_status_zero(self):
        process = self.launch()
        self.session.click("Quit ZelnaMenu")
        self.assertEqual(process.wait(10), 0)
        for signal_number in (signal.SIGTERM, signal.SIGINT):
            process = self.launch()
            process.send_signal(signal_number)
            self.assertEqual(process.wait(10), 0, signal_number)

    def test_a_second_instance_leaves_the_first_alone(self):
        first = self.launch()
        session = self.session
        self.wait_for(lambda: os.path.exists(session.preferences_file), "the first instance stored its slots")
        written = os.stat(session.preferences_file).st_mtime_ns

        second = session.start([ZELNAMENU], stderr=subprocess.PIPE, text=True)
        said = second.communicate(timeout=10)[1]
        self.assertEqual(second.returncode, 0)
        self.assertEqual(len(said.splitlines()), 1, said)
        self.assertIn("already running", said)
        self.assertEqual(os.stat(session.preferences_file).st_mtime_ns, written)

        self.assertIsNone(first.poll())
        session.click("Zelna Aria")
        self.wait_for(lambda: session.title() == " Zelna Aria", "the first instance still answers")

    def test_without_a_session_bus_it_says_so_and_exits_with_status_one(self):
        env = {name: value for name, value in self.session.env.items()
               if name not in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY")}
        result = subprocess.run([ZELNAMENU], env=env, capture_output=True, text=True, timeout=15)
        self.assertEqual(result.returncode, 1)
        self.assertIn("session bus", result.stderr)
        self.assertIsNone(self.session.preferences(), "nothing was written")


if __name__ == "__main__":
    unittest.main()
