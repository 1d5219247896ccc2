"""Reading recorded sound: FFmpeg's own decode as the reference, alignment, pitch and level.

Everything works on int16 or float arrays of shape (n, 2) at the playback rate,
44 100 frames per second, as the pulse fixture records them.
"""

from __future__ import annotations

import subprocess
from functools import lru_cache

import numpy as np

RATE = 44100


@lru_cache(maxsize=16)
def _ffmpeg_decode(path: str) -> bytes:
    return subprocess.run(
        ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-i", path,
         "-map", "0:a:0", "-f", "s16le", "-ac", "2", "-ar", str(RATE), "-"],
        capture_output=True, check=True, timeout=60).stdout


# 10 s of band-limited noise, different on each channel (AAC, 48 kHz): any
# 50 ms of it is found at exactly one place in the clip, which no tone allows.
MUSIC = ("-f", "lavfi", "-i",
         "aevalsrc=exprs='0.5*(2*random(0)-1)|0.9*(2*random(0)-1)*(2*random(0)-1)'"
         ":s=48000:d=10,lowpass=f=3000,lowpass=f=3000", "-c:a", "aac", "-b:a", "160k")


def reference(path: str) -> np.ndarray:
    """FFmpeg's own decode of the clip's sound, s16 stereo 44.1 kHz, as float64 (n, 2)."""
    return np.frombuffer(_ffmpeg_decode(path), dtype="<i2").reshape(-1, 2).astype(np.float64)


def mono(samples: np.ndarray) -> np.ndarray:
    return np.asarray(samples, dtype=np.float64).mean(axis=1)


def rms(samples: np.ndarray) -> np.ndarray:
    """Root mean square of each channel."""
    return np.sqrt(np.mean(np.asarray(samples, dtype=np.float64) ** 2, axis=0))


def peak_frequency(signal: np.ndarray) -> float:
    """Frequency (Hz) of the strongest spectral line of a 1-D signal, refined between bins."""
    x = np.asarray(signal, dtype=np.float64)
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x)), n=4 * len(x)))
    k = int(np.argmax(spectrum[1:-1])) + 1
    # Parabolic interpolation of the log magnitude around the peak.
    a, b, c = np.log(spectrum[k - 1:k + 2] + 1e-12)
    shift = 0.5 * (a - c) / (a - 2 * b + c)
    return (k + shift) * RATE / (4 * len(x))


def off_peak_fraction(signal: np.ndarray, freq: float, width: float = 30.0) -> float:
    """Share of the signal's energy that lies more than `width` Hz away from `freq`."""
    x = np.asarray(signal, dtype=np.float64)
    power = np.abs(np.fft.rfft(x * np.hanning(len(x)))) ** 2
    freqs = np.fft.rfftfreq(len(x), 1 / RATE)
    return float(power[np.abs(freqs - freq) > width].sum() / power.sum())


def sound_runs(samples: np.ndarray, min_silence: int = 441) -> list[tuple[int, int]]:
    """[start, end) spans of sound, split where both channels are 0 for more
    than `min_silence` frames."""
    loud = np.any(np.asarray(samples) != 0, axis=1)
    idx = np.flatnonzero(loud)
    if idx.size == 0:
        return []
    breaks = np.flatnonzero(np.diff(idx) > min_silence)
    starts = np.concatenate(([idx[0]], idx[breaks + 1]))
    ends = np.concatenate((idx[breaks] + 1, [idx[-1] + 1]))
    return list(zip(starts.tolist(), ends.tolist()))


def locate(segment: np.ndarray, ref: np.ndarray, lo: int = 0, hi: int | None = None) -> tuple[int, float]:
    """Finds where a 1-D `segment` sits in the 1-D `ref`: the offset k in [lo, hi]
    maximising the normalised correlation of segment with ref[k:k+len], and
    that correlation."""
    seg = np.asarray(segment, dtype=np.float64)
    m = len(seg)
    hi = len(ref) - m if hi is None else min(hi, len(ref) - m)
    lo = max(lo, 0)
    if hi < lo:
        raise ValueError("segment longer than the searched part of the reference")
    part = np.asarray(ref[lo:hi + m], dtype=np.float64)
    n = 1 << int(np.ceil(np.log2(len(part) + m)))
    corr = np.fft.irfft(np.fft.rfft(part, n) * np.conj(np.fft.rfft(seg, n)), n)[:hi - lo + 1]
    energy = np.concatenate(([0.0], np.cumsum(part ** 2)))
    window = np.sqrt(np.maximum(energy[m:m + hi - lo + 1] - energy[:hi - lo + 1], 1e-9))
    score = corr / (window * np.sqrt(np.sum(seg ** 2)) + 1e-9)
    k = int(np.argmax(score))
    return lo + k, float(score[k])


def correlation(a: np.ndarray, b: np.ndarray) -> float:
    """Pearson correlation of two equally long 1-D signals."""
    return float(np.corrcoef(np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64))[0, 1])


def condense(recording: np.ndarray) -> np.ndarray:
    """The recording without its frames of digital silence (both channels 0).

    A sink that misses the client's data in time plays zeros, from a few
    frames to a few hundred, and then goes on where the stream stood; on a
    busy machine that happens several times a second. Without the zeros, what
    is left is the sound the player handed over, in order. The odd frame of
    true silence inside the sound goes too, from the reference as well.
    """
    x = np.asarray(recording)
    return x[~np.all(x == 0, axis=1)]


def track(signal: np.ndarray, ref: np.ndarray, window: int = 2205,
          reach: int = 2000) -> list[tuple[int, int, float]]:
    """Aligns a 1-D signal with the 1-D ref window by window: for each window
    start i, the offset o with signal[i:i+window] ~ ref[i+o:i+o+window] and its
    normalised correlation. Each window is searched within `reach` frames of
    the previous offset, or in the whole ref when that fails."""
    result = []
    previous = None
    for i in range(0, len(signal) - window + 1, window):
        segment = signal[i:i + window]
        if np.std(segment) < 1:
            continue
        found = None
        if previous is not None:
            k, score = locate(segment, ref, i + previous - reach, i + previous + reach)
            if score > 0.95:
                found = (k, score)
        if found is None:
            found = locate(segment, ref)
        k, score = found
        result.append((i, k - i, score))
        if score > 0.95:
            previous = k - i
    return result


def match_start(signal: np.ndarray, ref: np.ndarray, offset: int, anchor: int,
                window: int = 220, min_corr: float = 0.9) -> int:
    """The earliest index from which up to `anchor` the 1-D signal plays ref
    at `offset` (signal[i] ~ ref[i + offset]), found window by window and
    refined to a frame by halving the step."""
    def matches(i: int) -> bool:
        j = i + offset
        if i < 0 or j < 0 or i + window > len(signal) or j + window > len(ref):
            return False
        a, b = signal[i:i + window], ref[j:j + window]
        return np.std(a) >= 1 and np.std(b) >= 1 and correlation(a, b) > min_corr

    start = anchor
    while matches(start - window):
        start -= window
    step = window // 2
    while step >= 1:
        if matches(start - step):
            start -= step
        step //= 2
    return start


def click_onsets(samples: np.ndarray, threshold: float = 2000.0, quiet: float = 0.5) -> list[int]:
    """Frames at which clicks begin: the first frame louder than `threshold`
    on either channel after at least `quiet` seconds without one."""
    loud = np.flatnonzero(np.any(np.abs(np.asarray(samples, dtype=np.float64)) > threshold, axis=1))
    if loud.size == 0:
        return []
    return loud[np.concatenate(([True], np.diff(loud) > quiet * RATE))].tolist()


def play_clicks(pulse, path: str, seconds: float, fps: int = 25,
                speed: float = 1.0) -> tuple[dict[int, float], list[float]]:
    """Plays a clip of the clicks_av kind (picture fps * k drawn with its index,
    a click at each whole second k) from its start at `speed` for `seconds`
    through the pulse fixture's sink. Returns when get_next_frame() handed out
    each picture fps * k (k >= 1, by k) and when each click reached the sink's
    monitor, in time.monotonic() seconds."""
    import threading
    import time

    import helpers
    import reelpipe

    handed: dict[int, float] = {}
    with pulse.start_recording() as recording:
        decoder = reelpipe.MediaDecoder(path)
        decoder.set_speed(speed)
        # A picture that never comes must fail the caller, not hang it.
        guard = threading.Timer(seconds + 10.0, decoder.stop)
        guard.start()
        try:
            decoder.start()
            for picture in helpers.pictures(decoder.get_next_frame, seconds=seconds):
                now = time.monotonic()
                index = helpers.frame_index_of(picture)
                if index % fps == 0 and index > 0:
                    handed.setdefault(index // fps, now)
        finally:
            guard.cancel()
            decoder.stop()
    # Clicks come a second of media apart: less than that of wall time when faster.
    quiet = 0.5 / max(speed, 1.0)
    clicks = [recording.wall_time(frame) for frame in click_onsets(recording.samples, quiet=quiet)]
    return handed, clicks


def picture_sound_offsets(pulse, path: str, seconds: float, fps: int = 25, speed: float = 1.0) -> list[float]:
    """The seconds from each picture fps * k of play_clicks() being handed out
    to click k reaching the sink: positive when the picture comes first."""
    handed, clicks = play_clicks(pulse, path, seconds, fps, speed)
    offsets = []
    reach = 0.5 / max(speed, 1.0)
    for when in handed.values():
        nearest = min(clicks, key=lambda heard: abs(heard - when), default=None)
        if nearest is not None and abs(nearest - when) < reach:
            offsets.append(nearest - when)
    return offsets
