#!/usr/bin/env python3
"""A loopback radio server for tests and benchmarks: generated tones as live streams, paced in real time after a burst
as Icecast sends one, and the ways real servers fail. Paths (FORMAT: mp3, aac, vorbis or opus): /FORMAT, looped for as
long as the client reads; /drop/FORMAT?after=S, S seconds, then closed (reset=1: with a reset); /stall/FORMAT?after=S,
S seconds, then silence on an open connection; /short/FORMAT?seconds=S, the first S seconds as a file with its
Content-Length; /hls/playlist.m3u8 (AAC in MPEG-TS segments); /garbage (random bytes as audio/mpeg, the same each
time); /silent (never answers); /404; /reset (reset unanswered); /bad-head (a 64 KiB header); /redirect?to=PATH. Fault
paths take count=K (only the first K requests for that path and query fail), streams burst=S (seconds sent at once, 3
by default). With --channels FORMAT, any other one-segment path is that stream; --channel ID=PATH answers /ID as PATH.
Prints "PORT n" and "REFUSED_PORT n" (a bound port that refuses every connection), then "REQUEST <path> <user-agent>"
and "CLOSED <path>" per connection."""

import argparse
import http.server
import itertools
import os
import pathlib
import random
import select
import socket
import struct
import subprocess
import threading
import time
import urllib.parse

SECONDS = 45
SOURCE = (f"audiotestsrc num-buffers={SECONDS * 44100 // 1024} samplesperbuffer=1024 "
          "! audio/x-raw,rate=44100,channels=2 ! audioconvert")
AAC = "avenc_aac bitrate=128000 ! aacparse"
FORMATS = {
    "mp3": ("audio/mpeg", "tone.mp3", "lamemp3enc target=bitrate bitrate=128 cbr=true"),
    "aac": ("audio/aac", "tone.aac", f"{AAC} ! audio/mpeg,stream-format=adts"),
    "vorbis": ("audio/ogg", "tone.ogg", "vorbisenc ! oggmux"),
    "opus": ("audio/ogg", "tone.opus", "audioresample ! opusenc bitrate=96000 ! oggmux"),
}
HLS = (f"{AAC} ! mpegtsmux ! hlssink target-duration=2 max-files=0 playlist-length=0 "
       "location={out}/segment%05d.ts playlist-location={out}/playlist.m3u8")
output_lock = threading.Lock()


def say(line):
    with output_lock:
        print(line, flush=True)


def encode(target, encoder):
    """Encodes the tone once per build tree, under a private name and then renamed, so that
    servers started side by side never read a half-made file."""
    if not os.path.exists(target):
        partial = f"{target}.{os.getpid()}.part"
        os.makedirs(partial if "{out}" in encoder else os.path.dirname(target), exist_ok=True)
        sink = encoder.format(out=partial) if "{out}" in encoder else f"{encoder} ! filesink location={partial}"
        subprocess.run(["gst-launch-1.0", "-q"] + f"{SOURCE} ! {sink}".split(), check=True,
                       stdout=subprocess.DEVNULL, timeout=60)
        os.replace(partial, target)  # the same file, should another server have made it meanwhile


class Handler(http.server.BaseHTTPRequestHandler):
    timeout = 10

    def log_message(self, *args):
        pass

    def do_GET(self):
        say(f"REQUEST {self.path} {self.headers.get('User-Agent', '-')}")
        try:
            self.answer()
        except OSError:
            pass
        finally:
            say(f"CLOSED {self.path}")

    def answer(self):
        url = urllib.parse.urlsplit(self.server.channel_paths.get(self.path[1:], self.path))
        query, parts = dict(urllib.parse.parse_qsl(url.query)), [p for p in url.path.split("/") if p]
        burst = float(query.get("burst", 3))
        if parts == ["silent"]:
            return self.wait_for_close()
        if parts == ["reset"]:
            return self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        if parts == ["bad-head"]:
            return self.wfile.write(b"HTTP/1.0 200 OK\r\nX-Filler: " + b"x" * 65536 + b"\r\n\r\n")
        if parts == ["redirect"]:
            self.send_response(302)
            self.send_header("Location", query.get("to", "/"))
            return self.end_headers()
        if len(parts) == 2 and parts[0] in ("short", "hls") and url.path[1:] in self.server.files:
            return self.send_head(*self.server.files[url.path[1:]], float(query.get("seconds", SECONDS)) / SECONDS)
        if parts == ["garbage"]:
            self.send_head("audio/mpeg")  # the same bytes every time: random ones may decode into something
            return self.stream(random.Random(self.path).randbytes, 16000, burst, None)
        name = parts[-1] if parts and parts[-1] in FORMATS else self.server.channel_format
        fault = parts[0] if len(parts) == 2 and parts[0] in ("drop", "stall") else None
        if not name or parts == ["404"] or len(parts) != (2 if fault else 1):
            return self.send_error(404)
        if fault and next(self.server.fault_counts.setdefault(self.path, itertools.count(1))) > int(
                query.get("count", 1e9)):
            fault = None
        content_type, data = self.server.media[name]
        self.send_head(content_type)
        looped, position = data + data, 0

        def next_bytes(size):  # a burst or a chunk is always shorter than the file
            nonlocal position
            start, position = position, (position + size) % len(data)
            return looped[start:start + size]

        self.stream(next_bytes, len(data) / SECONDS, burst, float(query.get("after", 2)) if fault else None)
        if fault == "stall":
            self.wait_for_close()
        elif query.get("reset") == "1":
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    def send_head(self, content_type, file=None, share=1.0):
        """The response head; with a file, also its first `share` as the body, with its length."""
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        if file is not None:
            self.send_header("Content-Length", str(int(len(file) * share)))
        self.end_headers()
        self.wfile.write(file[:int(len(file) * share)] if file is not None else b"")

    def stream(self, next_bytes, byte_rate, burst, seconds):
        """Sends a burst, then real time in 50 ms chunks, until the client goes or `seconds` have passed."""
        if burst > 0:
            self.wfile.write(next_bytes(int(byte_rate * burst)))
        start, sent = time.monotonic(), 0.0
        while seconds is None or sent < seconds:
            sent += 0.05
            self.wfile.write(next_bytes(max(1, int(byte_rate * 0.05))))
            time.sleep(max(0.0, start + sent - time.monotonic()))

    def wait_for_close(self):
        while not select.select([self.connection], [], [], 1.0)[0] or self.connection.recv(4096):
            pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--media-dir", required=True)
    parser.add_argument("--channels", choices=sorted(FORMATS), help="serve every channel id as this format")
    parser.add_argument("--channel", action="append", default=[], metavar="ID=PATH", help="serve /ID as PATH")
    args = parser.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.channel_format, server.fault_counts, server.media, server.files = args.channels, {}, {}, {}
    server.channel_paths = dict(mapping.split("=", 1) for mapping in args.channel)
    media = pathlib.Path(args.media_dir)
    for name, (content_type, file_name, encoder) in FORMATS.items():
        encode(str(media / file_name), encoder)
        server.media[name] = server.files[f"short/{name}"] = (content_type, (media / file_name).read_bytes())
    encode(str(media / "hls"), HLS)
    for segment in (media / "hls").iterdir():
        kind = "video/mp2t" if segment.suffix == ".ts" else "application/vnd.apple.mpegurl"
        server.files[f"hls/{segment.name}"] = (kind, segment.read_bytes())
    # A port bound without listening refuses connections, and nobody else can take it meanwhile.
    refusing = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    refusing.bind(("127.0.0.1", 0))
    say(f"PORT {server.server_address[1]}")
    say(f"REFUSED_PORT {refusing.getsockname()[1]}")
    server.serve_forever()


if __name__ == "__main__":
    main()
