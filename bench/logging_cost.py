#!/usr/bin/env python3
"""What listening to the module's messages costs on badly damaged input.

A 1080p clip gets 64 bytes of noise every 16 KB after its first 256 KB, so
that nearly every packet makes FFmpeg complain. Each run plays the first
MEDIA_SECONDS of it in a fresh interpreter, taking every picture as it comes,
and measures the CPU time of the whole process (user + system, every thread)
from construction to stop. Two configurations alternate, ROUNDS each:

    unconfigured   logging never configured (the reelpipe logger's own
                   NullHandler only): FFmpeg's messages are not even formatted
    debug          logging.basicConfig(level=DEBUG) into a file (os.devnull),
                   with time, logger, level and message: every message
                   formatted, queued, handed to logging and written

    python bench/logging_cost.py [--rounds N] [--seconds S]

Prints one line per run and the medians; the figures go to bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import json
import random
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import clips  # noqa: E402

ROUNDS = 4
MEDIA_SECONDS = 15.0
MODES = ("unconfigured", "debug")


def damaged_clip() -> str:
    """The 1080p bench clip, damaged as the docstring says; made once."""
    source = Path(clips.clip_path("1080p30"))
    target = source.with_name(source.stem + "-damaged.mp4")
    if not target.exists():
        data = bytearray(source.read_bytes())
        noise = random.Random(2026)
        for at in range(256 * 1024, len(data), 16 * 1024):
            data[at:at + 64] = noise.randbytes(64)
        partial = target.with_name("." + target.name)
        partial.write_bytes(bytes(data))
        partial.rename(target)
    return str(target)


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def play(mode: str, path: str, seconds: float) -> dict:
    """One run in this process: plays `seconds` of `path`; returns its figures."""
    import logging
    import os

    counted = {"records": 0}
    if mode == "debug":
        logging.basicConfig(filename=os.devnull, level=logging.DEBUG,
                            format="%(asctime)s %(name)s %(levelname)s %(message)s")

        class Count(logging.Handler):
            def emit(self, record: logging.LogRecord) -> None:
                counted["records"] += 1

        logging.getLogger().addHandler(Count())
    import reelpipe

    cpu0, wall0 = cpu_seconds(), time.perf_counter()
    decoder = reelpipe.MediaDecoder(path)
    decoder.start()
    pictures = 0
    while decoder.get_position() < seconds and time.perf_counter() - wall0 < seconds * 3 + 30:
        if decoder.get_next_frame() is None:
            time.sleep(0.001)
        else:
            pictures += 1
    decoder.stop()
    wall = time.perf_counter() - wall0
    # Lets the delivery thread hand over what is still queued, so that its
    # cost is counted too; sleeping costs no CPU in either mode.
    time.sleep(1.5)
    return {"mode": mode, "cpu": cpu_seconds() - cpu0, "wall": wall, "pictures": pictures,
            "records": counted["records"]}


def run_child(mode: str, path: str, seconds: float) -> dict:
    out = subprocess.run([sys.executable, __file__, "--child", mode, path, str(seconds)], capture_output=True,
                         text=True, check=True, stdin=subprocess.DEVNULL).stdout
    return json.loads(out.strip().splitlines()[-1])


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=ROUNDS)
    parser.add_argument("--seconds", type=float, default=MEDIA_SECONDS)
    parser.add_argument("--child", nargs=3, metavar=("MODE", "PATH", "SECONDS"))
    args = parser.parse_args()
    if args.child:
        mode, path, seconds = args.child
        print(json.dumps(play(mode, path, float(seconds))))
        return 0

    path = damaged_clip()
    results: dict[str, list[dict]] = {mode: [] for mode in MODES}
    for round_ in range(args.rounds):
        # Alternating order, so a change in the machine's load weighs on both.
        for mode in MODES if round_ % 2 == 0 else reversed(MODES):
            result = run_child(mode, path, args.seconds)
            results[mode].append(result)
            print(f"{mode:13} cpu {result['cpu']:6.2f} s  wall {result['wall']:6.2f} s  "
                  f"pictures {result['pictures']:4}  records {result['records']}", flush=True)
    medians = {mode: statistics.median(r["cpu"] for r in runs) for mode, runs in results.items()}
    records = statistics.median(r["records"] for r in results["debug"])
    print(f"median CPU: unconfigured {medians['unconfigured']:.2f} s, debug {medians['debug']:.2f} s "
          f"({(medians['debug'] / medians['unconfigured'] - 1) * 100:+.1f} %); "
          f"{records:.0f} records at DEBUG per run of {args.seconds:g} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
