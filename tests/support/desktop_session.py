"""A private desktop session for programs driven from outside (benchmarks, the package test).

A Desktop is a scratch home with XDG folders, Xvfb, a session bus and a stand-in status-area host
(fake_status_watcher.py beside this file) that stamps each registration and each MPRIS name with
the CLOCK_MONOTONIC time it saw it, the clock time.monotonic() reads here. Everything it starts is
stopped by process id when it closes.
"""

import os
import shutil
import subprocess
import tempfile
import threading
import time

from gi.repository import Gio, GLib

SUPPORT = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"  # Debian's, with the gi and dbus modules


def wait_until(condition, timeout=10.0, interval=0.01):
    """condition()'s first true value, or its last false one after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class StampedLines:
    """Reads a pipe on a thread, keeping each line with the monotonic time it arrived, so that a
    child never blocks on a full pipe and its output can be timed."""

    def __init__(self, pipe):
        self._lines = []
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self._thread.start()

    def _read(self, pipe):
        for line in iter(pipe.readline, ""):
            seen = time.monotonic()
            with self._lock:
                self._lines.append((seen, line.rstrip("\n")))
        pipe.close()

    def snapshot(self):
        with self._lock:
            return list(self._lines)

    def first(self, predicate, after=0.0):
        """The first (time, line) at or after `after` whose line satisfies predicate, or None."""
        return next(((seen, line) for seen, line in self.snapshot() if seen >= after and predicate(line)), None)

    def wait_for(self, predicate, after=0.0, timeout=10.0):
        return wait_until(lambda: self.first(predicate, after), timeout)


def stop(process, timeout=5.0):
    """SIGTERM, then SIGKILL after timeout; returns the exit status."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout)
    return process.returncode


class Desktop:
    """A private session: scratch home, Xvfb, dbus-daemon and the stand-in watcher."""

    def __init__(self, display=None, lasting_home=None):
        """display: an X display to use instead of a new Xvfb. lasting_home: a HOME (with its data
        and cache folders) kept across sessions, as a user's is; the configuration and runtime
        folders are new all the same. Without it GStreamer sees a new home at every start and
        rescans the plugins whose dependencies live there, a cost no user's start pays."""
        self.home = tempfile.mkdtemp(prefix="zelna-session-")
        self.processes = []
        env = {name: value for name, value in os.environ.items()
               if name not in ("DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE",
                               "LANGUAGE", "LC_MESSAGES", "LANG", "GST_DEBUG")}
        home = lasting_home or self.home
        env.update({
            "HOME": home,
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_CONFIG_DIRS": os.path.join(self.home, "system-config"),
            "XDG_DATA_HOME": os.path.join(home, ".local/share"),
            "XDG_CACHE_HOME": os.path.join(home, ".cache"),
            "XDG_RUNTIME_DIR": os.path.join(self.home, "run"),
            "LC_ALL": "C.UTF-8",
            # GTK programs would otherwise start an accessibility bus on the private bus.
            "NO_AT_BRIDGE": "1",
            "PYTHONDONTWRITEBYTECODE": "1",
        })
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
        self.env = env
        try:
            if display:
                env["DISPLAY"] = display
            else:
                reader, writer = os.pipe()
                self.start(["Xvfb", "-displayfd", str(writer), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
                           pass_fds=(writer,), stderr=subprocess.DEVNULL)
                os.close(writer)
                with os.fdopen(reader) as chosen:
                    env["DISPLAY"] = ":" + chosen.readline().strip()

            bus = self.start(["dbus-daemon", "--session", "--nofork", "--print-address",
                              "--address=unix:tmpdir=/tmp"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True)
            env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
            bus.stdout.close()
            self.bus = Gio.DBusConnection.new_for_address_sync(
                env["DBUS_SESSION_BUS_ADDRESS"],
                Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
                None, None)

            watcher = self.start([PYTHON, os.path.join(SUPPORT, "fake_status_watcher.py"), "--timeout", "7200"],
                                 stdout=subprocess.PIPE, text=True)
            self.watcher = StampedLines(watcher.stdout)
            if not self.watcher.wait_for(lambda line: line.startswith("READY ")):
                raise RuntimeError("the stand-in status watcher did not start")
        except BaseException:
            self.close()
            raise

    def start(self, argv, **options):
        process = subprocess.Popen(argv, env=options.pop("env", self.env), **options)
        self.processes.append(process)
        return process

    def registered(self, after=0.0, timeout=10.0):
        """Monotonic time at which a status item registered, or None."""
        found = self.watcher.wait_for(lambda line: line.startswith("REGISTERED "), after, timeout)
        return float(found[1].split()[1]) if found else None

    def name_owned(self, name, after=0.0, timeout=10.0):
        """Monotonic time at which the well-known name got an owner, or None."""
        found = self.watcher.wait_for(lambda line: line.startswith("NAME ") and line.split()[2] == name,
                                      after, timeout)
        return float(found[1].split()[1]) if found else None

    def call(self, name, path, interface, method, parameters, reply_type, timeout_ms=5000):
        reply = self.bus.call_sync(name, path, interface, method, parameters,
                                   GLib.VariantType(reply_type) if reply_type else None,
                                   Gio.DBusCallFlags.NONE, timeout_ms, None)
        return reply.unpack() if reply else None

    def close(self):
        if getattr(self, "bus", None):
            self.bus.close_sync(None)
            self.bus = None
        for process in reversed(self.processes):
            stop(process)
        self.processes = []
        shutil.rmtree(self.home, ignore_errors=True)
