"""What the listener hears: the sound played to a PulseAudio null sink, recorded
from its monitor and compared with FFmpeg's own decode of the same clip.

The pulse fixture's recordings are s16 stereo at 44.1 kHz, the playback format,
so a correct path reproduces FFmpeg's decode sample for sample.
"""

from __future__ import annotations

import logging
import os
import subprocess
import threading
import time

import numpy as np
import pytest

import reelpipe
import sound_util as su
from helpers import ffmpeg, frame_index_of, tool_env, wait_until
from robustness_util import first_picture

RATE = su.RATE

# Most of these judge what is heard, which a sanitizer build changes nothing
# in, and their engine paths also run under the sanitizer through the null
# device (test_controls.py). TestFidelity and TestStreamChanges stay in the
# sanitizer run: sound through a real server's device, whose callbacks ask for
# periods of their own size, and the resampler rebuilt mid-stream.


def play(pulse, path: str, script, **options) -> np.ndarray:
    """Records while a fresh decoder for `path` (with `options`) is started, driven by
    script(decoder) and stopped; returns the recording as float64 (n, 2)."""
    with pulse.start_recording() as recording:
        decoder = reelpipe.MediaDecoder(path, **options)
        try:
            decoder.start()
            script(decoder)
        finally:
            decoder.stop()
    return recording.samples.astype(np.float64)


def heard(recording: np.ndarray) -> np.ndarray:
    """The recording without the silence around and inside it (see su.condense)."""
    return su.condense(recording)


def loud_span(samples: np.ndarray, threshold: float = 30) -> float:
    """Seconds from the first to the last sample louder than `threshold`."""
    loud = np.flatnonzero(np.any(np.abs(samples) > threshold, axis=1))
    return (loud[-1] + 1 - loud[0]) / RATE if loud.size else 0.0


def continuity(played: np.ndarray, ref: np.ndarray) -> tuple[int, list[str]]:
    """Follows, 50 ms at a time, where in ref the sound `played` (silence
    removed) comes from. Returns the offset of its first window and a
    description of every break: a jump (frames skipped, or repeated when
    negative) or a window that matches nothing well."""
    windows = su.track(su.mono(played), su.mono(ref))
    assert windows, "nothing was heard"
    first = current = windows[0][1]
    breaks = []
    for i, offset, score in windows:
        at = f"{i / RATE:.2f} s into what was heard"
        if score < 0.99:
            breaks.append(f"{at}: unlike the clip (correlation {score:.3f})")
        elif abs(offset - current) > 3:
            jump = offset - current
            breaks.append(f"{at}: {jump:+d} frames ({jump / RATE * 1000:+.1f} ms) of the clip skipped")
            current = offset
    return first, breaks


@pytest.fixture(scope="module")
def sound_clips(tmp_path_factory) -> dict[str, str]:
    """Clips made for these tests (AAC, 48 kHz):

    music   su.MUSIC: 10 s of noise whose every 50 ms is unique
    switch  MPEG-TS: 1.5 s mono 440 Hz, then 1.5 s stereo 440 Hz left / 660 Hz right
    short   1.0 s of 660 Hz stereo tone that ends in full sound
    """
    folder = tmp_path_factory.mktemp("sound")
    made = {name: str(folder / f"{name}.{ext}") for name, ext in
            (("music", "m4a"), ("switch", "ts"), ("short", "m4a"))}
    ffmpeg(*su.MUSIC, made["music"])
    ffmpeg("-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=1.5", "-ac", "1",
           "-c:a", "aac", "-f", "mpegts", str(folder / "mono.ts"))
    ffmpeg("-f", "lavfi", "-i", "aevalsrc=exprs='0.125*sin(2*PI*440*t)|0.125*sin(2*PI*660*t)':s=48000:d=1.5",
           "-c:a", "aac", "-output_ts_offset", "1.5", "-f", "mpegts", str(folder / "stereo.ts"))
    with open(made["switch"], "wb") as joined:
        for part in ("mono.ts", "stereo.ts"):
            joined.write((folder / part).read_bytes())
    ffmpeg("-f", "lavfi", "-i", "sine=frequency=660:sample_rate=48000:duration=1", "-ac", "2",
           "-c:a", "aac", "-b:a", "128k", made["short"])
    return made


@pytest.mark.realtime
class TestTone:
    def test_pitch_and_level_on_both_channels(self, pulse, clips):
        played = heard(play(pulse, clips.audio_aac_mp4, lambda d: time.sleep(1.3)))
        assert len(played) > 1.0 * RATE
        tone = played[4410:-4410]
        ref = su.reference(clips.audio_aac_mp4)
        expected = su.rms(ref[RATE:3 * RATE])
        for channel in (0, 1):
            assert su.peak_frequency(tone[:, channel]) == pytest.approx(440.0, abs=1.0)
        assert su.rms(tone) == pytest.approx(expected, rel=0.01)

    def test_half_volume_is_six_decibels_down(self, pulse, clips):
        levels = {}

        def script(decoder):
            time.sleep(0.9)
            decoder.set_volume(0.5)
            levels["volume"] = decoder.get_volume()
            time.sleep(0.9)

        played = heard(play(pulse, clips.audio_aac_mp4, script))
        assert levels["volume"] == 0.5
        # The change reaches the sink within a few periods; stay clear of it.
        full = su.rms(played[4410:int(0.7 * RATE)])
        half = su.rms(played[-int(0.6 * RATE):-4410])
        assert 20 * np.log10(half / full) == pytest.approx([-6.02, -6.02], abs=0.3)


@pytest.mark.realtime
class TestPauseResume:
    def test_pause_is_silent_and_resume_goes_on_from_the_same_sample(self, pulse, sound_clips):
        positions = {}

        def script(decoder):
            time.sleep(1.0)
            decoder.pause()
            positions["paused"] = decoder.get_position()
            time.sleep(0.5)
            positions["before_resume"] = decoder.get_position()
            decoder.resume()
            time.sleep(0.9)

        recording = play(pulse, sound_clips["music"], script)
        ref = su.reference(sound_clips["music"])
        assert positions["before_resume"] == positions["paused"]
        # The pause is digital silence for about as long as it lasted.
        runs = su.sound_runs(recording)
        assert len(runs) >= 2
        gap = max(b[0] - a[1] for a, b in zip(runs, runs[1:]))
        assert gap / RATE == pytest.approx(0.5, abs=0.1)
        # Without the silences, what was heard is one unbroken stretch of the
        # clip: resume took up exactly where pause left off.
        _, breaks = continuity(heard(recording), ref)
        assert not breaks, "resume did not continue where pause stopped: " + "; ".join(breaks)


@pytest.mark.realtime
class TestSeek:
    def test_sound_after_seek_is_the_sound_at_the_target(self, pulse, sound_clips):
        target = 6.0

        def script(decoder):
            time.sleep(0.8)
            decoder.seek(target)
            time.sleep(1.0)

        recording = play(pulse, sound_clips["music"], script)
        ref = su.mono(su.reference(sound_clips["music"]))
        played = su.mono(heard(recording))
        windows = su.track(played, ref)
        # The last windows play the clip at one offset (the resampler's phase
        # after the seek is not FFmpeg's, so the match is close, not exact).
        final = windows[-1][1]
        after = len(windows)
        while after > 0 and abs(windows[after - 1][1] - final) <= 2 and windows[after - 1][2] > 0.9:
            after -= 1
        assert (len(windows) - after) * 2205 / RATE > 0.5, "too little sound after the seek"
        anchor, offset, _ = windows[after]
        start = su.match_start(played, ref, offset, anchor)
        heard_from = (start + offset) / RATE
        # The decoders keep sound from 0.1 s before the target on, from a
        # frame boundary. The first AAC frame decoded after the flush has no
        # predecessor to overlap with, so its first half (11 ms) is not
        # FFmpeg's from a continuous decode and the match begins there.
        assert target - 0.11 <= heard_from <= target + 0.025, f"sound after the seek starts at {heard_from:.3f} s"
        # Before it, the clip from its start on, up to about when seek() came.
        before = [(o, c) for i, o, c in windows if i + 2 * 2205 <= start]
        assert len(before) >= 4 and all(o == 0 and c > 0.99 for o, c in before), before


@pytest.mark.realtime
class TestLateSound:
    def test_sound_that_starts_after_the_pictures_is_heard_in_its_time(self, pulse, clips):
        # The clip's sound begins 2 s after its first picture: by the time the
        # position reaches 3 s, one second of it has played.
        def script(decoder):
            first_picture(decoder.get_next_frame)
            assert wait_until(lambda: decoder.get_position() >= 3.0, timeout=10.0)

        span = loud_span(play(pulse, clips.index_late_sound, script))
        assert 0.6 <= span <= 1.3, f"{span:.2f} s of sound heard by the position of 3 s"


class TestFidelity:
    def test_heard_sound_is_ffmpegs_decode(self, pulse, sound_clips):
        recording = play(pulse, sound_clips["music"], lambda d: time.sleep(2.2))
        ref = su.reference(sound_clips["music"])
        played = heard(recording)
        assert len(played) / RATE > 1.8
        offset, breaks = continuity(played, ref)
        assert not breaks, "; ".join(breaks)
        # Playback starts at the clip's first sample.
        assert offset == pytest.approx(0, abs=2)
        # Each channel, 0.1 s at a time.
        window = RATE // 10
        low = []
        for i in range(0, len(played) - window, window):
            for channel in (0, 1):
                r = su.correlation(played[i:i + window, channel], ref[i + offset:i + offset + window, channel])
                if r <= 0.99:
                    low.append((round(i / RATE, 2), channel, round(r, 3)))
        assert not low, f"windows (s, channel, correlation) unlike FFmpeg's decode: {low}"
        assert su.rms(played) == pytest.approx(su.rms(ref[offset:offset + len(played)]), rel=0.01)


class TestStreamChanges:
    def test_mono_then_stereo_plays_both_parts(self, pulse, sound_clips):
        path = sound_clips["switch"]
        played = heard(play(pulse, path, lambda d: time.sleep(3.3)))
        ref = heard(su.reference(path))
        assert len(played) / RATE > 2.8
        mono_part = slice(int(0.2 * RATE), int(1.3 * RATE))
        stereo_part = slice(int(1.7 * RATE), int(2.8 * RATE))
        for part, pitches in ((mono_part, (440, 440)), (stereo_part, (440, 660))):
            for channel, pitch in enumerate(pitches):
                assert su.peak_frequency(played[part, channel]) == pytest.approx(pitch, abs=1.0)
                assert su.off_peak_fraction(played[part, channel], pitch) < 1e-3
            assert su.rms(played[part]) == pytest.approx(su.rms(ref[part]), rel=0.03)
        # Across the change too, the samples are FFmpeg's: no burst of noise.
        n = min(len(played), len(ref))
        for channel in (0, 1):
            assert su.correlation(played[:n, channel], ref[:n, channel]) > 0.99


@pytest.mark.realtime
class TestEndOfInput:
    def test_the_tail_is_played(self, pulse, sound_clips):
        path = sound_clips["short"]
        played = heard(play(pulse, path, lambda d: time.sleep(1.6)))
        expected = heard(su.reference(path))
        assert loud_span(expected) == pytest.approx(1.0, abs=0.05)
        # All of it, short of at most the last part-filled device period
        # (826 frames, 19 ms, on this sink).
        assert loud_span(expected) - 0.025 <= loud_span(played) <= loud_span(expected) + 0.005


@pytest.mark.realtime
class TestSync:
    def test_each_picture_comes_with_its_sound_at_the_sink(self, pulse, clips):
        # Judged against the sound handed to the device rather than the sound
        # heard, pictures lead by the device's buffer: 19 ms on this sink
        # (22 ms measured, against 5 ms once that buffer is allowed for).
        # Allowing for all four of miniaudio's periods made them 58 ms
        # late. A loaded machine only makes pictures late, hence more room
        # on that side.
        offsets = su.picture_sound_offsets(pulse, clips.clicks_av, 5.5)
        assert len(offsets) >= 4, f"too few pictures matched with their clicks: {offsets}"
        offset = float(np.median(offsets))
        assert -0.04 <= offset <= 0.015, f"pictures come {offset * 1000:+.1f} ms before their sound: {offsets}"


@pytest.mark.realtime
class TestStreamChoice:
    # mkv_multi: stream 1 is a 440 Hz track in English, stream 2 one of 880 Hz in French.
    @pytest.mark.parametrize("choice, pitch", [(None, 440.0), (2, 880.0), ("fre", 880.0), ("eng", 440.0)])
    def test_the_sound_stream_chosen_by_index_or_language_is_heard(self, pulse, clips, choice, pitch):
        played = heard(play(pulse, clips.mkv_multi, lambda d: time.sleep(1.0), audio_stream=choice))
        assert len(played) > 0.5 * RATE
        assert su.peak_frequency(su.mono(played[2205:-2205])) == pytest.approx(pitch, abs=2.0)


class SinkRecording:
    """What parec records from the monitor of `sink` while the block runs (s16 stereo, float64)."""

    def __init__(self, sink: str) -> None:
        self._proc = subprocess.Popen(
            ["parec", "-d", f"{sink}.monitor", "--format=s16le", f"--rate={RATE}", "--channels=2", "--raw",
             "--latency-msec=10"],
            env=tool_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self._chunks: list[bytes] = []
        self._first = threading.Event()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        assert self._first.wait(10), f"parec delivered nothing from {sink}.monitor"
        time.sleep(0.2)  # its first bytes can come before the stream is steady
        self.samples = np.zeros((0, 2))

    def _read(self) -> None:
        while chunk := os.read(self._proc.stdout.fileno(), 65536):
            self._chunks.append(chunk)
            self._first.set()

    def stop(self) -> np.ndarray:
        time.sleep(0.1)
        self._proc.terminate()
        self._proc.wait(timeout=10)
        self._reader.join(timeout=10)
        self._proc.stdout.close()
        data = b"".join(self._chunks)
        self.samples = np.frombuffer(data[:len(data) - len(data) % 4], "<i2").reshape(-1, 2).astype(np.float64)
        return self.samples


@pytest.mark.parametrize("speed", [2.0, 0.5])
def test_at_another_speed_the_pitch_stays_the_media_keeps_time_and_pictures_keep_with_it(pulse, clips, speed):
    tone = heard(play(pulse, clips.frame_index_av, lambda d: (d.set_speed(speed), time.sleep(1.2))))
    assert su.peak_frequency(su.mono(tone)) == pytest.approx(440, abs=3)
    # Clicks a media second apart: 0.5 s apart at 2.0, 2 s at 0.5.
    handed, clicks = su.play_clicks(pulse, clips.clicks_av, 1.0 + 3.3 / speed, speed=speed)
    assert len(clicks) >= 3, clicks
    assert (clicks[-1] - clicks[0]) / (len(clicks) - 1) == pytest.approx(1.0 / speed, rel=0.03)
    offsets = [min(clicks, key=lambda heard: abs(heard - when)) - when for when in handed.values()]
    assert len(offsets) >= 3 and abs(float(np.median(offsets))) <= 0.04, offsets


@pytest.mark.realtime
def test_changing_speed_while_playing_leaves_no_gap_and_takes_effect_at_once(pulse, clips):
    rates = []

    def script(decoder):
        time.sleep(1.0)
        for factor in (2.0, 0.5, 1.0):
            decoder.set_speed(factor)
            time.sleep(0.2)
            start, began = decoder.get_position(), time.monotonic()
            time.sleep(0.8)
            rates.append((decoder.get_position() - start) / (time.monotonic() - began))

    played = play(pulse, clips.frame_index_av, script)
    runs = su.sound_runs(played, min_silence=int(0.025 * RATE))
    assert len(runs) == 1, [(start / RATE, end / RATE) for start, end in runs]
    assert rates == [pytest.approx(2.0, rel=0.05), pytest.approx(0.5, rel=0.05), pytest.approx(1.0, rel=0.05)]


# 2 s of frame-index pictures and an unbroken 440 Hz tone, in PCM so the
# tone runs to the last sample; or 1.7 s of them cut out by stream copy
# 0.3 s in, which starts on pictures that refer to ones left out (the key
# frame comes at 0.42 s, picture 18).
@pytest.mark.realtime
@pytest.mark.parametrize("cut, first", [((), 0), (("-ss", "0.3", "-t", "1.7", "-copyinkf"), 18)],
                         ids=["whole", "cut between key frames"])
def test_a_looped_clip_plays_on_across_its_seams_without_a_gap_lap_after_lap(pulse, clips, tmp_path, cut, first):
    path = str(tmp_path / "looped.mkv")
    ffmpeg("-i", clips.frame_index_av, *(cut or ("-t", "2")), "-map", "0:v", "-map", "0:a", "-c:v", "copy",
           "-c:a", "pcm_s16le", "-ar", "44100", path)
    taken, positions, finished = [], [], []

    def script(decoder):
        end = time.monotonic() + 7.0
        while time.monotonic() < end:
            picture = decoder.get_next_frame(timeout=0.1)
            if picture is not None:
                taken.append(frame_index_of(picture))
                positions.append(decoder.get_position())
            finished.append(decoder.is_finished())
        decoder.seek(1.0)
        taken.append(frame_index_of(decoder.get_next_frame(timeout=5)))

    with pulse.start_recording() as recording:
        decoder = reelpipe.MediaDecoder(path, loop=True)
        try:
            decoder.start()
            script(decoder)
        finally:
            decoder.stop()
    runs = su.sound_runs(recording.samples, min_silence=int(0.025 * RATE))
    assert len(runs) == 1, [(start / RATE, end / RATE) for start, end in runs]
    laps = [0] + [n for n in range(1, len(taken) - 1) if taken[n] < taken[n - 1]] + [len(taken) - 1]
    assert len(laps) >= 5  # three seams crossed, and the seek
    # Each lap clean from its first key frame on: nothing left over from the lap before.
    for start, end in zip(laps, laps[1:-1]):
        assert taken[start:end] == list(range(first, first + end - start))
    assert max(positions) < 2.1 and not any(finished)
    # A seek lands as without loop: within the seek window before its target.
    shift = 0.3 if cut else 0.0
    assert 0.9 - 0.001 <= taken[-1] / 25 - shift <= 1.0 + 0.001


class TestBackendChoice:
    @pytest.mark.parametrize("choice, audible, record", [
        (None, True, "sound through PulseAudio"),
        ("null", False, "null device"),
        ("nonsense", True, "REELPIPE_AUDIO_BACKEND=nonsense is not one of"),
    ])
    def test_environment_variable_picks_the_backend(self, pulse, clips, monkeypatch, caplog, choice, audible,
                                                    record):
        if choice is None:
            monkeypatch.delenv("REELPIPE_AUDIO_BACKEND", raising=False)
        else:
            monkeypatch.setenv("REELPIPE_AUDIO_BACKEND", choice)
        caplog.set_level(logging.INFO, logger="reelpipe")
        played = play(pulse, clips.audio_mp3, lambda d: time.sleep(0.8))
        assert (loud_span(played) > 0.3) == audible
        assert any(record in r.getMessage() for r in caplog.records if r.name == "reelpipe")

    def test_the_device_named_is_the_one_heard_and_the_default_hears_nothing(self, pulse, clips, monkeypatch):
        monkeypatch.delenv("REELPIPE_AUDIO_BACKEND", raising=False)
        loaded = subprocess.run(["pactl", "load-module", "module-null-sink", "sink_name=second",
                                 "sink_properties=device.description=SecondSink"],
                                env=tool_env(), capture_output=True, text=True, timeout=10, check=True)
        try:
            devices = reelpipe.MediaDecoder.audio_devices()
            assert {device["backend"] for device in devices} == {"PulseAudio"}
            # Listed by description and by the sink name pactl shows; the fixture's sink is the default.
            assert {"name": "SecondSink", "id": "second", "backend": "PulseAudio", "default": False} in devices
            assert [device["id"] for device in devices if device["default"]] == [pulse.sink]
            reelpipe.MediaDecoder(clips.audio_mp3, audio_device="SecondSink")

            second = SinkRecording("second")
            try:
                first = play(pulse, clips.audio_mp3, lambda d: time.sleep(0.8), audio_device="second")
            finally:
                second.stop()
        finally:
            subprocess.run(["pactl", "unload-module", loaded.stdout.strip()], env=tool_env(), timeout=10)
        assert (loud_span(second.samples), loud_span(first)) == (pytest.approx(0.8, abs=0.3), 0.0)

    def test_alsa_devices_go_by_their_pcm_names_and_null_keeps_time(self, pulse, clips, monkeypatch):
        monkeypatch.setenv("REELPIPE_AUDIO_BACKEND", "alsa")
        devices = {device["id"]: device for device in reelpipe.MediaDecoder.audio_devices()}
        assert {"default", "null", "pulse"} <= devices.keys()
        assert [name for name, device in devices.items() if device["default"]] == ["default"]
        # ALSA's own PulseAudio plugin reaches the fixture's sink.
        assert loud_span(play(pulse, clips.audio_mp3, lambda d: time.sleep(0.8), audio_device="pulse")) > 0.5
        # ALSA's "null" takes sound at once; the clock must still follow the wall clock.
        moved = []

        def one_second(decoder):
            assert wait_until(lambda: decoder.get_position() > 0.0, timeout=5.0)
            began, position = time.monotonic(), decoder.get_position()
            time.sleep(1.0)
            moved.append((decoder.get_position() - position) / (time.monotonic() - began))

        assert loud_span(play(pulse, clips.audio_mp3, one_second, audio_device=devices["null"]["name"])) == 0.0
        assert moved == [pytest.approx(1.0, abs=0.15)]
