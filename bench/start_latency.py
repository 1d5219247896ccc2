#!/usr/bin/env python3
"""The first picture after start(), in fresh processes.

    .venv/bin/python bench/start_latency.py [--rounds 8] [--repeats 6]

Every round runs one fresh process per case, in an order that rotates from
round to round (the machine is shared; its load swings):
  reelpipe          NumPy imported before the clock, as the suite's start measure
  reelpipe, cold    NumPy not imported yet: a program whose first array is reelpipe's
  pyav, opencv      each if importable (both bring NumPy in with them); their
                    wheels carry an FFmpeg of their own, newer than the system's
  pyav-system       with --system-pyav PYTHON: PyAV built against the system's
                    FFmpeg, as reelpipe is, in that interpreter (for instance
                    a venv with `pip install --no-binary av 'av==12.3.0'`,
                    the last PyAV that builds against FFmpeg 5.1)
Each process opens the 1080p30 clip with sound `repeats` times, from making
the decoder to holding the first picture as an array (bench/workers.py's
start_* functions); the first opening is the cold one. For reelpipe, the
first opening also records the next pictures: how late each is handed out
against the clock (get_position() less the picture's time), which shows a
burst at the start as several pictures handed out late.

Prints the median over rounds of each case's cold time, of its warm median,
and of the latest of reelpipe's first pictures.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

from clips import clip_path  # noqa: E402

CLIP = "1080p30-av"
FOLLOWING = 5  # pictures after the first whose lateness is recorded


def reelpipe_cold_start(clip: str) -> dict:
    """From making the decoder to the first array, then the next pictures' lateness."""
    import reelpipe
    began = time.perf_counter()
    decoder = reelpipe.MediaDecoder(clip)
    decoder.start()
    lateness = []
    while len(lateness) < 1 + FOLLOWING:
        shown = decoder.get_next_frame(timeout=10.0, with_time=True)
        if shown is None:
            raise RuntimeError("no picture within 10 s")
        if not lateness:
            first = time.perf_counter() - began
        lateness.append(decoder.get_position() - shown[1])
    decoder.stop()
    return {"first": first, "late": max(lateness)}


def worker(case: str, clip: str, repeats: int) -> dict:
    if case != "reelpipe-cold":
        import numpy  # noqa: F401
    import workers
    tool = case.removesuffix("-cold")
    if tool != "reelpipe":
        times = [getattr(workers, f"start_{tool}")(clip) for _ in range(repeats)]
        return {"cold": times[0], "warm": statistics.median(times[1:])}
    first = reelpipe_cold_start(clip)
    times = [workers.start_reelpipe(clip) for _ in range(repeats - 1)]
    return {"cold": first["first"], "warm": statistics.median(times), "late": first["late"]}


def importable(module: str) -> bool:
    return subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True).returncode == 0


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=6)
    parser.add_argument("--system-pyav", metavar="PYTHON", help="an interpreter whose av uses the system's FFmpeg")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    clip = clip_path(CLIP)
    if args.worker:
        print("RESULT " + json.dumps(worker(args.worker, clip, args.repeats)), flush=True)
        return 0
    cases = ["reelpipe", "reelpipe-cold"] + [tool for tool, module in (("pyav", "av"), ("opencv", "cv2"))
                                             if importable(module)]
    interpreters = {case: sys.executable for case in cases}
    if args.system_pyav:
        cases.append("pyav-system")
        interpreters["pyav-system"] = args.system_pyav
    results: dict[str, list[dict]] = {case: [] for case in cases}
    for round_number in range(args.rounds):
        shift = round_number % len(cases)
        for case in cases[shift:] + cases[:shift]:
            worker_case = "pyav" if case == "pyav-system" else case
            done = subprocess.run([interpreters[case], __file__, "--worker", worker_case, "--repeats",
                                   str(args.repeats)], capture_output=True, text=True, timeout=120)
            line = next((line for line in done.stdout.splitlines() if line.startswith("RESULT ")), None)
            if line is None:
                raise SystemExit(f"{case} failed: {done.stderr[-2000:]}")
            results[case].append(json.loads(line[len("RESULT "):]))
    with open("/proc/loadavg") as f:
        load = f.read().split()[0]
    print(f"{args.rounds} rounds, {args.repeats} openings per process, load average {load} at the end")
    print(f"{'case':14} {'cold ms':>8} {'warm ms':>8} {'latest of the first pictures, ms':>34}")
    for case, runs in results.items():
        cold = 1000 * statistics.median(r["cold"] for r in runs)
        warm = 1000 * statistics.median(r["warm"] for r in runs)
        late = f"{1000 * statistics.median(r['late'] for r in runs):34.0f}" if "late" in runs[0] else ""
        print(f"{case:14} {cold:8.1f} {warm:8.1f} {late}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
