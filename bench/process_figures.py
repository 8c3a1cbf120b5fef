"""What the benchmarks read about a process from /proc, and the loopback stream server they use."""

import os
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from desktop_session import PYTHON, SUPPORT, StampedLines, stop  # noqa: E402


class StreamServer:
    """tests/support/stream_server.py on a given loopback port, serving the MP3 tone under every
    channel id. Its REQUEST lines carry the time each listener arrived."""

    def __init__(self, port, media_dir):
        self.process = subprocess.Popen(
            [PYTHON, os.path.join(SUPPORT, "stream_server.py"), "--port", str(port), "--media-dir", media_dir,
             "--channels", "mp3"],
            stdout=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
        self.lines = StampedLines(self.process.stdout)
        # The first start encodes the test media, which takes a while.
        if not self.lines.wait_for(lambda line: line.startswith("PORT "), timeout=180):
            stop(self.process)
            raise RuntimeError(f"the stream server did not start on port {port} (is the port taken?)")

    def first_request(self, after):
        """Monotonic time at which the first listener after `after` was seen, or None."""
        found = self.lines.first(lambda line: line.startswith("REQUEST "), after)
        return found[0] if found else None

    def close(self):
        stop(self.process)


# What /proc says about a running process. CPU time counts every thread the process has had (the
# kernel folds a finished thread's time into its group); context switches are kept per thread, so
# they are read often enough to miss little of a thread that ends.

TICKS_PER_SECOND = os.sysconf("SC_CLK_TCK")


def memory_kib(pid):
    """(VmRSS, VmHWM) in KiB."""
    fields = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                fields[name] = int(value.split()[0])
    return fields["VmRSS"], fields["VmHWM"]


def proportional_kib(pid):
    """(PSS, USS) in KiB from smaps_rollup: the process's share of the pages it maps, and the pages
    only it maps, so that shared libraries show as what they cost beside other programs."""
    fields = {}
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        for line in rollup:
            name, _, value = line.partition(":")
            if name in ("Pss", "Private_Clean", "Private_Dirty"):
                fields[name] = int(value.split()[0])
    return fields["Pss"], fields["Private_Clean"] + fields["Private_Dirty"]


def cpu_seconds(pid):
    """User plus system CPU time of the whole process, in seconds."""
    with open(f"/proc/{pid}/stat") as stat:
        # The command name may hold spaces and parentheses: fields are counted after the last ')'.
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS_PER_SECOND


def thread_switches(pid):
    """{thread id: voluntary plus involuntary context switches} of the live threads."""
    counts = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as status:
                counts[task] = sum(int(line.split()[1]) for line in status
                                   if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")))
        except FileNotFoundError:  # the thread ended meanwhile
            pass
    return counts


def observe(pid, seconds, interval=0.25):
    """CPU time (% of one core) and context switches per second of a process over `seconds`.
    A thread that starts meanwhile counts from zero; one that ends counts up to its last reading."""
    start = time.monotonic()
    cpu = cpu_seconds(pid)
    first = thread_switches(pid)
    last = dict(first)
    while True:
        for thread, count in thread_switches(pid).items():
            first.setdefault(thread, 0)
            last[thread] = count
        elapsed = time.monotonic() - start
        if elapsed >= seconds:
            break
        time.sleep(min(interval, seconds - elapsed))
    return {
        "seconds": elapsed,
        "cpu_percent": 100.0 * (cpu_seconds(pid) - cpu) / elapsed,
        "switches_per_second": sum(last[thread] - first[thread] for thread in last) / elapsed,
    }


def interrupt(process):
    """SIGINT, as a terminal would send; gst-launch-1.0 stops its pipeline on it."""
    if process.poll() is None:
        process.send_signal(signal.SIGINT)
