"""Glitches of the sound at a real sound server while the machine is busy.

Plays a 440 Hz tone through a PulseAudio null sink started for the run,
records the sink's monitor with parec, and counts in the recording the
silences longer than 5 ms and the discontinuities (a sample that leaves the
sine its neighbours describe) between the first and the last sound. Meanwhile
two CPU hogs keep both cores busy and a second decoder in the same process
(its sound at volume 0, so that its sound path runs without being heard)
seeks every 0.5 s while its pictures are taken.

Runs against whichever reelpipe the interpreter imports, so the same script
measures two builds:

    .venv/bin/python bench/sound_glitches.py --seconds 60 --speeds 1.0 1.5
    /tmp/before/.venv/bin/python bench/sound_glitches.py ...

With --live LATENCY..., the sound comes instead from a live feed on the
loopback (tests/helpers.py live_sender: UDP, its 440 Hz track) played with
that latency=, recorded after the first 5 s, while pictures are taken:

    .venv/bin/python bench/sound_glitches.py --seconds 60 --live 0.1 0.2 --hogs 0 [--unpacked]

Prints one line per run and, with --json, writes the results there.
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

RATE = 44100
TONE_HZ = 440.0
SHORTEST_SILENCE = int(0.005 * RATE)  # frames
QUIET = 16  # |sample| at or below this counts as silence
# A residual of the sine recurrence above this share of the amplitude is a
# break in the waveform; events closer than 10 ms are one glitch.
BREAK_SHARE = 0.2
SAME_GLITCH = int(0.010 * RATE)


def ffmpeg(*args: str) -> None:
    subprocess.run(["ffmpeg", "-v", "error", "-y", *args], check=True)


def make_clips(folder: Path, seconds: float) -> tuple[str, str]:
    tone = folder / "tone.m4a"
    ffmpeg("-f", "lavfi", "-i", f"sine=frequency={TONE_HZ:g}:sample_rate=48000:duration={seconds + 5:g}",
           "-ac", "2", "-c:a", "aac", "-b:a", "192k", str(tone))
    av = folder / "av.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25:duration=20", "-f", "lavfi", "-i",
           "sine=frequency=300:sample_rate=48000:duration=20", "-ac", "2", "-c:v", "libx264", "-g", "25",
           "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", str(av))
    return str(tone), str(av)


class SoundServer:
    """A PulseAudio server with a null sink, and parec reading its monitor for
    as long as it runs (the sink then keeps a small latency)."""

    def __init__(self, folder: Path) -> None:
        runtime = folder / "pulse-run"
        home = folder / "home"
        runtime.mkdir()
        home.mkdir()
        os.environ.update(PULSE_RUNTIME_PATH=str(runtime), HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"))
        self.server = subprocess.Popen(
            ["pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
             "--load=module-null-sink", "--load=module-native-protocol-unix", "--log-level=error"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while subprocess.run(["pactl", "info"], capture_output=True).returncode != 0:
            if time.monotonic() > deadline:
                raise RuntimeError("pulseaudio did not answer")
            time.sleep(0.05)
        self.recorder = subprocess.Popen(
            ["parec", "-d", "null.monitor", "--format=s16le", f"--rate={RATE}", "--channels=2", "--raw",
             "--latency-msec=10"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.chunks: list[bytes] = []
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        while not self.size():
            time.sleep(0.05)
        time.sleep(0.5)

    def _read(self) -> None:
        while chunk := os.read(self.recorder.stdout.fileno(), 65536):
            with self.lock:
                self.chunks.append(chunk)

    def size(self) -> int:
        with self.lock:
            return sum(len(c) for c in self.chunks)

    def since(self, offset: int) -> np.ndarray:
        with self.lock:
            data = b"".join(self.chunks)[offset:]
        data = data[:len(data) - len(data) % 4]
        return np.frombuffer(data, "<i2").reshape(-1, 2).astype(np.float64)

    def close(self) -> None:
        for proc in (self.recorder, self.server):
            proc.terminate()
            proc.wait(timeout=10)


def seek_storm(path: str, quit: threading.Event, seeks: list[int]) -> None:
    import reelpipe

    decoder = reelpipe.MediaDecoder(path)
    decoder.set_volume(0.0)
    decoder.start()
    rng = np.random.default_rng(1)
    next_seek = time.monotonic() + 0.5
    try:
        while not quit.is_set():
            decoder.get_next_frame(timeout=0.02)
            if time.monotonic() >= next_seek:
                decoder.seek(float(rng.uniform(0.0, 18.0)))
                seeks[0] += 1
                next_seek += 0.5
    finally:
        decoder.stop()


def glitches(recording: np.ndarray) -> dict:
    """Silences over 5 ms and breaks of the sine between the first and last
    sound of `recording`."""
    mono = recording.mean(axis=1)
    loud = np.flatnonzero(np.abs(mono) > QUIET)
    if loud.size == 0:
        return {"heard_seconds": 0.0, "silences": [], "breaks": 0}
    # The tone's own start and end are no glitch.
    lo, hi = loud[0] + int(0.05 * RATE), loud[-1] - int(0.05 * RATE)
    span = mono[lo:hi]
    quiet = np.abs(span) <= QUIET
    silences = []
    edges = np.flatnonzero(np.diff(np.concatenate(([0], quiet.astype(np.int8), [0]))))
    for start, end in zip(edges[::2], edges[1::2]):
        if end - start > SHORTEST_SILENCE:
            silences.append(round(float(end - start) / RATE * 1000.0, 1))
    amplitude = np.sqrt(2.0) * np.sqrt(np.mean(span[~quiet] ** 2)) if (~quiet).any() else 1.0
    c = 2.0 * np.cos(2.0 * np.pi * TONE_HZ / RATE)
    residual = np.abs(span[2:] - c * span[1:-1] + span[:-2])
    # Samples next to a silence are counted with the silence, not again.
    near_quiet = np.convolve(quiet.astype(np.int8), np.ones(5, dtype=np.int8), "same")[1:-1] > 0
    flagged = np.flatnonzero((residual > BREAK_SHARE * amplitude) & ~near_quiet)
    breaks = 0 if flagged.size == 0 else 1 + int(np.count_nonzero(np.diff(flagged) > SAME_GLITCH))
    return {"heard_seconds": round(len(span) / RATE, 2), "silences": silences, "breaks": breaks}


def run(server: SoundServer, tone: str, av: str, speed: float, seconds: float) -> dict:
    import reelpipe

    quit = threading.Event()
    seeks = [0]
    storm = threading.Thread(target=seek_storm, args=(av, quit, seeks))
    storm.start()
    time.sleep(1.0)
    offset = server.size()
    decoder = reelpipe.MediaDecoder(tone)
    decoder.set_speed(speed)
    decoder.start()
    time.sleep(seconds)
    decoder.stop()
    time.sleep(0.5)
    recording = server.since(offset)
    quit.set()
    storm.join()
    result = glitches(recording)
    result.update(speed=speed, seconds=seconds, seeks=seeks[0], load=round(os.getloadavg()[0], 2))
    return result


def run_live(server: SoundServer, av: str, latency: float, seconds: float, unpacked: bool) -> dict:
    import socket

    import reelpipe
    from helpers import live_sender

    quit = threading.Event()
    seeks = [0]
    storm = threading.Thread(target=seek_storm, args=(av, quit, seeks))
    storm.start()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as free:
        free.bind(("127.0.0.1", 0))
        port = free.getsockname()[1]
    # Unpacked: each sound frame in a packet of its own, not 0.2 s of it in one.
    output = ("-f", "mpegts", *(("-pes_payload_size", "0") if unpacked else ()))
    sender = live_sender(f"udp://127.0.0.1:{port}?pkt_size=1316", seconds=seconds + 15, size="640x360",
                         output=output)
    try:
        decoder = reelpipe.MediaDecoder(f"udp://127.0.0.1:{port}", latency=latency)
        decoder.start()
        offset = None
        started = time.monotonic()
        while time.monotonic() < started + 5.0 + seconds:
            decoder.get_next_frame(timeout=0.05)
            if offset is None and time.monotonic() >= started + 5.0:
                offset = server.size()
        recording = server.since(offset)
        decoder.stop()
    finally:
        sender.kill()
        sender.wait()
        quit.set()
        storm.join()
    result = glitches(recording)
    result.update(latency=latency, unpacked=unpacked, seconds=seconds, seeks=seeks[0], load=round(os.getloadavg()[0], 2))
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--speeds", type=float, nargs="+", default=[1.0, 1.5])
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--hogs", type=int, default=2)
    parser.add_argument("--live", type=float, nargs="+", default=[], metavar="LATENCY")
    parser.add_argument("--unpacked", action="store_true", help="--live: the sender's sound frames one per packet")
    parser.add_argument("--json")
    args = parser.parse_args()
    folder = Path(tempfile.mkdtemp(prefix="sound-glitches-"))
    hogs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(args.hogs)]
    server = None
    results = []
    try:
        tone, av = make_clips(folder, args.seconds * max(args.speeds))
        server = SoundServer(folder)
        import reelpipe

        print(f"reelpipe from {Path(reelpipe.__file__).parent}, {args.hogs} hogs", flush=True)
        for latency in args.live:
            for _ in range(args.runs):
                result = run_live(server, av, latency, args.seconds, args.unpacked)
                results.append(result)
                print(f"live latency={latency:g}{' unpacked' if args.unpacked else ''}: {result['seconds']:g} s, heard {result['heard_seconds']} s, "
                      f"silences > 5 ms: {len(result['silences'])} {result['silences']}, "
                      f"breaks: {result['breaks']}, seeks {result['seeks']}, load {result['load']}", flush=True)
        for speed in [] if args.live else args.speeds:
            for _ in range(args.runs):
                result = run(server, tone, av, speed, args.seconds)
                results.append(result)
                print(f"speed {speed:g}: {result['seconds']:g} s, heard {result['heard_seconds']} s, "
                      f"silences > 5 ms: {len(result['silences'])} {result['silences']}, "
                      f"breaks: {result['breaks']}, seeks {result['seeks']}, load {result['load']}", flush=True)
    finally:
        for hog in hogs:
            hog.kill()
            hog.wait()
        if server is not None:
            server.close()
        shutil.rmtree(folder, ignore_errors=True)
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
