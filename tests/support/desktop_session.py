"""Every program the Python tests and the benchmarks start runs under guardian.py, gone with all it starts
when the test ends, however. A Desktop is a private session: scratch home, Xvfb, a bus that activates
nothing of the machine's, and fake_status_watcher.py."""

import os
import shutil
import signal
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
    while not (value := condition()) and time.monotonic() < deadline:
        time.sleep(interval)
    return value


class Child:
    """The guardian's Popen (it passes signals on and exits with the program's status) with the
    program's own pid, for what /proc says about it."""

    def __init__(self, argv, **options):
        reader, writer = os.pipe()
        env = dict(options.pop("env", None) or os.environ, ZELNA_GUARDIAN_PID_FD=str(writer))
        self.guardian = subprocess.Popen([PYTHON, os.path.join(SUPPORT, "guardian.py"), str(os.getpid())] + argv,
                                         env=env, process_group=0,
                                         pass_fds=(writer,) + tuple(options.pop("pass_fds", ())), **options)
        os.close(writer)
        with os.fdopen(reader, "rb") as pid:
            self.pid = int(pid.read() or self.guardian.pid)

    def __getattr__(self, name):
        return getattr(self.guardian, name)

    def kill(self):
        try:
            os.killpg(self.guardian.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def stop(process, timeout=8.0):
    """SIGTERM, then SIGKILL after timeout; the exit status."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout)
    return process.returncode


def run(argv, env=None, timeout=60):
    """Runs argv to its end: (exit status, stdout and stderr together)."""
    child = Child(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        output = child.communicate(timeout=timeout)[0]
        return child.returncode, output
    finally:
        stop(child)


class StampedLines:
    """A pipe's lines, read on a thread so that a child never blocks, with the monotonic time of each."""

    def __init__(self, pipe):
        self._lines, self._lock = [], threading.Lock()
        threading.Thread(target=self._read, args=(pipe,), daemon=True).start()

    def _read(self, pipe):
        for line in iter(pipe.readline, ""):
            with self._lock:
                self._lines.append((time.monotonic(), line.rstrip("\n")))

    def snapshot(self):
        with self._lock:
            return list(self._lines)

    def first(self, predicate, after=0.0):
        """The first (time, line) at or after `after` whose line satisfies predicate, or None."""
        return next(((seen, line) for seen, line in self.snapshot() if seen >= after and predicate(line)), None)

    def wait_for(self, predicate, after=0.0, timeout=10.0):
        return wait_until(lambda: self.first(predicate, after), timeout)


class Desktop:
    """lasting_home: a HOME (data and cache) kept across sessions as a user's is, so that GStreamer does
    not rescan its plugins at every start."""

    def __init__(self, lasting_home=None):
        self.home, self.processes = tempfile.mkdtemp(prefix="zelna-session-"), []
        home = lasting_home or self.home
        self.env = env = {name: value for name, value in os.environ.items() if name not in (
            "DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "LANGUAGE", "LC_MESSAGES",
            "LANG", "GST_DEBUG")}
        env.update(HOME=home, XDG_DATA_HOME=f"{home}/.local/share", XDG_CACHE_HOME=f"{home}/.cache",
                   XDG_CONFIG_HOME=f"{self.home}/.config", XDG_CONFIG_DIRS=f"{self.home}/system-config",
                   XDG_RUNTIME_DIR=f"{self.home}/run", LC_ALL="C.UTF-8", PYTHONDONTWRITEBYTECODE="1",
                   NO_AT_BRIDGE="1")  # GTK programs would otherwise start an accessibility bus
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
        os.makedirs(f"{self.home}/bus/services")
        shutil.copy(f"{SUPPORT}/session-bus.conf", f"{self.home}/bus")
        try:
            reader, writer = os.pipe()
            self.start(["Xvfb", "-displayfd", str(writer), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
                       pass_fds=(writer,), stderr=subprocess.DEVNULL)
            os.close(writer)
            with os.fdopen(reader) as chosen:
                env["DISPLAY"] = ":" + chosen.readline().strip()
            bus = self.start(["dbus-daemon", "--nofork", "--print-address",
                              f"--config-file={self.home}/bus/session-bus.conf"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True)
            env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
            flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
            self.bus = Gio.DBusConnection.new_for_address_sync(env["DBUS_SESSION_BUS_ADDRESS"], flags, None, None)
            watcher = self.start([PYTHON, f"{SUPPORT}/fake_status_watcher.py"], stdout=subprocess.PIPE, text=True)
            self.watcher = StampedLines(watcher.stdout)
            if not self.watcher.wait_for(lambda line: line.startswith("READY ")):
                raise RuntimeError("the stand-in status watcher did not start")
        except BaseException:
            self.close()
            raise

    def start(self, argv, **options):
        """argv under the guardian, in the session's environment unless env is given."""
        self.processes.append(Child(argv, env=options.pop("env", self.env), **options))
        return self.processes[-1]

    def name_owned(self, name, after=0.0, timeout=10.0):
        """Monotonic time at which the well-known name got an owner (a status item registered, for none)."""
        found = self.watcher.wait_for(lambda line: line.startswith("NAME ") and line.split()[2] == name if name
                                      else line.startswith("REGISTERED "), after, timeout)
        return float(found[1].split()[1]) if found else None

    def call(self, name, path, interface, method, parameters, reply_type, timeout_ms=5000):
        reply = self.bus.call_sync(name, path, interface, method, parameters,
                                   GLib.VariantType(reply_type) if reply_type else None,
                                   Gio.DBusCallFlags.NONE, timeout_ms, None)
        return reply.unpack() if reply else None

    def item(self, *labels):
        """The app's menu item reached through labels, each the start of a label; the root for none."""
        def node(layout):
            return {"id": layout[0], "label": layout[1].get("label", "").replace("__", "_"), "props": layout[1],
                    "children": [node(child) for child in layout[2]]}
        found = node(self.call("org.zelna.ZelnaMenu", "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                               GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")[1])
        for label in labels:
            found = next(child for child in found["children"] if child["label"].startswith(label))
        return found

    def close(self):
        if getattr(self, "bus", None):
            self.bus.close_sync(None)
            self.bus = None
        for process in reversed(self.processes):
            with process.guardian:  # closes its pipes too
                stop(process)
        self.processes = []
        shutil.rmtree(self.home, ignore_errors=True)
