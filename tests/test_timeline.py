"""Time that follows the input's timestamps: one test for each of the nine ways
playback used to lose sync or go silent when the two streams do not run side
by side from one anchor (issue 16), and the small tests of the timeline's pure
functions.

Sync is measured where it matters, at a PulseAudio sink (the pulse fixture);
the rest judge the pictures' own times (frame-index clips) and the position.
"""

from __future__ import annotations

import contextlib
import logging
import math
import os
import random
import subprocess
import threading
import time

import numpy as np
import pytest

import reelpipe
import reelpipe_probe
import sound_util as su
from helpers import frame_index_of, wait_until
from robustness_util import Faults, RangeServer

FPS = 25


def _bounded(decoder, seconds: float) -> threading.Timer:
    """A guard that stops the decoder after `seconds`, so that a call that never
    returns fails the test instead of hanging the run."""
    guard = threading.Timer(seconds, decoder.stop)
    guard.daemon = True
    guard.start()
    return guard


def _live_feed(path: str, fifo: str) -> subprocess.Popen:
    """ffmpeg sending `path` into the FIFO at the media's own rate, as a live
    source sends what it has: its muxer would otherwise hold one stream back
    for up to 10 s while it waits for the other."""
    return subprocess.Popen(["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-re", "-i", path,
                             "-c", "copy", "-max_interleave_delta", "200000", "-f", "mpegts", "-y", fifo],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@contextlib.contextmanager
def _piped_live_decoder(path: str, tmp_path, **options):
    """A decoder of a FIFO that ffmpeg feeds `path` into live; bounded at
    25 s, stopped and its feeder ended on the way out."""
    fifo = str(tmp_path / "live.ts")
    os.mkfifo(fifo)
    feeder = _live_feed(path, fifo)
    try:
        decoder = reelpipe.MediaDecoder(fifo, **options)
        guard = _bounded(decoder, 25)
        try:
            yield decoder
        finally:
            guard.cancel()
            decoder.stop()
    finally:
        feeder.kill()
        feeder.wait()


def _timed_pictures(decoder, until: float, stop_when=None) -> list[tuple[int, float, float, float]]:
    """(frame index, picture seconds, position, wall time) of each picture handed
    out until time.monotonic() reaches `until` (or stop_when(index) holds)."""
    shown = []
    while time.monotonic() < until:
        got = decoder.get_next_frame(timeout=0.05, with_time=True)
        if got is None:
            continue
        picture, seconds = got
        index = frame_index_of(picture)
        shown.append((index, seconds, decoder.get_position(), time.monotonic()))
        if stop_when is not None and stop_when(index):
            break
    return shown


# ---- 1. A hole in the sound


@pytest.mark.realtime
def test_sync_holds_after_a_hole_in_the_sound(pulse, clips):
    # 0.7 s of AAC packets are lost at 4.0 s; the hole is played as silence,
    # and every click after it comes with its picture as before it.
    offsets = su.picture_sound_offsets(pulse, clips.clicks_ts_sound_hole, 8.5)
    assert len(offsets) >= 6, f"too few pictures matched with their clicks: {offsets}"
    # A busy machine only makes a picture late (negative), hence more room
    # on that side for each; the median holds within 40 ms.
    assert abs(float(np.median(offsets))) <= 0.04 and all(-0.15 <= offset <= 0.04 for offset in offsets), \
        f"pictures before (+) or after (-) their clicks, seconds: {[round(o, 3) for o in offsets]}"


# ---- 2. A gap in the pictures is a gap, not a join


@pytest.mark.realtime
def test_pictures_after_a_gap_keep_their_own_time(clips):
    # The pictures from 2.5 s to 6.6 s are lost while the sound goes on: the
    # next ones are shown at their own time, not relabelled 4 s earlier.
    decoder = reelpipe.MediaDecoder(clips.index_ts_picture_gap)
    guard = _bounded(decoder, 20)
    try:
        decoder.start()
        shown = _timed_pictures(decoder, time.monotonic() + 11, stop_when=lambda index: index >= 200)
    finally:
        guard.cancel()
        decoder.stop()
    after = [(i, s, p) for i, s, p, _ in shown if 175 <= i < 250]
    assert len(after) >= 5, f"too few pictures after the gap: {shown[-5:]}"
    labels = [s - i / FPS for i, s, _ in after]
    assert max(abs(x) for x in labels) < 0.05, f"pictures relabelled by {np.median(labels):+.2f} s"
    # Shown when the position has reached them, not seconds early.
    early = [s - p for _, s, p in after]
    assert max(early) < 0.15, f"pictures shown up to {max(early):.2f} s early"


# ---- 3. Sound that outlasts the pictures on a live input


# A live TS through a pipe keeps its first pictures, and without sound to
# pace them (extraction) the first comes as soon as it is decoded, not once
# the read-ahead has filled, which takes seconds on a live source.
@pytest.mark.realtime
@pytest.mark.parametrize("audio", [True, False], ids=["with sound", "pictures alone"])
def test_a_piped_live_source_keeps_its_first_pictures(clips, tmp_path, audio):
    with _piped_live_decoder(clips.index_ts, tmp_path, audio=audio) as decoder:
        decoder.start()
        first = []
        while len(first) < 5:
            picture = decoder.get_next_frame(timeout=0.05)
            if picture is not None:
                first.append((frame_index_of(picture), decoder.is_buffering()))
    assert [index for index, _ in first] == list(range(5))
    assert audio or first[0][1], "the first picture waited for the read-ahead"


@pytest.mark.realtime
@pytest.mark.parametrize("source", ["pipe", "http"])
def test_sound_outlasting_the_pictures_plays_on_from_a_live_source(clips, tmp_path, source):
    # 5 s of pictures, 12 s of sound, fed in real time through a FIFO, or
    # over HTTP at the clip's own byte rate, without a length, as a live
    # stream is served: once the pictures are over the sound plays on,
    # without buffering and without a stall, while the input still comes.
    path = clips.index_ts_short_pictures
    with contextlib.ExitStack() as stack:
        if source == "pipe":
            url = str(tmp_path / "live.ts")
            os.mkfifo(url)
            feeder = _live_feed(path, url)
            stack.callback(feeder.wait)
            stack.callback(feeder.kill)
        else:
            size = os.path.getsize(path)
            server = RangeServer(path, Faults(trickle=(max(1, int(size / 12.0 * 0.1)), 0.1), trickle_until=size,
                                              unsized=True))
            stack.callback(server.close)
            url = server.url("live.ts")
        decoder = reelpipe.MediaDecoder(url)
        guard = _bounded(decoder, 25)
        try:
            decoder.start()
            samples = []
            end = time.monotonic() + 15
            while time.monotonic() < end:
                decoder.get_next_frame(timeout=0.01)
                samples.append((time.monotonic(), decoder.get_position(), decoder.is_buffering()))
                if samples[-1][1] >= 8.0:
                    break
        finally:
            guard.cancel()
            decoder.stop()
    playing = [(t, p, b) for t, p, b in samples if p >= 3.0]
    assert playing and playing[-1][1] >= 8.0, f"the sound did not play on past the pictures: {samples[-1]}"
    assert not any(b for _, _, b in playing), "buffering while the sound plays on"
    # The longest time the position stood still once the pictures were over.
    stalls = []
    since = playing[0]
    for sample in playing[1:]:
        if sample[1] > since[1]:
            stalls.append(sample[0] - since[0])
            since = sample
    assert max(stalls) < 0.1, f"the sound stood still for {max(stalls):.3f} s"


# ---- 4. Pictures that outlast the sound


@pytest.mark.realtime
def test_position_follows_pictures_that_outlast_the_sound(clips):
    # 8 s of pictures, 3 s of sound: the position follows the pictures to the
    # end, and after a seek into the part without sound.
    decoder = reelpipe.MediaDecoder(clips.index_short_sound)
    guard = _bounded(decoder, 30)
    try:
        decoder.start()
        shown = _timed_pictures(decoder, time.monotonic() + 6, stop_when=lambda index: index >= 125)
        assert shown and shown[-1][1] >= 4.9, f"pictures stopped at {shown[-1:]}"
        assert decoder.get_position() == pytest.approx(shown[-1][1], abs=0.15)
        decoder.seek(6.0)
        shown = _timed_pictures(decoder, time.monotonic() + 3, stop_when=lambda index: index >= 175)
        assert shown and shown[-1][1] >= 6.9
        assert decoder.get_position() == pytest.approx(shown[-1][1], abs=0.15)
    finally:
        guard.cancel()
        decoder.stop()


# ---- 5. Accurate seeks on MPEG-TS


@pytest.mark.parametrize("target", [3.0, 6.0, 9.5])
def test_seek_on_ts_lands_on_the_target(clips, target):
    # A key frame every 2 s: the first picture after the seek is within 0.1 s
    # before the target, as on mp4, not on the next key frame.
    decoder = reelpipe.MediaDecoder(clips.index_ts_gop2, audio=False)
    guard = _bounded(decoder, 20)
    try:
        decoder.start()
        decoder.seek(target)
        got = decoder.get_next_frame(timeout=5.0, with_time=True)
    finally:
        guard.cancel()
        decoder.stop()
    assert got is not None
    picture, seconds = got
    assert target - 0.1 <= seconds <= target + 0.5 / FPS, f"seek({target}) showed the picture of {seconds} s"
    # The picture is the one its time says (the TS timestamps start a little
    # before the first picture's).
    assert frame_index_of(picture) / FPS == pytest.approx(seconds, abs=0.05)


# ---- 6. A seek the input cannot carry out


def test_failed_seek_on_a_pipe_leaves_playback_where_it_was(clips, tmp_path, caplog):
    caplog.set_level(logging.WARNING, logger="reelpipe")
    with _piped_live_decoder(clips.index_ts, tmp_path) as decoder:
        decoder.start()
        shown = _timed_pictures(decoder, time.monotonic() + 12, stop_when=lambda index: index >= 75)
        assert shown and shown[-1][0] >= 75
        before = decoder.get_position()
        decoder.seek(0.0)
        assert decoder.get_position() >= before - 0.1, "the failed seek moved the position"
        # A step back cannot seek either: the picture shown stays, no other comes.
        decoder.step(-3)
        held = decoder.get_position()
        assert decoder.get_next_frame(timeout=0.3) is None and decoder.get_position() == held
        decoder.resume()
        after = _timed_pictures(decoder, time.monotonic() + 2)
    # Playback went on from where it stood: the next pictures follow the last.
    indices = [i for i, _, _, _ in after]
    assert len(indices) >= 25, f"playback did not go on: {indices}"
    assert min(indices) >= shown[-1][0] - 2, f"pictures from before the seek came again: {indices[:5]}"
    assert indices[-1] >= shown[-1][0] + 40, "pictures stood still after the failed seek"
    warnings = [r.getMessage() for r in caplog.records
                if r.name == "reelpipe" and r.levelno == logging.WARNING and "seek" in r.getMessage()]
    assert warnings, "no WARNING named the failed seek"


# ---- 7. Concurrent seeks


@pytest.mark.realtime
def test_concurrent_seeks_keep_the_lead_in(pulse, clips):
    # The sound starts 1 s after the pictures. seek(5) and seek(0.5) from two
    # threads, the second 0-30 ms later: whichever wins, the click at 1 s comes
    # with picture 25, again and again.
    rng = random.Random(16)
    handed: list[float] = []
    with pulse.start_recording() as recording:
        decoder = reelpipe.MediaDecoder(clips.clicks_ts_late_sound)
        guard = _bounded(decoder, 120)
        try:
            decoder.start()
            _timed_pictures(decoder, time.monotonic() + 1.5)
            for _ in range(12):
                first = threading.Thread(target=decoder.seek, args=(5.0,))
                second = threading.Thread(target=decoder.seek, args=(0.5,))
                first.start()
                time.sleep(rng.uniform(0.005, 0.03))
                second.start()
                first.join()
                second.join()
                if decoder.get_position() > 3.0:
                    continue  # seek(5) came last and won: nothing to measure
                for index, _, _, at in _timed_pictures(decoder, time.monotonic() + 1.5,
                                                       stop_when=lambda index: index >= FPS):
                    if index == FPS:
                        handed.append(at)
            time.sleep(0.5)  # the last click reaches the sink
        finally:
            guard.cancel()
            decoder.stop()
    clicks = [recording.wall_time(frame) for frame in su.click_onsets(recording.samples, quiet=0.3)]
    offsets = []
    for when in handed:
        nearest = min(clicks, key=lambda heard: abs(heard - when), default=None)
        if nearest is not None and abs(nearest - when) < 0.7:
            offsets.append(nearest - when)
    near = [[round(c - when, 3) for c in clicks if abs(c - when) < 0.7] for when in handed]
    assert len(offsets) >= 6, f"too few pictures matched with their clicks: {offsets}"
    # A busy machine only makes a picture late (negative); a lost lead-in
    # puts the click half a second early.
    assert abs(float(np.median(offsets))) <= 0.04 and all(-0.15 <= offset <= 0.04 for offset in offsets), \
        f"click at 1 s against picture 25, seconds: {[round(o, 3) for o in offsets]}; {near}"


# ---- 8. Seeks past the end


@pytest.mark.parametrize("target", [math.inf, 1e300, 1e6])
def test_seek_past_the_end_keeps_position_and_duration_within_the_input(clips, target):
    decoder = reelpipe.MediaDecoder(clips.av)
    guard = _bounded(decoder, 20)
    try:
        length = decoder.get_duration()
        decoder.start()
        decoder.seek(target)
        assert wait_until(decoder.is_finished, timeout=10)
        assert decoder.get_position() <= length
        assert decoder.get_duration() == length
        assert len(repr(decoder)) < 120
    finally:
        guard.cancel()
        decoder.stop()


# ---- 9. pkt_timebase


@pytest.mark.parametrize("name", ["audio_ogg", "audio_opus"])
def test_opus_and_vorbis_play_without_timestamp_warnings(clips, caplog, name):
    caplog.set_level(logging.WARNING, logger="reelpipe.ffmpeg")
    decoder = reelpipe.MediaDecoder(clips[name])
    guard = _bounded(decoder, 20)
    try:
        decoder.start()
        assert wait_until(lambda: decoder.get_position() > 1.0, timeout=10)
        decoder.seek(0.5)
        assert wait_until(lambda: decoder.get_position() > 1.0, timeout=10)
    finally:
        guard.cancel()
        decoder.stop()
    time.sleep(0.2)  # the log thread hands the last records over
    noise = [r.getMessage() for r in caplog.records if "Could not update timestamps" in r.getMessage()]
    assert not noise, noise


# ---- The state types on their own (through the probe)

TICKS = 90000  # the 1/90000 s time base of MPEG-TS
FRAME = 3600   # one picture at 25 fps


class TestTimeline:
    def test_a_jump_both_streams_make_is_a_join(self):
        joins = reelpipe_probe.Joins(FRAME)
        for k in range(10):
            assert joins.video(k * FRAME) == k * FRAME
            assert joins.audio(k * FRAME) == k * FRAME
        # Both streams jump a minute forward: the new piece carries on.
        jump = 60 * TICKS
        assert joins.video(jump + 10 * FRAME) == 10 * FRAME
        assert joins.audio(jump + 10 * FRAME) == 10 * FRAME
        assert joins.video(jump + 11 * FRAME) == 11 * FRAME

    def test_a_jump_only_one_stream_makes_is_a_gap(self):
        joins = reelpipe_probe.Joins(FRAME)
        for k in range(10):
            joins.video(k * FRAME)
            joins.audio(k * FRAME)
        # The sound goes on for 4 s while the pictures are missing.
        for k in range(10, 110):
            joins.audio(k * FRAME)
        # The pictures come back where the sound is: their own time.
        assert joins.video(110 * FRAME) == 110 * FRAME
        assert joins.audio(110 * FRAME) == 110 * FRAME

    def test_clamp_and_saturating_timestamps(self):
        assert reelpipe_probe.timeline_clamp(1.4, 12.0, math.inf) == 12.0
        assert reelpipe_probe.timeline_clamp(1.4, 12.0, 1e300) == 12.0
        assert reelpipe_probe.timeline_clamp(1.4, 0.0, 50.0) == 50.0  # length unknown
        assert reelpipe_probe.timeline_clamp(1.4, 12.0, math.nan) == 0.0
        assert reelpipe_probe.timeline_timestamp(1.4, 1, TICKS, 2.0) == int(3.4 * TICKS)
        assert reelpipe_probe.timeline_timestamp(0.0, 1, TICKS, math.inf) == int(9.2e18)


class TestSoundBuffer:
    RATE = 44100

    def test_the_front_time_follows_the_marks(self):
        buffer = reelpipe_probe.SoundBuffer()
        buffer.append(4410, 2.0)
        buffer.append(4410, 2.1)  # follows on: no mark needed
        assert buffer.front_seconds() == pytest.approx(2.0)
        assert buffer.end_seconds() == pytest.approx(2.2)
        buffer.take(2205)
        assert buffer.front_seconds() == pytest.approx(2.05)

    def test_a_hole_is_filled_with_silence(self):
        buffer = reelpipe_probe.SoundBuffer()
        buffer.append(4410, 3.0)
        buffer.append(4410, 3.7)  # 0.6 s of sound lost
        assert buffer.frames() == pytest.approx(0.8 * self.RATE, abs=2)
        buffer.take(4410)
        assert buffer.take(4410 * 6) == bytes(4410 * 6 * 4)  # the hole plays as silence
        assert buffer.front_seconds() == pytest.approx(3.7, abs=1e-4)

    def test_a_long_jump_moves_the_time_instead(self):
        buffer = reelpipe_probe.SoundBuffer()
        buffer.append(4410, 3.0)
        buffer.append(4410, 30.0)
        buffer.append(4410, 1.0)  # back in time
        assert buffer.frames() == 3 * 4410
        buffer.take(4410)
        assert buffer.front_seconds() == pytest.approx(30.0)
        buffer.take(4410)
        assert buffer.front_seconds() == pytest.approx(1.0)

    def test_the_lead_in_is_silence_before_a_late_sound(self):
        buffer = reelpipe_probe.SoundBuffer()
        assert not buffer.anchored()
        buffer.anchor(0.5, 1.0)
        buffer.append(4410, 1.0)
        assert buffer.anchored()
        assert buffer.front_seconds() == pytest.approx(0.5)
        assert buffer.take(self.RATE // 2) == bytes(self.RATE // 2 * 4)
        assert buffer.front_seconds() == pytest.approx(1.0, abs=1e-4)

    def test_clear_starts_a_new_serial_that_anchors_again(self):
        buffer = reelpipe_probe.SoundBuffer()
        buffer.anchor(0.0, 0.0)
        buffer.append(4410, 0.0)
        serial = buffer.serial()
        buffer.clear()
        assert buffer.serial() == serial + 1
        assert not buffer.anchored() and buffer.frames() == 0
        assert math.isnan(buffer.front_seconds())


class TestDeviceRing:
    BYTES_PER_SECOND = 176400

    def test_marks_time_the_bytes_across_a_wrap_and_a_change_of_speed(self):
        ring = reelpipe_probe.DeviceRing(4000)
        first, second = bytes(range(256)) * 11 + bytes(184), bytes(reversed(range(256))) * 7 + bytes(208)
        assert ring.push(first, 1.0, 1.0)
        out, after = ring.take(2000)
        assert out == first[:2000] and after == pytest.approx(1.0 + 2000 / self.BYTES_PER_SECOND)
        # Wraps: 1000 bytes at the end of the storage, 1000 at its start.
        assert ring.push(second, 5.0, 2.0)
        assert ring.room() == 1000 and not ring.push(bytes(1004), 9.0, 1.0)
        assert ring.take(1000) == (first[2000:], pytest.approx(5.0))
        out, after = ring.take(1500)
        assert out == second[:1500] and after == pytest.approx(5.0 + 1500 * 2.0 / self.BYTES_PER_SECOND)
        # Fewer bytes than asked: nothing is taken.
        assert ring.take(1000) is None
        out, after = ring.take(500)
        assert out == second[1500:] and after == pytest.approx(5.0 + 2000 * 2.0 / self.BYTES_PER_SECOND)

    def test_discarding_leaves_the_next_push_timed_by_its_own_mark(self):
        ring = reelpipe_probe.DeviceRing(4000)
        ring.push(bytes(3000), 1.0, 1.0)
        ring.discard_all()
        assert ring.room() == 4000 and ring.take(4) is None
        ring.push(b"\x01" * 400, 7.0, 1.0)
        assert ring.take(200) == (b"\x01" * 200, pytest.approx(7.0 + 200 / self.BYTES_PER_SECOND))


class TestClock:
    def test_a_set_clock_reads_what_it_was_set_to(self):
        clock = reelpipe_probe.Clock()
        clock.set(2.0, 1_000_000_000, 1)
        assert clock.get(5_000_000_000) == 2.0
        clock.set(1.0, 2_000_000_000, 0)  # an older serial is ignored
        assert clock.get(5_000_000_000) == 2.0 and clock.serial() == 1

    def test_a_paced_clock_runs_with_the_wall_clock_at_its_rate(self):
        clock = reelpipe_probe.Clock()
        clock.pace(True, 4.0, 1_000_000_000)
        assert clock.get(1_500_000_000) == pytest.approx(4.5)
        clock.set_paused(True, 2_000_000_000)
        assert clock.get(9_000_000_000) == pytest.approx(5.0)
        clock.set_paused(False, 10_000_000_000)
        clock.set_rate(2.0, 10_000_000_000)
        assert clock.get(10_500_000_000) == pytest.approx(6.0)
        clock.pace(False, 6.0, 11_000_000_000)
        assert not clock.paced() and clock.get(20_000_000_000) == 6.0
