"""The clips the benchmarks play, made with the ffmpeg CLI and cached by recipe.

Every clip is the testsrc2 pattern with the picture's own index drawn in its
top-left corner as 16 black-or-white blocks of 32 x 24 pixels (bit c + 4 r in
column c, row r), so a caller that reads 16 pixels of a picture knows exactly
which picture it holds, whatever tool decoded it. Pictures are H.264 high
profile with B-frames and a 250-picture GOP, x264 -preset veryfast; the sound,
where there is some, is AAC 48 kHz stereo. The clip without sound is the one
with sound, stream-copied without its audio track: both carry the same
pictures bit for bit.

Clips live in build/bench-clips/<name>-<hash12>.mp4; the hash covers the
recipe and the ffmpeg version, so a clip is made once and remade only when
either changes. A clip is written under a temporary name and renamed into
place, so an interrupted run leaves no half clip behind.

    python bench/clips.py           # make every clip, print name, path
"""

from __future__ import annotations

import hashlib
import os
import re
import subprocess
import sys
from dataclasses import dataclass
from functools import lru_cache
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CLIPS_DIR = ROOT / "build" / "bench-clips"
FFMPEG = ("ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y")

INDEX_COLUMNS, INDEX_ROWS = 4, 4
BLOCK_W, BLOCK_H = 32, 24


@dataclass(frozen=True)
class Clip:
    name: str
    width: int
    height: int
    fps: int
    seconds: int
    sound: bool

    @property
    def pictures(self) -> int:
        return self.fps * self.seconds

    @property
    def label(self) -> str:
        return {2160: "4K", 1080: "1080p", 720: "720p"}.get(self.height, f"{self.height}p") + f"{self.fps}"


# Each size once with sound; its silent twin is derived from it.
CLIPS: dict[str, Clip] = {c.name: c for c in (
    Clip("1080p30-av", 1920, 1080, 30, 30, True),
    Clip("1080p30", 1920, 1080, 30, 30, False),
    Clip("2160p30-av", 3840, 2160, 30, 10, True),
    Clip("2160p30", 3840, 2160, 30, 10, False),
    Clip("720p60-av", 1280, 720, 60, 10, True),
    Clip("720p60", 1280, 720, 60, 10, False),
    Clip("360p30-av", 640, 360, 30, 20, True),
    Clip("2160p60-av", 3840, 2160, 60, 8, True),
)}

# Clips coded otherwise than veryfast with a 250-picture GOP: the 4K60 one as
# a camera or a screen recorder would write it, fast to code at a high rate.
CODING: dict[str, tuple[str, ...]] = {
    "2160p60-av": ("-preset", "superfast", "-profile:v", "high", "-bf", "3", "-g", "120", "-b:v", "50M",
                   "-maxrate", "50M", "-bufsize", "50M"),
}


def _index_source(clip: Clip) -> str:
    w, h = INDEX_COLUMNS * BLOCK_W, INDEX_ROWS * BLOCK_H
    # Luma 235 or 16 with neutral chroma: white or black in every channel, so
    # RGB and BGR readers see the same bits.
    return (f"color=c=black:s={w}x{h}:r={clip.fps}:d={clip.seconds},format=yuv420p,"
            f"geq=lum='if(bitand(N\\,pow(2\\,floor(X/{BLOCK_W})+{INDEX_COLUMNS}*floor(Y/{BLOCK_H})))"
            f"\\,235\\,16)':cb=128:cr=128")


def _steps(clip: Clip, out: str, source: str | None) -> list[list[str]]:
    if not clip.sound:
        return [[*FFMPEG, "-i", source, "-map", "0:v", "-c", "copy", "-movflags", "+faststart", out]]
    return [[
        *FFMPEG,
        "-f", "lavfi", "-i", f"testsrc2=size={clip.width}x{clip.height}:rate={clip.fps}:duration={clip.seconds}",
        "-f", "lavfi", "-i", _index_source(clip),
        "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={clip.seconds}",
        "-filter_complex", "[0:v][1:v]overlay=0:0:shortest=1,format=yuv420p[v]",
        "-map", "[v]", "-map", "2:a",
        "-c:v", "libx264", *CODING.get(clip.name, ("-preset", "veryfast", "-profile:v", "high", "-bf", "3", "-g", "250")),
        "-c:a", "aac", "-b:a", "128k", "-ac", "2", "-ar", "48000",
        "-movflags", "+faststart", out,
    ]]


@lru_cache(maxsize=1)
def ffmpeg_version() -> str:
    return subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True, check=True).stdout.splitlines()[0]


def _parent(clip: Clip) -> Clip | None:
    return None if clip.sound else CLIPS[clip.name + "-av"]


def recipe_hash(clip: Clip) -> str:
    parent = _parent(clip)
    key = repr((ffmpeg_version(), clip, _steps(clip, "{out}", parent and recipe_hash(parent))))
    return hashlib.sha256(key.encode()).hexdigest()[:12]


def clip_path(name: str) -> str:
    """The path of the named clip, made first when it isn't cached."""
    clip = CLIPS[name]
    final = CLIPS_DIR / f"{name}-{recipe_hash(clip)}.mp4"
    if final.exists():
        return str(final)
    parent = _parent(clip)
    source = clip_path(parent.name) if parent else None
    CLIPS_DIR.mkdir(parents=True, exist_ok=True)
    partial = final.with_name(f".{final.name}.{os.getpid()}.mp4")
    try:
        for step in _steps(clip, str(partial), source):
            subprocess.run(step, check=True, timeout=600)
        os.replace(partial, final)
    finally:
        partial.unlink(missing_ok=True)
    # Clips of an older recipe of this name are stale.
    stale = re.compile(rf"{re.escape(name)}-[0-9a-f]{{12}}\.mp4$")
    for other in CLIPS_DIR.iterdir():
        if other != final and stale.match(other.name):
            other.unlink(missing_ok=True)
    return str(final)


def picture_index(picture, channel: int = 1, scale: float = 1.0) -> int:
    """The index drawn into a decoded picture (H x W x 3 or 4 uint8, RGB or BGR, with or
    without alpha), scaled by `scale` from the clip's own size."""
    value = 0
    for row in range(INDEX_ROWS):
        y = int((row * BLOCK_H + BLOCK_H // 2) * scale)
        for column in range(INDEX_COLUMNS):
            if picture[y, int((column * BLOCK_W + BLOCK_W // 2) * scale), channel] > 128:
                value |= 1 << (column + INDEX_COLUMNS * row)
    return value


def main() -> int:
    for name in CLIPS:
        print(name, clip_path(name))
    return 0


if __name__ == "__main__":
    sys.exit(main())
