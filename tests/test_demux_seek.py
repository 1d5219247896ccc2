"""Reading ahead, buffering and seeking, seen through the engine state that
decides what a caller gets: clocks, queues, flags."""

from __future__ import annotations

import math
import random
import subprocess
import threading
import time

import pytest

import helpers
from helpers import ffmpeg
import reelpipe
import reelpipe_probe
from robustness_util import Bounded, Faults, RangeServer, bounded, first_picture, packet_offset, wait_state

READ_AHEAD = 10.0        # seconds the demux thread reads ahead before it waits
SLACK = 0.5              # one packet or picture past the limit, with room to spare
BYTES_PER_SECOND = 176_400
AAC_PACKET = 1024 / 48_000


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """Clips this file needs beyond the shared ones, made once."""
    folder = tmp_path_factory.mktemp("demux")
    paths = {name: str(folder / name) for name in ("audio_60s.m4a", "video_2s.mp4", "av_2s.mp4")}
    ffmpeg("-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=60", "-ac", "2",
            "-c:a", "aac", "-b:a", "64k", paths["audio_60s.m4a"])
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=2", "-c:v", "libx264",
            "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "25", "-an", paths["video_2s.mp4"])
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=2",
            "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=2",
            "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "25",
            "-c:a", "aac", "-ac", "2", "-shortest", paths["av_2s.mp4"])
    subtitles = folder / "late.srt"
    subtitles.write_text("1\n00:00:00,500 --> 00:00:02,000\nearly\n\n2\n00:00:06,000 --> 00:00:07,500\nlate\n")
    paths["third_streams.mkv"] = str(folder / "third_streams.mkv")
    # The chosen sound is stereo at the higher rate and marked default, so it
    # is the one picked; the other track is mono and runs longer.
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=3",
            "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=3",
            "-f", "lavfi", "-i", "sine=frequency=880:sample_rate=48000:duration=8", "-i", str(subtitles),
            "-map", "0:v", "-map", "1:a", "-map", "2:a", "-map", "3:s",
            "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "25",
            "-c:a:0", "aac", "-b:a:0", "128k", "-ac:a:0", "2", "-c:a:1", "aac", "-b:a:1", "32k", "-ac:a:1", "1",
            "-c:s", "srt", "-disposition:a:0", "default", "-disposition:a:1", "0", paths["third_streams.mkv"])
    paths["video_30s.mp4"] = str(folder / "video_30s.mp4")
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=10:duration=30", "-c:v", "libx264",
            "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "20", "-an", "-movflags", "+faststart",
            paths["video_30s.mp4"])
    paths["av_20s.ts"] = str(folder / "av_20s.ts")
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=20",
            "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=20",
            "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "25",
            "-c:a", "aac", "-ac", "2", "-shortest", "-f", "mpegts", paths["av_20s.ts"])
    return paths


@pytest.fixture
def probes():
    """Makes probes and stops every one of them when the test ends."""
    made_here = []

    def make(path: str):
        probe = reelpipe_probe.Probe(path)
        made_here.append(probe)
        return probe

    yield make
    for probe in made_here:
        bounded(probe.stop)


def _path(clips, made, name: str) -> str:
    return made[name] if name in made else clips[name]


def _assert_pictures_from(times: list, target: float, context: str = "") -> None:
    """Queued pictures are in display order, none before the target window, none
    beyond what the read-ahead allows."""
    assert all(t is not None for t in times), context
    assert times == sorted(times), f"pictures out of order {context}: {times[:10]}"
    if times:
        assert times[0] >= target - 0.1 - 1e-6, f"stale picture at {times[0]} after seek({target}) {context}"
        assert times[-1] <= target + READ_AHEAD + SLACK, f"picture at {times[-1]} after seek({target}) {context}"


# ---------------------------------------------------------------- seek targets


@pytest.mark.parametrize("requested", [-3.0, math.nan, -math.inf], ids=repr)
def test_seek_to_a_negative_or_undefined_time_targets_zero(clips, requested):
    probe = reelpipe_probe.Probe(clips["av"])
    bounded(probe.seek, 4.0)
    bounded(probe.seek, requested)
    assert probe.state()["seek_target"] == 0.0


@pytest.mark.parametrize("target", [1e300, math.inf], ids=repr)
def test_seek_far_past_the_end_ends_the_input_and_a_later_seek_plays_again(clips, target):
    # A target too large for a 64-bit timestamp must not reach the conversion
    # unchecked (undefined behaviour); playback simply has nothing to show.
    decoder = reelpipe.MediaDecoder(clips["frame_index"])
    decoder.start()
    try:
        bounded(decoder.seek, target)
        assert bounded(decoder.get_next_frame) is None
        bounded(decoder.seek, 1.0)
        assert first_picture(decoder.get_next_frame).shape == (240, 320, 3)
    finally:
        decoder.stop()


@pytest.mark.parametrize("clip, target", [
    ("long_av", 20.0),
    ("frame_index", 5.0),
    ("audio_60s.m4a", 40.0),
])
def test_seek_before_start_places_playback_at_the_target(clips, made, probes, clip, target):
    probe = probes(_path(clips, made, clip))
    bounded(probe.seek, 1.0)
    bounded(probe.seek, target)  # the later of two early seeks counts
    assert probe.is_buffering()
    state = probe.state()
    assert state["seek_requested"] and not state["running"]

    probe.start()
    state = wait_state(probe, lambda s: not s["seek_requested"], what="seek carried out")
    has_video, has_audio = state["video_stream_index"] >= 0, state["audio_stream_index"] >= 0
    if has_audio:
        state = wait_state(probe, lambda s: not s["resync_audio_clock"], what="audio clock re-anchored")
        assert target - 0.1 <= state["audio_clock"] <= target + 2.0
        assert target - 0.1 <= state["audio_demux_clock"]
    if has_video:
        assert state["video_clock"] == target
        wait_state(probe, lambda s: s["frames"] > 0, what="pictures queued")
        _assert_pictures_from(probe.frame_times(), target)
        shown = first_picture(probe.next_frame_time)
        assert target - 0.1 <= shown <= target + 0.2
    assert target - 0.1 <= probe.get_position() <= target + 2.0


@pytest.mark.parametrize("clip, end, target", [
    ("long_av", 56.0, 10.0),
    ("audio_60s.m4a", 57.0, 10.0),
])
def test_seek_at_end_of_input_reads_again_from_the_target(clips, made, probes, clip, end, target):
    probe = probes(_path(clips, made, clip))
    probe.start()
    bounded(probe.seek, end)
    wait_state(probe, lambda s: s["end_of_stream"], what="end of input")
    serial = probe.state()["playing_serial"]

    bounded(probe.seek, target)
    state = probe.state()
    assert not state["end_of_stream"]
    assert state["playing_serial"] > serial
    _assert_pictures_from(probe.frame_times(), target)

    if state["video_stream_index"] >= 0:
        state = wait_state(probe, lambda s: s["frames"] >= 5, what="pictures from the target")
        _assert_pictures_from(probe.frame_times(), target)
        assert state["demux_clock"] >= target
    state = wait_state(probe, lambda s: s["audio_demux_clock"] > target + 1.0 and s["audio_buffer_bytes"] > 0,
                       what="sound from the target")
    # Far from the end again: the read-ahead limit, not the input, stops it.
    assert not state["end_of_stream"]


def test_seek_at_end_of_input_clears_it_before_anything_new_is_read(clips, probes):
    # The whole clip comes in one response; the range request that reading
    # again from the target needs gets no data, so nothing read after the
    # seek can be what clears the end of input.
    with RangeServer(clips["av"], Faults(stall_ranges=True)) as server:
        probe = probes(server.url())
        probe.start()
        wait_state(probe, lambda s: s["end_of_stream"], what="end of input")
        bounded(probe.seek, 2.0)
        state = probe.state()
        assert not state["end_of_stream"], state
        assert probe.is_buffering()
        time.sleep(0.3)
        state = probe.state()
        assert not state["end_of_stream"] and state["frames"] == 0, state
        bounded(probe.stop)


@pytest.mark.parametrize("targets", [(30.0,), (30.0, 5.0), (40.0, 40.0)], ids=["forward", "back", "same twice"])
def test_no_stale_pictures_after_seek(clips, probes, targets):
    probe = probes(clips["long_av"])
    probe.start()
    wait_state(probe, lambda s: s["frames"] >= 30, what="pictures queued")
    for target in targets:
        serial = probe.state()["playing_serial"]
        bounded(probe.seek, target)
        state = probe.state()
        assert state["playing_serial"] > serial
        assert state["audio_clock"] >= target - 0.1
        _assert_pictures_from(probe.frame_times(), target, "right after the seek")
        shown = first_picture(probe.next_frame_time)
        assert target - 0.1 <= shown <= target + 0.2
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            _assert_pictures_from(probe.frame_times(), shown, "while refilling")
            time.sleep(0.02)
        assert probe.state()["frames"] > 0
        assert target - 0.1 <= probe.get_position() <= target + 1.5


# ---------------------------------------------------------------- what the demux thread reads


@pytest.mark.parametrize("clip, seconds, pictures", [
    # Video, a 440 Hz track, an 880 Hz track and subtitles, 6 s each.
    ("mkv_multi", 6.0, 150),
    # 3 s of video and the chosen sound; the other sound track and the
    # subtitles go on to 8 s.
    ("third_streams.mkv", 3.0, 75),
])
def test_streams_not_chosen_never_reach_the_queues(clips, made, probes, clip, seconds, pictures):
    probe = probes(_path(clips, made, clip))
    state = probe.state()
    assert (state["video_stream_index"], state["audio_stream_index"]) == (0, 1)
    probe.start()
    # The decoders drain what they hold back once the end has lasted.
    state = wait_state(probe, lambda s: s["pictures_exhausted"] and s["sound_exhausted"],
                       what="input read and decoded")
    # The sound of one track: another track's packets would have added theirs.
    sound = state["audio_clock"] + state["audio_buffer_bytes"] / BYTES_PER_SECOND
    assert seconds - 0.2 <= sound <= seconds + 0.3, sound
    assert state["frames"] == pictures
    # The clocks of what was read stop where the chosen streams end.
    assert seconds - 0.2 <= state["demux_clock"] <= seconds
    assert state["audio_demux_clock"] <= seconds + 0.1
    _assert_pictures_from(probe.frame_times(), 0.0)


def test_read_ahead_stays_bounded_when_nobody_takes_pictures(clips, probes):
    probe = probes(clips["long_av"])  # 60 s, 10 pictures a second
    probe.start()
    state = wait_state(probe, lambda s: not s["buffering"], what="buffering over")
    assert not state["end_of_stream"]
    state = wait_state(probe, lambda s: s["demux_clock"] - s["video_clock"] >= READ_AHEAD - 0.2
                       and s["video_packets"] == 0, what="read-ahead limit reached and decoded")
    settled = state["frames"]
    deadline = time.monotonic() + 1.5
    while time.monotonic() < deadline:
        state = probe.state()
        assert state["demux_clock"] - state["video_clock"] <= READ_AHEAD + SLACK, state
        assert state["frames"] <= (READ_AHEAD + SLACK) * 10 + 1, state
        time.sleep(0.02)
    assert not state["end_of_stream"]
    assert state["frames"] - settled <= 3, "pictures kept coming past the read-ahead limit"


def test_audio_only_read_ahead_stays_bounded_and_buffering_ends_early(made, probes):
    probe = probes(made["audio_60s.m4a"])
    probe.start()
    state = wait_state(probe, lambda s: not s["buffering"], what="buffering over")
    # Enough sound to start with, nowhere near the end of the 60 s input.
    assert not state["end_of_stream"]
    assert state["audio_demux_clock"] < 30.0
    deadline = time.monotonic() + 2.0
    while time.monotonic() < deadline:
        state = probe.state()
        lead = state["audio_demux_clock"] - state["audio_clock"]
        assert lead <= READ_AHEAD + SLACK, state
        assert state["audio_packets"] * AAC_PACKET <= READ_AHEAD + SLACK, state
        assert state["audio_buffer_bytes"] <= READ_AHEAD * BYTES_PER_SECOND + 16_384, state
        assert not state["end_of_stream"], state
        time.sleep(0.02)
    assert state["audio_clock"] > 0.5, "the sound did not play"


@pytest.mark.parametrize("clip", ["video_2s.mp4", "av_2s.mp4"])
def test_short_input_ends_buffering_only_at_end_of_input(made, probes, clip):
    probe = probes(made[clip])
    probe.start()
    deadline = time.monotonic() + 15
    while probe.state()["buffering"]:
        assert time.monotonic() < deadline, f"still buffering: {probe.state()}"
    # The end of input is flagged before buffering is cleared, so it must show
    # in any state read after the clear.
    state = probe.state()
    assert state["end_of_stream"], f"buffering ended with under 3 s read and input left: {state}"
    assert state["demux_clock"] < 3.0


@pytest.mark.parametrize("stall_seconds, buffering", [(1.5, True), (6.0, False)])
def test_buffering_follows_the_read_ahead_while_the_network_stalls(made, probes, stall_seconds, buffering):
    # The server stops sending at that point of the clip: the input has not
    # ended, so only the seconds read ahead decide whether buffering ends.
    # Without sound, no underrun can set buffering again behind the demux
    # thread's back while it sits in the stalled read.
    clip = made["video_30s.mp4"]
    with RangeServer(clip, Faults(stall_at=packet_offset(clip, stall_seconds))) as server:
        probe = probes(server.url())
        probe.start()
        state = wait_state(probe, lambda s: s["demux_clock"] >= stall_seconds - 0.6, what="reading up to the stall")
        time.sleep(0.3)
        state = probe.state()
        assert state["demux_clock"] < stall_seconds, "read past the point where the server stopped"
        assert not state["end_of_stream"]
        assert (state["buffering"], probe.is_buffering()) == (buffering, buffering), state
        bounded(probe.stop)


# ---------------------------------------------------------------- concurrent seeks


@pytest.mark.parametrize("threads", [2, 4])
def test_concurrent_seeks_all_return_and_the_latest_target_wins(clips, probes, threads):
    probe = probes(clips["long_av"])
    probe.start()
    wait_state(probe, lambda s: s["frames"] > 0, what="pictures queued")
    requested: list[float] = []
    lock = threading.Lock()

    def seeker(seed: int) -> None:
        rng = random.Random(seed)
        for _ in range(6):
            target = round(rng.uniform(1.0, 48.0), 2)
            with lock:
                requested.append(target)
            probe.seek(target)
            time.sleep(rng.uniform(0.0, 0.02))

    workers = [Bounded(seeker, seed, name=f"seeker-{seed}") for seed in range(threads)]
    for worker in workers:
        worker.join()

    state = probe.state()
    target = state["seek_target"]
    assert target in requested
    assert not state["seek_requested"] and state["seek_done"]
    assert state["video_clock"] == target
    state = wait_state(probe, lambda s: s["frames"] >= 3 and not s["resync_audio_clock"],
                       what="pictures and sound from the last target")
    _assert_pictures_from(probe.frame_times(), target)
    assert target - 0.1 <= state["audio_clock"] <= target + 2.0
    assert state["demux_clock"] >= target - 0.1
    assert target - 0.1 <= probe.get_position() <= target + 2.0


@pytest.mark.parametrize("first, second", [(5.0, 15.0), (15.0, 5.0)])
def test_a_seek_made_while_another_is_carried_out_wins(made, probes, first, second):
    # Over a slow network, repositioning an MPEG-TS input takes several
    # delayed range requests: the second seek arrives in the middle of the
    # first one's work.
    with RangeServer(made["av_20s.ts"], Faults(delay=0.15)) as server:
        probe = probes(server.url("clip.ts"))
        probe.start()
        wait_state(probe, lambda s: s["frames"] > 0, what="pictures queued")
        early = Bounded(probe.seek, first, name="first seek")
        wait_state(probe, lambda s: s["seek_requested"], what="first seek posted")
        time.sleep(0.2)
        late = Bounded(probe.seek, second, name="second seek")
        early.join(60)
        late.join(60)
        state = probe.state()
        assert state["seek_target"] == second
        assert state["video_clock"] == second, "the pipeline was left at the earlier target"
        wait_state(probe, lambda s: s["frames"] >= 3, what="pictures from the second target")
        _assert_pictures_from(probe.frame_times(), second)
        bounded(probe.stop)


def test_seek_and_stop_from_two_threads_never_hang(clips):
    rng = random.Random(11)
    probe = reelpipe_probe.Probe(clips["long_av"])
    for _ in range(25):
        probe.start()
        seeker = Bounded(probe.seek, rng.uniform(0.0, 50.0))
        time.sleep(rng.uniform(0.0, 0.01))
        bounded(probe.stop)
        seeker.join()
        state = probe.state()
        assert not (state["demux_thread"] or state["video_thread"] or state["audio_thread"])
    # Whatever was left pending, the decoder still plays.
    probe.start()
    wait_state(probe, lambda s: not s["seek_requested"] and s["frames"] > 0, what="playing again")
    bounded(probe.stop)


def test_stop_wakes_a_seek_waiting_on_a_demux_stuck_in_network_io(clips):
    # The server stops sending a few seconds into the clip, so the demux
    # thread sits in a network read and cannot carry out the seek.
    clip = clips["long_av"]
    with RangeServer(clip, Faults(stall_at=packet_offset(clip, 1.5))) as server:
        probe = reelpipe_probe.Probe(server.url())
        probe.start()
        wait_state(probe, lambda s: s["demux_clock"] > 0.5, what="reading")
        time.sleep(0.3)
        seeker = Bounded(probe.seek, 30.0)
        time.sleep(0.3)
        assert not seeker.done(), "the seek was carried out: the demux thread was not stuck"
        bounded(probe.stop)
        seeker.join()
        state = probe.state()
        assert not (state["demux_thread"] or state["video_thread"] or state["audio_thread"])


# ---------------------------------------------------------------- time from the input's start

PICTURE = 1 / 25         # the index clips' picture interval
IN_STEP = 0.2            # how far a picture shown may lie from the position read after it


def _play_indices(decoder, until_index: int, timeout: float = 20.0) -> list[tuple[int, float]]:
    """(picture index, position right after it) for each picture shown, up to `until_index`."""
    shown = [(helpers.frame_index_of(first_picture(decoder.get_next_frame)), decoder.get_position())]
    deadline = time.monotonic() + timeout
    while shown[-1][0] < until_index:
        assert time.monotonic() < deadline, f"playback stalled after picture {shown[-1]}"
        picture = bounded(decoder.get_next_frame)
        if picture is None:
            time.sleep(0.005)
            continue
        shown.append((helpers.frame_index_of(picture), decoder.get_position()))
    return shown


def _assert_in_step(shown: list[tuple[int, float]]) -> None:
    off = [(index, round(position, 3)) for index, position in shown if abs(position - index * PICTURE) > IN_STEP]
    assert not off, f"pictures shown away from their time: {off[:5]}"


# MPEG-TS starts at about 1.4 s, a broadcast capture far later, and one close
# to the 33-bit wrap goes over it 2.3 s in. Judged by when each picture
# came, as the joins and the growing file below are.
@pytest.mark.realtime
@pytest.mark.parametrize("clip", ["index_ts", "index_ts_far", "index_ts_wrap"])
def test_time_counts_from_the_input_start(clips, clip):
    decoder = reelpipe.MediaDecoder(clips[clip])
    decoder.start()
    try:
        shown = _play_indices(decoder, until_index=75)
        assert shown[0][0] == 0
        _assert_in_step(shown)
        assert decoder.get_duration() == pytest.approx(12.0, abs=0.1)
        bounded(decoder.seek, 0.0)
        assert decoder.get_position() <= 0.1
        assert helpers.frame_index_of(first_picture(decoder.get_next_frame)) == 0
    finally:
        bounded(decoder.stop)


# Two recordings joined byte for byte: the second one's timestamps jump
# forward a minute, or start again from where the first one's did.
@pytest.mark.realtime
@pytest.mark.parametrize("clip", ["index_join_forward", "index_join_backward"])
def test_playback_carries_on_across_a_timestamp_join(clips, clip):
    decoder = reelpipe.MediaDecoder(clips[clip])
    decoder.start()
    try:
        shown = _play_indices(decoder, until_index=195)
        _assert_in_step(shown)
        after_join = {index for index, _ in shown if index >= 100}
        assert len(after_join) >= 80, f"only {len(after_join)} of the 96 pictures after the join shown"
        positions = [position for _, position in shown]
        assert positions == sorted(positions)
        assert decoder.get_duration() >= decoder.get_position()
    finally:
        bounded(decoder.stop)


@pytest.mark.realtime
def test_a_file_still_being_written_plays_every_picture(clips, tmp_path):
    growing = tmp_path / "growing.ts"
    writer = subprocess.Popen(["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-re",
                               "-i", clips["index_ts"], "-c", "copy", "-flush_packets", "1", "-f", "mpegts",
                               str(growing)], stdin=subprocess.DEVNULL)
    try:
        time.sleep(3.0)
        decoder = reelpipe.MediaDecoder(str(growing))
        decoder.start()
        try:
            # Six seconds of play, each second read as the writer adds it.
            shown = [index for index, _ in _play_indices(decoder, until_index=150)]
        finally:
            bounded(decoder.stop)
    finally:
        writer.kill()
        writer.wait(timeout=10)
    missing = sorted(set(range(shown[-1] + 1)) - set(shown))
    assert len(missing) <= 8, f"{len(missing)} pictures lost: {missing[:20]}"
