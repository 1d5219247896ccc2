"""Small helpers the tests share: process resources and reading test pictures."""

from __future__ import annotations

import os
import time
from collections.abc import Callable

import numpy as np

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
