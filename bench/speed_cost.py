#!/usr/bin/env python3
"""CPU per media second at playback speed 2.0 against 1.0.

    .venv/bin/python bench/speed_cost.py [--rounds 3] [--seconds 10] [--clip 1080p30-av]

Every run is a fresh process that plays the clip in real time at one speed,
taking every picture as it falls due, for --seconds of wall time; its CPU
(user + system, all threads, opening included) is divided by the media
seconds played (the position reached). The two speeds of one round run back
to back in an order that alternates from round to round, and the ratio is
formed within the round; the median over rounds is reported. The sound goes
to miniaudio's null device, which consumes it in real time.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

import clips as clipmod

CHILD = r"""
import json, resource, sys, time
import reelpipe
path, speed, seconds = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
decoder = reelpipe.MediaDecoder(path)
decoder.set_speed(speed)
decoder.start()
end = time.monotonic() + seconds
pictures = 0
while time.monotonic() < end and not decoder.is_finished():
    if decoder.get_next_frame(timeout=0.05) is not None:
        pictures += 1
played = decoder.get_position()
decoder.stop()
usage = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps({"cpu": usage.ru_utime + usage.ru_stime, "media": played, "pictures": pictures}))
"""


def run(path: str, speed: float, seconds: float) -> dict:
    env = dict(os.environ, REELPIPE_AUDIO_BACKEND="null")
    done = subprocess.run([sys.executable, "-c", CHILD, path, str(speed), str(seconds)], capture_output=True,
                          text=True, check=True, env=env, timeout=seconds + 60)
    return json.loads(done.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--clip", default="1080p30-av")
    args = parser.parse_args()
    path = clipmod.clip_path(args.clip)
    ratios = []
    for round_ in range(args.rounds):
        speeds = (1.0, 2.0) if round_ % 2 == 0 else (2.0, 1.0)
        result = {speed: run(path, speed, args.seconds) for speed in speeds}
        per_media = {speed: r["cpu"] / r["media"] for speed, r in result.items()}
        ratios.append(per_media[2.0] / per_media[1.0])
        for speed in (1.0, 2.0):
            r = result[speed]
            print(f"round {round_ + 1}, speed {speed}: {r['media']:.2f} media s, {r['pictures']} pictures, "
                  f"{r['cpu']:.2f} CPU s, {per_media[speed]:.3f} CPU s per media s")
    print(f"CPU per media second, speed 2.0 / 1.0: median {statistics.median(ratios):.3f} "
          f"({', '.join(f'{r:.3f}' for r in ratios)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
