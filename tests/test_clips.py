"""The generated clips are what the other tests take them to be.

Checked with ffprobe and ffmpeg, independently of reelpipe, so a failure here
points at tools/make_clips.py or the installed FFmpeg, not at the player.
"""

from __future__ import annotations

import json
import os
import subprocess

import numpy as np
import pytest

from helpers import frame_index_of
import make_clips

# ffprobe and ffmpeg read the clips; the module is never loaded, so the
# sanitizer run has nothing to find here.
pytestmark = pytest.mark.skipif(bool(os.environ.get("REELPIPE_SANITIZER")),
                                reason="checks the clips only, never the module")


def ffprobe(path: str, *args: str) -> dict:
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", *args, path],
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def decode_pictures(path: str, width: int = 320, height: int = 240) -> np.ndarray:
    raw = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-map", "0:v:0",
                          "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         capture_output=True, check=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(-1, height, width, 3)


def decode_sound(path: str, stream: int = 0, rate: int = 48000) -> np.ndarray:
    """Returns the first channel of an audio stream as float samples."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-map", f"0:a:{stream}",
                          "-f", "s16le", "-ac", "1", "-ar", str(rate), "-"],
                         capture_output=True, check=True).stdout
    return np.frombuffer(raw, "<i2").astype(np.float64)


def peak_frequency(samples: np.ndarray, rate: int) -> float:
    spectrum = np.abs(np.fft.rfft(samples * np.hanning(len(samples))))
    return float(np.argmax(spectrum)) * rate / len(samples)


# name: (video (codec, width, height, avg_frame_rate) or None,
#        audio [(codec, sample_rate, channels)], subtitle streams, duration in s)
LAYOUT = {
    "av": (("h264", 320, 240, "25/1"), [("aac", 48000, 2)], 0, 8),
    "tone_av": (("h264", 320, 240, "25/1"), [("aac", 48000, 2)], 0, 8),
    "video_only": (("h264", 320, 240, "25/1"), [], 0, 8),
    "audio_mp3": (None, [("mp3", 44100, 2)], 0, 6),
    "audio_mp3_cover": (("png", 64, 64, "0/0"), [("mp3", 44100, 2)], 0, 2),
    "audio_ogg": (None, [("vorbis", 44100, 2)], 0, 6),
    "audio_wav": (None, [("pcm_s16le", 48000, 2)], 0, 6),
    "audio_aac_mp4": (None, [("aac", 48000, 2)], 0, 6),
    "fps_23976": (("h264", 320, 240, "24000/1001"), [], 0, 4),
    "mkv_multi": (("h264", 320, 240, "25/1"), [("aac", 48000, 2), ("aac", 48000, 2)], 1, 6),
    "frame_index": (("h264", 320, 240, "25/1"), [], 0, 8),
    "frame_index_av": (("h264", 320, 240, "25/1"), [("aac", 48000, 2)], 0, 8),
    "frame_index_50": (("h264", 320, 240, "25/1"), [], 0, 2),
    "colour_bars": (("ffv1", 320, 240, "25/1"), [], 0, 2),
    "sweep": (None, [("aac", 48000, 2)], 0, 10),
    # The stream header of a joined TS announces its first segment only.
    "mono_to_stereo_ts": (("h264", 320, 240, "25/1"), [("aac", 48000, 1)], 0, 6),
    "size_change_ts": (("h264", 320, 240, "25/1"), [], 0, 4),
    "long_av": (("h264", 320, 240, "10/1"), [("aac", 48000, 2)], 0, 60),
    "negative_ts": (("h264", 320, 240, "25/1"), [("aac", 48000, 2)], 0, 6),
    "sample": (("h264", 640, 360, "25/1"), [("aac", 48000, 2)], 0, 10),
    "index_ts": (("h264", 320, 240, "25/1"), [("aac", 48000, 2)], 0, 12),
    "index_ts_far": (("h264", 320, 240, "25/1"), [("aac", 48000, 2)], 0, 12),
    "index_ts_wrap": (("h264", 320, 240, "25/1"), [("aac", 48000, 2)], 0, 12),
    # The container counts from the first picture to the end of the sound.
    "index_late_sound": (("h264", 320, 240, "25/1"), [("aac", 48000, 2)], 0, 14),
    # FFmpeg measures a joined TS from its first timestamp to its last one:
    # across the jump forward, or within the last piece for the jump back.
    "index_join_forward": (("h264", 320, 240, "25/1"), [("aac", 48000, 2)], 0, 64),
    "index_join_backward": (("h264", 320, 240, "25/1"), [("aac", 48000, 2)], 0, 4.1),
    "clicks_av": (("h264", 320, 240, "25/1"), [("pcm_s16le", 44100, 2)], 0, 10),
    "bars_bt709": (("h264", 320, 64, "25/1"), [], 0, 1),
    "bars_bt601": (("h264", 320, 64, "25/1"), [], 0, 1),
    "bars_jpeg": (("mjpeg", 320, 64, "25/1"), [], 0, 1),
    "bars_changing_ts": (("h264", 320, 64, "25/1"), [], 0, 3),
    "bars_444_bt2020_pc": (("ffv1", 320, 64, "25/1"), [], 0, 1),
    "bars_422_bt709_pc": (("ffv1", 320, 64, "25/1"), [], 0, 1),
    "alpha_vp9": (("vp9", 320, 64, "25/1"), [], 0, 1),
    "clicks_ts_sound_hole": (("h264", 320, 240, "25/1"), [("aac", 44100, 2)], 0, 10),
    "index_ts_picture_gap": (("h264", 320, 240, "25/1"), [("aac", 48000, 2)], 0, 10),
    "index_ts_short_pictures": (("h264", 320, 240, "25/1"), [("aac", 48000, 2)], 0, 12),
    "index_short_sound": (("h264", 320, 240, "25/1"), [("aac", 48000, 2)], 0, 8),
    "index_ts_gop2": (("h264", 320, 240, "25/1"), [("aac", 48000, 2)], 0, 12),
    "clicks_ts_late_sound": (("h264", 320, 240, "25/1"), [("aac", 44100, 2)], 0, 10),
    "audio_opus": (None, [("opus", 48000, 2)], 0, 3),
    "heavy_uhd60_av": (("h264", 3840, 2160, "60/1"), [("aac", 48000, 2)], 0, 2.5),
}


def test_every_recipe_is_checked():
    assert set(LAYOUT) == set(make_clips.NAMES)


@pytest.mark.parametrize("name", sorted(LAYOUT))
def test_streams(clips, name):
    video, audio, subtitles, duration = LAYOUT[name]
    info = ffprobe(clips[name], "-show_streams", "-show_format")
    streams = info["streams"]
    by_type = {kind: [s for s in streams if s["codec_type"] == kind]
               for kind in ("video", "audio", "subtitle")}

    if video is None:
        assert by_type["video"] == []
    else:
        (v,) = by_type["video"]
        assert (v["codec_name"], v["width"], v["height"], v["avg_frame_rate"]) == video
        if v["codec_name"] == "h264":
            # Reordered pictures: the decoder holds some back, as with real files.
            assert v["has_b_frames"] >= 1
    assert [(a["codec_name"], int(a["sample_rate"]), a["channels"])
            for a in by_type["audio"]] == audio
    assert len(by_type["subtitle"]) == subtitles
    assert float(info["format"]["duration"]) == pytest.approx(duration, abs=0.15)


@pytest.mark.parametrize("name, count", [
    ("frame_index", 200), ("frame_index_av", 200), ("frame_index_50", 50), ("long_av", 600),
    ("index_ts_wrap", 300),
])
def test_frame_index_reads_back_every_picture(clips, name, count):
    pictures = decode_pictures(clips[name])
    assert [frame_index_of(p) for p in pictures] == list(range(count))


def test_colour_bars_are_pure(clips):
    first = decode_pictures(clips.colour_bars)[0].astype(int)
    expected = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)]
    for bar, colour in enumerate(expected):
        block = first[:, bar * 80:(bar + 1) * 80].reshape(-1, 3)
        assert np.abs(block - colour).max() <= 2, f"bar {bar}"


def test_mkv_multi_tracks_have_distinct_tones(clips):
    tones = [peak_frequency(decode_sound(clips.mkv_multi, i)[:48000], 48000) for i in (0, 1)]
    assert tones == [pytest.approx(440, abs=2), pytest.approx(880, abs=2)]


def test_sweep_rises(clips):
    sound = decode_sound(clips.sweep)
    # 200 + 180 t Hz, measured over 0.1 s windows.
    for t in (1, 5, 9):
        window = sound[int(t * 48000) - 2400:int(t * 48000) + 2400]
        assert peak_frequency(window, 48000) == pytest.approx(200 + 180 * t, abs=15)


def test_mono_to_stereo_ts_switches_layout_with_continuous_time(clips):
    frames = ffprobe(clips.mono_to_stereo_ts, "-select_streams", "a", "-show_entries",
                     "frame=channels,best_effort_timestamp_time")["frames"]
    channels = [f["channels"] for f in frames]
    switch = channels.index(2)
    assert set(channels[:switch]) == {1} and set(channels[switch:]) == {2}
    # The second segment's clock carries on from the first; at the join the AAC
    # priming of each segment makes them overlap by a few frames.
    times = np.array([float(f["best_effort_timestamp_time"]) for f in frames])
    assert np.abs(np.diff(times)).max() < 0.1
    assert times[-1] - times[0] == pytest.approx(6, abs=0.2)


def test_size_change_ts_changes_size_once(clips):
    frames = ffprobe(clips.size_change_ts, "-select_streams", "v", "-show_entries",
                     "frame=width,height")["frames"]
    sizes = [(f["width"], f["height"]) for f in frames]
    switch = sizes.index((640, 360))
    assert switch >= 40
    assert set(sizes[:switch]) == {(320, 240)} and set(sizes[switch:]) == {(640, 360)}


def test_negative_ts_starts_before_zero(clips):
    frames = ffprobe(clips.negative_ts, "-select_streams", "v", "-read_intervals", "%+#1",
                     "-show_entries", "frame=best_effort_timestamp_time")["frames"]
    assert float(frames[0]["best_effort_timestamp_time"]) < -1.0

