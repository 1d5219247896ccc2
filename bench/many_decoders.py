#!/usr/bin/env python3
"""Many decoders in one process: does every one keep up, and what does each cost?

    .venv/bin/python bench/many_decoders.py [--rounds 2] [--seconds 12] [--counts 8,16,32,40,48]
                                            [LABEL=DIR ...]

For each count, one fresh process (bench/workers.py, measure "many") makes
that many decoders of a 640x360 30 fps clip with sound, each with
max_picture_memory=8 MB, starts them together and gives each a consumer
thread that takes its pictures as they fall due, for --seconds. Reported,
as the median over rounds:

  shown after 1 s   share of the pictures due after the first second that
                    were handed out (the first second is start-up)
  after 5 s         the same from the fifth second: the steady state
  skipped           share of the pictures shown or dropped that were skipped
                    before they were decoded (builds that cannot say: –)
  in window         share of the pictures handed out within 0.1 s before
                    or 0.01 s after their time
  cores             CPU seconds of the process per wall second
  peak RSS          VmHWM of the process, and that over the decoders

The sound is paced by the null device (REELPIPE_AUDIO_BACKEND=null), so the
figures are the process's own: a sound server would add its mixing on the
same cores. "Others" beside each figure is the cores the rest of the
machine kept busy during the run (all CPU time from /proc/stat less the
run's own): the bench shares its two cores, and a figure taken beside
someone else's build says little. Builds: LABEL=DIR runs the reelpipe extension in DIR
(as bench/compare_builds.py does); none given, the installed one.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))
import clips as clipmod  # noqa: E402

CLIP = "360p30-av"
PICTURE_MEMORY = 8_000_000


def busy_and_wall() -> tuple[float, float]:
    """CPU seconds spent by the whole machine so far, and the uptime."""
    with open("/proc/stat") as stat:
        fields = [int(f) for f in stat.readline().split()[1:]]
    ticks = os.sysconf("SC_CLK_TCK")
    idle = fields[3] + fields[4]  # idle and iowait
    with open("/proc/uptime") as uptime:
        wall = float(uptime.read().split()[0])
    return (sum(fields[:8]) - idle) / ticks, wall


def run(build: str, decoders: int, seconds: float) -> dict | None:
    env = dict(os.environ, REELPIPE_AUDIO_BACKEND="null")
    if build != "installed":
        env["PYTHONPATH"] = build
    clip = clipmod.CLIPS[CLIP]
    request = {"measure": "many", "tool": "reelpipe", "clip": clipmod.clip_path(CLIP), "fps": clip.fps,
               "seconds": seconds, "decoders": decoders, "options": {"max_picture_memory": PICTURE_MEMORY}}
    done = subprocess.run([sys.executable, str(BENCH / "workers.py"), json.dumps(request)], capture_output=True,
                          text=True, timeout=seconds * 4 + 120, env=env)
    lines = [line for line in done.stdout.splitlines() if line.startswith("RESULT ")]
    if done.returncode != 0 or not lines:
        print(f"  {build} x{decoders} failed: {done.stderr.strip()[-300:]}", file=sys.stderr)
        return None
    return json.loads(lines[-1][len("RESULT "):])


def median(runs: list[dict], key: str) -> float | None:
    values = [r[key] for r in runs if r.get(key) is not None]
    return statistics.median(values) if values else None


def percent(value: float | None) -> str:
    return "–" if value is None else f"{100 * value:.1f} %"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="*", help="LABEL=DIR; none: the installed module")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--seconds", type=float, default=12.0)
    parser.add_argument("--counts", default="8,16,32,40,48")
    args = parser.parse_args()
    builds = dict(b.split("=", 1) for b in args.builds) or {"installed": "installed"}
    counts = [int(c) for c in args.counts.split(",")]
    results: dict[tuple[str, int], list[dict]] = {}
    for round_no in range(args.rounds):
        for count in counts:
            # Builds alternate within a count, so that they meet the same load.
            for label, build in (list(builds.items()) if round_no % 2 == 0 else list(builds.items())[::-1]):
                busy0, wall0 = busy_and_wall()
                got = run(build, count, args.seconds)
                if got is None:
                    continue
                busy1, wall1 = busy_and_wall()
                got["load"] = max(0.0, (busy1 - busy0 - got["cpu_seconds"]) / (wall1 - wall0))
                results.setdefault((label, count), []).append(got)
                print(f"round {round_no + 1} {label} x{count}: shown after 1 s {percent(got['shown_after_1s'])}, "
                      f"5 s {percent(got['shown_after_5s'])}, skipped {percent(got.get('skipped'))}, "
                      f"cores {got['cores']:.2f}, "
                      f"RSS {got['peak_rss_mb']:.0f} MB, others {got['load']:.2f} cores", flush=True)
    print()
    print("| decoders | build | shown after 1 s | after 5 s | skipped | in window | cores "
          "| peak RSS MB (per decoder) | others |")
    print("|---|---|---|---|---|---|---|---|---|")
    for count in counts:
        for label in builds:
            runs = results.get((label, count))
            if not runs:
                continue
            rss = median(runs, "peak_rss_mb")
            print(f"| {count} | {label} | {percent(median(runs, 'shown_after_1s'))} | "
                  f"{percent(median(runs, 'shown_after_5s'))} | {percent(median(runs, 'skipped'))} | "
                  f"{percent(median(runs, 'in_window'))} | "
                  f"{median(runs, 'cores'):.2f} | {rss:.0f} ({rss / count:.1f}) | "
                  f"{' / '.join(f'{r['load']:.2f}' for r in runs)} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
