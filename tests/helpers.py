"""Small helpers the tests share: the ffmpeg CLI, child environments, process
resources, taking pictures from a decoder and reading test pictures."""

from __future__ import annotations

import os
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np

TESTS_DIR = Path(__file__).resolve().parent
TOOLS_DIR = TESTS_DIR.parent / "tools"

# Under CI a test that cannot set up what it needs (the sound server) fails
# instead of skipping.
IN_CI = os.environ.get("CI", "").lower() == "true"

# The frame_index clips draw their frame number as 16 blocks of 80 x 60, one bit
# each, bit col + 4 * row, white for 1 and black for 0.
_BLOCK_W, _BLOCK_H, _COLS, _ROWS = 80, 60, 4, 4


def thread_count() -> int:
    """Returns how many threads this process has now."""
    return len(os.listdir("/proc/self/task"))


def open_fds() -> dict[int, str]:
    """Returns this process's open file descriptors, each with what it points at."""
    fds = {}
    for entry in os.listdir("/proc/self/fd"):
        try:
            fds[int(entry)] = os.readlink(f"/proc/self/fd/{entry}")
        except FileNotFoundError:
            pass  # the descriptor os.listdir itself used, closed already
    return fds


def resident_bytes() -> int:
    """Returns this process's resident memory now."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_resident_bytes() -> int:
    """Returns this process's peak resident memory (VmHWM).

    Unlike ru_maxrss, it starts afresh in a child made by fork and exec.
    """
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def ffmpeg(*args: str, timeout: float = 120.0) -> None:
    """Runs the ffmpeg command quietly; raises with its messages if it fails."""
    result = subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", *args],
                            capture_output=True, text=True, timeout=timeout)
    if result.returncode != 0:
        raise RuntimeError(f"ffmpeg {' '.join(args)} failed: {result.stderr.strip()[-2000:]}")


def child_env(**extra: str) -> dict[str, str]:
    """The environment for a child that must load the same reelpipe as this process.

    The folders the parent loaded reelpipe (and the probe, when it has one)
    from come first on PYTHONPATH, then tests/ and tools/.
    """
    paths = []
    for name in ("reelpipe", "reelpipe_probe"):
        module = sys.modules.get(name)
        if module is not None and getattr(module, "__file__", None):
            paths.append(str(Path(module.__file__).resolve().parent))
    paths += [str(TESTS_DIR), str(TOOLS_DIR)]
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env["PYTHONFAULTHANDLER"] = "1"
    env.update(extra)
    return env


def pictures(call: Callable[[], Any], *, count: int | None = None, seconds: float | None = None,
             quiet: float | None = None, finished: Callable[[], bool] | None = None) -> Iterator[Any]:
    """Yields what call() (get_next_frame, or a probe's next_frame_time) gives, skipping None.

    None is normal while pictures are decoded, so it is asked again 2 ms later.
    Ends after `count` results, after `seconds` in all, after `quiet` seconds
    without a result, or once finished() holds (decoder.is_finished).
    """
    began = last = time.monotonic()
    got = 0
    while count is None or got < count:
        now = time.monotonic()
        if seconds is not None and now - began >= seconds:
            return
        if quiet is not None and now - last >= quiet:
            return
        if finished is not None and finished():
            return
        result = call()
        if result is None:
            time.sleep(0.002)
            continue
        got += 1
        last = time.monotonic()
        yield result


def wait_until(predicate: Callable[[], bool], timeout: float = 10.0, interval: float = 0.01) -> bool:
    """Polls predicate until it holds or timeout seconds pass; returns its last value."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= deadline:
            return predicate()
        time.sleep(interval)
    return True


def frame_index_of(picture: np.ndarray) -> int:
    """Reads the frame number drawn in a frame_index picture (H x W x 3 or more, RGB).

    Samples the middle of each block, away from the edges that chroma
    subsampling and coding blur.
    """
    if picture.ndim != 3 or picture.shape[0] < _ROWS * _BLOCK_H or picture.shape[1] < _COLS * _BLOCK_W:
        raise ValueError(f"not a frame_index picture: shape {picture.shape}")
    index = 0
    for row in range(_ROWS):
        for col in range(_COLS):
            y, x = row * _BLOCK_H, col * _BLOCK_W
            block = picture[y + 15:y + _BLOCK_H - 15, x + 20:x + _BLOCK_W - 20, :3]
            if block.mean() > 127:
                index |= 1 << (col + _COLS * row)
    return index


def tool_env() -> dict[str, str]:
    """The environment for the sound server and its tools.

    The sanitizer run preloads its runtimes for the interpreter (and the
    Python children that load the module); the PulseAudio programs must run
    without them, or they hang or fail at exit on their own leaks.
    """
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def live_sender(url: str, *, seconds: float, sound: bool = True, size: str = "320x240",
                gop: int = 30, output: tuple[str, ...] = ("-f", "mpegts")) -> subprocess.Popen:
    """Starts ffmpeg sending a live feed to `url` for `seconds`, as a camera would.

    30 fps H.264 (x264 ultrafast, zerolatency, a key frame every `gop`
    pictures) and, with `sound`, a 440 Hz AAC track, each made in real time.
    Every picture carries the wall clock of the moment it was made in
    hundredths of a second (mod 65536) in the frame_index blocks of its top
    left 320 x 240 (stamp_age() reads it), on black padded to `size`. The
    caller kills it.
    """
    # One white box per set bit, as the frame_index clips draw them; drawn
    # only where they go, which costs far less than an expression per pixel.
    stamp = ",".join(
        f"drawbox=x={_BLOCK_W * (bit % _COLS)}:y={_BLOCK_H * (bit // _COLS)}:w={_BLOCK_W}:h={_BLOCK_H}"
        f":color=white:t=fill:enable='bitand(mod(floor(t*100)\\,65536)\\,{1 << bit})'"
        for bit in range(16))
    width, height = size.split("x")
    # One graph makes both, so that the realtime filter paces the sound too.
    graph = (f"color=c=black:s=320x240:r=30,realtime,settb=1/1000000,setpts=RTCTIME,{stamp},"
             f"setpts=PTS-STARTPTS,pad={width}:{height}[out0]")
    if sound:
        graph += ";sine=frequency=440:sample_rate=48000[out1]"
    command = ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", graph]
    command += ["-t", str(seconds), "-fps_mode", "passthrough", "-c:v", "libx264", "-preset", "ultrafast",
                "-tune", "zerolatency", "-g", str(gop), "-pix_fmt", "yuv420p"]
    if sound:
        command += ["-c:a", "aac", "-b:a", "96k"]
    return subprocess.Popen([*command, *output, url], stdin=subprocess.DEVNULL)


def stamp_age(picture: np.ndarray) -> float:
    """Seconds since a live_sender() picture was made, to the hundredth."""
    now = int(time.time() * 100)
    return ((now - frame_index_of(picture)) % 65536) / 100
