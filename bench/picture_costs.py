"""What a picture costs on its way out of the installed reelpipe.

    python bench/picture_costs.py [--runs N] [--only turned,conversion,scaled,peers]

turned: the same 150 pictures (1920 x 1080, H.264, no sound) as stored, and
with a display matrix that turns them a quarter and a half turn, taken as
fast as they come. The difference per picture is what turning costs.

queued: the clip's pictures all decoded ahead into the queue before any is
taken, so each one's memory is fresh from the system rather than recycled
from a picture that died, then taken. Run it against two builds (put one
first on PYTHONPATH) to compare how picture memory is obtained.

Times are medians over the runs: wall time and this process's CPU time (all
threads) per picture. The queued run's wall time includes its idle wait.

conversion: the CPU time (of the converting thread alone) that one
conversion of a decoded 1080p and 4K picture takes, with libswscale alone and
with the converter the player picks (libyuv where it keeps colours within 4
levels of the CLI, else libswscale), to each pixel format, for the bench
clips as they are (untagged, so BT.601 limited range) and tagged BT.709 in
limited and full range. Timed by reelpipe_probe (build/probe, made by `make
build`) converting the same picture again and again into recycled memory:
the conversion alone, without page faults or decoding.

scaled: the 4K30 clip with sound played in real time at full size in rgb24
and at size=(1280, 720) in rgba: CPU seconds per media second (whole
process) and peak RSS, each in a fresh process (bench/workers.py).

peers: the silent 4K30 clip (300 pictures) taken unpaced as 1280x720 RGBA:
reelpipe's size= and pixel_format=, PyAV's frame.reformat(1280, 720,
"rgba") and ffpyplayer's set_size() with out_fmt rgba, each in a fresh
process, in an order that rotates from round to round; the ratio is formed
within each round against the faster peer of that round.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

import reelpipe

ROOT = Path(__file__).resolve().parent.parent
CLIPS_DIR = ROOT / "build" / "bench-clips"
PICTURES = 150
sys.path.insert(0, str(ROOT / "bench"))
import clips as clipmod  # noqa: E402

FORMATS = ("rgb24", "bgr24", "rgba", "bgra", "gray")
# How the bench clips are tagged for the conversion figures: as made
# (untagged), or through h264_metadata's matrix and range fields.
TAGS = {"untagged": None, "BT.709 limited": "matrix_coefficients=1:video_full_range_flag=0",
        "BT.709 full": "matrix_coefficients=1:video_full_range_flag=1"}

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


def tagged_clip(clip: str, tag: str) -> Path:
    """The first second of a silent bench clip, its colour tags set as TAGS[tag] says."""
    source = Path(clipmod.clip_path(clip))
    path = CLIPS_DIR / f"{source.stem}-{tag.replace(' ', '-').replace('.', '')}.mp4"
    if not path.exists():
        bsf = ["-bsf:v", f"h264_metadata={TAGS[tag]}"] if TAGS[tag] else []
        partial = path.with_suffix(".partial.mp4")
        subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-i", str(source),
                        "-t", "1", "-c", "copy", *bsf, str(partial)], check=True)
        partial.replace(path)
    return path


def load_average() -> str:
    return " ".join(f"{value:.1f}" for value in os.getloadavg())


def conversion(runs: int) -> None:
    """Per-picture conversion CPU, libswscale alone against the converter the player picks."""
    sys.path.insert(0, str(ROOT / "build" / "probe"))
    import reelpipe_probe

    def cost(path: Path, swscale_only: bool, **options) -> float:
        return min(reelpipe_probe.conversion_cost(str(path), swscale_only=swscale_only, repeats=20, **options)
                   for _ in range(runs))

    print(f"\nload average before: {load_average()}")
    print("| picture | colours | to | libswscale CPU ms | chosen CPU ms | chosen ÷ libswscale |")
    print("| --- | --- | --- | ---: | ---: | ---: |")
    for label, clip in (("1080p", "1080p30"), ("4K", "2160p30")):
        for tag in TAGS:
            path = tagged_clip(clip, tag)
            for pixel_format in FORMATS:
                alone = cost(path, True, pixel_format=pixel_format)
                chosen = cost(path, False, pixel_format=pixel_format)
                print(f"| {label} | {tag} | {pixel_format} | {alone:.2f} | {chosen:.2f} | {chosen / alone:.2f} |")
        path = tagged_clip(clip, "untagged")
        scaled = cost(path, True, pixel_format="rgba", width=1280, height=720)
        print(f"| {label} | untagged | rgba 1280x720 | {scaled:.2f} | {scaled:.2f} | 1.00 |")
    print(f"load average after: {load_average()}")


def scaled(runs: int) -> None:
    """4K30 with sound in real time at full size rgb24 against size=(1280, 720) rgba."""
    clip = clipmod.CLIPS["2160p30-av"]
    path = clipmod.clip_path(clip.name)
    print(f"\nload average before: {load_average()}")
    print("| 4K30 with sound, 10 s in real time | CPU s / media s | peak RSS MB | pictures |")
    print("| --- | ---: | ---: | ---: |")
    figures: dict[str, list[tuple[float, float, int]]] = {}
    for _ in range(runs):
        for label, options in (("full size, rgb24", {}),
                               ("1280x720, rgba", {"size": [1280, 720], "pixel_format": "rgba"})):
            request = {"measure": "realtime", "tool": "reelpipe", "clip": path, "fps": clip.fps,
                       "seconds": clip.seconds, "pictures": clip.pictures, "options": options}
            out = subprocess.run([sys.executable, str(ROOT / "bench" / "workers.py"), json.dumps(request)],
                                 capture_output=True, text=True, timeout=120).stdout
            result = json.loads(out.rsplit("RESULT ", 1)[1])
            figures.setdefault(label, []).append((result["cpu_total"], result["peak_rss_mb"], result["distinct"]))
    for label, runs_of in figures.items():
        print(f"| {label} | {statistics.median(r[0] for r in runs_of):.2f} | "
              f"{statistics.median(r[1] for r in runs_of):.0f} | {statistics.median(r[2] for r in runs_of):.0f} |")
    print(f"load average after: {load_average()}")


def peers(runs: int) -> None:
    """Unpaced 4K to 1280x720 RGBA: reelpipe against PyAV's reformat and ffpyplayer's output size."""
    clip = clipmod.CLIPS["2160p30"]
    path = clipmod.clip_path(clip.name)
    tools = ["reelpipe", "pyav", "ffpyplayer"]
    rates: dict[str, list[float]] = {tool: [] for tool in tools}
    cpu: dict[str, list[float]] = {tool: [] for tool in tools}
    ratios = []
    print(f"\nload average before: {load_average()}")
    for round_no in range(runs):
        order = tools[round_no % 3:] + tools[:round_no % 3]
        this_round = {}
        for tool in order:
            request = {"measure": "throughput", "tool": tool, "clip": path, "pictures": clip.pictures,
                       "scaled": [1280, 720]}
            done = subprocess.run([sys.executable, str(ROOT / "bench" / "workers.py"), json.dumps(request)],
                                  capture_output=True, text=True, timeout=180)
            if "RESULT " not in done.stdout:
                print(f"{tool} failed: {done.stderr.strip()[-300:]}")
                continue
            result = json.loads(done.stdout.rsplit("RESULT ", 1)[1])
            this_round[tool] = result["pictures"] / result["seconds"]
            rates[tool].append(this_round[tool])
            cpu[tool].append(1000 * result["cpu"] / result["pictures"])
        best_peer = max((this_round.get(t, 0.0) for t in tools[1:]), default=0.0)
        if "reelpipe" in this_round and best_peer > 0:
            ratios.append(this_round["reelpipe"] / best_peer)
    print("| 4K30 → 1280x720 RGBA, unpaced | pictures / s | CPU ms / picture |")
    print("| --- | ---: | ---: |")
    for tool in tools:
        if rates[tool]:
            print(f"| {tool} | {statistics.median(rates[tool]):.1f} | {statistics.median(cpu[tool]):.2f} |")
    if ratios:
        print(f"reelpipe ÷ faster peer, per round: {', '.join(f'{r:.2f}' for r in ratios)}; "
              f"median {statistics.median(ratios):.2f}")
    print(f"load average after: {load_average()}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--only", default="turned,conversion,scaled,peers")
    args = parser.parse_args()
    parts = args.only.split(",")
    print(f"reelpipe: {reelpipe.__file__}")
    if "turned" in parts:
        print("| 1080p, 150 pictures | wall ms / picture | CPU ms / picture |")
        print("| --- | ---: | ---: |")
        for name in TURNS:
            report(f"turned: {name}", turned_clip(name), args.runs)
        report("queued: as stored", turned_clip("as stored"), args.runs, queue_first=True)
    if "conversion" in parts:
        conversion(args.runs)
    if "scaled" in parts:
        scaled(args.runs)
    if "peers" in parts:
        peers(args.runs)


if __name__ == "__main__":
    main()
