"""What a picture costs on its way out of the installed reelpipe, at 1080p.

    python bench/picture_costs.py [--runs N]

turned: the same 150 pictures (1920 x 1080, H.264, no sound) as stored, and
with a display matrix that turns them a quarter and a half turn, taken as
fast as they come. The difference per picture is what turning costs.

queued: the clip's pictures all decoded ahead into the queue before any is
taken, so each one's memory is fresh from the system rather than recycled
from a picture that died, then taken. Run it against two builds (put one
first on PYTHONPATH) to compare how picture memory is obtained.

Times are medians over the runs: wall time and this process's CPU time (all
threads) per picture. The queued run's wall time includes its idle wait.
"""

from __future__ import annotations

import argparse
import statistics
import struct
import subprocess
import time
from pathlib import Path

import reelpipe

ROOT = Path(__file__).resolve().parent.parent
CLIPS_DIR = ROOT / "build" / "bench-clips"
PICTURES = 150

# Display matrices [a b; c d]: a source pixel (x, y) is shown at (a x + c y, b x + d y).
TURNS = {"as stored": (1, 0, 0, 1), "quarter turn": (0, 1, -1, 0), "half turn": (-1, 0, 0, -1)}


def upright_clip() -> Path:
    path = CLIPS_DIR / "turned-1080p30.mp4"
    if not path.exists():
        CLIPS_DIR.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial.mp4")
        subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi",
                        "-i", f"testsrc2=size=1920x1080:rate=30:duration={PICTURES / 30}", "-c:v", "libx264",
                        "-preset", "veryfast", "-pix_fmt", "yuv420p", "-an", str(partial)], check=True)
        partial.replace(path)
    return path


def turned_clip(name: str) -> Path:
    """The upright clip with its track header's display matrix set for `name`."""
    a, b, c, d = TURNS[name]
    path = CLIPS_DIR / f"turned-1080p30-{a}{b}{c}{d}.mp4"
    data = bytearray(upright_clip().read_bytes())
    header = data.index(b"tkhd") + 4
    matrix = header + 4 + (32 if data[header] == 1 else 20) + 16
    data[matrix:matrix + 36] = struct.pack(">9i", a << 16, b << 16, 0, c << 16, d << 16, 0, 0, 0, 1 << 30)
    path.write_bytes(data)
    return path


def take_all(decoder) -> int:
    taken = 0
    last = time.monotonic()
    while taken < PICTURES and time.monotonic() - last < 5.0:
        if decoder.get_next_frame() is None:
            time.sleep(0.001)
            continue
        taken += 1
        last = time.monotonic()
    return taken


def measure(path: Path, queue_first: bool) -> tuple[float, float]:
    """Wall and CPU milliseconds per picture for one playback of `path`."""
    decoder = reelpipe.MediaDecoder(str(path))
    wall, cpu = time.perf_counter(), time.process_time()
    decoder.start()
    if queue_first:
        # The read-ahead holds the whole clip (5 s): once the decode threads
        # fall idle every picture is queued.
        before = time.process_time()
        time.sleep(0.3)
        while time.process_time() - before > 0.03:
            before = time.process_time()
            time.sleep(0.3)
    taken = take_all(decoder)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    decoder.stop()
    assert taken == PICTURES, f"{path.name}: {taken} pictures"
    return 1000 * wall / taken, 1000 * cpu / taken


def report(label: str, path: Path, runs: int, queue_first: bool = False) -> None:
    results = [measure(path, queue_first) for _ in range(runs)]
    wall = statistics.median(r[0] for r in results)
    cpu = statistics.median(r[1] for r in results)
    print(f"| {label} | {wall:.2f} | {cpu:.2f} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    print(f"reelpipe: {reelpipe.__file__}")
    print("| 1080p, 150 pictures | wall ms / picture | CPU ms / picture |")
    print("| --- | ---: | ---: |")
    for name in TURNS:
        report(f"turned: {name}", turned_clip(name), args.runs)
    report("queued: as stored", turned_clip("as stored"), args.runs, queue_first=True)


if __name__ == "__main__":
    main()
