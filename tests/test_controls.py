"""The audio clock and the playback controls on miniaudio's null backend (which
consumes sound in real time, 441 frames a period), and the playback callback
driven by hand through reelpipe_probe.
"""

from __future__ import annotations

import math
import os
import random
import time

import numpy as np
import pytest

import reelpipe
import reelpipe_probe
import sound_util as su
from helpers import ffmpeg, wait_until
from robustness_util import bounded

RATE = 44100
FRAME_BYTES = 4
FILL_LIMIT = 1_764_000  # 10 s of playback bytes


@pytest.fixture(scope="module")
def control_clips(tmp_path_factory) -> dict[str, str]:
    """music: su.MUSIC, 10 s of noise whose every 50 ms is unique.
    long_sound: 14 s of sound beside 1 s of video, so that the pictures never
    hold reading back and only the sound buffer's own limit applies.
    long_tone: 14 s of sound alone, more than the sound buffer holds."""
    folder = tmp_path_factory.mktemp("controls")
    made = {"music": str(folder / "music.m4a"), "long_sound": str(folder / "long_sound.mp4"),
            "long_tone": str(folder / "long_tone.m4a")}
    ffmpeg(*su.MUSIC, made["music"])
    ffmpeg("-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=14", "-c:a", "aac", "-ac", "2",
           made["long_tone"])
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=1",
           "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=14",
           "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p",
           "-c:a", "aac", "-ac", "2", made["long_sound"])
    return made


@pytest.fixture
def make():
    """make(path) -> MediaDecoder, make(path, probe=True) -> Probe; all are
    stopped when the test ends, however it ends."""
    made = []

    def factory(path: str, probe: bool = False):
        decoder = reelpipe_probe.Probe(path) if probe else reelpipe.MediaDecoder(path)
        made.append(decoder)
        return decoder

    yield factory
    for decoder in made:
        bounded(decoder.stop)


def wait_playing(decoder, timeout: float = 10.0) -> None:
    assert wait_until(lambda: not decoder.is_buffering(), timeout), f"still buffering after {timeout} s"


def buffering_seen(decoder, looks: int = 20) -> int:
    """How many of `looks`, 25 ms apart, find the decoder buffering."""
    seen = 0
    for _ in range(looks):
        seen += decoder.is_buffering()
        time.sleep(0.025)
    return seen


def advance(decoder, seconds: float = 0.3) -> float:
    """How far the position moves over `seconds` of wall time."""
    before = decoder.get_position()
    time.sleep(seconds)
    return decoder.get_position() - before


# ------------------------------------------------------------------ the clock


class TestClock:
    # Five seconds of the clock against the wall clock: a rate, which the
    # sanitizer run has no better view of.
    @pytest.mark.realtime
    def test_position_keeps_wall_clock_time_and_stands_still_while_paused(self, clips, make):
        decoder = make(clips.sweep)
        # Not started: buffering, and the clock does not move.
        assert decoder.is_buffering()
        assert advance(decoder, 0.2) == 0.0 and decoder.get_position() == 0.0
        decoder.start()
        wait_playing(decoder)
        t0, p0 = time.monotonic(), decoder.get_position()
        time.sleep(5.0)
        p1, t1 = decoder.get_position(), time.monotonic()
        assert (p1 - p0) / (t1 - t0) == pytest.approx(1.0, rel=0.02)

        decoder.pause()
        held = decoder.get_position()
        time.sleep(0.4)
        assert decoder.get_position() == held
        decoder.resume()
        time.sleep(0.5)
        assert decoder.get_position() - held == pytest.approx(0.5, abs=0.1)

    # Half a second of playing after each seek is judged by the wall clock.
    @pytest.mark.realtime
    def test_seek_restarts_the_clock_from_the_target(self, clips, make):
        decoder = make(clips.sweep)
        decoder.start()
        wait_playing(decoder)
        for target in (7.0, 2.5):
            bounded(decoder.seek, target)
            returned = time.monotonic()
            position = decoder.get_position()
            # The target, or already the first frame kept, at most 0.1 s
            # before it; on a busy machine a period or two may have played
            # between the seek's return and this look at the clock.
            assert target - 0.1 <= position <= target + (time.monotonic() - returned) + 0.025
            wait_playing(decoder)
            time.sleep(0.5)
            assert decoder.get_position() - target == pytest.approx(0.5, abs=0.15)


@pytest.mark.parametrize("name", ["audio_mp3", "audio_ogg", "audio_wav", "audio_aac_mp4"])
def test_audio_only_input_plays_to_the_end(clips, make, name):
    decoder = make(clips[name])
    duration = decoder.get_duration()
    assert duration == pytest.approx(6.0, abs=0.05)
    decoder.start()
    # Without pictures there is nothing to wait for.
    began = time.monotonic()
    assert decoder.get_next_frame() is None
    assert time.monotonic() - began < 0.5
    wait_playing(decoder, timeout=3.0)
    assert advance(decoder) > 0.2

    bounded(decoder.seek, 4.5)
    # The last 1.5 s are read at once, so playback may already have moved
    # the clock by a period or two when the position is read.
    assert 4.4 <= decoder.get_position() <= 4.55
    wait_playing(decoder, timeout=3.0)
    # Plays on to the end of the sound, and the clock stops there.
    assert wait_until(lambda: decoder.get_position() > duration - 0.05, timeout=4.0), decoder.get_position()
    time.sleep(0.3)
    assert decoder.get_position() == pytest.approx(duration, abs=0.05)
    assert advance(decoder) == 0.0
    assert decoder.get_next_frame() is None
    # Over for good: nothing is awaited, even after a seek past the end.
    assert buffering_seen(decoder) == 0
    bounded(decoder.seek, duration + 5.0)
    time.sleep(0.5)  # the end found again has lasted
    assert buffering_seen(decoder) == 0


# ------------------------------------------------------------ the callback


class TestCallback:
    """The playback callback run by hand on a decoder that was never started."""

    PERIOD = 441 * FRAME_BYTES

    @pytest.fixture
    def probe(self, clips, make):
        probe = make(clips.audio_wav, probe=True)
        probe.set_flags(buffering=False)
        probe.set_clocks(audio_clock=2.0)
        return probe

    def test_underrun_plays_silence_keeps_the_sound_and_starts_buffering(self, probe):
        probe.append_sound(b"\x01" * 1000)
        assert probe.run_callback(441) == bytes(self.PERIOD)
        state = probe.state()
        assert state["buffering"]
        assert state["audio_buffer_bytes"] == 1000
        assert state["audio_clock"] == 2.0

    def test_underrun_with_enough_read_ahead_does_not_start_buffering(self, probe):
        # Four seconds are read but not yet converted: the audio thread is
        # catching up, and buffering would wait on a demux thread that may sit
        # in a stalled read with everything needed already at hand.
        probe.set_clocks(audio_demux_clock=6.0)
        probe.append_sound(b"\x01" * 1000)
        assert probe.run_callback(441) == bytes(self.PERIOD)
        state = probe.state()
        assert not state["buffering"]
        assert (state["audio_buffer_bytes"], state["audio_clock"]) == (1000, 2.0)

    @pytest.mark.parametrize("flag", ["buffering", "paused"])
    def test_buffering_or_paused_plays_silence_and_keeps_everything(self, probe, flag):
        probe.append_sound(b"\x02" * (20 * self.PERIOD))
        probe.set_flags(**{flag: True})
        assert probe.run_callback(441) == bytes(self.PERIOD)
        assert probe.run_callback(826) == bytes(826 * FRAME_BYTES)
        state = probe.state()
        assert state["audio_buffer_bytes"] == 20 * self.PERIOD
        assert state["audio_clock"] == 2.0

    def test_without_a_decoder_plays_silence(self, probe):
        probe.append_sound(b"\x03" * self.PERIOD)
        assert probe.run_callback(441, with_decoder=False) == bytes(self.PERIOD)
        assert probe.state()["audio_buffer_bytes"] == self.PERIOD

    def test_a_stalled_producer_costs_silence_never_a_wait(self, probe):
        # Everything that feeds the device stands still inside the sound
        # output's lock for 2 s: the callback plays what was handed over,
        # then silence, and returns at once each time.
        probe.append_sound(b"\x04" * (RATE * FRAME_BYTES))
        played, longest = probe.callbacks_while_sound_locked(periods=40, frame_count=441, seconds=2.0)
        assert 0 < played < 40
        assert longest < 1.0
        state = probe.state()
        assert state["audio_buffer_bytes"] == (RATE - played * 441) * FRAME_BYTES
        assert state["audio_clock"] == pytest.approx(2.0 + played * 441 / RATE, abs=1e-9)

    @pytest.mark.parametrize("split", ["441", "826", "uneven"])
    def test_a_second_of_frames_plays_in_order_and_is_a_second_of_clock(self, probe, split):
        if split == "uneven":
            rng, periods = random.Random(3), []
            while sum(periods) < RATE:
                periods.append(min(rng.randrange(1, 3000), RATE - sum(periods)))
        else:
            n = int(split)
            periods = [n] * (RATE // n) + [RATE % n]
        sound = np.random.default_rng(5).integers(0, 256, RATE * FRAME_BYTES, dtype=np.uint8).tobytes()
        probe.append_sound(sound)
        # Each period whole, exactly as it was queued.
        assert b"".join(probe.run_callback(n) for n in periods if n) == sound
        state = probe.state()
        assert state["audio_clock"] == pytest.approx(3.0, abs=1e-9)
        assert state["audio_buffer_bytes"] == 0
        assert not state["buffering"]


# ------------------------------------------------------------ the controls


class TestVolume:
    def test_values(self, clips, make):
        decoder = make(clips.audio_wav)
        assert decoder.get_volume() == 1.0
        for requested, expected in ((0.3, 0.30000001192092896), (-0.5, 0.0), (math.nan, 0.0),
                                    (2.5, 2.5), (0.0, 0.0), (1.0, 1.0)):
            decoder.set_volume(requested)
            assert decoder.get_volume() == expected, requested
        decoder.start()
        decoder.set_volume(0.75)
        assert decoder.get_volume() == 0.75

    def test_stop_releases_the_volume_and_a_restart_brings_it_back(self, clips, make):
        decoder = make(clips.audio_wav)
        decoder.start()
        decoder.set_volume(0.25)
        decoder.stop()
        assert decoder.get_volume() == 0.0
        # Set while stopped: kept for the device the restart opens.
        decoder.set_volume(0.4)
        assert decoder.get_volume() == 0.0
        decoder.start()
        assert decoder.get_volume() == pytest.approx(0.4, abs=1e-7)

    def test_input_without_sound_has_full_volume_and_a_picture_clock(self, clips, make):
        probe = make(clips.video_only, probe=True)
        for requested in (0.3, -1.0, math.nan, 2.0):
            probe.set_volume(requested)
            assert probe.get_volume() == 1.0
        probe.set_clocks(video_clock=2.5, audio_clock=1.0)
        assert probe.get_position() == 2.5
        # With sound, the position is the audio clock.
        with_sound = make(clips.av, probe=True)
        with_sound.set_clocks(video_clock=2.5, audio_clock=1.25)
        assert with_sound.get_position() == 1.25


class TestControls:
    def test_a_fresh_decoder_answers_at_once(self, clips, make):
        decoder = bounded(make, clips.av)
        assert bounded(decoder.get_fps) == 25.0
        assert bounded(decoder.get_duration) == pytest.approx(8.0, abs=0.05)
        assert bounded(decoder.get_position) == 0.0
        assert bounded(decoder.get_volume) == 1.0
        assert bounded(decoder.is_buffering) is True

    def test_pause_twice_then_resume(self, clips, make):
        decoder = make(clips.audio_wav)
        decoder.start()
        wait_playing(decoder)
        bounded(decoder.pause)
        bounded(decoder.pause)
        assert advance(decoder) == 0.0
        bounded(decoder.resume)
        assert advance(decoder, 0.5) == pytest.approx(0.5, abs=0.1)
        bounded(decoder.resume)
        assert advance(decoder) == pytest.approx(0.3, abs=0.1)

    def test_resume_before_start_plays_silence(self, clips, make):
        probe = make(clips.audio_wav, probe=True)
        bounded(probe.resume)
        # The device may run, but there is nothing to play yet.
        assert advance(probe) == 0.0 and probe.get_position() == 0.0
        assert probe.state()["audio_buffer_bytes"] == 0
        probe.start()
        assert wait_until(lambda: probe.get_position() > 0.2, timeout=5.0)

    def test_controls_after_stop_do_no_harm(self, clips, make):
        decoder = make(clips.audio_wav)
        decoder.start()
        wait_playing(decoder)
        time.sleep(0.2)
        bounded(decoder.stop)
        assert decoder.get_volume() == 0.0
        held = decoder.get_position()
        for control in (decoder.pause, decoder.resume, decoder.pause, decoder.resume):
            bounded(control)
        assert advance(decoder) == 0.0 and decoder.get_position() == held
        bounded(decoder.seek, 1.0)


    def test_step_speed_and_a_looped_seek_keep_their_word_at_the_edges(self, clips, make):
        with pytest.raises(RuntimeError, match="no video"):
            make(clips.audio_wav).step()
        decoder = make(clips.av)
        with pytest.raises(RuntimeError, match="start"):
            decoder.step()
        decoder.start()
        wait_playing(decoder)
        bounded(decoder.pause)
        held = decoder.get_position()
        decoder.set_speed(3.0)
        assert decoder.get_position() == held
        decoder.set_speed(4.0)
        duration = decoder.get_duration()
        bounded(decoder.seek, duration - 1.0)
        bounded(decoder.resume)
        bounded(list, decoder)  # to the end of the pictures
        assert decoder.is_finished()
        assert (decoder.get_position(), decoder.get_duration()) == (pytest.approx(duration, abs=0.05), duration)
        decoder.set_speed(2.0)
        assert decoder.is_finished()

        looped = reelpipe.MediaDecoder(clips.av, loop=True)
        looped.start()
        bounded(looped.seek, 20.0)
        assert looped.get_position() == pytest.approx(4.0, abs=0.001)
        try:
            picture, seconds = bounded(lambda: looped.get_next_frame(timeout=10.0, with_time=True))
        finally:
            bounded(looped.stop)
        assert 3.9 - 0.001 <= seconds <= 4.0



# One second of a quiet tone with a loud blip 0.2 s in, encoded as Opus in
# WebM or Ogg or as Vorbis in Ogg, whose decoders trim samples at the start
# (pre-skip, Vorbis's first block) and the end: looped, each lap lasts
# exactly what FFmpeg decodes of the file (Opus: its second), blip to blip,
# with no dip of the tone at the seam. The callback is run by hand, paused, so every sample
# it hands over is counted.
@pytest.mark.parametrize("encoding, ext", [("libopus", "webm"), ("libopus", "ogg"), ("libvorbis", "ogg")])
def test_a_looped_opus_or_vorbis_clip_laps_to_the_sample(tmp_path, encoding, ext):
    path = str(tmp_path / f"blip.{ext}")
    ffmpeg("-f", "lavfi", "-i", "aevalsrc=if(between(t\\,0.2\\,0.204)\\,0.8\\,0.1)*sin(2*PI*440*t):s=48000:d=1",
           "-ac", "2", "-c:a", encoding, path)
    probe = reelpipe_probe.Probe(path, loop=True)
    probe.start()
    try:
        probe.pause()
        assert wait_until(lambda: probe.state()["audio_buffer_bytes"] >= 5 * RATE * FRAME_BYTES, timeout=20.0)
        # The callbacks below stand in for the device's and the feeder's:
        # each moves the sound on before it plays a period.
        probe.stop_feeding()
        probe.set_flags(paused=False, buffering=False)
        played = b"".join(probe.run_callback(441) for _ in range(450))
    finally:
        bounded(probe.stop)
    samples = np.frombuffer(played, dtype=np.int16).reshape(-1, 2)
    blips = su.click_onsets(samples, threshold=10000.0, quiet=0.5)
    lap = len(su.reference(path))
    assert len(blips) >= 4 and np.diff(blips).tolist() == [pytest.approx(lap, abs=1)] * (len(blips) - 1)
    # The tone's level over 5 ms windows, from the first blip to the last.
    tone = su.mono(samples[blips[0]:blips[-1]])
    windows = len(tone) // 220
    level = np.sqrt(np.mean(tone[:windows * 220].reshape(windows, 220) ** 2, axis=1))
    dips = [round(blips[0] / RATE + n * 0.005, 3) for n, value in enumerate(level) if value < 0.6 * np.median(level)]
    assert not dips, f"the tone dips at {dips[:5]} s"


# --------------------------------------------------- the sound buffer and seeks


def settled(probe, quiet: float = 0.3, timeout: float = 15.0) -> tuple[dict, int]:
    """The probe's state once the sound buffer has not changed for `quiet`
    seconds, and the largest fill seen on the way."""
    state = probe.state()
    highest, since, deadline = state["audio_buffer_bytes"], time.monotonic(), time.monotonic() + timeout
    while time.monotonic() - since < quiet:
        assert time.monotonic() < deadline, f"the sound buffer never settled: {state}"
        time.sleep(0.005)
        now = probe.state()
        highest = max(highest, now["audio_buffer_bytes"])
        if now["audio_buffer_bytes"] != state["audio_buffer_bytes"]:
            since = time.monotonic()
        state = now
    return state, highest


def _wake_ups(tid: str) -> int:
    """How often the thread has gone to sleep and been woken so far."""
    with open(f"/proc/self/task/{tid}/status") as f:
        return int(next(line for line in f if line.startswith("voluntary_ctxt_switches")).split()[1])


class TestSoundBuffer:
    def test_fill_stops_at_ten_seconds_of_sound(self, control_clips, make):
        probe = make(control_clips["long_sound"], probe=True)
        probe.pause()  # from the start: nothing drains the buffer
        probe.start()
        state, highest = settled(probe)
        # One decoded frame (1024 samples at 48 kHz, resampled) may go past it.
        one_frame = FRAME_BYTES * (math.ceil(1024 * RATE / 48000) + 32)
        assert FILL_LIMIT < state["audio_buffer_bytes"] <= FILL_LIMIT + one_frame
        assert highest == state["audio_buffer_bytes"]

    def test_playing_only_min_buffer_ahead_of_sound_is_decoded(self, control_clips, make):
        # The packets are still read ten seconds ahead; decoded sound further
        # ahead than three would only hold memory.
        probe = make(control_clips["long_tone"], probe=True)
        probe.start()
        assert wait_until(lambda: probe.get_position() > 0.2, timeout=10)
        fills = []
        for _ in range(100):
            fills.append(probe.state()["audio_buffer_bytes"])
            time.sleep(0.01)
        one_frame = FRAME_BYTES * (math.ceil(1024 * RATE / 48000) + 32)
        assert 2.5 * RATE * FRAME_BYTES < max(fills) <= 3 * RATE * FRAME_BYTES + one_frame, max(fills)

    def test_paused_with_a_full_buffer_the_audio_thread_sleeps(self, control_clips, make):
        probe = make(control_clips["long_tone"], probe=True)
        probe.pause()
        before = set(os.listdir("/proc/self/task"))
        probe.start()
        state, _ = settled(probe)
        assert state["audio_buffer_bytes"] > FILL_LIMIT
        # The demux, audio and sound feeder threads (the device's own are
        # miniaudio's).
        workers = set(os.listdir("/proc/self/task")) - before
        first = {tid: _wake_ups(tid) for tid in workers}
        time.sleep(1.0)
        woken = {tid: _wake_ups(tid) - count for tid, count in first.items()}
        # What is left is the demux thread's throttle and the feeder's paused
        # look, at most 20 waits a second each; polling for room would wake
        # the audio thread 100 times.
        assert len(woken) == 3 and max(woken.values()) < 40, woken
        probe.resume()
        assert wait_until(lambda: probe.get_position() > 0.2, timeout=5)

    def test_seek_while_paused_leaves_only_sound_from_the_target(self, control_clips, make):
        path = control_clips["music"]
        probe = make(path, probe=True)
        probe.start()
        probe.pause()  # stops the device: from here on only run_callback plays
        assert wait_until(lambda: probe.state()["audio_buffer_bytes"] > 9.5 * RATE * FRAME_BYTES, timeout=10)
        target = 6.0
        bounded(probe.seek, target)
        assert wait_until(lambda: not probe.is_buffering(), timeout=10)
        state, _ = settled(probe)
        start = state["audio_clock"]
        assert target - 0.1 <= start <= target
        # Exactly the sound from the first kept frame to the end, nothing older.
        assert state["audio_buffer_bytes"] / (RATE * FRAME_BYTES) == pytest.approx(10.0 - start, abs=0.03)
        probe.set_flags(paused=False)
        out = np.frombuffer(probe.run_callback(4410), dtype="<i2").reshape(-1, 2)
        offset, score = su.locate(su.mono(out), su.mono(su.reference(path)))
        # Found at one place only (after a seek the resampler's phase is not
        # that of FFmpeg's decode from the start, so not sample for sample).
        assert score > 0.9
        assert offset / RATE == pytest.approx(start, abs=0.002), (offset / RATE, start, score)
        assert probe.state()["audio_clock"] == pytest.approx(start + 0.1, abs=1e-9)

    def test_seeks_while_paused_and_read_ahead_full_return(self, clips, make):
        probe = make(clips.long_av, probe=True)
        probe.start()
        # Nobody takes the pictures: reading stops at the 10 s read-ahead.
        assert wait_until(lambda: probe.read_ahead() >= 10.0, timeout=10)
        probe.pause()
        for target in (30.0, 5.0, 50.0, 0.0):
            bounded(probe.seek, target)
            assert not probe.state()["seek_requested"]
            # The sound starts at the sample nearest the target.
            assert target - 0.1 <= probe.get_position() <= target + 1 / RATE
            assert wait_until(lambda: probe.read_ahead() >= 9.5 or probe.state()["end_of_stream"], timeout=10)
        probe.resume()
        assert wait_until(lambda: probe.get_position() > 0.3, timeout=5)
