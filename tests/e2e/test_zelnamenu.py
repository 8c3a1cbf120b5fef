"""ZelnaMenu driven from outside as a desktop and its user would, on a private session: menu clicks through
dbusmenu, media commands through playerctl, hot keys through xdotool; streams from the build's loopback port."""

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

    def launch(self, **options):
        """Starts ZelnaMenu and waits until its menu answers."""
        process = self.start([ZELNAMENU], **options)

        def menu_is_up():
            try:
                return self.item()["children"]
            except GLib.Error:
                return None
        assert wait_until(menu_is_up), "the menu never appeared"
        return process

    def click(self, *labels):
        # As hosts do when they open the menu.
        self.call(APP, "/MenuBar", "com.canonical.dbusmenu", "AboutToShow", GLib.Variant("(i)", (0,)), "(b)")
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
        media = os.path.join(os.environ["ZELNA_BINARY_DIR"], "test-media")
        cls.streams = Child([PYTHON, os.path.join(SUPPORT, "stream_server.py"), "--port", str(STREAMS.port),
                             "--channels", "mp3", "--channel", "native=/short/mp3?seconds=2", "--media-dir", media],
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

    def test_choosing_a_channel_plays_pauses_and_resumes_it_media_keys_reach_it_and_its_end_reads_as_paused(self):
        session, status = self.session, lambda: self.session.tool("playerctl", "-p", "zelnamenu", "status")
        session.launch()
        self.assertEqual((session.title(), session.checked()), ("", []))
        session.click("Zelna Pulse")
        expected = (" Zelna Pulse", ["Zelna Pulse"], "Playing")
        self.wait_for(lambda: (session.title(), session.checked(), status()) == expected, "title, check and MPRIS follow")
        self.wait_for(lambda: self.requests.first(lambda line: line.startswith("REQUEST /pulse ZelnaMenu/")), "streams")
        for expected in ("Paused", "Playing"):
            session.click("Zelna Pulse")
            self.wait_for(lambda: status() == expected, expected)
        session.tool("playerctl", "-p", "zelnamenu", "play-pause")
        self.wait_for(lambda: status() == "Paused", "play-pause")
        session.click("Zelna Aria")
        self.wait_for(lambda: (session.title(), session.checked()) == (" Zelna Aria", ["Zelna Aria"]), "switches")
        # Native Voice's stream ends after two seconds; choosing it again opens it anew.
        session.click("Native Voice")
        self.wait_for(lambda: (status(), session.checked()) == ("Paused", ["Native Voice"]), "the end reads as paused")
        session.click("Native Voice")
        self.wait_for(lambda: status() == "Playing" and sum(
            line.startswith("REQUEST /native ") for _, line in self.requests.snapshot()) == 2, "it reopens")

    def test_hot_keys_the_login_item_and_an_update_check_that_cannot_reach_its_server(self):
        session, calls = self.session, os.path.join(self.session.home, "notifications")
        session.start([PYTHON, "-m", "dbusmock", "--template", "notification_daemon", "-l", calls])
        session.launch()
        self.wait_for(lambda: session.preferences() == {"hotkeyChannels": ["prime", "pulse", "aria", "", ""]},
                      "the first start stores the default slots")
        session.tool("xdotool", "key", "alt+1")
        self.wait_for(lambda: session.title() == " Zelna Prime", "Alt+1 plays the first slot's channel")
        session.tool("gapplication", "action", APP, "hotkey-1")  # what a desktop's own shortcut runs instead
        self.wait_for(lambda: session.tool("playerctl", "-p", "zelnamenu", "status") == "Paused", "as Alt+1 does")
        session.click("Keyboard Shortcuts", "\u23254: ", "Zelna Vintage")
        self.wait_for(lambda: session.preferences()["hotkeyChannels"][3] == "vintage", "the assignment is stored")
        session.tool("xdotool", "key", "alt+4")
        self.wait_for(lambda: session.title() == " Zelna Vintage", "Alt+4 plays the newly bound channel")
        entry = os.path.join(session.env["XDG_CONFIG_HOME"], "autostart", APP + ".desktop")
        session.click("Launch at Login")
        self.wait_for(lambda: "Launch at Login" in session.checked(), "the item is checked")
        self.assertIn("Exec=" + os.path.realpath(ZELNAMENU), pathlib.Path(entry).read_text())
        session.click("Launch at Login")
        self.wait_for(lambda: "Launch at Login" not in session.checked() and not os.path.exists(entry), "it is removed")
        # The test build's feed is on a loopback port where nothing listens: the user is told so.
        session.click("Check for Updates")
        failed = '"Could not check for updates" "The update server could not be reached'
        self.wait_for(lambda: os.path.exists(calls) and failed in pathlib.Path(calls).read_text(), "a notice says so")

    def test_a_fifo_or_an_oversized_file_is_left_as_it_is_and_the_run_goes_on_in_memory(self):
        session, config = self.session, pathlib.Path(self.session.env["XDG_CONFIG_HOME"])
        paths = (config / "zelnamenu/preferences.json", config / "autostart" / (APP + ".desktop"))
        for path in paths:
            path.parent.mkdir(parents=True)
        os.mkfifo(paths[1])
        for make in (os.mkfifo, lambda path: path.write_bytes(b"{}" + b" " * (2 << 20))):
            make(paths[0])
            before = [(s.st_ino, s.st_mode, s.st_size, s.st_mtime_ns) for s in map(os.stat, paths)]
            process = session.launch(stderr=subprocess.PIPE, text=True)
            session.click("Keyboard Shortcuts", "\u23254: ", "Zelna Vintage")
            self.wait_for(lambda: session.item("Zelna Vintage")["props"].get("shortcut") == [["Alt", "4"]],
                          "a slot change holds for the run")
            session.click("Launch at Login")
            stop(process)
            said = process.stderr.read()
            self.assertTrue(said.count(str(paths[0])) == 1 and str(paths[1]) in said, said)  # once, however often read
            self.assertEqual([(s.st_ino, s.st_mode, s.st_size, s.st_mtime_ns) for s in map(os.stat, paths)], before)
            paths[0].unlink()

    def test_one_instance_per_session_in_the_users_language_which_quit_and_signals_end_with_status_zero(self):
        session = self.session
        session.env["LANGUAGE"] = "de"  # the catalogues are found beside the executable
        first = session.launch()
        self.assertEqual(session.item("Tastenk")["label"], "Tastenkürzel")
        status, said = run([ZELNAMENU], env=session.env, timeout=10)
        self.assertEqual((status, len(said.splitlines())), (0, 1), said)
        self.assertIn("already running", said)
        session.click("ZelnaMenu beenden")
        self.assertEqual(first.wait(10), 0)
        for number in (signal.SIGTERM, signal.SIGINT):
            process = session.launch()
            process.send_signal(number)
            self.assertEqual(process.wait(10), 0, number)
        status, said = run([ZELNAMENU], env=dict(session.env, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent"))
        self.assertTrue(status == 1 and "session bus" in said, said)


if __name__ == "__main__":
    unittest.main()
