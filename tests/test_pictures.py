"""Pictures: which ones get_next_frame() hands out, when, and who owns their memory.

The frame_index clips draw each picture's own number into it, so a test reads
back exactly which picture it was given; the probe drives frame delivery with
hand-made queues and clocks, without worker threads, to pin down each rule.
"""

from __future__ import annotations

import gc
import json
import os
import random
import struct
import subprocess
import threading
import time

import numpy as np
import pytest

import reelpipe
import reelpipe_probe
from helpers import ffmpeg, frame_index_of, pictures, resident_bytes, wait_until
from robustness_util import HANG, Bounded, bounded, run_python, wait_state

FPS = 25
INDEX_PICTURES = 200                # frame_index clips: 8 s at 25 fps
PICTURE_BYTES = 320 * 240 * 3
EARLY, LATE = 0.01, 0.1             # the display window is [position - LATE, position + EARLY]
SLACK = 0.005                       # get_position() is read a moment after the hand-over
QUIET = 2.0                         # no picture for this long after the last one: the input ended


def take(decoder, count: int, quiet: float = QUIET) -> list[tuple[np.ndarray, float]]:
    """Takes up to `count` pictures, each with get_position() read right after it came.

    None is normal while the first pictures are decoded; the run ends early
    once the decoder says the input is finished, or after `quiet` seconds
    without any picture.
    """
    return [(picture, decoder.get_position())
            for picture in pictures(decoder.get_next_frame, count=count, quiet=quiet, finished=decoder.is_finished)]


def drop(decoder, count: int, quiet: float = QUIET) -> int:
    """Takes up to `count` pictures and lets each go at once; returns how many came."""
    return sum(1 for _ in pictures(decoder.get_next_frame, count=count, quiet=quiet, finished=decoder.is_finished))


def probe_times(probe, count: int, quiet: float = QUIET) -> list[float]:
    """Times of up to `count` pictures the probe hands out, as take() does it."""
    return list(pictures(lambda: bounded(probe.next_frame_time), count=count, quiet=quiet))


def indices(taken: list[tuple[np.ndarray, float]]) -> list[int]:
    return [frame_index_of(picture) for picture, _ in taken]


def playing(path: str):
    decoder = reelpipe.MediaDecoder(path)
    decoder.start()
    return decoder


CHANNELS = {"rgb24": 3, "bgr24": 3, "rgba": 4, "bgra": 4, "gray": 1}


def ffmpeg_pictures(path: str, height: int, width: int, pixel_format: str = "rgb24", scaled: bool = False,
                    decoder: str | None = None) -> np.ndarray:
    """Every picture of the input as the ffmpeg CLI decodes it, the reference to compare with: in
    `pixel_format`, scaled to width x height bilinearly when `scaled`, by `decoder` when named."""
    command = ["ffmpeg", "-v", "error", "-nostdin", *(["-c:v", decoder] if decoder else []), "-i", path,
               *(["-vf", f"scale={width}:{height}:flags=bilinear"] if scaled else []),
               "-f", "rawvideo", "-pix_fmt", pixel_format, "-"]
    raw = subprocess.run(command, capture_output=True, check=True).stdout
    shape = (height, width) if CHANNELS[pixel_format] == 1 else (height, width, CHANNELS[pixel_format])
    return np.frombuffer(raw, np.uint8).reshape(-1, *shape)


# Display matrices [a b; c d] as the track header holds them: a source
# pixel (x, y) is shown at (a x + c y, b x + d y).
DISPLAY_MATRICES = {"rotate 90": (0, 1, -1, 0), "rotate 180": (-1, 0, 0, -1), "rotate 270": (0, -1, 1, 0),
                    "mirror": (-1, 0, 0, 1)}


def with_display_matrix(source, target, a: int, b: int, c: int, d: int) -> None:
    """Copies a one-track mp4 with its track header's display matrix replaced.

    Written into the file itself, as a phone does, so every FFmpeg version
    reads the same matrix whatever its command line offers for setting one.
    """
    data = bytearray(source.read_bytes())
    header = data.index(b"tkhd") + 4
    times = 32 if data[header] == 1 else 20  # 64-bit times in version 1
    matrix = header + 4 + times + 16
    data[matrix:matrix + 36] = struct.pack(">9i", a << 16, b << 16, 0, c << 16, d << 16, 0, 0, 0, 1 << 30)
    target.write_bytes(data)


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """Clips only these tests need: many small pictures, raw H.264 with no duration, turned pictures."""
    folder = tmp_path_factory.mktemp("pictures")
    many = folder / "many.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=50:duration=70", "-c:v", "libx264",
           "-preset", "ultrafast", "-g", "50", "-pix_fmt", "yuv420p", "-an", str(many))
    raw = folder / "raw.h264"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=2", "-c:v", "libx264",
           "-preset", "veryfast", "-pix_fmt", "yuv420p", "-f", "h264", str(raw))
    upright = folder / "upright.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=1", "-c:v", "libx264",
           "-preset", "veryfast", "-pix_fmt", "yuv420p", "-an", str(upright))
    clips = {"many": str(many), "raw_h264": str(raw)}
    for name, matrix in DISPLAY_MATRICES.items():
        turned = folder / f"{name.replace(' ', '_')}.mp4"
        with_display_matrix(upright, turned, *matrix)
        clips[name] = str(turned)
    return clips


# ---------------------------------------------------------------- real-time playback with sound


@pytest.fixture(scope="module")
def av_playback(clips) -> list[tuple[int, float]]:
    """The whole frame_index_av clip played in real time: (index, position) per picture."""
    decoder = playing(clips["frame_index_av"])
    try:
        taken = take(decoder, INDEX_PICTURES)
        return [(frame_index_of(picture), position) for picture, position in taken]
    finally:
        decoder.stop()


def test_sound_waits_for_a_first_picture_that_is_slow_to_decode(tmp_path_factory):
    # Reading 3 s of this clip takes a moment, decoding its first 4K picture
    # far longer: a clock started at once would leave that picture late.
    uhd = tmp_path_factory.mktemp("uhd") / "uhd.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=3840x2160:rate=5:duration=4", "-f", "lavfi", "-i",
           "sine=frequency=440:duration=4", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
           "-c:a", "aac", str(uhd))
    probe = reelpipe_probe.Probe(str(uhd))
    probe.start()
    sound_held = []
    try:
        state = wait_state(probe, lambda s: not s["buffering"] or sound_held.append(s["audio_buffer_bytes"]),
                           timeout=HANG)
        assert state["frames"] >= 1 and state["audio_clock"] < 0.1
    finally:
        bounded(probe.stop)
    # Held for it, a second of sound is decoded (and a frame beyond), not
    # all three read: the rest would take the picture's cores for nothing.
    # The sound is held at 44.1 kHz in two 16-bit channels.
    assert sound_held and max(sound_held) <= 1.1 * 44100 * 4


# The whole clip in real time (8 s), judged by when each picture came: the
# sanitizer run sees the same code paths in the shorter playbacks below.
@pytest.mark.realtime
def test_with_sound_every_picture_arrives_once_in_order(av_playback):
    assert [index for index, _ in av_playback] == list(range(INDEX_PICTURES))


@pytest.mark.realtime
def test_with_sound_pictures_are_handed_out_inside_the_display_window(av_playback):
    errors = [index / FPS - position for index, position in av_playback]
    inside = [-LATE - SLACK <= e <= EARLY + SLACK for e in errors]
    outside = [(i, round(e, 4)) for i, (e, ok) in enumerate(zip(errors, inside)) if not ok]
    assert sum(inside) >= 0.99 * len(errors), f"outside the window: {outside}"


@pytest.mark.realtime
def test_caller_that_falls_behind_gets_late_pictures_dropped_and_is_back_in_sync(clips):
    decoder = playing(clips["frame_index_av"])
    try:
        before = take(decoder, 25)
        assert len(before) == 25
        time.sleep(0.5)
        after = take(decoder, 10)
    finally:
        decoder.stop()
    last, first_after = frame_index_of(before[-1][0]), frame_index_of(after[0][0])
    # Half a second is 12.5 picture intervals; all but the last 0.1 s of them are late.
    assert first_after - last >= 8, (last, first_after)
    for index, (_, position) in zip(indices(after), after):
        assert -LATE - SLACK <= index / FPS - position <= EARLY + SLACK, (index, position)
    assert indices(after) == list(range(first_after, first_after + 10))


@pytest.mark.realtime
def test_decoder_that_cannot_keep_up_skips_pictures_before_decoding_them_keeping_sound_and_sync(clips):
    # 4K at 60 fps on one core, which decodes about half of its pictures in
    # real time: the pictures it cannot make in time are better not decoded
    # than decoded and dropped late.
    path = clips["heavy_uhd60_av"]
    cores = os.sched_getaffinity(0)
    # The decoder's threads, FFmpeg's and the device's are made from this
    # thread and keep its core; the test itself goes back to every core.
    os.sched_setaffinity(0, {min(cores)})
    try:
        decoder = reelpipe.MediaDecoder(path)
        decoder.start()
    finally:
        os.sched_setaffinity(0, cores)
    offsets, buffered = [], []
    try:
        ends = time.monotonic() + HANG
        while not decoder.is_finished() and time.monotonic() < ends:
            got = decoder.get_next_frame(timeout=0.1, with_time=True)
            position = decoder.get_position()
            if got is not None:
                offsets.append(got[1] - position)
            elif offsets:
                buffered.append(decoder.is_buffering())
        counts, finished, position = decoder.get_picture_counts(), decoder.is_finished(), decoder.get_position()
    finally:
        decoder.stop()
    assert finished and position > 2.3
    # The sound was never held for want of pictures.
    assert not any(buffered)
    assert counts["skipped"] > 0 and counts["dropped"] >= counts["skipped"], counts
    assert counts["shown"] == len(offsets) >= 10, counts
    # get_position() is read after the hand-over and moves a device period
    # at a time: a picture handed out at the window's late edge may read up
    # to a period later.
    period = 0.05
    outside = [round(o, 3) for o in offsets if not -LATE - period <= o <= EARLY + SLACK]
    assert not outside, outside


def test_seeks_during_playback_start_at_the_target_and_never_show_older_pictures(clips):
    fps = 10  # long_av: 60 s at 10 fps
    decoder = playing(clips["long_av"])
    rng = random.Random(20240611)
    try:
        for _ in range(30):
            target = round(rng.uniform(0.0, 55.0), 2)
            bounded(decoder.seek, target)
            taken = take(decoder, 2)
            assert len(taken) == 2, f"no pictures after seek({target})"
            times = [index / fps for index in indices(taken)]
            assert times[0] >= target - LATE - 1e-3, (target, times)
            # Nothing near the target was skipped either.
            assert times[0] <= target + 0.3, (target, times)
            assert times[1] > times[0], (target, times)
    finally:
        decoder.stop()


# ---------------------------------------------------------------- without sound, content


def test_without_sound_consecutive_calls_give_consecutive_pictures(clips):
    decoder = playing(clips["frame_index"])
    try:
        began = time.monotonic()
        taken = take(decoder, INDEX_PICTURES)
        spent = time.monotonic() - began
    finally:
        decoder.stop()
    assert indices(taken) == list(range(INDEX_PICTURES))
    # The position is the time of the picture just handed out.
    for index, (_, position) in enumerate(taken):
        assert position == pytest.approx(index / FPS, abs=1e-6)
    # Nothing paces these pictures: 8 s of them come out in well under 8 s.
    assert spent < INDEX_PICTURES / FPS / 2


@pytest.mark.realtime
def test_realtime_paces_pictures_without_sound_by_the_wall_clock_and_holds_while_paused(clips):
    decoder = reelpipe.MediaDecoder(clips["frame_index"], realtime=True)
    decoder.start()
    try:
        first = take(decoder, 1)
        began = time.monotonic()
        assert indices(first) == [0]
        taken = take(decoder, FPS - 1)
        decoder.pause()
        paused_at = time.monotonic()
        held = decoder.get_next_frame(timeout=0.5)
        decoder.resume()
        pause = time.monotonic() - paused_at
        taken += take(decoder, 2 * FPS + 1)
        spent = time.monotonic() - began - pause
    finally:
        decoder.stop()
    assert held is None
    # 75 pictures after the first, all of them, in the 3 s they span.
    assert indices(taken) == list(range(1, 3 * FPS + 1))
    assert spent == pytest.approx(3.0, rel=0.05)


@pytest.mark.parametrize("clip", ["frame_index_av", "frame_index"])
def test_step_hands_out_the_next_pictures_one_by_one_and_back_the_one_before(clips, clip):
    decoder = playing(clips[clip])
    try:
        shown = indices(take(decoder, 10))[-1]
        stepped = []
        for _ in range(5):
            decoder.step()
            stepped.append((frame_index_of(decoder.get_next_frame(timeout=HANG)), decoder.get_position()))
        held = decoder.get_next_frame(timeout=0.3)
        decoder.step(-1)
        back = decoder.get_next_frame(timeout=HANG)
        position = decoder.get_position()
    finally:
        decoder.stop()
    assert stepped == [(index, pytest.approx(index / FPS, abs=SLACK)) for index in range(shown + 1, shown + 6)]
    assert held is None
    assert frame_index_of(back) == shown + 4 and position == pytest.approx((shown + 4) / FPS, abs=SLACK)


# The step back from the last picture is timed against the wall clock.
@pytest.mark.realtime
def test_seek_step_and_resume_agree_on_the_picture_and_the_sound(clips):
    decoder = playing(clips["frame_index_av"])
    try:
        take(decoder, 5)
        decoder.pause()
        positions = []
        for target in (0.5, 2.0, 3.3, 0.5):
            bounded(decoder.seek, target)
            positions.append(decoder.get_position())
        # Nothing shown since the seek: a step counts from the picture at the target.
        decoder.step(1)
        after_seek = frame_index_of(decoder.get_next_frame(timeout=HANG))
        bounded(decoder.seek, 0.5)
        decoder.step(-1)
        before_seek = frame_index_of(decoder.get_next_frame(timeout=HANG))
        decoder.step(3)
        stepped = frame_index_of(decoder.get_next_frame(timeout=HANG))
        decoder.resume()
        assert wait_until(lambda: not decoder.is_buffering())
        # The sound plays on from the picture shown, never from the seek window
        # before it. Watched for 50 ms: the next picture is dropped as late
        # once the sound is 0.1 s past it, 0.14 s after the resume.
        heard = []
        for _ in range(10):
            heard.append(decoder.get_position())
            time.sleep(0.005)
        resumed = indices(take(decoder, 5))
        # From the last picture a step back is as quick as elsewhere: it does
        # not wait out the decoder's lasting-end delay (a second) for the drain.
        decoder.step(1000)
        last = frame_index_of(decoder.get_next_frame(timeout=HANG))
        began = time.monotonic()
        decoder.step(-1)
        back_spent = time.monotonic() - began
        before_last = frame_index_of(decoder.get_next_frame(timeout=HANG))
    finally:
        decoder.stop()
    assert positions == pytest.approx([0.5, 2.0, 3.3, 0.5], abs=0.001)
    assert (after_seek, before_seek, stepped) == (14, 12, 15)
    assert min(heard) >= stepped / FPS - SLACK
    assert resumed == list(range(stepped + 1, stepped + 6))
    assert (last, before_last) == (INDEX_PICTURES - 1, INDEX_PICTURES - 2)
    assert back_spent < 0.9


def test_known_colours_come_out_right(clips):
    decoder = playing(clips["colour_bars"])
    try:
        (picture, _), = take(decoder, 1)
    finally:
        decoder.stop()
    bars = {"red": (255, 0, 0), "green": (0, 255, 0), "blue": (0, 0, 255), "white": (255, 255, 255)}
    for bar, (name, rgb) in enumerate(bars.items()):
        x = 40 + 80 * bar
        sample = picture[100:140, x - 20:x + 20].reshape(-1, 3).astype(float)
        assert np.abs(sample - rgb).max() <= 6, (name, sample.mean(axis=0))


@pytest.mark.parametrize("clip", ["bars_bt709", "bars_bt601", "bars_jpeg", "bars_changing_ts"])
def test_colours_follow_each_pictures_matrix_and_range_as_ffmpeg_shows_them(clips, clip):
    reference = ffmpeg_pictures(clips[clip], 64, 320)
    decoder = playing(clips[clip])
    try:
        taken = take(decoder, len(reference) + 10)
    finally:
        decoder.stop()
    assert len(taken) == len(reference)
    # The middle of each 64-pixel bar: at their edges the converters may
    # interpolate chroma differently.
    inner = np.concatenate([np.arange(64 * bar + 8, 64 * bar + 56) for bar in range(5)])
    for number, ((picture, _), expected) in enumerate(zip(taken, reference)):
        difference = np.abs(picture[8:56, inner].astype(np.int16) - expected[8:56, inner])
        assert difference.max() <= 4, f"picture {number} is {difference.max()} levels off"


# Each clip through both converters: libyuv takes planar YUV at its own size
# in BT.601 and full-range BT.709 and BT.2020, libswscale the scaled pictures
# and limited-range BT.709.
@pytest.mark.parametrize("clip", ["bars_bt601", "bars_bt709", "bars_jpeg", "bars_422_bt709_pc", "bars_444_bt2020_pc",
                                  "alpha_vp9"])
def test_pictures_come_in_the_size_and_pixel_format_asked_as_ffmpeg_makes_them(clips, clip):
    decoder = "libvpx-vp9" if clip == "alpha_vp9" else None  # FFmpeg's own VP9 decoder leaves alpha out
    for pixel_format in CHANNELS:
        for size, expected_size, bar in [(None, (320, 64), 64), ((160, -1), (160, 32), 32)]:
            playback = reelpipe.MediaDecoder(clips[clip], audio=False, size=size, pixel_format=pixel_format)
            assert playback.get_size() == expected_size
            playback.start()
            try:
                taken = take(playback, 25)
            finally:
                playback.stop()
            reference = ffmpeg_pictures(clips[clip], expected_size[1], expected_size[0], pixel_format,
                                        scaled=size is not None, decoder=decoder)
            assert len(taken) == len(reference) == 25
            # The middle of each bar: at their edges converters interpolate chroma differently.
            inner = np.concatenate([np.arange(bar * k + bar // 8, bar * (k + 1) - bar // 8) for k in range(5)])
            rows = slice(bar // 8, expected_size[1] - bar // 8)
            for (picture, _), expected in zip(taken, reference):
                assert picture.shape == expected.shape and picture.flags.c_contiguous
                difference = np.abs(picture[rows][:, inner].astype(np.int16) - expected[rows][:, inner]).max()
                assert difference <= 4, f"{pixel_format} at {size}: {difference} levels off"
            if pixel_format == "rgba":
                alpha = [int(taken[0][0][bar // 2, bar * k + bar // 2, 3]) for k in range(5)]
                assert alpha == pytest.approx([255, 128, 64, 0, 191] if decoder else [255] * 5, abs=2)


def test_every_size_is_either_made_or_refused_naming_the_limit(clips):
    # bars_bt709 is 320x64: a -1 side follows its 5:1 aspect ratio.
    for size, made in [((16384, 9216), (16384, 9216)), ((8192, 8192), (8192, 8192)), ((16384, -1), (16384, 3276)),
                       ((16384, 16384), (16384, 16384))]:
        for pixel_format in ("rgb24", "rgba"):
            decoder = reelpipe.MediaDecoder(clips["bars_bt709"], audio=False, size=size, pixel_format=pixel_format)
            assert (decoder.has_video(), decoder.get_size()) == (True, made), (size, pixel_format)
    for size, limit in [((-1, 4096), "20480x4096, and no side may be over 16384"),
                        ((2, 16384), "libswscale cannot scale the stream's 320x64 pictures to 2x16384")]:
        with pytest.raises(ValueError, match=limit):
            reelpipe.MediaDecoder(clips["bars_bt709"], audio=False, size=size)


def test_size_change_mid_stream_keeps_the_announced_shape_and_sane_content(clips):
    path = clips["size_change_ts"]
    # ffmpeg itself scales the second part to the first size.
    reference = ffmpeg_pictures(path, 240, 320)
    decoder = playing(path)
    try:
        taken = take(decoder, len(reference) + 10)
    finally:
        decoder.stop()
    assert len(taken) == len(reference) == 100
    for number, ((picture, _), expected) in enumerate(zip(taken, reference)):
        assert picture.shape == (240, 320, 3)
        difference = np.abs(picture.astype(np.int16) - expected).mean()
        assert difference < 6, f"picture {number} differs by {difference:.1f} on average"


# Each turn also with another size or pixel format: the picture is scaled
# after it is turned, and turned whatever its bytes per pixel.
@pytest.mark.parametrize("turn, size, pixel_format", [
    ("rotate 90", (120, -1), "rgba"), ("rotate 180", None, "gray"), ("rotate 270", None, "bgr24"),
    ("mirror", (160, 120), "rgb24"),
])
def test_pictures_of_a_turned_stream_come_upright_as_ffmpeg_shows_them(made, turn, size, pixel_format):
    upright = (320, 240) if turn in ("rotate 90", "rotate 270") else (240, 320)
    shape = upright if size is None else (size[0] * upright[0] // upright[1], size[0]) if size[1] == -1 else size[::-1]
    reference = ffmpeg_pictures(made[turn], *shape, pixel_format, scaled=size is not None)
    decoder = reelpipe.MediaDecoder(made[turn], size=size, pixel_format=pixel_format)
    decoder.start()
    try:
        taken = take(decoder, len(reference) + 10)
    finally:
        decoder.stop()
    assert len(taken) == len(reference) == 25
    # The CLI turns the subsampled chroma planes before it scales, which
    # shifts colour edges by half a chroma sample; the player turns RGB.
    allowed = 5 if size is not None and turn in ("rotate 90", "rotate 270") else 3
    for number, ((picture, _), expected) in enumerate(zip(taken, reference)):
        assert picture.shape == expected.shape and picture.flags.c_contiguous
        difference = np.abs(picture.astype(np.int16) - expected).mean()
        assert difference < allowed, f"picture {number} differs by {difference:.1f} on average"


# ---------------------------------------------------------------- ownership of the array


def test_array_is_a_writeable_zero_copy_view_owned_by_a_capsule(clips):
    decoder = playing(clips["frame_index"])
    try:
        (picture, _), = take(decoder, 1)
        assert type(picture.base).__name__ == "PyCapsule"
        assert not picture.flags.owndata
        assert picture.flags.writeable and picture.flags.c_contiguous
        assert picture.dtype == np.uint8
        assert picture.shape == (240, 320, 3)
        assert picture.strides == (320 * 3, 3, 1)
        picture[0, 0] = (1, 2, 3)
        picture[239, 319] = (4, 5, 6)
        assert picture[0, 0].tolist() == [1, 2, 3] and picture[239, 319].tolist() == [4, 5, 6]

        # A view keeps the picture alive after the array itself is gone,
        # while newer pictures are made and freed all around it.
        index = frame_index_of(picture)
        copy = picture.copy()
        view = picture[:, :, :]
        corner = picture[:60, :80]
        del picture
        gc.collect()
        assert drop(decoder, 50) == 50
        gc.collect()
        assert frame_index_of(view) == index
        assert np.array_equal(view, copy) and np.array_equal(corner, copy[:60, :80])
        kept = [picture for picture, _ in take(decoder, 3)]
        copies = [picture.copy() for picture in kept]
    finally:
        decoder.stop()

    # Pictures outlive their decoder, and the memory of those let go is
    # reused without reaching the ones still held.
    del decoder
    gc.collect()
    assert all(np.array_equal(picture, copy) for picture, copy in zip(kept, copies))


def test_memory_stays_flat_over_thousands_of_pictures(made):
    # A small picture budget: otherwise the queue, up to 10 s of 50 pictures a
    # second ahead, may stand near empty at one reading and full at the other.
    decoder = reelpipe.MediaDecoder(made["many"], max_picture_memory=2 << 20)
    decoder.start()
    try:
        assert drop(decoder, 500) == 500
        gc.collect()
        after_500 = resident_bytes() / 2**20
        assert drop(decoder, 2500) == 2500
        gc.collect()
        after_3000 = resident_bytes() / 2**20
    finally:
        decoder.stop()
    if os.environ.get("REELPIPE_SANITIZER"):
        return  # the sanitizer's quarantine holds freed memory; its leak check stands in
    # 2500 leaked pictures of 160 x 120 would be 140 MB.
    assert after_3000 - after_500 < 8, (after_500, after_3000)


_DECODER_ROUNDS = """
import ctypes, gc, json, os, time
import reelpipe

def resident_mb():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20

after = []
for _ in range(12):
    decoders = [reelpipe.MediaDecoder({path!r}) for _ in range(8)]
    for decoder in decoders:
        decoder.start()
    pictures = []
    deadline = time.monotonic() + 0.3
    while time.monotonic() < deadline:
        pictures += [p for p in (d.get_next_frame() for d in decoders) if p is not None]
    for decoder in decoders:
        decoder.stop()
    del decoders, pictures
    gc.collect()
    after.append(resident_mb())
ctypes.CDLL("libc.so.6").malloc_trim(0)
print(json.dumps({{"after": after, "trimmed": resident_mb()}}))
"""


@pytest.mark.soak
def test_memory_of_decoders_and_pictures_that_are_gone_goes_back_to_the_system(clips):
    # Each round's decoders read ahead and queue hundreds of megabytes of
    # pictures, all freed when they go.
    finished = run_python(_DECODER_ROUNDS.format(path=clips["sample"]), timeout=300)
    assert finished.returncode == 0, finished.stderr[-2000:]
    if os.environ.get("REELPIPE_SANITIZER"):
        return  # the sanitizer's quarantine holds freed memory; its leak check stands in
    measured = json.loads(finished.stdout)
    after = [round(mb) for mb in measured["after"]]
    # Free memory the C library still holds comes and goes with
    # fragmentation: no round may end far above the first, and what a trim
    # would still give back must already be given back.
    assert max(after) - after[0] < 150, after
    assert after[-1] - measured["trimmed"] < 30, (after, measured["trimmed"])


# ---------------------------------------------------------------- end of input


def test_b_frame_clip_delivers_all_pictures_then_plays_again_after_seek(clips):
    decoder = playing(clips["frame_index_50"])
    try:
        assert indices(take(decoder, 60)) == list(range(50))
        assert bounded(decoder.get_next_frame) is None
        bounded(decoder.seek, 0.0)
        assert indices(take(decoder, 60)) == list(range(50))
    finally:
        decoder.stop()


def test_the_decoder_is_drained_as_soon_as_a_finished_file_has_been_read(clips):
    # Nobody takes the pictures, so the queue never runs dry: only the end of
    # a file that cannot grow any more lets the decoder give up the pictures
    # it holds back (B-frames, frame threads) at once, rather than after the
    # second an end must last on a file still being written.
    probe = reelpipe_probe.Probe(clips["frame_index_50"])
    probe.start()
    try:
        wait_state(probe, lambda s: s["end_of_stream"], timeout=HANG)
        ended = time.monotonic()
        wait_state(probe, lambda s: s["pictures_exhausted"], timeout=HANG)
        assert time.monotonic() - ended < 0.6
    finally:
        bounded(probe.stop)


def test_a_loop_until_none_gets_every_picture_of_a_short_clip(clips):
    # The whole clip is read long before its first picture is decoded: the
    # end of reading must not pass for the end of the pictures.
    for _ in range(5):
        decoder = playing(clips["frame_index_50"])
        try:
            pictures = []
            while (picture := bounded(decoder.get_next_frame)) is not None:
                pictures.append(picture)
            assert [frame_index_of(picture) for picture in pictures] == list(range(50))
        finally:
            decoder.stop()


@pytest.mark.parametrize("clip, options, start_at", [
    ("frame_index_50", {}, 0.0),
    ("frame_index_av", {"audio": False}, 0.0),
    # A read-ahead limit shorter than the decoder's delay, with and without sound.
    ("frame_index_av", {"audio": False, "max_buffer_ahead": 0.0, "min_buffer_ahead": 0.0}, 0.0),
    ("frame_index_av", {"max_buffer_ahead": 0.0, "min_buffer_ahead": 0.0}, 6.5),
], ids=["b-frames", "sound left out", "no read-ahead", "no read-ahead with sound"])
def test_pictures_come_with_their_own_time_until_finished_and_again_after_a_seek_back(clips, clip, options, start_at):
    decoder = reelpipe.MediaDecoder(clips[clip], **options)
    assert not decoder.is_finished()
    decoder.start()
    watchdog = threading.Timer(HANG, decoder.stop)  # a hang ends the loops below instead of the run
    watchdog.start()
    try:
        bounded(decoder.seek, start_at)
        timed = []
        while not decoder.is_finished() and watchdog.is_alive():
            got = decoder.get_next_frame(timeout=0.05, with_time=True)
            if got is not None:
                timed.append((frame_index_of(got[0]), got[1], decoder.get_position()))
        assert watchdog.is_alive(), f"not finished; got {[index for index, _, _ in timed]}"
        count = round(decoder.get_duration() * FPS)
        assert timed and timed[-1][0] == count - 1
        assert [seconds for _, seconds, _ in timed] == [pytest.approx(index / FPS) for index, _, _ in timed]
        if not decoder.has_audio():
            assert [index for index, _, _ in timed] == list(range(count))
            assert [position for _, _, position in timed] == [seconds for _, seconds, _ in timed]

        bounded(decoder.seek, start_at)
        assert not decoder.is_finished()
        again = [frame_index_of(picture) for picture in decoder]
        assert watchdog.is_alive() and decoder.is_finished()
        assert again[-1] == count - 1 and (decoder.has_audio() or again == list(range(count)))
    finally:
        watchdog.cancel()
        decoder.stop()


# ---------------------------------------------------------------- frame delivery rules (probe)


@pytest.fixture
def probe(clips):
    """A decoder with sound and pictures, marked running with no threads and audio_clock 5.0."""
    p = reelpipe_probe.Probe(clips["frame_index_av"])
    p.set_flags(running=True, buffering=False)
    p.set_clocks(audio_clock=5.0)
    yield p
    p.stop()


def test_picture_due_inside_the_window_is_delivered_and_sets_video_clock(probe):
    for t in (5.005, 4.95):
        probe.push_picture(t)
        assert bounded(probe.next_frame_time) == pytest.approx(t)
        assert probe.state()["video_clock"] == pytest.approx(t)


def test_early_picture_waits_until_the_clock_reaches_it(probe):
    probe.push_picture(5.02)
    released = threading.Event()

    def advance() -> None:
        time.sleep(0.05)
        probe.set_clocks(audio_clock=5.005)  # still 15 ms before the picture
        time.sleep(0.05)
        released.set()
        probe.set_clocks(audio_clock=5.012)

    mover = threading.Thread(target=advance)
    mover.start()
    try:
        assert bounded(probe.next_frame_time) == pytest.approx(5.02)
        assert released.is_set(), "delivered before the clock reached it"
    finally:
        mover.join()


def test_late_picture_is_dropped_and_the_next_one_examined(probe):
    for t in (4.85, 4.97):
        probe.push_picture(t)
    assert bounded(probe.next_frame_time) == pytest.approx(4.97)
    assert probe.frame_times() == []


def test_pictures_at_or_before_zero_and_without_timestamp_are_delivered_at_once(probe):
    probe.set_clocks(video_clock=3.0)
    for t in (-0.5, 0.0):
        probe.push_picture(t)
        assert bounded(probe.next_frame_time) == pytest.approx(t, abs=1e-4)
    probe.set_clocks(video_clock=3.0)
    probe.push_picture(None)
    assert bounded(probe.next_frame_time) == -1.0
    assert probe.state()["video_clock"] == 3.0


def test_without_sound_queued_pictures_come_at_once_and_video_clock_follows(clips):
    p = reelpipe_probe.Probe(clips["frame_index"])
    try:
        p.set_flags(running=True, buffering=False)
        for t in (1.0, 2.0, 3.0):
            p.push_picture(t)
        for t in (1.0, 2.0, 3.0):
            assert bounded(p.next_frame_time) == pytest.approx(t)
            assert p.get_position() == pytest.approx(t)
    finally:
        p.stop()


def test_none_at_once_while_a_seek_is_pending_even_with_pictures_queued(probe):
    probe.push_picture(5.0)
    probe.set_flags(seek_requested=True)
    assert bounded(probe.next_frame_time) is None
    assert probe.frame_times() == [pytest.approx(5.0)]


def test_none_at_once_at_end_of_input_with_empty_queue_without_buffering(probe):
    # The input is read to its end and the video thread has drained its decoder.
    probe.set_flags(end_of_stream=True, pictures_exhausted=True)
    for _ in range(3):
        assert bounded(probe.next_frame_time) is None
    assert probe.state()["buffering"] is False


def test_none_at_once_when_not_started_or_stopped_with_an_early_picture(clips, probe):
    assert bounded(reelpipe.MediaDecoder(clips["frame_index_av"]).get_next_frame) is None
    fresh = reelpipe_probe.Probe(clips["frame_index"])
    assert bounded(fresh.next_frame_time) is None
    del fresh

    probe.push_picture(6.0)
    probe.set_flags(running=False)
    assert bounded(probe.next_frame_time) is None
    assert probe.frame_times() == [pytest.approx(6.0)]


def test_input_without_pictures_gives_none_at_once_and_leaves_buffering_alone(clips):
    p = reelpipe_probe.Probe(clips["audio_mp3"])
    try:
        p.set_flags(running=True)
        for buffering in (False, True):
            p.set_flags(buffering=buffering)
            assert bounded(p.next_frame_time) is None
            assert p.state()["buffering"] is buffering
    finally:
        p.stop()


def test_pictures_that_outlast_the_sound_keep_their_time_by_the_wall_clock(probe):
    # The sound ends at 5.0 s, heard as the device plays out what it holds;
    # the pictures after it come each at its time from there on: no stall
    # while the end is noticed, no lasting delay after it.
    times = [5.04 + 0.04 * n for n in range(10)]
    for t in times:
        probe.push_picture(t)
    probe.set_flags(end_of_stream=True)
    probe.set_clocks(audio_clock=5.0, video_clock=5.0)
    ended = time.monotonic() + probe.state()["playback_latency"]
    delivered, late = [], []
    for _ in times:
        delivered.append(bounded(probe.next_frame_time))
        late.append(time.monotonic() - ended - (delivered[-1] - 5.0))
    assert delivered == [pytest.approx(t) for t in times]
    assert late == [pytest.approx(0.0, abs=0.03)] * len(times)


def test_clock_standing_still_with_sound_left_does_not_count_as_the_sound_running_out(probe):
    # The input is read to its end long before it has played (any input shorter
    # than the read-ahead), and the device is late for a moment: a second of
    # sound is still waiting, so the pictures must still wait for it.
    probe.append_sound(bytes(176400))
    probe.set_clocks(audio_clock=5.0, video_clock=5.16)
    probe.push_picture(5.2)
    probe.set_flags(end_of_stream=True)
    time.sleep(0.15)
    released = threading.Event()

    def advance() -> None:
        time.sleep(0.3)
        released.set()
        probe.set_clocks(audio_clock=5.195)

    mover = threading.Thread(target=advance)
    mover.start()
    try:
        assert bounded(probe.next_frame_time) == pytest.approx(5.2)
        assert released.is_set(), "delivered by the wall clock while sound was still to play"
    finally:
        mover.join()


# ---------------------------------------------------------------- waits that must end


def test_stop_wakes_a_caller_waiting_for_an_early_picture_while_paused(clips):
    decoder = playing(clips["frame_index_av"])
    try:
        assert wait_until(lambda: decoder.get_next_frame() is not None and decoder.get_position() > 0.3,
                          timeout=HANG)
        decoder.pause()
        # A bounded wait comes back empty-handed while the clock stands still,
        # once the pictures already due at the pause are out.
        waits = [bounded(lambda: decoder.get_next_frame(timeout=0.2)) for _ in range(5)]
        assert waits[-1] is None and sum(picture is not None for picture in waits) <= 3

        def drain() -> int:
            count = 0
            while decoder.get_next_frame() is not None:
                count += 1
            return count

        caller = Bounded(drain)
        time.sleep(0.5)
        assert not caller.done(), "get_next_frame did not wait for the paused clock"
        decoder.stop()
        assert caller.join() <= 3  # at most the pictures already due at the pause
    finally:
        decoder.stop()


def test_stop_wakes_a_caller_waiting_while_buffering_with_an_empty_queue(probe):
    probe.set_flags(buffering=True)
    caller = Bounded(probe.next_frame_time)
    time.sleep(0.3)
    assert not caller.done(), "get_next_frame did not wait while buffering"
    bounded(probe.stop)
    assert caller.join() is None


def test_frame_budget_bounds_the_queue_without_losing_or_stalling_pictures(clips):
    budget = 3 * PICTURE_BYTES
    p = reelpipe_probe.Probe(clips["frame_index"], max_picture_memory=budget)
    most = {"bytes": 0, "frames": 0}
    done = threading.Event()

    def watch() -> None:
        while not done.is_set():
            state = p.state()
            most["bytes"] = max(most["bytes"], state["frame_bytes"])
            most["frames"] = max(most["frames"], state["frames"])
            time.sleep(0.002)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        p.start()
        wait_state(p, lambda s: s["frames"] >= 3, what="a full frame queue")
        time.sleep(0.2)  # the video thread now waits for room
        assert probe_times(p, 50) == [pytest.approx(k / FPS) for k in range(50)]

        wait_state(p, lambda s: s["frames"] >= 3, what="a full frame queue")
        bounded(p.seek, 4.0)  # ends the video thread's wait for room
        rest = probe_times(p, INDEX_PICTURES)
        assert rest, "no pictures after the seek"
        start = round(rest[0] * FPS)
        assert rest[0] >= 4.0 - LATE - 1e-3
        assert rest == [pytest.approx(k / FPS) for k in range(start, INDEX_PICTURES)]

        bounded(p.seek, 0.0)
        wait_state(p, lambda s: s["frames"] >= 3, what="a full frame queue")
        bounded(p.stop)  # ends the wait for room too
    finally:
        done.set()
        watcher.join()
        p.stop()
    assert most["bytes"] <= budget + PICTURE_BYTES and most["frames"] <= 4, most


# ---------------------------------------------------------------- stream queries


def test_fps_comes_from_the_stream_with_a_fallback_without_pictures(clips):
    assert reelpipe.MediaDecoder(clips["fps_23976"]).get_fps() == 24000 / 1001 == 23.976023976023978
    assert reelpipe.MediaDecoder(clips["frame_index_av"]).get_fps() == 25.0
    assert reelpipe.MediaDecoder(clips["audio_mp3"]).get_fps() == 30.0


def test_duration_is_known_or_zero_never_negative(clips, made):
    assert reelpipe.MediaDecoder(clips["av"]).get_duration() == pytest.approx(8.0, abs=0.05)
    # The MPEG-TS that starts at a negative time still lasts about 6 s.
    assert reelpipe.MediaDecoder(clips["negative_ts"]).get_duration() == pytest.approx(6.0, abs=0.1)
    probed = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
                             made["raw_h264"]], capture_output=True, text=True, check=True).stdout.strip()
    assert probed == "N/A", "this FFmpeg knows the duration of raw H.264; the case is not covered"
    assert reelpipe.MediaDecoder(made["raw_h264"]).get_duration() == 0.0


def test_streams_are_listed_and_a_choice_of_none_of_them_is_refused_naming_them(clips):
    decoder = reelpipe.MediaDecoder(clips["mkv_multi"], video_stream=0, audio_stream="fre")
    streams = decoder.get_streams()
    assert [(s["index"], s["type"], s["codec"], s["language"], s["selected"]) for s in streams] == [
        (0, "video", "h264", None, True), (1, "audio", "aac", "eng", False), (2, "audio", "aac", "fre", True),
        (3, "subtitle", "subrip", None, False)]
    assert (streams[1]["default"], streams[2]["default"]) == (True, False)  # the CLI marks the first sound track
    assert (streams[0]["width"], streams[0]["height"], streams[0]["fps"]) == (320, 240, 25.0)
    assert (streams[2]["sample_rate"], streams[2]["channels"]) == (48000, 2)
    assert [s["selected"] for s in reelpipe.MediaDecoder(clips["mkv_multi"]).get_streams()] == [
        True, True, False, False]

    listed = "#0 video (h264), #1 audio (aac, eng), #2 audio (aac, fre), #3 subtitle (subrip)"
    for choice in [{"video_stream": 1}, {"video_stream": 7}, {"audio_stream": 0}, {"audio_stream": "deu"},
                   {"audio_stream": 7, "audio": False}]:
        with pytest.raises(ValueError) as refused:
            reelpipe.MediaDecoder(clips["mkv_multi"], **choice)
        assert str(refused.value).endswith(listed), choice

    # A language in any case and by any of its codes: ISO 639-2 bibliographic
    # or terminology, or ISO 639-1.
    for language, index in [("fra", 2), ("FRE", 2), ("fr", 2), ("ENG", 1), ("en", 1)]:
        chosen = reelpipe.MediaDecoder(clips["mkv_multi"], audio_stream=language).get_streams()
        assert [s["index"] for s in chosen if s["selected"] and s["type"] == "audio"] == [index], language

    # Cover art is no video: left out when FFmpeg would pick it, refused when chosen.
    cover = reelpipe.MediaDecoder(clips["audio_mp3_cover"])
    assert (cover.has_video(), cover.has_audio()) == (False, True)
    with pytest.raises(ValueError, match=r"video_stream=1 is cover art .*#1 video \(png, cover art\)$"):
        reelpipe.MediaDecoder(clips["audio_mp3_cover"], video_stream=1)
