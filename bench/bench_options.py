#!/usr/bin/env python3
"""What the constructor options buy, measured beside ffpyplayer in one run.

    .venv/bin/python bench/bench_options.py [--rounds 3] [--seconds 20] [--out build/bench]

  memory     1080p30 with sound played in real time for --seconds: reelpipe
             with max_picture_memory holding about one second of pictures,
             reelpipe as it comes, and ffpyplayer. Peak RSS and CPU seconds
             per media second (whole run, opening included). Targets: peak
             RSS <= 1.5 x ffpyplayer's, CPU <= 1.0 x.
  no sound   unpaced pictures per second: the 1080p30 clip with sound opened
             with audio=False, and the same clip without sound. Target:
             within 5 %.

Every run is a fresh process (bench/workers.py); the tools of one comparison
run back to back in an order that rotates from round to round, and each
ratio is formed within its round, then the median over rounds is reported.
The sound plays to a private PulseAudio null sink when pulseaudio is
installed (bench/suite.py's isolate_sound), as in `make bench`.
"""

from __future__ import annotations

import argparse
import json
import statistics
import tempfile
from pathlib import Path

import clips as clipmod
import suite

CLIP_AV, CLIP_SILENT = "1080p30-av", "1080p30"
# About one second of 1080p RGB pictures.
ONE_SECOND_OF_PICTURES = 30 * 1920 * 1080 * 3

REALTIME_TOOLS = {
    "reelpipe 1 s of pictures": ("reelpipe", {"max_picture_memory": ONE_SECOND_OF_PICTURES}),
    "reelpipe default": ("reelpipe", None),
    "ffpyplayer": ("ffpyplayer", None),
}
THROUGHPUT_RUNS = {
    "audio=False on the clip with sound": (CLIP_AV, {"audio": False}),
    "the clip without sound": (CLIP_SILENT, None),
}


def request(measure: str, tool: str, clip: str, options: dict | None, **extra) -> dict:
    made = {"measure": measure, "tool": tool, "clip": clip, **extra}
    if options is not None:
        made["options"] = options
    return made


def rotated(names: list[str], round_no: int) -> list[str]:
    shift = round_no % len(names)
    return names[shift:] + names[:shift]


def ratio(a: float | None, b: float | None) -> float | None:
    return a / b if a is not None and b else None


def median(values: list[float | None]) -> float | None:
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value: float | None, pattern: str = "{:.2f}") -> str:
    return "–" if value is None else pattern.format(value)


def run_rounds(bench: suite.Suite, rounds: int, seconds: float) -> list[dict]:
    clip_av = clipmod.clip_path(CLIP_AV)
    clip_silent = clipmod.clip_path(CLIP_SILENT)
    paths = {CLIP_AV: clip_av, CLIP_SILENT: clip_silent}
    info = clipmod.CLIPS[CLIP_AV]
    results = []
    for round_no in range(rounds):
        for name in rotated(list(REALTIME_TOOLS), round_no):
            tool, options = REALTIME_TOOLS[name]
            if tool not in bench.tools:
                continue
            got = bench.worker(request("realtime", tool, clip_av, options, fps=info.fps, seconds=seconds,
                                       pictures=info.pictures), timeout=seconds * 3 + 60)
            results.append({"measure": "realtime", "name": name, "round": round_no, "result": got})
            print(f"round {round_no + 1} realtime {name}: {json.dumps(got)[:200]}", flush=True)
        for name in rotated(list(THROUGHPUT_RUNS), round_no):
            clip, options = THROUGHPUT_RUNS[name]
            got = bench.worker(request("throughput", "reelpipe", paths[clip], options,
                                       pictures=clipmod.CLIPS[clip].pictures))
            results.append({"measure": "throughput", "name": name, "round": round_no, "result": got})
            print(f"round {round_no + 1} throughput {name}: {json.dumps(got)[:200]}", flush=True)
    return results


def summarise(results: list[dict], rounds: int) -> str:
    def pick(measure: str, name: str, round_no: int) -> dict | None:
        for entry in results:
            if (entry["measure"], entry["name"], entry["round"]) == (measure, name, round_no):
                return entry["result"]
        return None

    lines = ["| run | peak RSS (MB) | CPU s per media s | pictures | dropped after 1 s |",
             "|---|---|---|---|---|"]
    for name in REALTIME_TOOLS:
        runs = [r for r in (pick("realtime", name, k) for k in range(rounds)) if r]
        if not runs:
            continue
        lines.append(f"| {name} | {fmt(median([r['peak_rss_mb'] for r in runs]), '{:.0f}')} | "
                     f"{fmt(median([r['cpu_total'] for r in runs]), '{:.3f}')} | "
                     f"{fmt(median([r['pictures'] for r in runs]), '{:.0f}')} | "
                     f"{fmt(median([r['dropped'] for r in runs]), '{:.0f}')} |")
    rss, cpu, fps = [], [], []
    for k in range(rounds):
        ours, theirs = pick("realtime", "reelpipe 1 s of pictures", k), pick("realtime", "ffpyplayer", k)
        if ours and theirs:
            rss.append(ratio(ours["peak_rss_mb"], theirs["peak_rss_mb"]))
            cpu.append(ratio(ours["cpu_total"], theirs["cpu_total"]))
        off = pick("throughput", "audio=False on the clip with sound", k)
        silent = pick("throughput", "the clip without sound", k)
        if off and silent:
            fps.append(ratio(off["pictures"] / off["seconds"], silent["pictures"] / silent["seconds"]))
    lines += ["", f"reelpipe with 1 s of pictures ÷ ffpyplayer (per round, median of {len(rss)}): peak RSS "
              f"{fmt(median(rss))} (target ≤ 1.5), CPU per media second {fmt(median(cpu))} (target ≤ 1.0); "
              f"rounds: RSS {[fmt(v) for v in rss]}, CPU {[fmt(v) for v in cpu]}.", ""]
    lines += ["| unpaced 1080p30 | pictures/s (median) |", "|---|---|"]
    for name, (clip, _) in THROUGHPUT_RUNS.items():
        runs = [r for r in (pick("throughput", name, k) for k in range(rounds)) if r]
        lines.append(f"| {name} | {fmt(median([r['pictures'] / r['seconds'] for r in runs]), '{:.1f}')} |")
    lines += ["", f"audio=False ÷ without sound (per round, median of {len(fps)}): {fmt(median(fps), '{:.3f}')} "
              f"(target within 5 %); rounds: {[fmt(v, '{:.3f}') for v in fps]}."]
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--out", default=str(suite.ROOT / "build" / "bench"))
    args = parser.parse_args()
    scratch = Path(tempfile.mkdtemp(prefix="reelpipe-bench-options-"))
    server = suite.isolate_sound(scratch)
    try:
        bench = suite.Suite(argparse.Namespace(out=args.out, reelpipe_path=None))
        print(f"sound: {'PulseAudio null sink' if server else 'miniaudio null backend'}; load {suite.load()}",
              flush=True)
        results = run_rounds(bench, args.rounds, args.seconds)
    finally:
        if server is not None:
            server.terminate()
            server.wait()
    report = summarise(results, args.rounds)
    out = Path(args.out)
    (out / "options.json").write_text(json.dumps({"results": results, "notes": bench.notes}, indent=1))
    print(report)
    for note in bench.notes:
        print("note:", note)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
