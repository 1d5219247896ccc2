#!/usr/bin/env python3
"""Sync as heard: how long after get_next_frame() hands out a picture its
sound reaches a PulseAudio null sink.

    make build && .venv/bin/python bench/bench_sync.py [--runs 3] [--seconds 9.5]

Method. A private PulseAudio server with one null sink is started as the
tests start it (tests/conftest.py's PulseServer, which also gives this
process a private HOME and runtime folders), and parec records the sink's
monitor with --latency-msec=10, noting the monotonic time of every read.
The clip (tools/make_clips.py clicks_av) draws each picture's index in it at
25 fps and has a 4 ms click at each whole second, in PCM so that nothing
moves its onset. Each run plays it from the start with the real module and
notes time.monotonic() as get_next_frame() returns each picture 25 k
(k >= 1); each click's onset is found in the recording and placed on the same
clock by the earliest-looking read around it (a read can only come late).
The offset of second k is the click's time less the picture's: positive when
the picture is shown before its sound is heard. Reported per run and over
all runs (median, spread).

The monitor hears what the sink renders, which is when a real device would
be handed it; a sound card's own output latency would come on top.
"""

from __future__ import annotations

import argparse
import statistics
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# conftest gives this process private sound-server folders on import, before
# reelpipe (and libpulse) can be loaded.
sys.path.insert(0, str(ROOT / "tests"))
import conftest  # noqa: E402
import sound_util  # noqa: E402


def describe(offsets: list[float]) -> str:
    ms = sorted(1000 * x for x in offsets)
    if not ms:
        return "no picture matched with its click"
    tenth = ms[len(ms) // 10]
    ninetieth = ms[-1 - len(ms) // 10]
    return (f"{len(ms)} pictures, median {statistics.median(ms):+.1f} ms, mean {statistics.fmean(ms):+.1f} ms, "
            f"p10..p90 {tenth:+.1f}..{ninetieth:+.1f} ms, min..max {ms[0]:+.1f}..{ms[-1]:+.1f} ms")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=9.5, help="seconds of the 10 s clip played per run")
    args = parser.parse_args()

    clip = conftest.make_clips.clip_path("clicks_av")
    server = conftest.PulseServer()
    try:
        server.start()
    except (OSError, RuntimeError) as exc:
        print(f"sync at the sink: not measured, PulseAudio could not be started ({exc})")
        server.stop()
        return 1
    every: list[float] = []
    try:
        print(f"sync at the sink: {args.runs} runs of {args.seconds:g} s of clicks_av on a PulseAudio null sink, "
              "click time less picture time (positive: the picture comes first)")
        for run in range(1, args.runs + 1):
            offsets = sound_util.picture_sound_offsets(server, clip, args.seconds)
            every.extend(offsets)
            print(f"  run {run}: {describe(offsets)}", flush=True)
    finally:
        server.stop()
    print(f"  all:   {describe(every)}")
    return 0 if every else 1


if __name__ == "__main__":
    sys.exit(main())
