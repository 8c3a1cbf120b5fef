"""ZelnaMenu driven from outside, as a desktop and its user would: menu clicks through dbusmenu, media
commands through playerctl, hot keys through xdotool, on a private session of tests/support. The
loopback stream server listens on the port compiled into the build."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import unittest
import urllib.parse

from gi.repository import GLib

sys.path.insert(0, os.path.join(os.environ["ZELNA_SOURCE_DIR"], "tests", "support"))
from desktop_session import PYTHON, SUPPORT, Child, Desktop, StampedLines, run, stop, wait_until  # noqa: E402

ZELNAMENU, APP = os.environ.get("ZELNAMENU", ""), "org.zelna.ZelnaMenu"
STREAMS = urllib.parse.urlsplit(os.environ.get("ZELNA_STREAM_BASE_URL", ""))


class Session(Desktop):
    """A private desktop with ZelnaMenu's menu, title, media status and preferences at hand."""

    def launch(self):
        """Starts ZelnaMenu and waits until its menu answers."""
        process = self.start([ZELNAMENU])

        def menu_is_up():
            try:
                return self.item()["children"]
            except GLib.Error:
                return None
        assert wait_until(menu_is_up), "the menu never appeared"
        return process

    def item(self, *labels):
        """The menu item reached through labels, each the start of a label; the root for none."""
        def node(layout):
            return {"id": layout[0], "label": layout[1].get("label", "").replace("__", "_"), "props": layout[1],
                    "children": [node(child) for child in layout[2]]}
        found = node(self.call(APP, "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                               GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")[1])
        for label in labels:
            found = next(child for child in found["children"] if child["label"].startswith(label))
        return found

    def click(self, *labels):
        self.call(APP, "/MenuBar", "com.canonical.dbusmenu", "Event",
                  GLib.Variant("(isvu)", (self.item(*labels)["id"], "clicked", GLib.Variant("i", 0), 0)), "()")

    def checked(self, *labels):
        return [child["label"] for child in self.item(*labels)["children"] if child["props"].get("toggle-state") == 1]

    def title(self):
        return self.call(APP, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                         GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "XAyatanaLabel")), "(v)")[0]

    def tool(self, *argv):
        return run(list(argv), env=self.env, timeout=15)[1].strip()

    def preferences(self):
        path = pathlib.Path(self.env["XDG_CONFIG_HOME"], "zelnamenu/preferences.json")
        return json.loads(path.read_text()) if path.exists() else None


@unittest.skipUnless(STREAMS.scheme == "http" and STREAMS.hostname == "127.0.0.1",
                     "the build's stream address is not a loopback one (make test configures it)")
class ZelnaMenuTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.streams = Child([PYTHON, os.path.join(SUPPORT, "stream_server.py"), "--port", str(STREAMS.port), "--channels",
                             "mp3", "--media-dir", os.path.join(os.environ["ZELNA_BINARY_DIR"], "test-media")],
                            stdout=subprocess.PIPE, text=True)
        cls.requests = StampedLines(cls.streams.stdout)
        if not cls.requests.wait_for(lambda line: line.startswith("PORT "), timeout=120):
            stop(cls.streams)
            raise RuntimeError("the stream server did not start")

    @classmethod
    def tearDownClass(cls):
        stop(cls.streams)

    def setUp(self):
        self.session = Session()
        self.addCleanup(self.session.close)

    def wait_for(self, condition, message):
        self.assertTrue(wait_until(condition), message)

    def test_choosing_a_channel_plays_pauses_and_resumes_it_and_media_keys_reach_it(self):
        session, status = self.session, lambda: self.session.tool("playerctl", "-p", "zelnamenu", "status")
        session.launch()
        self.assertEqual((session.title(), session.checked()), ("", []))
        session.click("Zelna Pulse")
        self.wait_for(lambda: (session.title(), session.checked(), status()) == (" Zelna Pulse", ["Zelna Pulse"], "Playing"),
                      "the title, the checkmark and MPRIS follow the channel")
        self.wait_for(lambda: self.requests.first(lambda line: line.startswith("REQUEST /pulse ZelnaMenu/")), "it streams")
        for expected in ("Paused", "Playing"):
            session.click("Zelna Pulse")
            self.wait_for(lambda: status() == expected, expected)
        session.tool("playerctl", "-p", "zelnamenu", "play-pause")
        self.wait_for(lambda: status() == "Paused", "play-pause")
        session.click("Zelna Aria")
        self.wait_for(lambda: (session.title(), session.checked()) == (" Zelna Aria", ["Zelna Aria"]), "another channel")

    def test_hot_keys_play_their_slots_channels_and_launch_at_login_writes_an_autostart_entry(self):
        session = self.session
        session.launch()
        self.wait_for(lambda: session.preferences() == {"hotkeyChannels": ["prime", "pulse", "aria", "", ""]},
                      "the first start stores the default slots")
        session.tool("xdotool", "key", "alt+1")
        self.wait_for(lambda: session.title() == " Zelna Prime", "Alt+1 plays the first slot's channel")
        session.click("Keyboard Shortcuts", "\u23254: ", "Zelna Vintage")
        self.wait_for(lambda: session.preferences()["hotkeyChannels"][3] == "vintage", "the assignment is stored")
        self.assertEqual(session.item("Zelna Vintage")["props"].get("shortcut"), [["Alt", "4"]])
        session.tool("xdotool", "key", "alt+4")
        self.wait_for(lambda: session.title() == " Zelna Vintage", "Alt+4 plays the newly bound channel")
        entry = os.path.join(session.env["XDG_CONFIG_HOME"], "autostart", APP + ".desktop")
        session.click("Launch at Login")
        self.wait_for(lambda: "Launch at Login" in session.checked(), "the item is checked")
        self.assertIn("Exec=" + os.path.realpath(ZELNAMENU), pathlib.Path(entry).read_text())
        session.click("Launch at Login")
        self.wait_for(lambda: "Launch at Login" not in session.checked() and not os.path.exists(entry), "it is removed")

    def test_one_instance_per_session_in_the_users_language_which_quit_and_signals_end_with_status_zero(self):
        session = self.session
        session.env["LANGUAGE"] = "de"  # the catalogues are found beside the executable
        first = session.launch()
        self.assertEqual(session.item("Tastenk")["label"], "Tastenkürzel")
        self.wait_for(session.preferences, "the first instance stored its slots")
        written = os.stat(os.path.join(session.env["XDG_CONFIG_HOME"], "zelnamenu/preferences.json")).st_mtime_ns
        status, said = run([ZELNAMENU], env=session.env, timeout=10)
        self.assertEqual((status, len(said.splitlines())), (0, 1), said)
        self.assertIn("already running", said)
        self.assertEqual(os.stat(os.path.join(session.env["XDG_CONFIG_HOME"], "zelnamenu/preferences.json")).st_mtime_ns,
                         written)
        session.click("ZelnaMenu beenden")
        self.assertEqual(first.wait(10), 0)
        for number in (signal.SIGTERM, signal.SIGINT):
            process = session.launch()
            process.send_signal(number)
            self.assertEqual(process.wait(10), 0, number)
        env = {name: value for name, value in session.env.items() if name not in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY")}
        status, said = run([ZELNAMENU], env=env, timeout=15)
        self.assertEqual(status, 1, said)
        self.assertIn("session bus", said)


if __name__ == "__main__":
    unittest.main()
