#!/usr/bin/env python3
"""One decoder heavier than the machine: 4K at 60 fps with sound, in real time.

    .venv/bin/python bench/falling_behind.py [--rounds 2] [--busy 1] [LABEL=DIR ...]

Plays bench/clips.py "2160p60-av" (H.264 superfast at 50 Mb/s, 8 s, AAC)
from the start to its end with the sound paced by the null device
(REELPIPE_AUDIO_BACKEND=null), while --busy processes spin, each a core's
worth of other work. The caller takes every picture as it falls due and
reads get_position() right after. Reported per run:

  shown/s     pictures handed out per second of sound played
  held        seconds the sound stood still in all (wall time from start()
              to the end of the sound, less the sound played): the wait
              for the first picture, and every time the clock waited for
              pictures
  stalls      how often the sound stood still for more than 50 ms while
              playing, as the caller saw it between two calls
  offset      picture time less position at the hand-over: median and worst
  in ±40 ms   pictures handed out per second of sound played whose offset
              was within 40 ms
  skipped     pictures skipped before decoding (builds that can say)
  wall        seconds from start() to the end of the sound
  others      cores the rest of the machine kept busy meanwhile, the
              spinners included (all CPU time in /proc/stat less the run's)

Builds: LABEL=DIR runs the reelpipe extension in DIR (as compare_builds.py
does); none given, the installed one.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))
import clips as clipmod  # noqa: E402

CLIP = "2160p60-av"
STALL = 0.05
IN_SYNC = 0.04

PLAY = """
import json, sys, time
sys.path.insert(0, sys.argv[2])
import reelpipe
from clips import picture_index
decoder = reelpipe.MediaDecoder(sys.argv[1])
fps = decoder.get_fps()
decoder.start()
began = time.monotonic()
offsets, stalls = [], []
last_position, still_since = 0.0, None
while not decoder.is_finished() and time.monotonic() - began < 60:
    picture = decoder.get_next_frame(timeout=0.02)
    now, position = time.monotonic(), decoder.get_position()
    if picture is not None:
        offsets.append(picture_index(picture) / fps - position)
    if position > last_position or position <= 0.0:
        if still_since is not None and now - still_since > STALL:
            stalls.append(now - still_since)
        still_since = None
    elif still_since is None:
        still_since = now
    last_position = max(last_position, position)
counts = decoder.get_picture_counts() if hasattr(decoder, "get_picture_counts") else None
wall = time.monotonic() - began
decoder.stop()
print("RESULT " + json.dumps({"shown": len(offsets), "position": last_position, "wall": wall, "stalls": stalls,
                              "offsets": offsets, "counts": counts}))
""".replace("STALL", repr(STALL))


def busy_and_wall() -> tuple[float, float]:
    """CPU seconds spent by the whole machine so far, and the uptime."""
    with open("/proc/stat") as stat:
        fields = [int(f) for f in stat.readline().split()[1:]]
    idle = fields[3] + fields[4]
    with open("/proc/uptime") as uptime:
        wall = float(uptime.read().split()[0])
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK"), wall


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run(build: str) -> dict | None:
    env = dict(os.environ, REELPIPE_AUDIO_BACKEND="null")
    if build != "installed":
        env["PYTHONPATH"] = build
    clip = clipmod.clip_path(CLIP)
    busy0, wall0 = busy_and_wall()
    own0 = children_cpu()
    done = subprocess.run([sys.executable, "-c", PLAY, clip, str(BENCH)], capture_output=True, text=True,
                          timeout=120, env=env)
    busy1, wall1 = busy_and_wall()
    lines = [line for line in done.stdout.splitlines() if line.startswith("RESULT ")]
    if done.returncode != 0 or not lines:
        print(f"  {build} failed: {done.stderr.strip()[-300:]}", file=sys.stderr)
        return None
    got = json.loads(lines[-1][len("RESULT "):])
    got["others"] = max(0.0, (busy1 - busy0 - (children_cpu() - own0)) / (wall1 - wall0))
    return got


def describe(label: str, got: dict) -> str:
    offsets = sorted(got["offsets"])
    counts = got["counts"]
    skipped = f"{counts['skipped']}" if counts else "–"
    played = max(got["position"], 1e-9)
    in_sync = sum(1 for offset in offsets if abs(offset) <= IN_SYNC)
    return (f"| {label} | {got['shown'] / played:.1f} | {got['wall'] - got['position']:.1f} s | "
            f"{len(got['stalls'])} | {1000 * statistics.median(offsets):+.0f} ms, {1000 * offsets[0]:+.0f} ms | "
            f"{in_sync / played:.1f} | {skipped} | {got['wall']:.1f} s | {got['others']:.2f} |")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="*", help="LABEL=DIR; none: the installed module")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--busy", type=int, default=1, help="processes spinning beside the player")
    args = parser.parse_args()
    builds = dict(b.split("=", 1) for b in args.builds) or {"installed": "installed"}
    spinners = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(args.busy)]
    rows = []
    try:
        for round_no in range(args.rounds):
            order = list(builds.items()) if round_no % 2 == 0 else list(builds.items())[::-1]
            for label, build in order:
                got = run(build)
                if got is not None:
                    rows.append(describe(label, got))
                    print(rows[-1], flush=True)
    finally:
        for spinner in spinners:
            spinner.kill()
            spinner.wait()
    print()
    print("| build | shown/s | held | stalls | offset (median, worst) | in ±40 ms/s | skipped | wall | others |")
    print("|---|---|---|---|---|---|---|---|---|")
    print("\n".join(sorted(rows)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
