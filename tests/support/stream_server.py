#!/usr/bin/env python3
"""A loopback radio server for tests and benchmarks.

Serves generated tones as live streams (MP3, AAC in ADTS, Ogg Vorbis, Ogg Opus), paced in real
time after a short burst as Icecast sends one, and the ways real servers fail. Binds 127.0.0.1 only.

Paths (FORMAT is mp3, aac, vorbis or opus):
  /FORMAT                    the stream, looped for as long as the client reads
  /hls/playlist.m3u8         the same tone as HTTP Live Streaming (AAC in MPEG-TS segments)
  /drop/FORMAT?after=S       streams S seconds, then closes the connection (reset=1: with a reset)
  /stall/FORMAT?after=S      streams S seconds, then sends nothing more and keeps the connection
  /headers-only/FORMAT       answers 200 with headers, then closes before the first audio byte
  /garbage                   answers 200 as audio/mpeg and streams random bytes
  /silent                    accepts the request and never answers
  /404                       Not Found
With --channels FORMAT, any other one-segment path (a channel id: the program asks for
<base URL><id>) is the FORMAT stream too.
Any fault path takes count=K: only the first K requests to that path fail, later ones get the
plain stream. Any stream takes burst=S: the seconds of audio sent at once (3 by default).

On stdout, one line each at start: "PORT n", "REFUSED_PORT n" (a bound port that refuses every
connection) and "TLS_PORT n" (the same paths over TLS with a self-signed certificate, which a
client that verifies certificates must refuse); then "REQUEST <path> <user-agent>" and
"CLOSED <path>" per connection.
"""

import argparse
import os
import random
import select
import socket
import socketserver
import ssl
import struct
import subprocess
import sys
import threading
import time
import urllib.parse

DURATION_SECONDS = 45
BURST_SECONDS = 3.0
CHUNK_SECONDS = 0.05

SOURCE = (f"audiotestsrc num-buffers={DURATION_SECONDS * 44100 // 1024} samplesperbuffer=1024 "
          "! audio/x-raw,rate=44100,channels=2 ! audioconvert")
FORMATS = {
    "mp3": ("audio/mpeg", "mp3", "lamemp3enc target=bitrate bitrate=128 cbr=true"),
    "aac": ("audio/aac", "aac", "avenc_aac bitrate=128000 ! aacparse ! audio/mpeg,stream-format=adts"),
    "vorbis": ("audio/ogg", "ogg", "vorbisenc ! oggmux"),
    "opus": ("audio/ogg", "opus", "audioresample ! opusenc bitrate=96000 ! oggmux"),
}

output_lock = threading.Lock()


def say(line):
    with output_lock:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def media_file(media_dir, name):
    content_type, extension, encoder = FORMATS[name]
    path = os.path.join(media_dir, f"tone.{extension}")
    if not os.path.exists(path):
        # Made once per build tree; written under a private name and renamed, so that servers
        # started side by side never read a half-written file.
        os.makedirs(media_dir, exist_ok=True)
        partial = f"{path}.{os.getpid()}.part"
        pipeline = f"{SOURCE} ! {encoder} ! filesink location={partial}"
        subprocess.run(["gst-launch-1.0", "-q"] + pipeline.split(), check=True,
                       stdout=subprocess.DEVNULL, timeout=60)
        os.replace(partial, path)
    with open(path, "rb") as file:
        data = file.read()
    return content_type, data


def hls_files(media_dir):
    folder = os.path.join(media_dir, "hls")
    if not os.path.exists(os.path.join(folder, "playlist.m3u8")):
        partial = f"{folder}.{os.getpid()}.part"
        os.makedirs(partial, exist_ok=True)
        pipeline = (f"{SOURCE} ! avenc_aac bitrate=128000 ! aacparse ! mpegtsmux ! hlssink target-duration=2 "
                    f"max-files=0 playlist-length=0 location={partial}/segment%05d.ts "
                    f"playlist-location={partial}/playlist.m3u8")
        subprocess.run(["gst-launch-1.0", "-q"] + pipeline.split(), check=True,
                       stdout=subprocess.DEVNULL, timeout=60)
        try:
            os.rename(partial, folder)
        except OSError:  # another server made it meanwhile
            pass
    files = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as file:
            files[name] = file.read()
    return files


def self_signed_context(media_dir):
    certificate = os.path.join(media_dir, "self-signed.pem")
    if not os.path.exists(certificate):
        partial = f"{certificate}.{os.getpid()}.part"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", partial, "-out", partial + ".crt"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        with open(partial, "a") as key, open(partial + ".crt") as crt:
            key.write(crt.read())
        os.remove(partial + ".crt")
        os.replace(partial, certificate)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate)
    return context


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    channel_format = None

    def __init__(self, port, media, hls, tls=None):
        self.media = media
        self.hls = hls
        self.tls = tls
        self.fault_counts = {}
        self.counts_lock = threading.Lock()
        super().__init__(("127.0.0.1", port), Handler)

    def takes_fault(self, key, limit):
        with self.counts_lock:
            seen = self.fault_counts.get(key, 0)
            self.fault_counts[key] = seen + 1
        return limit is None or seen < limit

    def get_request(self):
        connection, address = super().get_request()
        if self.tls:
            # The handshake happens in the handler's thread, so a refusing client blocks nobody.
            connection = self.tls.wrap_socket(connection, server_side=True, do_handshake_on_connect=False)
        return connection, address


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.settimeout(10)
        try:
            if isinstance(self.request, ssl.SSLSocket):
                self.request.do_handshake()
            head = self.read_head()
        except OSError:
            return
        if head is None:
            return
        target, user_agent = head
        say(f"REQUEST {target} {user_agent}")
        try:
            self.answer(target)
        except OSError:
            pass
        finally:
            say(f"CLOSED {target}")

    def read_head(self):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = self.request.recv(4096)
            if not chunk or len(data) > 65536:
                return None
            data += chunk
        lines = data.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
        target = lines[0].split(" ")[1] if len(lines[0].split(" ")) > 1 else "/"
        user_agent = "-"
        for line in lines[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "user-agent":
                user_agent = value.strip()
        return target, user_agent

    def answer(self, target):
        url = urllib.parse.urlsplit(target)
        query = dict(urllib.parse.parse_qsl(url.query))
        parts = [p for p in url.path.split("/") if p]
        count = int(query["count"]) if "count" in query else None
        after = float(query.get("after", "2"))
        burst = float(query.get("burst", BURST_SECONDS))

        if parts == ["404"]:
            self.send_head(404, "text/plain", b"not found\n")
            return
        if len(parts) == 2 and parts[0] == "hls" and parts[1] in self.server.hls:
            kind = "application/vnd.apple.mpegurl" if parts[1].endswith(".m3u8") else "video/mp2t"
            self.send_head(200, kind, self.server.hls[parts[1]])
            return
        if parts == ["silent"]:
            self.wait_for_close()
            return
        if parts == ["garbage"]:
            self.send_head(200, "audio/mpeg")
            random_bytes = random.Random(7)
            self.stream(lambda size: random_bytes.randbytes(size), 16000, burst, None)
            return

        if len(parts) == 1 and parts[0] in FORMATS:
            fault, name = None, parts[0]
        elif len(parts) == 1 and self.server.channel_format:
            fault, name = None, self.server.channel_format
        elif len(parts) == 2 and parts[1] in FORMATS and parts[0] in ("drop", "stall", "headers-only"):
            fault, name = parts[0], parts[1]
            if not self.server.takes_fault(url.path, count):
                fault = None
        else:
            self.send_head(404, "text/plain", b"unknown path\n")
            return

        content_type, data = self.server.media[name]
        self.send_head(200, content_type)
        if fault == "headers-only":
            return
        byte_rate = len(data) / DURATION_SECONDS
        position = 0

        def next_bytes(size):
            nonlocal position
            out = b""
            while len(out) < size:
                piece = data[position:position + size - len(out)]
                out += piece
                position = (position + len(piece)) % len(data)
            return out

        self.stream(next_bytes, byte_rate, burst, after if fault else None)
        if fault == "stall":
            self.wait_for_close()
        elif fault == "drop" and query.get("reset") == "1":
            self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    def send_head(self, status, content_type, body=None):
        reason = {200: "OK", 404: "Not Found"}[status]
        head = f"HTTP/1.0 {status} {reason}\r\nContent-Type: {content_type}\r\nCache-Control: no-cache\r\n"
        if body is not None:
            head += f"Content-Length: {len(body)}\r\n"
        self.request.sendall((head + "\r\n").encode("latin-1") + (body or b""))

    def stream(self, next_bytes, byte_rate, burst, seconds):
        """Sends a burst, then real time, until the client goes or `seconds` have passed."""
        if burst > 0:
            self.request.sendall(next_bytes(int(byte_rate * burst)))
        start = time.monotonic()
        sent_seconds = 0.0
        while seconds is None or sent_seconds < seconds:
            sent_seconds += CHUNK_SECONDS
            self.request.sendall(next_bytes(max(1, int(byte_rate * CHUNK_SECONDS))))
            delay = start + sent_seconds - time.monotonic()
            if delay > 0:
                time.sleep(delay)

    def wait_for_close(self):
        self.request.settimeout(None)
        while True:
            readable, _, _ = select.select([self.request], [], [], 1.0)
            if readable and not self.request.recv(4096):
                return


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--media-dir", required=True)
    parser.add_argument("--channels", choices=sorted(FORMATS), help="serve every channel id as this format")
    args = parser.parse_args()

    media = {name: media_file(args.media_dir, name) for name in FORMATS}
    # A port bound without listening refuses connections, and nobody else can take it meanwhile.
    refusing = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    refusing.bind(("127.0.0.1", 0))
    hls = hls_files(args.media_dir)
    server = Server(args.port, media, hls)
    server.channel_format = args.channels
    tls_server = Server(0, media, hls, self_signed_context(args.media_dir))
    threading.Thread(target=tls_server.serve_forever, daemon=True).start()
    say(f"PORT {server.server_address[1]}")
    say(f"REFUSED_PORT {refusing.getsockname()[1]}")
    say(f"TLS_PORT {tls_server.server_address[1]}")
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
