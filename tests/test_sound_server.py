"""The pulse fixture records exactly what is played to its sink, from the first sample.

The sound tests measure pitch, level and timing through it, so its own
fidelity is checked here with a plain PulseAudio client, without reelpipe.
"""

from __future__ import annotations

import subprocess

import numpy as np
import pytest

import helpers

# The recording itself is checked once, in the plain run: these tests never
# load reelpipe, so the sanitizer run has nothing to find in them.
pytestmark = pytest.mark.realtime


def play_tone(seconds: float, freq: float = 440.0, amplitude: int = 8192) -> None:
    t = np.arange(int(44100 * seconds)) / 44100
    tone = (amplitude * np.sin(2 * np.pi * freq * t)).astype("<i2")
    subprocess.run(["pacat", "--playback", "--format=s16le", "--rate=44100", "--channels=2",
                    "--raw"], env=helpers.tool_env(),
                   input=np.repeat(tone[:, None], 2, axis=1).tobytes(),
                   check=True, timeout=30)


def test_recording_holds_the_whole_tone(pulse):
    with pulse.start_recording() as recording:
        play_tone(1.0)
    samples = recording.samples.astype(np.float64)
    assert samples.shape[1] == 2
    loud = np.flatnonzero(np.abs(samples[:, 0]) > 100)
    # Silence first: the recording was running before playback began.
    assert loud.size and loud[0] > 0
    tone = samples[loud[0]:loud[-1] + 1]
    assert len(tone) == pytest.approx(44100, abs=200)
    spectrum = np.abs(np.fft.rfft(tone[:, 0] * np.hanning(len(tone))))
    assert np.argmax(spectrum) * 44100 / len(tone) == pytest.approx(440, abs=1.5)
    assert np.sqrt(np.mean(tone ** 2)) == pytest.approx(8192 / np.sqrt(2), rel=0.01)


def test_recordings_are_independent(pulse):
    first = pulse.start_recording()
    play_tone(0.3)
    second = pulse.start_recording()
    play_tone(0.3, freq=880)
    both = first.stop()
    only_second = second.stop()
    assert len(both) > len(only_second) > 0.3 * 44100
    # The second recording began after the first tone ended.
    spectrum = np.abs(np.fft.rfft(only_second[:, 0].astype(np.float64)))
    assert np.argmax(spectrum) * 44100 / len(only_second) == pytest.approx(880, abs=5)
