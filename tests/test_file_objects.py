"""Inputs read from Python file objects: an io.BytesIO, an open file, and
readers that can only be read front to back or that misbehave."""

from __future__ import annotations

import gc
import io
import logging
import threading
import time
import weakref
from pathlib import Path

import pytest

import helpers
import reelpipe


def next_indices(decoder: reelpipe.MediaDecoder, count: int) -> list[int]:
    return [helpers.frame_index_of(picture) for picture in
            helpers.pictures(lambda: decoder.get_next_frame(timeout=0.1), count=count, seconds=20)]


def what_plays(source, **options) -> dict:
    """What a caller sees of frame_index read from `source`: pictures from the
    start, after a seek and after a step back, and with loop=True across
    the end."""
    decoder = reelpipe.MediaDecoder(source, audio=False, **options)
    seen = {"streams": decoder.get_streams(), "size": decoder.get_size()}
    decoder.start()
    try:
        seen["start"] = next_indices(decoder, 20)
        decoder.seek(5.0)
        seen["after seek"] = next_indices(decoder, 10)
        decoder.step(-3)
        seen["after step"] = next_indices(decoder, 1)
        decoder.resume()
        if options.get("loop"):
            decoder.seek(7.5)
            seen["across the end"] = next_indices(decoder, 20)
    finally:
        decoder.stop()
    return seen


class ReadOnly(io.BufferedIOBase):
    """Reads front to back only, as a pipe: it defines read() alone, and
    inherits the read1(), seek() and tell() that refuse every call."""

    def __init__(self, data: bytes):
        self._data = io.BytesIO(data)

    def read(self, size: int) -> bytes:
        return self._data.read(size)


class SeekRaises(ReadOnly):
    """Says it can seek, then refuses every seek after the opening."""

    def __init__(self, data: bytes):
        super().__init__(data)
        self.seeks = 0
        self.refuse = False

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._data.tell()

    def seek(self, offset: int, whence: int = 0) -> int:
        if self.refuse:
            self.seeks += 1
            raise OSError("cannot seek now")
        return self._data.seek(offset, whence)


class Misbehaving(ReadOnly):
    """Reads well up to half the input, then does `how`."""

    def __init__(self, data: bytes, how: str):
        super().__init__(data)
        self.how = how
        self.release = threading.Event()
        self.half = len(data) // 2

    def read(self, size: int):
        if self._data.tell() < self.half:
            return super().read(min(size, self.half - self._data.tell()))
        if self.how == "raises":
            raise OSError("the disk is gone")
        if self.how == "returns text":
            return "text"
        self.release.wait()
        return b""


# A BytesIO is read from its own memory, a file by read(); an object is
# read from where it stands. Each plays exactly as the path does.
@pytest.mark.parametrize("source", ["BytesIO", "open file", "BytesIO after a prefix"])
def test_a_file_object_plays_seeks_steps_and_loops_as_its_path_does(clips, source):
    path = Path(clips.frame_index)
    expected = what_plays(str(path), loop=True, size=(320, -1))
    if source == "open file":
        with path.open("rb") as file:
            seen = what_plays(file, loop=True, size=(320, -1))
    else:
        prefix = b"not media " * 100 if source == "BytesIO after a prefix" else b""
        data = io.BytesIO(prefix + path.read_bytes())
        data.seek(len(prefix))
        seen = what_plays(data, loop=True, size=(320, -1))
        assert repr(reelpipe.MediaDecoder(data)).startswith("<reelpipe.MediaDecoder <_io.BytesIO object at ")
    assert seen == expected
    assert expected["across the end"][0] > 150 and 0 in expected["across the end"]


# A reader without seek() is read as a pipe. One whose seek() fails becomes
# one, after a warning, and is not asked to seek again; where the demuxer
# goes on from a failed seek is its own affair, but the input ends cleanly.
@pytest.mark.parametrize("kind", [ReadOnly, SeekRaises])
def test_a_reader_that_cannot_seek_plays_front_to_back_and_a_seek_warns(clips, caplog, kind):
    caplog.set_level(logging.WARNING, logger="reelpipe")
    reader = kind(Path(clips.clicks_av).read_bytes())
    decoder = reelpipe.MediaDecoder(reader, audio=False)
    reader.refuse = True
    decoder.start()
    try:
        seen = next_indices(decoder, 20)
        for target in (6.0, 2.0):
            decoder.seek(target)
        assert helpers.wait_until(
            lambda: any("seek to 2.000 s failed" in r.getMessage() for r in caplog.records), 5.0)
        seen += [helpers.frame_index_of(p) for p in
                 helpers.pictures(decoder.get_next_frame, seconds=20, finished=decoder.is_finished)]
        assert decoder.is_finished()
    finally:
        decoder.stop()
    if kind is ReadOnly:
        assert seen == list(range(250))
    else:
        assert reader.seeks == 1
        assert helpers.wait_until(lambda: any(
            "seek() raised OSError: cannot seek now; the input is read front to back" in r.getMessage()
            for r in caplog.records), 5.0)


# Whatever the object does wrong ends playback (the input as if broken
# there, or, for a read() that never returns, the pictures read so far),
# stop() returns within its usual bound, and the decoder lets the object go.
@pytest.mark.parametrize("how, warning", [
    ("raises", "read() raised OSError: the disk is gone"),
    ("returns text", "read() returned str, not bytes"),
    ("closed", "getvalue() raised ValueError: I/O operation on closed file"),
    ("never returns", None),
])
def test_a_misbehaving_reader_ends_playback_and_stop_returns_in_time(clips, caplog, how, warning):
    caplog.set_level(logging.WARNING, logger="reelpipe")
    data = Path(clips.clicks_av).read_bytes()
    reader = io.BytesIO(data) if how == "closed" else Misbehaving(data, how)
    # Read ahead little, so that the close comes before the input is read.
    decoder = reelpipe.MediaDecoder(reader, audio=False, max_buffer_ahead=1.0, min_buffer_ahead=0.5)
    decoder.start()
    try:
        shown = next_indices(decoder, 10)
        if how == "closed":
            reader.close()
        shown += [helpers.frame_index_of(p) for p in helpers.pictures(
            lambda: decoder.get_next_frame(timeout=0.1), quiet=2.0, finished=decoder.is_finished)]
        assert shown == list(range(len(shown))) and 10 < len(shown) < 250
        if warning is not None:
            assert decoder.is_finished()
            assert helpers.wait_until(lambda: any(warning in r.getMessage() for r in caplog.records), 5.0)
        began = time.monotonic()
        decoder.stop()
        assert time.monotonic() - began < 1.0
    finally:
        decoder.stop()
        if how == "never returns":
            reader.release.set()
    gone = weakref.ref(reader)
    del decoder, reader
    assert helpers.wait_until(lambda: gc.collect() == 0 and gone() is None, 5.0)


class StallsOnce(SeekRaises):
    """Seekable; its first read from half the input on takes a while."""

    def __init__(self, data: bytes):
        super().__init__(data)
        self.half = len(data) // 2
        self.stalled = threading.Event()

    def read(self, size: int) -> bytes:
        if self._data.tell() >= self.half and not self.stalled.is_set():
            self.stalled.set()
            time.sleep(0.02)
        return super().read(size)


# A read under way when stop() comes is let finish (only one that takes
# long is abandoned), so that start() reads on from where the input stood.
def test_a_restart_after_a_stop_during_a_read_goes_on_where_it_stood(clips):
    reader = StallsOnce(Path(clips.clicks_av).read_bytes())
    decoder = reelpipe.MediaDecoder(reader, audio=False, max_buffer_ahead=1.0, min_buffer_ahead=0.5)
    decoder.start()
    try:
        shown = []
        for picture in helpers.pictures(lambda: decoder.get_next_frame(timeout=0.1), seconds=20):
            shown.append(helpers.frame_index_of(picture))
            if reader.stalled.is_set():
                break
        decoder.stop()
        decoder.start()
        shown += [helpers.frame_index_of(p) for p in helpers.pictures(
            lambda: decoder.get_next_frame(timeout=0.1), seconds=20, finished=decoder.is_finished)]
    finally:
        decoder.stop()
    assert shown == list(range(250))
