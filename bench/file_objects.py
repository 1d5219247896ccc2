#!/usr/bin/env python3
"""Reading an input from a Python file object against reading it by path.

    .venv/bin/python bench/file_objects.py [--rounds 3] [--clip 1080p30]

Each run is a fresh process that reads the clip's bytes into memory, opens
a decoder (audio=False, a quarter of a second of pictures held ready) on
the path or on an io.BytesIO of those bytes, and takes every picture as
fast as it comes: pictures per second from start() to the last picture,
the process's CPU time over the same span (all threads; steadier than
the rate on a shared machine), and its peak RSS (VmHWM), which in both
modes includes the bytes. The two modes of a round run back to back in an order that
alternates, each ratio is formed within its round, and the median over
rounds is reported. Targets: BytesIO / path throughput >= 0.95; peak RSS
beyond the path run's no larger than a small fraction of the input (no
copy of the whole input).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

import clips as clipmod

WORKER = r"""
import io, json, os, sys, time
import reelpipe
mode, clip, memory = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(clip, "rb") as file:
    data = file.read()
source = clip if mode == "path" else io.BytesIO(data)
decoder = reelpipe.MediaDecoder(source, audio=False, max_picture_memory=memory)
decoder.start()
began = time.monotonic()
cpu_began = sum(os.times()[:2])
pictures = 0
while not decoder.is_finished():
    if decoder.get_next_frame(timeout=0.5) is not None:
        pictures += 1
elapsed = time.monotonic() - began
cpu = sum(os.times()[:2]) - cpu_began
decoder.stop()
peak = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(json.dumps({"pictures": pictures, "seconds": elapsed, "cpu": cpu, "peak_kb": peak, "bytes": len(data)}))
"""


def run(mode: str, clip: str, memory: int) -> dict:
    done = subprocess.run([sys.executable, "-c", WORKER, mode, clip, str(memory)], capture_output=True, text=True,
                          check=True, timeout=600)
    return json.loads(done.stdout.splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--clip", default="1080p30")
    args = parser.parse_args()
    clip = clipmod.CLIPS[args.clip]
    path = clipmod.clip_path(args.clip)
    memory = clip.fps * clip.width * clip.height * 3 // 4
    print(f"{args.clip}: {os.path.getsize(path) / 1e6:.1f} MB, {clip.pictures} pictures; load {os.getloadavg()}")
    ratios, cpu_ratios, extra_rss = [], [], []
    for round_no in range(args.rounds):
        modes = ["path", "BytesIO"] if round_no % 2 == 0 else ["BytesIO", "path"]
        results = {mode: run(mode, path, memory) for mode in modes}
        rate = {mode: r["pictures"] / r["seconds"] for mode, r in results.items()}
        ratios.append(rate["BytesIO"] / rate["path"])
        cpu_ratios.append(results["BytesIO"]["cpu"] / results["path"]["cpu"])
        extra_rss.append((results["BytesIO"]["peak_kb"] - results["path"]["peak_kb"]) / 1024)
        for mode in modes:
            r = results[mode]
            print(f"round {round_no + 1} {mode:8} {r['pictures']} pictures, {rate[mode]:.1f} pictures/s, "
                  f"CPU {r['cpu']:.2f} s, peak RSS {r['peak_kb'] / 1024:.0f} MB")
    print(f"BytesIO / path throughput per round: {', '.join(f'{x:.3f}' for x in ratios)}; "
          f"median {statistics.median(ratios):.3f}")
    print(f"BytesIO / path CPU per round: {', '.join(f'{x:.3f}' for x in cpu_ratios)}; "
          f"median {statistics.median(cpu_ratios):.3f}")
    print(f"BytesIO peak RSS beyond the path run's, MB: {', '.join(f'{x:+.1f}' for x in extra_rss)}; "
          f"median {statistics.median(extra_rss):+.1f}")


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    main()
