#!/usr/bin/env python3
"""Generate the media clips the tests and the demo play, with the ffmpeg CLI.

Each clip is cached under build/clips/ as ``<name>-<hash12>.<ext>``, where the
hash covers the recipe and the ffmpeg version, so an edited recipe or a new
FFmpeg makes a new file and an unchanged one is never made twice.  A clip is
written inside a private temporary folder and renamed into place, so an
aborted or concurrent run never leaves half a file under the final name.

    from make_clips import clip_path, make_all
    clip_path("av")              # path of the clip, made on first use
    python tools/make_clips.py   # make every clip, print the paths
"""

from __future__ import annotations

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from functools import lru_cache
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CLIPS_DIR = Path(os.environ.get("REELPIPE_CLIPS_DIR", ROOT / "build" / "clips"))

# Bumped when the way recipes are run changes in a way the recipes don't show.
RECIPE_FORMAT = 1

FFMPEG = ("ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y")


@dataclass(frozen=True)
class Recipe:
    """How one clip is made.

    ``steps`` are ffmpeg argument lists run in order inside a scratch folder;
    ``{out}`` stands for the final file and any other ``{name}`` for a file of
    that name in the scratch folder.  ``texts`` are written there first (e.g.
    subtitles).  When ``concat`` is set, those scratch files are joined byte
    for byte into the clip, as ``cat`` would.  ``drop`` names windows of an
    MPEG-TS clip to lose, as a lossy link would: (``"audio"`` or ``"video"``,
    from, to) in seconds from the first timestamp; see ``drop_pes``.
    """

    ext: str
    steps: tuple[tuple[str, ...], ...]
    texts: tuple[tuple[str, str], ...] = ()
    concat: tuple[str, ...] = ()
    drop: tuple[tuple[str, float, float], ...] = ()
    doc: str = field(default="", compare=False)


def drop_pes(data: bytes, kind: str, start: float, end: float) -> bytes:
    """An MPEG-TS without the PES packets of one kind of stream ("audio": stream
    ids 0xC0-0xDF, "video": 0xE0-0xEF) whose PTS lies in [start, end) seconds
    from the file's first PTS; the continuity counters of the packets kept
    are renumbered, so FFmpeg reads the result as a lossy link delivers it.
    Write the clip with ``-pes_payload_size 0`` so each PES holds one frame."""
    lo, hi = (0xC0, 0xDF) if kind == "audio" else (0xE0, 0xEF)
    out = bytearray()
    dropping: dict[int, bool] = {}
    counter: dict[int, int] = {}
    origin = None
    for i in range(0, len(data) - 187, 188):
        packet = bytearray(data[i:i + 188])
        if packet[0] != 0x47:
            out += packet
            continue
        pid = ((packet[1] & 0x1F) << 8) | packet[2]
        control = (packet[3] >> 4) & 3
        if control & 1 and packet[1] & 0x40:
            at = 5 + packet[4] if control & 2 else 4
            if at + 14 <= 188 and packet[at:at + 3] == b"\0\0\1" and packet[at + 7] & 0x80:
                b = packet[at + 9:at + 14]
                pts = ((b[0] >> 1) & 7) << 30 | b[1] << 22 | (b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1
                seconds = pts / 90000
                origin = seconds if origin is None else origin
                ours = lo <= packet[at + 3] <= hi
                dropping[pid] = ours and start <= seconds - origin < end
        if dropping.get(pid):
            continue
        if control & 1 and pid in dropping:
            number = counter.get(pid, packet[3] & 0xF)
            packet[3] = (packet[3] & 0xF0) | number
            counter[pid] = (number + 1) & 0xF
        out += packet
    return bytes(out)


def _lavfi(graph: str) -> tuple[str, ...]:
    return ("-f", "lavfi", "-i", graph)


def _testsrc(size: str = "320x240", rate: str = "25", seconds: float = 8) -> tuple[str, ...]:
    return _lavfi(f"testsrc2=size={size}:rate={rate}:duration={seconds}")


def _sine(freq: float = 440, rate: int = 48000, seconds: float = 8) -> tuple[str, ...]:
    return _lavfi(f"sine=frequency={freq}:sample_rate={rate}:duration={seconds}")


def _frame_index_src(seconds: float, rate: int = 25) -> tuple[str, ...]:
    # Block (col, row) of 80 x 60 is white when bit col + 4 * row of the frame
    # number is set: the picture's own index survives lossy coding exactly.
    return _lavfi(
        f"color=c=black:s=320x240:r={rate}:d={seconds},format=yuv420p,"
        r"geq=lum='if(bitand(N\,pow(2\,floor(X/80)+4*floor(Y/60)))\,235\,16)':cb=128:cr=128"
    )


# Small GOPs (one second) so seeking lands near a key frame; -bf 3 so decode
# order differs from display order, as in real files.
_H264 = ("-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-bf", "3")
_AAC = ("-c:a", "aac", "-b:a", "96k")
_MP4 = ("-movflags", "+faststart")
_TS = ("-bsf:v", "h264_mp4toannexb", "-f", "mpegts")

# 12 s of frame-index pictures (key frame every second) with a 440 Hz track,
# as an MPEG-TS in the scratch folder: the source of the timing clips.
# The second piece of a join is coded again from the exact cut, so that its
# pictures and sound start together at picture 100.
_INDEX_AV_CODING = ("-c:v", "libx264", "-preset", "veryfast", "-crf", "18", "-bf", "3", "-g", "25",
                    "-pix_fmt", "yuv420p", *_AAC, "-ac", "2")
_INDEX_AV_12S = (*_frame_index_src(12), *_sine(seconds=12), "-map", "0:v", "-map", "1:a",
                 *_INDEX_AV_CODING, "-shortest", *_TS, "{src.ts}")

# A click at each whole second whose pitch names the second (500 + 100 k Hz),
# 30 ms long, so it survives AAC; and frame-index pictures beside it.
_NAMED_CLICKS = ("aevalsrc=exprs='if(lt(mod(t\\,1)\\,0.03)\\,0.6*sin(2*PI*(500+100*floor(t))*t)\\,0)'"
                 ":s=44100")
_ONE_FRAME_PES = ("-pes_payload_size", "0")

_SUBTITLES = """1
00:00:00,500 --> 00:00:02,000
first line

2
00:00:02,500 --> 00:00:04,500
second line
"""

def _tagged_bars(matrix: str, range_: str, seconds: float = 1, pix_fmt: str = "yuv420p") -> tuple[str, ...]:
    # Saturated and mid-tone bars: a wrong matrix shows on the first, a wrong
    # range on the grey and orange ones.
    bars = "".join(f"color=c={c}:s=64x64:r=25:d={seconds}[b{i}];"
                   for i, c in enumerate(("red", "lime", "blue", "gray", "orange")))
    return (*_lavfi(bars + "[b0][b1][b2][b3][b4]hstack=inputs=5"),
            "-vf", f"scale=out_color_matrix={matrix}:out_range={range_},format={pix_fmt}")


_BT709 = ("-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709", "-color_range", "tv")
_BT601 = ("-colorspace", "smpte170m", "-color_primaries", "smpte170m", "-color_trc", "smpte170m",
          "-color_range", "tv")
_FINE_H264 = (*_H264, "-crf", "10", "-an")


RECIPES: dict[str, Recipe] = {
    "av": Recipe(
        "mp4",
        ((*_testsrc(), *_sine(), "-map", "0:v", "-map", "1:a", *_H264, "-g", "25",
          *_AAC, "-ac", "2", "-shortest", *_MP4, "{out}"),),
        doc="H.264 with B-frames + AAC 48 kHz stereo 440 Hz, 8 s, 25 fps",
    ),
    "video_only": Recipe(
        "mp4",
        ((*_testsrc(), *_H264, "-g", "25", "-an", *_MP4, "{out}"),),
        doc="H.264, 8 s, 25 fps, no audio",
    ),
    "audio_mp3": Recipe(
        "mp3",
        ((*_sine(rate=44100, seconds=6), "-ac", "2", "-c:a", "libmp3lame", "-b:a", "128k",
          "{out}"),),
        doc="440 Hz mp3, 44.1 kHz stereo, 6 s",
    ),
    "audio_mp3_cover": Recipe(
        "mp3",
        (("-f", "lavfi", "-i", "testsrc2=size=64x64:duration=1", "-frames:v", "1", "{cover.png}"),
         (*_sine(rate=44100, seconds=2), "-i", "{cover.png}", "-map", "0:a", "-map", "1:v", "-ac", "2",
          "-c:a", "libmp3lame", "-b:a", "128k", "-c:v", "png", "-disposition:v", "attached_pic", "{out}")),
        doc="440 Hz mp3 with a cover picture (an attached picture stream), 2 s",
    ),
    "audio_ogg": Recipe(
        "ogg",
        ((*_sine(rate=44100, seconds=6), "-ac", "2", "-c:a", "libvorbis", "-q:a", "3",
          "{out}"),),
        doc="440 Hz Vorbis, 44.1 kHz stereo, 6 s",
    ),
    "audio_wav": Recipe(
        "wav",
        ((*_sine(seconds=6), "-ac", "2", "-c:a", "pcm_s16le", "{out}"),),
        doc="440 Hz PCM s16le, 48 kHz stereo, 6 s",
    ),
    "audio_aac_mp4": Recipe(
        "mp4",
        ((*_sine(seconds=6), "-ac", "2", *_AAC, *_MP4, "{out}"),),
        doc="440 Hz AAC in mp4, 48 kHz stereo, 6 s",
    ),
    "fps_23976": Recipe(
        "mp4",
        ((*_testsrc(rate="24000/1001", seconds=4), *_H264, "-g", "24", "-an", *_MP4, "{out}"),),
        doc="H.264 at 24000/1001 fps, 4 s, no audio",
    ),
    "mkv_multi": Recipe(
        "mkv",
        ((*_testsrc(seconds=6), *_sine(440, seconds=6), *_sine(880, seconds=6),
          "-i", "{subs.srt}",
          "-map", "0:v", "-map", "1:a", "-map", "2:a", "-map", "3:s",
          *_H264, "-g", "25", *_AAC, "-ac", "2", "-c:s", "srt",
          "-metadata:s:a:0", "language=eng", "-metadata:s:a:1", "language=fre",
          "{out}"),),
        texts=(("subs.srt", _SUBTITLES),),
        doc="mkv: H.264, audio 440 Hz + audio 880 Hz, one srt subtitle track, 6 s",
    ),
    "frame_index": Recipe(
        "mp4",
        ((*_frame_index_src(8), "-c:v", "libx264", "-preset", "veryfast", "-crf", "18",
          "-bf", "3", "-g", "25", "-pix_fmt", "yuv420p", "-an", *_MP4, "{out}"),),
        doc="frame number drawn as 16 bits, 200 pictures at 25 fps, no audio",
    ),
    "frame_index_av": Recipe(
        "mp4",
        ((*_frame_index_src(8), *_sine(), "-map", "0:v", "-map", "1:a",
          "-c:v", "libx264", "-preset", "veryfast", "-crf", "18", "-bf", "3", "-g", "25",
          "-pix_fmt", "yuv420p", *_AAC, "-ac", "2", "-shortest", *_MP4, "{out}"),),
        doc="frame_index with a 440 Hz AAC 48 kHz stereo track",
    ),
    "frame_index_50": Recipe(
        "mp4",
        ((*_frame_index_src(2), "-frames:v", "50",
          "-c:v", "libx264", "-preset", "veryfast", "-crf", "18", "-bf", "3", "-g", "25",
          "-pix_fmt", "yuv420p", "-an", *_MP4, "{out}"),),
        doc="exactly 50 frame-index pictures with B-frames, no audio",
    ),
    "colour_bars": Recipe(
        "mkv",
        ((*_lavfi("color=c=red:s=80x240:r=25:d=2"), *_lavfi("color=c=lime:s=80x240:r=25:d=2"),
          *_lavfi("color=c=blue:s=80x240:r=25:d=2"), *_lavfi("color=c=white:s=80x240:r=25:d=2"),
          "-filter_complex", "[0:v]format=gbrp[r];[1:v]format=gbrp[g];[2:v]format=gbrp[b];[3:v]format=gbrp[w];"
          "[r][g][b][w]hstack=inputs=4,format=yuv444p",
          "-c:v", "ffv1", "-an", "{out}"),),
        doc="bars red, green, blue, white (80 px each), lossless ffv1 yuv444p, 2 s",
    ),
    "sweep": Recipe(
        "m4a",
        # Instantaneous frequency 200 + 180 t Hz: the pitch tells the time.
        ((*_lavfi("aevalsrc=0.5*sin(2*PI*(200*t+90*t*t)):s=48000:d=10"), "-ac", "2",
          *_AAC, *_MP4, "{out}"),),
        doc="rising sine sweep 200 Hz -> 2000 Hz, AAC 48 kHz stereo, 10 s",
    ),
    "mono_to_stereo_ts": Recipe(
        "ts",
        ((*_testsrc(seconds=3), *_sine(seconds=3), "-map", "0:v", "-map", "1:a",
          *_H264, "-g", "25", *_AAC, "-ac", "1", *_TS, "{part1.ts}"),
         (*_testsrc(seconds=3), *_sine(seconds=3), "-map", "0:v", "-map", "1:a",
          *_H264, "-g", "25", *_AAC, "-ac", "2", "-output_ts_offset", "3", *_TS,
          "{part2.ts}")),
        concat=("part1.ts", "part2.ts"),
        doc="MPEG-TS: 3 s with mono AAC 48 kHz, then 3 s with stereo, with video",
    ),
    "size_change_ts": Recipe(
        "ts",
        ((*_testsrc(seconds=2), *_H264, "-g", "25", "-an", *_TS, "{part1.ts}"),
         (*_testsrc(size="640x360", seconds=2), *_H264, "-g", "25", "-an",
          "-output_ts_offset", "2", *_TS, "{part2.ts}")),
        concat=("part1.ts", "part2.ts"),
        doc="MPEG-TS H.264: 2 s at 320x240, then 2 s at 640x360, no audio",
    ),
    "long_av": Recipe(
        "mp4",
        ((*_frame_index_src(60, rate=10), *_sine(seconds=60), "-map", "0:v", "-map", "1:a",
          "-c:v", "libx264", "-preset", "veryfast", "-crf", "23", "-bf", "3", "-g", "20",
          "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k", "-ac", "2", "-shortest",
          *_MP4, "{out}"),),
        doc="60 s frame-index pictures at 10 fps (2 s GOP) + 440 Hz AAC, for seeking",
    ),
    "negative_ts": Recipe(
        "ts",
        ((*_testsrc(seconds=6), *_sine(seconds=6), "-map", "0:v", "-map", "1:a",
          *_H264, "-g", "25", *_AAC, "-ac", "2",
          "-output_ts_offset", "-3", "-avoid_negative_ts", "disabled", "-f", "mpegts",
          "{out}"),),
        doc="MPEG-TS whose first timestamps are negative (about -1.6 s), 6 s A/V",
    ),
    "sample": Recipe(
        "mp4",
        ((*_testsrc(size="640x360", seconds=10),
          # A major chord with a slow tremolo: pleasant enough for a demo.
          *_lavfi("aevalsrc=(0.6+0.4*sin(2*PI*2*t))*(0.15*sin(2*PI*220*t)"
                  "+0.1*sin(2*PI*277.18*t)+0.1*sin(2*PI*329.63*t)):s=48000:d=10"),
          "-map", "0:v", "-map", "1:a", *_H264, "-g", "25", *_AAC, "-ac", "2",
          "-shortest", *_MP4, "{out}"),),
        doc="demo: 640x360 25 fps test pattern + chord, 10 s",
    ),
    "index_ts": Recipe(
        "ts",
        (_INDEX_AV_12S,),
        concat=("src.ts",),
        doc="MPEG-TS: 12 s frame-index pictures + 440 Hz AAC, timestamps from about 1.4 s",
    ),
    "index_ts_far": Recipe(
        "ts",
        (_INDEX_AV_12S, ("-i", "{src.ts}", "-c", "copy", "-output_ts_offset", "1000", "-f", "mpegts", "{out}")),
        doc="index_ts with timestamps from about 1001.4 s",
    ),
    "index_ts_wrap": Recipe(
        "ts",
        (_INDEX_AV_12S, ("-i", "{src.ts}", "-c", "copy", "-output_ts_offset", "95440", "-f", "mpegts", "{out}")),
        doc="index_ts from about 95,441 s: its 33-bit timestamps wrap about 2.6 s in",
    ),
    "index_late_sound": Recipe(
        "mp4",
        (_INDEX_AV_12S, ("-i", "{src.ts}", "-itsoffset", "2", "-i", "{src.ts}", "-map", "0:v", "-map", "1:a",
                         "-c", "copy", *_MP4, "{out}")),
        doc="index_ts pictures from 0 s in mp4, its sound from 2 s",
    ),
    "index_join_forward": Recipe(
        "ts",
        (_INDEX_AV_12S,
         ("-i", "{src.ts}", "-t", "4", "-c", "copy", "-f", "mpegts", "{a.ts}"),
         ("-i", "{src.ts}", "-ss", "4", "-t", "4", *_INDEX_AV_CODING, "-output_ts_offset", "60", *_TS, "{b.ts}")),
        concat=("a.ts", "b.ts"),
        doc="the first 8 s of index_ts in two 4 s pieces (the second coded again) joined byte for byte, "
            "timestamps jumping forward about 56 s at the join",
    ),
    "index_join_backward": Recipe(
        "ts",
        (_INDEX_AV_12S,
         ("-i", "{src.ts}", "-t", "4", "-c", "copy", "-f", "mpegts", "{a.ts}"),
         ("-i", "{src.ts}", "-ss", "4", "-t", "4", *_INDEX_AV_CODING, *_TS, "{b.ts}")),
        concat=("a.ts", "b.ts"),
        doc="index_join_forward without the jump forward: timestamps go back 4 s at the join",
    ),
    "clicks_av": Recipe(
        "mkv",
        # A 4 ms burst of 2 kHz at each whole second, in PCM at the playback
        # rate so nothing smears or shifts its onset; picture 25 k is shown
        # with the k-th click.
        ((*_frame_index_src(10), *_lavfi("aevalsrc=exprs='if(lt(mod(t\\,1)\\,0.004)\\,0.8*sin(2*PI*2000*t)\\,0)'"
                                         ":s=44100:d=10"),
          "-map", "0:v", "-map", "1:a", "-c:v", "libx264", "-preset", "veryfast", "-crf", "18",
          "-bf", "3", "-g", "25", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le", "-ac", "2", "{out}"),),
        doc="frame_index pictures with a click at each whole second, PCM 44.1 kHz stereo, 10 s",
    ),
    "bars_bt709": Recipe(
        "mp4",
        ((*_tagged_bars("bt709", "tv"), *_BT709, *_FINE_H264, "{out}"),),
        doc="colour and grey bars as BT.709 limited-range yuv420p, tagged so, 1 s",
    ),
    "bars_bt601": Recipe(
        "mp4",
        ((*_tagged_bars("bt601", "tv"), *_BT601, *_FINE_H264, "{out}"),),
        doc="colour and grey bars as BT.601 limited-range yuv420p, tagged so, 1 s",
    ),
    "bars_jpeg": Recipe(
        "mkv",
        ((*_tagged_bars("bt601", "pc"), "-pix_fmt", "yuvj420p", "-color_range", "pc",
          "-c:v", "mjpeg", "-q:v", "2", "-an", "{out}"),),
        doc="colour and grey bars as full-range JPEG pictures (yuvj420p), 1 s",
    ),
    "bars_444_bt2020_pc": Recipe(
        "mkv",
        ((*_tagged_bars("bt2020", "pc", pix_fmt="yuv444p"), "-colorspace", "bt2020nc", "-color_primaries",
          "bt2020", "-color_trc", "bt2020-10", "-color_range", "pc", "-c:v", "ffv1", "-an", "{out}"),),
        doc="colour and grey bars as full-range BT.2020 yuv444p, lossless ffv1, tagged so, 1 s",
    ),
    "bars_422_bt709_pc": Recipe(
        "mkv",
        ((*_tagged_bars("bt709", "pc", pix_fmt="yuv422p"), *_BT709[:-2], "-color_range", "pc",
          "-c:v", "ffv1", "-an", "{out}"),),
        doc="colour and grey bars as full-range BT.709 yuv422p, lossless ffv1, tagged so, 1 s",
    ),
    "alpha_vp9": Recipe(
        "webm",
        ((*_lavfi("".join(f"color=c={c}:s=64x64:r=25:d=1,format=rgba,colorchannelmixer=aa={a}[b{i}];"
                          for i, (c, a) in enumerate((("red", 1.0), ("lime", 0.5), ("blue", 0.25),
                                                      ("gray", 0.0), ("orange", 0.75))))
                  + "[b0][b1][b2][b3][b4]hstack=inputs=5,format=yuva420p"),
          "-c:v", "libvpx-vp9", "-pix_fmt", "yuva420p", "-an", "{out}"),),
        doc="colour bars each with its own alpha (1, 0.5, 0.25, 0, 0.75), VP9 with alpha in WebM, 1 s",
    ),
    "bars_changing_ts": Recipe(
        "ts",
        ((*_tagged_bars("bt601", "tv"), *_BT601, *_FINE_H264, *_TS, "{part1.ts}"),
         (*_tagged_bars("bt709", "tv"), *_BT709, *_FINE_H264, "-output_ts_offset", "1", *_TS,
          "{part2.ts}"),
         (*_tagged_bars("bt709", "pc"), *_BT709[:-2], "-color_range", "pc", *_FINE_H264,
          "-output_ts_offset", "2", *_TS, "{part3.ts}")),
        concat=("part1.ts", "part2.ts", "part3.ts"),
        doc="MPEG-TS of bars: 1 s BT.601, 1 s BT.709, 1 s BT.709 full range, each tagged so",
    ),
    "clicks_ts_sound_hole": Recipe(
        "ts",
        ((*_frame_index_src(10), *_lavfi(_NAMED_CLICKS + ":d=10"), "-map", "0:v", "-map", "1:a",
          *_INDEX_AV_CODING, *_ONE_FRAME_PES, *_TS, "{out}"),),
        drop=(("audio", 3.9, 4.5),),
        doc="MPEG-TS: frame-index pictures and a named click each second, 10 s, its sound lost "
            "from 3.9 s to 4.5 s",
    ),
    "index_ts_picture_gap": Recipe(
        "ts",
        ((*_frame_index_src(10), *_sine(seconds=10), "-map", "0:v", "-map", "1:a",
          *_INDEX_AV_CODING, *_ONE_FRAME_PES, *_TS, "{out}"),),
        drop=(("video", 2.5, 6.5),),
        doc="MPEG-TS: frame-index pictures + 440 Hz, 10 s, its pictures lost from 2.5 s to 6.5 s "
            "while the sound goes on",
    ),
    "index_ts_short_pictures": Recipe(
        "ts",
        ((*_frame_index_src(5), *_sine(seconds=12), "-map", "0:v", "-map", "1:a",
          *_INDEX_AV_CODING, *_TS, "{out}"),),
        doc="MPEG-TS: 5 s of frame-index pictures, 12 s of 440 Hz sound",
    ),
    "index_short_sound": Recipe(
        "mp4",
        ((*_frame_index_src(8), *_sine(seconds=3), "-map", "0:v", "-map", "1:a",
          *_INDEX_AV_CODING, *_MP4, "{out}"),),
        doc="mp4: 8 s of frame-index pictures, 3 s of 440 Hz sound",
    ),
    "index_ts_gop2": Recipe(
        "ts",
        ((*_frame_index_src(12), *_sine(seconds=12), "-map", "0:v", "-map", "1:a",
          "-c:v", "libx264", "-preset", "veryfast", "-crf", "18", "-bf", "3", "-g", "50",
          "-keyint_min", "50", "-sc_threshold", "0", "-pix_fmt", "yuv420p", *_AAC, "-ac", "2",
          "-shortest", *_TS, "{out}"),),
        doc="MPEG-TS: 12 s frame-index pictures with a key frame every 2 s, + 440 Hz",
    ),
    "clicks_ts_late_sound": Recipe(
        "ts",
        ((*_frame_index_src(10), "-itsoffset", "1", *_lavfi(_NAMED_CLICKS + ":d=9"),
          "-map", "0:v", "-map", "1:a", *_INDEX_AV_CODING, *_TS, "{out}"),),
        doc="MPEG-TS: 10 s frame-index pictures; named clicks from 1 s on (the sound starts 1 s late)",
    ),
    "heavy_uhd60_av": Recipe(
        "mp4",
        ((*_lavfi("testsrc2=size=3840x2160:rate=60:duration=2.5,noise=alls=16:allf=t"), *_sine(seconds=2.5),
          "-map", "0:v", "-map", "1:a", "-c:v", "libx264", "-preset", "superfast", "-bf", "3", "-x264-params", "b-adapt=0",
          "-g", "60", "-b:v", "60M", "-maxrate", "60M", "-bufsize", "60M", "-pix_fmt", "yuv420p", *_AAC, "-ac", "2",
          "-shortest", *_MP4, "{out}"),),
        doc="4K at 60 fps with grain, 60 Mb/s H.264 with three B-frames in every four pictures + 440 Hz, 2.5 s: "
            "about 27 ms of one core to decode each picture, more than one core can do in real time",
    ),
    "audio_opus": Recipe(
        "ogg",
        ((*_sine(seconds=3), "-ac", "2", "-c:a", "libopus", "-b:a", "96k", "{out}"),),
        doc="440 Hz Opus in Ogg, 48 kHz stereo, 3 s",
    ),
}

# Names that are the same clip under a name that says what a test wants of it.
ALIASES: dict[str, str] = {"tone_av": "av"}

NAMES: tuple[str, ...] = tuple(RECIPES) + tuple(ALIASES)

_locks: dict[str, threading.Lock] = {name: threading.Lock() for name in RECIPES}
_PLACEHOLDER = re.compile(r"\{([^{}]+)\}")


@lru_cache(maxsize=1)
def _ffmpeg_version() -> str:
    try:
        out = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError) as exc:
        raise RuntimeError(f"the ffmpeg command is needed to make test clips: {exc}") from exc
    return out.stdout.splitlines()[0]


def _resolve(name: str) -> str:
    name = ALIASES.get(name, name)
    if name not in RECIPES:
        raise KeyError(f"no clip recipe named {name!r}; known: {', '.join(NAMES)}")
    return name


def recipe_hash(name: str) -> str:
    recipe = RECIPES[_resolve(name)]
    key = repr((RECIPE_FORMAT, _ffmpeg_version(), recipe.ext, recipe.steps, recipe.texts,
                recipe.concat) + ((recipe.drop,) if recipe.drop else ()))
    return hashlib.sha256(key.encode()).hexdigest()[:12]


def cached_path(name: str) -> Path:
    """Returns where the clip lives once made, without making it."""
    name = _resolve(name)
    return CLIPS_DIR / f"{name}-{recipe_hash(name)}.{RECIPES[name].ext}"


def _render(arg: str, scratch: Path, out: Path) -> str:
    def sub(m: re.Match[str]) -> str:
        return str(out if m.group(1) == "out" else scratch / m.group(1))
    return _PLACEHOLDER.sub(sub, arg)


def _build(name: str, final: Path) -> None:
    recipe = RECIPES[name]
    CLIPS_DIR.mkdir(parents=True, exist_ok=True)
    scratch = Path(tempfile.mkdtemp(prefix=f".{name}-", dir=CLIPS_DIR))
    try:
        out = scratch / f"out.{recipe.ext}"
        for file_name, text in recipe.texts:
            (scratch / file_name).write_text(text)
        for step in recipe.steps:
            cmd = [*FFMPEG, *(_render(a, scratch, out) for a in step)]
            result = subprocess.run(cmd, capture_output=True, text=True)
            if result.returncode != 0:
                raise RuntimeError(f"making clip {name!r} failed: {' '.join(cmd)}\n"
                                   f"{result.stderr.strip()}")
        if recipe.concat:
            with open(out, "wb") as joined:
                for part in recipe.concat:
                    with open(scratch / part, "rb") as src:
                        shutil.copyfileobj(src, joined)
        for kind, start, end in recipe.drop:
            out.write_bytes(drop_pes(out.read_bytes(), kind, start, end))
        os.replace(out, final)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    _prune_stale(name, final)


def _prune_stale(name: str, keep: Path) -> None:
    """Removes clips of this name made by an older recipe."""
    pattern = re.compile(rf"{re.escape(name)}-[0-9a-f]{{12}}\.")
    for path in CLIPS_DIR.iterdir():
        if path != keep and pattern.match(path.name):
            path.unlink(missing_ok=True)


def clip_path(name: str) -> str:
    """Returns the path of the named clip, making it first if it isn't cached."""
    name = _resolve(name)
    final = cached_path(name)
    if final.exists():
        return str(final)
    with _locks[name]:
        if not final.exists():
            _build(name, final)
    return str(final)


def make_all(names: list[str] | tuple[str, ...] | None = None) -> dict[str, str]:
    """Makes the named clips (all when None), in parallel; returns name -> path."""
    wanted = list(names) if names else list(NAMES)
    for name in wanted:
        _resolve(name)
    # ffmpeg's encoders are mostly single-threaded at these sizes, so a few at once
    # keep both cores busy.
    with ThreadPoolExecutor(max_workers=max(2, os.cpu_count() or 2)) as pool:
        paths = list(pool.map(clip_path, wanted))
    return dict(zip(wanted, paths))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", help=f"clips to make (default: all): {', '.join(NAMES)}")
    parser.add_argument("--list", action="store_true", help="list the recipes and exit")
    args = parser.parse_args(argv)
    if args.list:
        for name in NAMES:
            doc = RECIPES[_resolve(name)].doc
            print(f"{name:18} {doc if name in RECIPES else 'same as ' + _resolve(name)}")
        return 0
    try:
        for path in make_all(args.names).values():
            print(path)
    except (KeyError, RuntimeError) as exc:
        print(f"make_clips: {exc.args[0] if exc.args else exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
