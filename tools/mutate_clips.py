#!/usr/bin/env python3
"""Make damaged copies of media files, reproducibly.

A mutated copy is fully determined by the source bytes, a name and a seed, so
a failure seen in a test can be made again here by hand and replayed:

    python tools/mutate_clips.py build/clips/av-*.mp4 --name av --seed 17 -o bad.mp4
    python tools/mutate_clips.py SRC --name av --seed 0 --count 50 -o outdir/

Each copy gets one to three damages: flipped bits, a zeroed range, random
bytes written over a range, a truncation, a deleted range or a duplicated
chunk. Half of the positions are drawn from the first 64 KiB, where
containers keep the headers that decide how the rest is read.
"""

from __future__ import annotations

import argparse
import random
import sys
from pathlib import Path

HEAD = 64 * 1024


def _position(rng: random.Random, size: int) -> int:
    if size <= 1:
        return 0
    if rng.random() < 0.5:
        return rng.randrange(min(size, HEAD))
    return rng.randrange(size)


def _span(rng: random.Random, size: int) -> int:
    # Mostly short ranges (a field, a packet header), sometimes long ones.
    limit = max(1, size // 10)
    return min(limit, int(rng.choice((1, 4, 16, 188, 1024, 4096, 65536)) * rng.uniform(0.5, 1.5)) or 1)


def flip_bits(data: bytearray, rng: random.Random) -> str:
    count = rng.choice((1, 2, 8, 32, 128))
    for _ in range(count):
        i = _position(rng, len(data))
        data[i] ^= 1 << rng.randrange(8)
    return f"flip {count} bits"


def zero_range(data: bytearray, rng: random.Random) -> str:
    start = _position(rng, len(data))
    end = min(len(data), start + _span(rng, len(data)))
    data[start:end] = bytes(end - start)
    return f"zero [{start}, {end})"


def garble_range(data: bytearray, rng: random.Random) -> str:
    start = _position(rng, len(data))
    end = min(len(data), start + _span(rng, len(data)))
    data[start:end] = rng.randbytes(end - start)
    return f"garble [{start}, {end})"


def truncate(data: bytearray, rng: random.Random) -> str:
    end = rng.randrange(len(data)) if rng.random() < 0.8 else _position(rng, len(data))
    del data[end:]
    return f"truncate at {end}"


def delete_range(data: bytearray, rng: random.Random) -> str:
    start = _position(rng, len(data))
    end = min(len(data), start + _span(rng, len(data)))
    del data[start:end]
    return f"delete [{start}, {end})"


def duplicate_chunk(data: bytearray, rng: random.Random) -> str:
    start = rng.randrange(max(1, len(data)))
    end = min(len(data), start + _span(rng, len(data)))
    at = _position(rng, len(data))
    data[at:at] = data[start:end]
    return f"copy [{start}, {end}) to {at}"


MUTATIONS = (flip_bits, zero_range, garble_range, truncate, delete_range, duplicate_chunk)


def mutate(source: bytes, name: str, seed: int) -> tuple[bytes, list[str]]:
    """Returns a damaged copy of `source` and what was done to it.

    The same (source, name, seed) always gives the same bytes: the generator is
    seeded from the name and the seed (str seeds hash stably across runs).
    """
    rng = random.Random(f"{name}:{seed}")
    data = bytearray(source)
    steps = []
    for _ in range(rng.choice((1, 1, 2, 3))):
        if not data:
            break
        steps.append(rng.choice(MUTATIONS)(data, rng))
    return bytes(data), steps


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source", type=Path)
    parser.add_argument("--name", help="the name the seed is combined with (default: the file's stem)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the first copy")
    parser.add_argument("--count", type=int, default=1, help="copies to make, seeds seed..seed+count-1")
    parser.add_argument("-o", "--output", type=Path, required=True,
                        help="the file to write (count 1) or a folder for the copies")
    args = parser.parse_args(argv)
    source = args.source.read_bytes()
    name = args.name or args.source.stem
    if args.count > 1:
        args.output.mkdir(parents=True, exist_ok=True)
    for seed in range(args.seed, args.seed + args.count):
        data, steps = mutate(source, name, seed)
        target = (args.output / f"{name}-{seed}{args.source.suffix}") if args.count > 1 else args.output
        target.write_bytes(data)
        print(f"{target}: {'; '.join(steps)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
