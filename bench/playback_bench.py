#!/usr/bin/env python3
"""Playback figures: ZelnaMenu's player against a bare gst-launch-1.0 playbin, the floor.

On one loopback stream from the test radio server, measures for each side the time from the
start of playback to the first audio buffer at the sink (median of several starts), and the CPU
time and peak memory of a process that plays for 30 s. Prints a table with the ratio to the
floor. Figures only: nothing here passes or fails. Both sides play into GStreamer's fake audio
sink, so no sound server is needed and neither side pays for one.

Usage: bench/playback_bench.py [--build-dir build] [--format mp3] [--seconds 30] [--starts 5]
"""

import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def start_server(build_dir):
    server = subprocess.Popen(
        [sys.executable, os.path.join(ROOT, "tests", "support", "stream_server.py"),
         "--media-dir", os.path.join(build_dir, "test-media")],
        stdout=subprocess.PIPE, text=True)
    port = int(server.stdout.readline().split()[1])
    server.stdout.readline()  # the refused port, unused here
    # The request log is not needed, but must be read so that the server never blocks on it.
    threading.Thread(target=server.stdout.read, daemon=True).start()
    return server, port


TIMESTAMP = r"^(\d+):(\d\d):(\d\d\.\d+) "
# The first state change of the player's playbin, and the first buffer that any sink takes.
STARTED = re.compile(TIMESTAMP + r".*GST_STATES .*<playbin0>")
FIRST_BUFFER = re.compile(TIMESTAMP + r".*gst_base_sink_chain_unlocked")


def time_to_first_buffer(command, seconds=4):
    """Seconds from playbin's first state change to the first buffer at a sink, as GStreamer's
    own debug log times them: the same clock and the same cost on both sides."""
    environment = dict(os.environ, GST_DEBUG="GST_STATES:4,basesink:5", GST_DEBUG_NO_COLOR="1")
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                               env=environment)
    started = first = None
    deadline = time.monotonic() + seconds
    for line in process.stderr:
        if started is None and (match := STARTED.match(line)):
            started = match
        elif started is not None and (match := FIRST_BUFFER.match(line)):
            first = match
            break
        if time.monotonic() > deadline:
            break
    process.send_signal(signal.SIGINT)
    process.stderr.close()
    process.wait()
    if started is None or first is None:
        return None

    def seconds_of(match):
        hours, minutes, rest = match.groups()
        return int(hours) * 3600 + int(minutes) * 60 + float(rest)

    return seconds_of(first) - seconds_of(started)


def resources_while_playing(command, seconds):
    """CPU seconds and peak resident memory (KiB) of a process that plays for `seconds`."""
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(seconds)
    process.send_signal(signal.SIGINT)
    _, _, usage = os.wait4(process.pid, 0)
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build"))
    parser.add_argument("--format", default="mp3", choices=["mp3", "aac", "vorbis", "opus"])
    parser.add_argument("--seconds", type=int, default=30)
    parser.add_argument("--starts", type=int, default=5)
    args = parser.parse_args()

    build_dir = os.path.abspath(args.build_dir)
    probe = os.path.join(build_dir, "bench", "zelna_playback_probe")
    if not os.access(probe, os.X_OK):
        sys.exit(f"build the probe first: cmake --build {args.build_dir} --target zelna_playback_probe")
    os.environ["GST_PLUGIN_FEATURE_RANK"] = "fakeaudiosink:MAX"
    os.environ.setdefault("GST_REGISTRY", os.path.join(build_dir, "gst-registry.bin"))

    server, port = start_server(build_dir)
    url = f"http://127.0.0.1:{port}/{args.format}"
    try:
        ours_latency, floor_latency = [], []
        for _ in range(args.starts):
            ours_latency.append(time_to_first_buffer([probe, url, "10"]))
            floor_latency.append(time_to_first_buffer(["gst-launch-1.0", "playbin", f"uri={url}"]))
        ours_cpu, ours_rss = resources_while_playing([probe, url, str(args.seconds + 10)], args.seconds)
        floor_cpu, floor_rss = resources_while_playing(["gst-launch-1.0", "playbin", f"uri={url}"], args.seconds)
    finally:
        server.terminate()
        server.wait()

    def median_ms(values):
        values = [v for v in values if v is not None]
        return statistics.median(values) * 1000 if values else float("nan")

    rows = [
        ("first buffer at the sink (ms, median)", median_ms(ours_latency), median_ms(floor_latency)),
        (f"CPU over {args.seconds} s (% of a core)", 100 * ours_cpu / args.seconds, 100 * floor_cpu / args.seconds),
        ("peak resident memory (MiB)", ours_rss / 1024, floor_rss / 1024),
    ]
    print(f"Playback of /{args.format} on loopback, {args.starts} starts, {args.seconds} s of play")
    print(f"{'figure':40} {'ZelnaMenu':>10} {'gst-launch':>11} {'ratio':>7}")
    for name, ours, floor in rows:
        ratio = ours / floor if floor else float("nan")
        print(f"{name:40} {ours:10.1f} {floor:11.1f} {ratio:7.2f}")


if __name__ == "__main__":
    main()
