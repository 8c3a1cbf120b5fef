#!/usr/bin/python3
"""ZelnaMenu's published figures, beside the floor (a bare gst-launch-1.0 playbin) and a peer
(Debian's goodvibes, driven through MPRIS). Figures only: nothing here passes or fails.

One loopback stream server serves an MP3 tone (128 kbit/s) under every channel id; each program
runs on its own private session bus and home, on one Xvfb display, with a stand-in status-area
host that stamps registrations and bus names. Every program plays into GStreamer's fake audio
sink, so no sound server is needed and none is paid for.

  figures.py [--runs 5] [--idle 60] [--play 60] [--pause 30]   the table (also bench/RESULTS.md)
  figures.py soak [--minutes 60]                               memory while playing, docs/soak.png

Run through `make bench` and `make soak`, which build what is measured first.
"""

import argparse
import datetime
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import time
import urllib.parse

from gi.repository import GLib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from process_figures import ROOT, StreamServer, cpu_seconds, interrupt, memory_kib, observe, proportional_kib  # noqa: E402
from desktop_session import Desktop, StampedLines, stop, wait_until  # noqa: E402

ZELNA_MPRIS = "org.mpris.MediaPlayer2.zelnamenu"
PEER_MPRIS = "org.mpris.MediaPlayer2.Goodvibes"
MPRIS_PATH = "/org/mpris/MediaPlayer2"
MPRIS_PLAYER = "org.mpris.MediaPlayer2.Player"
CHANNEL = ("prime", "Zelna Prime")
# The least time a user takes between the menu showing and a click on one of its items.
MENU_READING_SECONDS = 0.3


class GstLog:
    """GStreamer's state-change log on a program's stderr (GST_DEBUG=GST_STATES:4).

    Log times count from the process's GStreamer start; each line is also stamped when it
    arrives here. The smallest difference between the two over all lines is the best estimate of
    that start on the monotonic clock, so a log event can be placed on the clock the rest of the
    measurements use."""

    ENVIRONMENT = {"GST_DEBUG": "GST_STATES:4", "GST_DEBUG_NO_COLOR": "1"}
    LOG_TIME = re.compile(r"^(\d+):(\d\d):(\d\d\.\d+) ")
    # The first buffer has reached the sink when the sink prerolls: the bin's asynchronous
    # READY → PAUSED completes at that moment.
    PREROLLED = re.compile(r"bin_handle_async_done:<playbin\d*> committing state from READY to PAUSED")
    PLAYBIN_STARTS = re.compile(r"<playbin\d*> .*NULL to READY")

    def __init__(self, pipe):
        self.lines = StampedLines(pipe)

    @classmethod
    def log_seconds(cls, line):
        match = cls.LOG_TIME.match(line)
        if not match:
            return None
        hours, minutes, seconds = match.groups()
        return int(hours) * 3600 + int(minutes) * 60 + float(seconds)

    def _clock_offset(self):
        offsets = [seen - logged for seen, line in self.lines.snapshot()
                   if (logged := self.log_seconds(line)) is not None]
        return min(offsets) if offsets else None

    def time_of(self, pattern, after_log_seconds=0.0, timeout=10.0):
        """Monotonic time of the first line matching pattern, or None."""
        found = self.lines.wait_for(lambda line: pattern.search(line) is not None
                                    and (self.log_seconds(line) or 0.0) >= after_log_seconds, timeout=timeout)
        offset = self._clock_offset()
        if not found or offset is None:
            return None
        return self.log_seconds(found[1]) + offset

    def lines_text(self):
        return "\n".join(line for _, line in self.lines.snapshot()[-20:])


def lasting_home(build_dir):
    """One home for every run, as a user has one."""
    home = os.path.join(build_dir, "bench-home")
    os.makedirs(home, exist_ok=True)
    return home


def registry_time(build_dir):
    try:
        return os.stat(gst_environment(build_dir)["GST_REGISTRY"]).st_mtime_ns
    except FileNotFoundError:
        return None


def gst_environment(build_dir):
    return {"GST_REGISTRY": os.path.join(build_dir, "gst-registry.bin"),
            "GST_PLUGIN_FEATURE_RANK": "fakeaudiosink:MAX"}


class Subject:
    """One program under measurement. Times are on the monotonic clock."""
    name = ""
    has_idle = True

    def __init__(self, desktop, build_dir, stream_url):
        self.desktop = desktop
        self.build_dir = build_dir
        self.stream_url = stream_url
        self.process = None
        self.log = None

    def launch(self, argv, extra_env=None):
        env = dict(self.desktop.env, **gst_environment(self.build_dir), **GstLog.ENVIRONMENT, **(extra_env or {}))
        self.process = self.desktop.start(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                          text=True)
        # The start is the program's exec, which has happened when start() returns its pid: the
        # guardian's own start-up (a Python interpreter) is not the program's.
        self.started = time.monotonic()
        self.log = GstLog(self.process.stderr)

    def item_figures(self):
        """Start → the item registered, and → its icon read as a host reads it at once (answered when
        the program's main loop is free), asked within a millisecond of the registration."""
        found = wait_until(lambda: self.desktop.watcher.first(lambda line: line.startswith("REGISTERED "),
                                                               self.started), timeout=10, interval=0.001)
        if not found:
            raise RuntimeError(f"{self.name}'s status item did not come up:\n" + self.log.lines_text())
        service, path = found[1].split()[2:4]
        self.desktop.call(service, path, "org.freedesktop.DBus.Properties", "Get",
                          GLib.Variant("(ss)", ("org.kde.StatusNotifierItem", "IconPixmap")), "(v)")
        icon = time.monotonic()
        return {"start_to_item_ms": 1000 * (float(found[1].split()[1]) - self.started),
                "start_to_icon_ms": 1000 * (icon - self.started)}

    def close(self):
        if self.process:
            stop(self.process)
            self.process = None


class ZelnaMenu(Subject):
    name = "ZelnaMenu"

    def start(self):
        self.launch([os.path.join(self.build_dir, "bin", "zelnamenu")])
        figures = self.item_figures()
        owned = self.desktop.name_owned(ZELNA_MPRIS, self.started)
        if owned is None:
            raise RuntimeError("ZelnaMenu did not come up:\n" + self.log.lines_text())
        self.service = self.desktop.watcher.first(lambda line: line.startswith("REGISTERED "))[1].split()[2]
        return dict(figures, start_to_mpris_ms=1000 * (owned - self.started))

    def _channel_item(self):
        _, root = self.desktop.call(self.service, "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                                    GLib.Variant("(iias)", (0, 1, ["label"])), "(u(ia{sv}av))")
        for identifier, properties, _ in root[2]:
            if properties.get("label") == CHANNEL[1]:
                return identifier
        raise RuntimeError(f"no {CHANNEL[1]} item in the menu")

    def _click(self):
        item = self._channel_item()
        chosen = time.monotonic()
        self.desktop.call(self.service, "/MenuBar", "com.canonical.dbusmenu", "Event",
                          GLib.Variant("(isvu)", (item, "clicked", GLib.Variant("i", 0), 0)), "()")
        return chosen

    def choose(self):
        # As a user does: the host shows the menu (and says so), the channel is clicked a moment later.
        self.desktop.call(self.service, "/MenuBar", "com.canonical.dbusmenu", "AboutToShow", GLib.Variant("(i)", (0,)),
                          "(b)")
        time.sleep(MENU_READING_SECONDS)
        return self._click()

    def pause(self):
        self._click()


class Floor(Subject):
    """For the start, bench/zelna_status_item_floor: a bare status item over plain GIO. For playing,
    gst-launch-1.0 playbin: the least any GStreamer player can do. It plays from its start, so its
    "chosen" moment is its playbin's first state change, after GStreamer has started."""
    name = "bare status item; gst-launch-1.0 playbin"
    has_idle = False

    def start(self):
        self.launch([os.path.join(self.build_dir, "bench", "zelna_status_item_floor")])
        figures = self.item_figures()
        self.close()
        return figures

    def choose(self):
        self.launch(["gst-launch-1.0", "-q", "playbin", f"uri={self.stream_url}"])
        chosen = self.log.time_of(GstLog.PLAYBIN_STARTS)
        if chosen is None:
            raise RuntimeError("gst-launch-1.0 did not start its playbin:\n" + self.log.lines_text())
        return chosen

    def close(self):
        if self.process:
            interrupt(self.process)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                pass
        super().close()


class Goodvibes(Subject):
    """Debian's goodvibes in its status-icon mode, with the loopback stream as its only and current
    station: the station list is $XDG_DATA_HOME/goodvibes/stations.xml, the current station the
    GSettings key io.gitlab.Goodvibes.Core station-uri (kept in a keyfile here)."""
    name = "goodvibes"

    def configure(self):
        stations = os.path.join(self.desktop.env["XDG_DATA_HOME"], "goodvibes")
        os.makedirs(stations, exist_ok=True)
        with open(os.path.join(stations, "stations.xml"), "w") as file:
            file.write(f"<Stations>\n  <Station>\n    <uri>{self.stream_url}</uri>\n"
                       f"    <name>{CHANNEL[1]}</name>\n  </Station>\n</Stations>\n")
        settings = os.path.join(self.desktop.env["XDG_CONFIG_HOME"], "glib-2.0", "settings")
        os.makedirs(settings, exist_ok=True)
        with open(os.path.join(settings, "keyfile"), "w") as file:
            file.write(f"[io/gitlab/Goodvibes/Core]\nstation-uri='{self.stream_url}'\n")

    def start(self):
        self.configure()
        self.launch(["goodvibes", "--status-icon"], {"GSETTINGS_BACKEND": "keyfile"})
        owned = self.desktop.name_owned(PEER_MPRIS, self.started)
        if owned is None:
            raise RuntimeError("goodvibes did not come up:\n" + self.log.lines_text())
        return {"start_to_mpris_ms": 1000 * (owned - self.started)}

    def _command(self, method):
        moment = time.monotonic()
        self.desktop.call(PEER_MPRIS, MPRIS_PATH, MPRIS_PLAYER, method, None, "()")
        return moment

    def choose(self):
        return self._command("Play")

    def pause(self):
        self._command("Pause")


SUBJECTS = {"zelnamenu": ZelnaMenu, "floor": Floor, "peer": Goodvibes}


def measure(subject, server, settle, idle, play, pause):
    """One run of one program: start, idle, choose the channel, play, pause. Figures in a dict."""
    figures = dict(subject.start())
    pid = lambda: subject.process.pid  # noqa: E731 (the floor has no process until it plays)
    if subject.has_idle:
        time.sleep(settle)
        figures.update({f"idle_{key}": value for key, value in observe(pid(), idle).items()})
        figures["idle_rss_kib"], figures["idle_hwm_kib"] = memory_kib(pid())
        figures["idle_pss_kib"], figures["idle_uss_kib"] = proportional_kib(pid())

    chosen = subject.choose()
    listener = wait_until(lambda: server.first_request(chosen), timeout=10)
    first_buffer = subject.log.time_of(GstLog.PREROLLED)
    if listener is None or first_buffer is None:
        raise RuntimeError(f"{subject.name} did not play:\n" + subject.log.lines_text())
    figures["chosen_to_listener_ms"] = 1000 * (listener - chosen)
    figures["chosen_to_first_buffer_ms"] = 1000 * (first_buffer - chosen)

    time.sleep(settle)
    figures.update({f"playing_{key}": value for key, value in observe(pid(), play).items()})
    figures["playing_rss_kib"], figures["playing_hwm_kib"] = memory_kib(pid())
    figures["playing_pss_kib"], figures["playing_uss_kib"] = proportional_kib(pid())

    if subject.has_idle and pause > 0:
        subject.pause()
        time.sleep(settle)
        figures.update({f"paused_{key}": value for key, value in observe(pid(), pause).items()})
    return figures


def menu_rebuild(build_dir, repetitions):
    """The Google Benchmark of one menu rebuild: {benchmark name: [microseconds per repetition]}."""
    binary = os.path.join(build_dir, "bench", "zelna_menu_bench")
    if not os.access(binary, os.X_OK):
        print(f"figures: {binary} is not built; no menu-rebuild figure", file=sys.stderr)
        return {}
    output = subprocess.run([binary, "--benchmark_format=json", f"--benchmark_repetitions={repetitions}",
                             "--benchmark_report_aggregates_only=false"],
                            capture_output=True, text=True, check=True, timeout=600,
                            env=dict(os.environ, **gst_environment(build_dir)))
    results = {}
    for run in json.loads(output.stdout)["benchmarks"]:
        if run.get("run_type") != "iteration":
            continue
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[run["time_unit"]]
        results.setdefault(run["run_name"], []).append(run["real_time"] * scale)
    return results


# The table.

ROWS = [
    # key, label, unit scale, digits, goal
    ("start_to_item_ms", "start → status item registered (ms)", 1, 1, "≤ 1.5 × the floor"),
    ("start_to_icon_ms", "start → the host has the item's icon (ms)", 1, 1, ""),
    ("start_to_mpris_ms", "start → MPRIS name on the bus (ms)", 1, 1, ""),
    ("chosen_to_listener_ms", "channel chosen → listener at the server (ms)", 1, 1, ""),
    ("chosen_to_first_buffer_ms", "channel chosen → first buffer at the sink (ms)", 1, 1, "≤ the floor + 20 ms"),
    ("idle_rss_kib", "idle VmRSS (MiB)", 1 / 1024, 1, "< 20 MiB"),
    ("idle_pss_kib", "idle PSS (MiB)", 1 / 1024, 1, ""),
    ("idle_uss_kib", "idle USS (MiB)", 1 / 1024, 1, ""),
    ("idle_hwm_kib", "idle VmHWM (MiB)", 1 / 1024, 1, ""),
    ("playing_rss_kib", "playing VmRSS (MiB)", 1 / 1024, 1, "≤ 1.1 × the floor"),
    ("playing_pss_kib", "playing PSS (MiB)", 1 / 1024, 1, ""),
    ("playing_uss_kib", "playing USS (MiB)", 1 / 1024, 1, ""),
    ("playing_hwm_kib", "playing VmHWM (MiB)", 1 / 1024, 1, ""),
    ("idle_cpu_percent", "idle CPU (% of one core)", 1, 3, ""),
    ("playing_cpu_percent", "playing CPU (% of one core)", 1, 2, "≤ 1.1 × the floor"),
    ("idle_switches_per_second", "idle context switches per second", 1, 2, "0"),
    ("paused_switches_per_second", "paused context switches per second", 1, 2, "0"),
]


def spread(values, scale=1.0, digits=1):
    values = sorted(v * scale for v in values)
    if not values:
        return "–"
    median = statistics.median(values)
    if len(values) == 1:
        return f"{median:.{digits}f}"
    return f"{median:.{digits}f} ({values[0]:.{digits}f}–{values[-1]:.{digits}f})"


def ratio(ours, theirs):
    if not ours or not theirs:
        return "–"
    a, b = statistics.median(ours), statistics.median(theirs)
    if b == 0:
        return "–" if a == 0 else "∞"
    return f"{a / b:.2f}"


def table(results, rebuilds):
    names = [SUBJECTS[key].name for key in ("zelnamenu", "floor", "peer")]
    lines = [f"| figure | {names[0]} | {names[1]} (floor) | {names[2]} (peer) | ÷ floor | ÷ peer | goal |",
             "|---|---:|---:|---:|---:|---:|---|"]
    for key, label, scale, digits, goal in ROWS:
        columns = [[run[key] for run in results.get(subject, []) if key in run]
                   for subject in ("zelnamenu", "floor", "peer")]
        if not any(columns):
            continue
        cells = [spread(values, scale, digits) for values in columns]
        lines.append(f"| {label} | {cells[0]} | {cells[1]} | {cells[2]} | {ratio(columns[0], columns[1])} "
                     f"| {ratio(columns[0], columns[2])} | {goal} |")
    for name, values in rebuilds.items():
        lines.append(f"| one menu rebuild, {name} (µs) | {spread(values, 1, 1)} | – | – | – | – | |")
    return "\n".join(lines)


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as meminfo:
        memory = int(meminfo.readline().split()[1]) / 1024 / 1024
    system = "Linux"
    if os.path.exists("/etc/os-release"):
        with open("/etc/os-release") as release:
            values = dict(line.rstrip("\n").split("=", 1) for line in release if "=" in line)
            system = values.get("PRETTY_NAME", system).strip('"')

    def version(argv):
        try:
            return subprocess.run(argv, capture_output=True, text=True, timeout=10).stdout.splitlines()[0].strip()
        except (OSError, IndexError, subprocess.TimeoutExpired):
            return "?"
    return (f"{model}, {os.cpu_count()} cores, {memory:.0f} GiB; {system}, kernel {platform.release()}; "
            f"{version(['gst-launch-1.0', '--version'])[:60].replace('gst-launch-1.0 version', 'GStreamer')}"
            f"; {version(['goodvibes', '--version'])}")


def stream_port(build_dir):
    with open(os.path.join(build_dir, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("ZELNA_STREAM_BASE_URL:"):
                url = urllib.parse.urlsplit(line.split("=", 1)[1].strip())
                if url.scheme != "http" or url.hostname != "127.0.0.1" or not url.port:
                    sys.exit(f"figures: {build_dir} streams from {url.geturl()}, not a loopback port "
                             "(make bench configures a build that does)")
                return url.port
    sys.exit(f"figures: no ZELNA_STREAM_BASE_URL in {build_dir}/CMakeCache.txt")


def run_table(args, build_dir):
    load_before = os.getloadavg()[1]
    port = stream_port(build_dir)
    url = f"http://127.0.0.1:{port}/{CHANNEL[0]}"
    server = StreamServer(port, os.path.join(build_dir, "stream-media"))
    results = {key: [] for key in args.subjects}
    try:
        # One unmeasured start of each program first, so that no run pays for a cold file cache.
        for run in range(-1, args.runs):
            for key in args.subjects:
                desktop = Desktop(lasting_home=lasting_home(build_dir))
                subject = SUBJECTS[key](desktop, build_dir, url)
                try:
                    if run < 0:
                        measure(subject, server, 0.5, 0, 1, 0)
                        continue
                    registry = registry_time(build_dir)
                    figures = measure(subject, server, args.settle, args.idle, args.play, args.pause)
                    results[key].append(figures)
                    if registry_time(build_dir) != registry:
                        print(f"figures: {subject.name} rewrote the GStreamer registry in run {run + 1}: its start "
                              "includes a plugin rescan", file=sys.stderr)
                    print(f"run {run + 1}/{args.runs} {subject.name}: "
                          + ", ".join(f"{name} {value:.2f}" for name, value in figures.items()),
                          file=sys.stderr, flush=True)
                finally:
                    subject.close()
                    desktop.close()
    finally:
        server.close()

    rebuilds = menu_rebuild(build_dir, max(args.runs, 5))
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    load = f"load average over 5 min {load_before:.1f} before, {os.getloadavg()[1]:.1f} after"
    text = (f"Measured {when} on {machine()}; {load}.\n"
            f"Median (range) over {args.runs} runs; idle {args.idle:g} s, playing {args.play:g} s, paused "
            f"{args.pause:g} s. An MP3 tone at 128 kbit/s from a loopback server; every program plays into "
            f"GStreamer's fake audio sink. The floor is a bare status item over plain GIO for the start "
            f"rows and gst-launch-1.0 playbin for the others (it has no idle state); ZelnaMenu's channel is "
            f"clicked {MENU_READING_SECONDS:g} s after the host says it shows the menu, as a user does. "
            f"Starts count from the program's exec. goodvibes runs in its status-icon mode and has no "
            f"StatusNotifierItem.\n\n" + table(results, rebuilds) + "\n")
    print(text)
    if args.write:
        write_results_section("Side by side (make bench)", text)
        with open(os.path.join(build_dir, "bench-results.json"), "w") as file:
            json.dump({"when": when, "results": results, "menu_rebuild_us": rebuilds}, file, indent=1)


RESULTS = os.path.join(ROOT, "bench", "RESULTS.md")
RESULTS_TITLE = "# Figures\n\n`make bench` and `make soak` write this file, each its own section.\n"


def write_results_section(heading, text):
    """Replaces the section under `## heading` in bench/RESULTS.md, keeping the others."""
    sections = {}
    if os.path.exists(RESULTS):
        with open(RESULTS) as file:
            for part in file.read().split("\n## ")[1:]:
                title, _, body = part.partition("\n")
                sections[title] = body.strip("\n")
    sections[heading] = text.strip("\n")
    order = ["Side by side (make bench)", "Soak (make soak)"]
    titles = [title for title in order if title in sections] + [title for title in sections if title not in order]
    with open(RESULTS, "w") as file:
        file.write(RESULTS_TITLE + "".join(f"\n## {title}\n\n{sections[title]}\n" for title in titles))


# Soak: one long play, memory sampled every minute.

def run_soak(args, build_dir):
    port = stream_port(build_dir)
    server = StreamServer(port, os.path.join(build_dir, "stream-media"))
    desktop = Desktop(lasting_home=lasting_home(build_dir))
    subject = ZelnaMenu(desktop, build_dir, f"http://127.0.0.1:{port}/{CHANNEL[0]}")
    samples = []
    try:
        subject.start()
        subject.choose()
        if subject.log.time_of(GstLog.PREROLLED) is None:
            raise RuntimeError("ZelnaMenu did not play:\n" + subject.log.lines_text())
        # Minute 0 is a few seconds into the play, once the pipeline has filled its buffers.
        time.sleep(args.settle * 2)
        begun = time.monotonic()
        for minute in range(args.minutes + 1):
            wait_until(lambda: time.monotonic() >= begun + 60 * minute, timeout=61, interval=0.5)
            if subject.process.poll() is not None:
                raise RuntimeError(f"ZelnaMenu ended during the soak with status {subject.process.returncode}")
            rss, hwm = memory_kib(subject.process.pid)
            samples.append((minute, rss, hwm, cpu_seconds(subject.process.pid)))
            print(f"minute {minute:3d}: VmRSS {rss / 1024:7.2f} MiB, VmHWM {hwm / 1024:7.2f} MiB",
                  file=sys.stderr, flush=True)
    finally:
        subject.close()
        desktop.close()
        server.close()

    baseline = samples[0][1]
    growth = samples[-1][1] - baseline
    peak = max(rss for _, rss, _, _ in samples) - baseline
    cpu = 100 * (samples[-1][3] - samples[0][3]) / (60 * max(1, args.minutes))
    summary = (f"Soak: {args.minutes} min of play; VmRSS {baseline / 1024:.2f} MiB at minute 0, "
               f"{samples[-1][1] / 1024:.2f} MiB at the end: growth {growth / 1024:+.2f} MiB "
               f"(highest {peak / 1024:+.2f} MiB above minute 0); CPU {cpu:.2f} % of one core")
    print(summary)
    if args.write:
        when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
        image = os.path.relpath(args.output, os.path.dirname(RESULTS))
        write_results_section("Soak (make soak)", f"Measured {when} on {machine()}. `make soak` plays for an hour "
                              f"unless SOAK_MINUTES says otherwise.\n\n{summary}.\n\n"
                              f"![Memory while playing]({image})\n")

    data = os.path.join(build_dir, "soak.dat")
    with open(data, "w") as file:
        file.write("# minute VmRSS_KiB VmHWM_KiB cpu_seconds growth_KiB\n")
        for minute, rss, hwm, cpu_time in samples:
            file.write(f"{minute} {rss} {hwm} {cpu_time} {rss - baseline}\n")
    plot(data, args.output, args.minutes, max(1152, peak + 128))


def plot(data, output, minutes, growth_ceiling):
    """Memory above; its growth since minute 0 below, against the 1 MiB goal."""
    script = f"""
set terminal pngcairo size 720,440 font "Sans,9"
set output "{output}"
set multiplot layout 2,1 title "ZelnaMenu playing a loopback stream for {minutes} min, memory sampled every minute"
set grid
set key bottom right
set ylabel "MiB"
set yrange [0:*]
plot "{data}" using 1:($2/1024) with linespoints pt 7 ps 0.4 title "VmRSS", \\
     "{data}" using 1:($3/1024) with lines dt 2 title "VmHWM"
set xlabel "minutes"
set ylabel "KiB"
set yrange [-128:{growth_ceiling}]
set key right center
plot "{data}" using 1:5 with linespoints pt 7 ps 0.4 title "VmRSS growth since minute 0", \\
     1024 with lines dt 3 lc rgb "#b00000" title "1 MiB"
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True, timeout=60)
    print(f"figures: drew {output}", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", nargs="?", default="table", choices=["table", "soak"])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--idle", type=float, default=60.0, help="seconds of idle measured")
    parser.add_argument("--play", type=float, default=60.0, help="seconds of play measured")
    parser.add_argument("--pause", type=float, default=30.0, help="seconds of pause measured")
    parser.add_argument("--settle", type=float, default=2.0, help="seconds between a change and its measurement")
    parser.add_argument("--subjects", nargs="+", default=list(SUBJECTS), choices=list(SUBJECTS))
    parser.add_argument("--no-write", dest="write", action="store_false", help="print only; keep RESULTS.md")
    parser.add_argument("--minutes", type=int, default=60, help="soak: minutes of play")
    parser.add_argument("--output", default=os.path.join(ROOT, "docs", "soak.png"), help="soak: the plot")
    args = parser.parse_args()
    build_dir = os.path.abspath(args.build_dir)
    if args.mode == "soak":
        run_soak(args, build_dir)
    else:
        run_table(args, build_dir)


if __name__ == "__main__":
    main()
