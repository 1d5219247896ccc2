#!/usr/bin/env python3
"""Builds of reelpipe against each other: how an engine change moves the figures.

    .venv/bin/python bench/compare_builds.py [--rounds 3] LABEL=DIR [LABEL=DIR ...]

DIR holds a reelpipe extension (e.g. a `cmake --build` folder of a changed
copy of the tree); the label "installed" stands for the module installed in
the venv. Each round runs every build once per measure, back to back and in
an order that rotates, through the same workers and clips as `make bench`:
unpaced throughput at 720p, 1080p and 4K (pictures/s, CPU and page faults per
picture), 20 s of 1080p30 with sound in real time (CPU per media second,
peak RSS), and the seek latency over 20 targets. Prints one Markdown table of
medians over rounds.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))
import clips as clipmod  # noqa: E402
from suite import isolate_sound, load, percentile  # noqa: E402
from workers import seek_targets  # noqa: E402


def run(build: str, request: dict) -> dict | None:
    env = dict(os.environ)
    if build != "installed":
        env["PYTHONPATH"] = build
    done = subprocess.run([sys.executable, str(BENCH / "workers.py"), json.dumps(request)], capture_output=True,
                          text=True, timeout=300, env=env)
    lines = [line for line in done.stdout.splitlines() if line.startswith("RESULT ")]
    if done.returncode != 0 or not lines:
        print(f"  {build}: {request['measure']} failed: {done.stderr.strip()[-300:]}", file=sys.stderr)
        return None
    return json.loads(lines[-1][len("RESULT "):])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="+", help="LABEL=DIR, or 'installed'")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--no-realtime", action="store_true")
    parser.add_argument("--no-seek", action="store_true")
    args = parser.parse_args()
    builds = dict(b.split("=", 1) if "=" in b else (b, b) for b in args.builds)

    scratch = Path(tempfile.mkdtemp(prefix="reelpipe-compare-"))
    server = isolate_sound(scratch)
    paths = {name: clipmod.clip_path(name) for name in clipmod.CLIPS}
    figures: dict[str, dict[str, list[float]]] = {label: {} for label in builds}

    def add(label: str, key: str, value: float) -> None:
        figures[label].setdefault(key, []).append(value)

    try:
        labels = list(builds)
        for round_no in range(args.rounds):
            order = labels[round_no % len(labels):] + labels[:round_no % len(labels)]
            for name in ("720p60", "1080p30", "2160p30"):
                clip = clipmod.CLIPS[name]
                for label in order:
                    r = run(builds[label], {"measure": "throughput", "tool": "reelpipe", "clip": paths[name],
                                            "pictures": clip.pictures})
                    if r:
                        add(label, f"{clip.label} pictures/s", r["pictures"] / r["seconds"])
                        add(label, f"{clip.label} CPU ms/picture", 1000 * r["cpu"] / r["pictures"])
                        add(label, f"{clip.label} faults/picture", r["faults"] / r["pictures"])
                        print(f"  round {round_no + 1} {clip.label} {label}: {r['pictures'] / r['seconds']:.1f} "
                              f"pictures/s (load {load()})", flush=True)
            if not args.no_realtime:
                clip = clipmod.CLIPS["1080p30-av"]
                for label in order:
                    r = run(builds[label], {"measure": "realtime", "tool": "reelpipe", "clip": paths[clip.name],
                                            "fps": clip.fps, "seconds": 20.0, "pictures": clip.pictures})
                    if r:
                        add(label, "1080p30 real time: CPU s/media s (total)", r["cpu_total"])
                        add(label, "1080p30 real time: CPU s/media s (steady)", r["cpu_steady"])
                        add(label, "1080p30 real time: peak RSS MB", r["peak_rss_mb"])
                        add(label, "1080p30 real time: dropped after 1 s", r["dropped"])
            if not args.no_seek and round_no == 0:
                clip = clipmod.CLIPS["1080p30-av"]
                targets = seek_targets(20, clip.seconds)
                for label in order:
                    r = run(builds[label], {"measure": "seek", "tool": "reelpipe", "clip": paths[clip.name],
                                            "fps": clip.fps, "targets": targets})
                    if r:
                        add(label, "seek median ms (20 targets)", 1000 * statistics.median(r["latencies"]))
                        add(label, "seek p95 ms (20 targets)", 1000 * percentile(r["latencies"], 95))
    finally:
        if server is not None:
            server.terminate()
            server.wait(timeout=10)
        shutil.rmtree(scratch, ignore_errors=True)

    keys = list(dict.fromkeys(k for f in figures.values() for k in f))
    print("\n| figure | " + " | ".join(builds) + " |")
    print("|---|" + "---:|" * len(builds))
    for key in keys:
        cells = []
        for label in builds:
            values = figures[label].get(key)
            if not values:
                cells.append("–")
                continue
            value = statistics.median(values)
            cells.append(f"{value:.0f}" if abs(value) >= 100 else f"{value:.1f}" if abs(value) >= 10
                         else f"{value:.3f}")
        print(f"| {key} | " + " | ".join(cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
