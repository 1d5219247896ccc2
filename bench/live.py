#!/usr/bin/env python3
"""A live feed on the loopback, played by the ffmpeg CLI and by reelpipe.

    .venv/bin/python bench/live.py [--protocols udp,rtp,srt,hls] [--seconds 20]
                                   [--receivers cli,default,0.2] [--stall hold|stop|none]

The sender (tests/helpers.py live_sender) makes 640x360 30 fps H.264 (x264
ultrafast, zerolatency, a key frame a second) with a 440 Hz AAC track in
real time, into MPEG-TS over UDP, MPEG-TS over RTP, SRT, or a live HLS
playlist (1 s segments) that a local http.server serves; udp-unpacked is UDP
with each sound frame in a packet of its own (-pes_payload_size 0). Each picture
carries the wall clock of the moment it was made, so its age when the
receiver's loop gets it is read off the picture. reelpipe plays its sound
on the null device (REELPIPE_AUDIO_BACKEND=null).

Receivers, one at a time on a fresh sender:
  cli      ffmpeg -fflags nobuffer -flags low_delay, rgb24 to a pipe
  default  reelpipe.MediaDecoder with its defaults
  0.2      reelpipe.MediaDecoder(latency=0.2) (any number: that latency)

Reported per receiver: median and p95 age over --seconds after the first
5 s, the growth (median of the last 5 s less that of the first 5 s), then
for the stall (not for HLS): --stall hold keeps the sender's UDP packets 2 s
in a relay between sender and receiver and lets them go in a burst (a
network that held them); stop sends SIGSTOP, then SIGCONT 2 s later (the
sender, as a camera, makes no pictures meanwhile). "back" is the time from
the end of the stall until the age stays within 50 ms of its median before
the stall for a second; "order" counts pictures older than the one before.
"""

from __future__ import annotations

import argparse
import functools
import http.server
import os
import select
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
os.environ.setdefault("REELPIPE_AUDIO_BACKEND", "null")

import numpy as np  # noqa: E402

import reelpipe  # noqa: E402
from helpers import live_sender, stamp_age  # noqa: E402

WIDTH, HEIGHT = 640, 360
WARM_UP = 5.0
STALL = 2.0
AFTER_STALL = 8.0


def free_port(kind: int = socket.SOCK_DGRAM) -> int:
    with socket.socket(socket.AF_INET, kind) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Relay:
    """Forwards UDP datagrams from one loopback port to another; hold() keeps
    them back for a while, then lets them all go at once."""

    def __init__(self, to_port: int) -> None:
        self.inbox = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.inbox.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.inbox.bind(("127.0.0.1", 0))
        self.port = self.inbox.getsockname()[1]
        self.out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.to = ("127.0.0.1", to_port)
        self.held_until = 0.0
        self.held: list[bytes] = []
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def hold(self, seconds: float) -> None:
        self.held_until = time.monotonic() + seconds

    def _run(self) -> None:
        while self.running:
            ready, _, _ = select.select([self.inbox], [], [], 0.01)
            if ready:
                self.held.append(self.inbox.recv(65536))
            if time.monotonic() >= self.held_until:
                for datagram in self.held:
                    self.out.sendto(datagram, self.to)
                self.held.clear()

    def close(self) -> None:
        self.running = False
        self.thread.join()
        self.inbox.close()
        self.out.close()


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args) -> None:
        pass


class Feed:
    """A sender of `protocol` and the URL a receiver opens, with the relay
    for UDP and RTP and the HTTP server for HLS."""

    def __init__(self, protocol: str, seconds: float) -> None:
        self.protocol = protocol
        self.relay: Relay | None = None
        self.server: http.server.ThreadingHTTPServer | None = None
        self.folder = tempfile.TemporaryDirectory()
        port = free_port()
        size = f"{WIDTH}x{HEIGHT}"
        if protocol in ("udp", "udp-unpacked", "rtp"):
            self.relay = Relay(port)
            if protocol.startswith("udp"):
                # The muxer packs about 0.2 s of sound into one packet unless told not to.
                unpacked = ("-pes_payload_size", "0") if protocol == "udp-unpacked" else ()
                target, output, self.url = (f"udp://127.0.0.1:{self.relay.port}?pkt_size=1316",
                                            ("-f", "mpegts", *unpacked), f"udp://127.0.0.1:{port}")
            else:
                target, output, self.url = (f"rtp://127.0.0.1:{self.relay.port}", ("-f", "rtp_mpegts"),
                                            f"rtp://127.0.0.1:{port}")
        elif protocol == "srt":
            port = free_port(socket.SOCK_DGRAM)
            target, output = f"srt://127.0.0.1:{port}?mode=listener&latency=20000", ("-f", "mpegts")
            self.url = f"srt://127.0.0.1:{port}?mode=caller&latency=20000"
        elif protocol == "hls":
            target = os.path.join(self.folder.name, "live.m3u8")
            output = ("-f", "hls", "-hls_time", "1", "-hls_list_size", "4", "-hls_flags", "delete_segments")
            handler = functools.partial(QuietHandler, directory=self.folder.name)
            self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
            threading.Thread(target=self.server.serve_forever, daemon=True).start()
            self.url = f"http://127.0.0.1:{self.server.server_address[1]}/live.m3u8"
        else:
            raise ValueError(protocol)
        self.sender = live_sender(target, seconds=seconds, size=size, output=output)
        if protocol == "hls":
            deadline = time.monotonic() + 10
            while not os.path.exists(target) and time.monotonic() < deadline:
                time.sleep(0.1)

    def stall(self, how: str) -> None:
        if how == "hold" and self.relay is not None:
            self.relay.hold(STALL)
        elif how == "stop":
            os.kill(self.sender.pid, signal.SIGSTOP)
            threading.Timer(STALL, os.kill, (self.sender.pid, signal.SIGCONT)).start()

    def close(self) -> None:
        os.kill(self.sender.pid, signal.SIGCONT)
        self.sender.kill()
        self.sender.wait()
        if self.relay is not None:
            self.relay.close()
        if self.server is not None:
            self.server.shutdown()
        self.folder.cleanup()


def cli_pictures(url: str):
    """The ffmpeg CLI receiver: yields each picture's age as it comes out of the pipe."""
    receiver = subprocess.Popen(
        ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-fflags", "nobuffer", "-flags", "low_delay",
         "-i", url, "-an", "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "rgb24", "pipe:"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    size = WIDTH * HEIGHT * 3
    try:
        while True:
            data = receiver.stdout.read(size)
            if len(data) < size:
                return
            yield stamp_age(np.frombuffer(data, np.uint8).reshape(HEIGHT, WIDTH, 3))
    finally:
        receiver.kill()
        receiver.wait()


def reelpipe_pictures(url: str, latency: float | None):
    decoder = reelpipe.MediaDecoder(url, **({} if latency is None else {"latency": latency}))
    decoder.start()
    try:
        while True:
            picture = decoder.get_next_frame(timeout=0.1)
            if picture is not None:
                yield stamp_age(picture)
    finally:
        decoder.stop()


def run(protocol: str, receiver: str, seconds: float, stall: str) -> dict:
    stalls = stall != "none" and protocol != "hls" and not (stall == "hold" and protocol == "srt")
    length = WARM_UP + seconds + (AFTER_STALL if stalls else 0.0) + 5.0
    feed = Feed(protocol, length + 10.0)
    ages: list[tuple[float, float]] = []
    made: list[float] = []  # when each picture was made, by its stamp
    try:
        source = cli_pictures(feed.url) if receiver == "cli" else reelpipe_pictures(
            feed.url, None if receiver == "default" else float(receiver))
        began = None
        stalled_at = None
        for age in source:
            now = time.monotonic()
            began = began or now
            elapsed = now - began
            ages.append((elapsed, age))
            made.append(time.time() - age)
            if stalls and stalled_at is None and elapsed >= WARM_UP + seconds:
                feed.stall(stall)
                stalled_at = elapsed
            if elapsed >= WARM_UP + seconds + (AFTER_STALL if stalls else 0.0):
                break
        source.close()
    finally:
        feed.close()
    window = [age for elapsed, age in ages if WARM_UP <= elapsed < WARM_UP + seconds]
    if len(window) < 10:
        return {"pictures": len(ages)}
    window_sorted = sorted(window)
    first = [age for elapsed, age in ages if WARM_UP <= elapsed < WARM_UP + 5]
    last = [age for elapsed, age in ages if WARM_UP + seconds - 5 <= elapsed < WARM_UP + seconds]
    result = {"median": statistics.median(window), "p95": window_sorted[int(0.95 * (len(window) - 1))],
              "growth": statistics.median(last) - statistics.median(first), "pictures": len(window)}
    if stalls and stalled_at is not None:
        resumed = stalled_at + STALL
        steady = result["median"]
        after = [(elapsed, age) for elapsed, age in ages if elapsed >= resumed]
        back = None
        for i, (elapsed, _) in enumerate(after):
            span = [age for t, age in after[i:] if t < elapsed + 1.0]
            if after[-1][0] >= elapsed + 1.0 and all(abs(age - steady) <= 0.05 for age in span):
                back = elapsed - resumed
                break
        result["back"] = back
        result["order"] = sum(1 for a, b in zip(made, made[1:]) if b < a - 0.015)
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--protocols", default="udp,rtp,srt,hls")
    parser.add_argument("--receivers", default="cli,default,0.2")
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--stall", choices=("hold", "stop", "none"), default="hold")
    args = parser.parse_args()
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores; stall: {args.stall}")
    print(f"{'protocol':8} {'receiver':8} {'median':>7} {'p95':>7} {'growth':>7} {'back':>6} {'order':>5} pictures")
    for protocol in args.protocols.split(","):
        for receiver in args.receivers.split(","):
            result = run(protocol, receiver, args.seconds, args.stall)
            if "median" not in result:
                print(f"{protocol:8} {receiver:8} {'-':>7} (only {result['pictures']} pictures)")
                continue
            back = result.get("back")
            back_text = "-" if "back" not in result else ("never" if back is None else f"{back:.2f}")
            print(f"{protocol:8} {receiver:8} {result['median']:7.3f} {result['p95']:7.3f} {result['growth']:+7.3f} "
                  f"{back_text:>6} {result.get('order', '-'):>5} {result['pictures']}", flush=True)


if __name__ == "__main__":
    main()
