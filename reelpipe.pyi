"""Plays one media input: FFmpeg decoding, sound through the default playback
device, pictures handed out as NumPy arrays when they are due."""

import os
import types
import typing

import numpy
import numpy.typing

_Picture: typing.TypeAlias = numpy.typing.NDArray[numpy.uint8]
_PixelFormat: typing.TypeAlias = typing.Literal["rgb24", "bgr24", "rgba", "bgra", "gray"]

class _StreamInfo(typing.TypedDict):
    """One stream of the input, as get_streams() lists it."""

    index: int
    type: typing.Literal["video", "audio", "subtitle", "data", "attachment", "unknown"]
    codec: str
    language: str | None
    title: str | None
    default: bool
    selected: bool
    width: typing.NotRequired[int]
    height: typing.NotRequired[int]
    fps: typing.NotRequired[float | None]
    sample_rate: typing.NotRequired[int]
    channels: typing.NotRequired[int]

class _AudioDevice(typing.TypedDict):
    """A playback device, as audio_devices() lists it."""

    name: str
    id: str
    backend: str
    default: bool

class _PictureCounts(typing.TypedDict):
    """What became of a decoder's pictures, as get_picture_counts() gives it."""

    shown: int
    dropped: int
    skipped: int

class MediaDecoder:
    """One media input (file or URL) and its playback.

    ``for picture in decoder`` yields each picture as it falls due and ends once
    the input is finished; ``with MediaDecoder(path) as decoder`` stops it at
    the end of the block.
    """

    def __init__(
        self,
        path: str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes] | typing.BinaryIO,
        *,
        audio: bool = True,
        max_buffer_ahead: float = 10.0,
        min_buffer_ahead: float = 3.0,
        max_picture_memory: int = 2147483648,
        size: tuple[int, int] | None = None,
        pixel_format: _PixelFormat = "rgb24",
        video_stream: int | None = None,
        audio_stream: int | str | None = None,
        audio_device: str | None = None,
        realtime: bool = False,
        loop: bool = False,
        latency: float | None = None,
    ) -> None:
        """Opens and probes the input; nothing plays before start().

        path may be a binary file object instead: read(n) alone reads it once,
        front to back; with seek() and tell() it can seek; it is read from
        where it stands. audio=False leaves the sound out (no device, pictures
        unpaced);
        max_buffer_ahead and min_buffer_ahead are the seconds read ahead before
        reading waits and that end buffering; max_picture_memory the bytes of
        decoded pictures held ready (one picture is always let in). size scales
        the pictures to (width, height), one side -1 keeping the aspect ratio
        (even), each side at most 16384 (ValueError naming the limit for a
        size FFmpeg or its scaler cannot make); pixel_format gives arrays of shape (h, w, 3) for rgb24 and
        bgr24, (h, w, 4) for rgba and bgra (the stream's alpha, else 255) and
        (h, w) for gray. video_stream picks a stream by index, audio_stream by
        index or language code (any case; ISO 639-1 or 639-2, "fr", "fra"
        and "fre" alike; see get_streams()), checked with audio=False too;
        cover art is no video: video_stream naming it raises ValueError, and
        an input whose only picture is cover art plays as sound alone;
        audio_device a playback
        device by its id or name (see audio_devices());
        realtime=True paces the pictures of an input without sound (or of
        audio=False) by a wall clock, for a player (False: as fast as decoded,
        for extraction); loop=True plays the input again from the start at
        its end without a gap (get_position() back to 0 each lap,
        is_finished() never true). latency (seconds > 0) plays a live input
        (camera, UDP/RTP/SRT feed, live HTTP stream) that far behind the
        newest moment read: opened for low delay, the backlog of the opening
        skipped, and caught up after a stall by playing up to 1.1x faster or
        skipping ahead; it takes the place of min_buffer_ahead, paces the
        pictures as realtime does and refuses seek(). Invalid options raise ValueError
        or TypeError before anything is opened, a stream that is not there
        ValueError naming the streams; an input that cannot be opened raises
        RuntimeError with FFmpeg's reason as a note."""
    def start(self) -> None:
        """Starts reading, decoding and the sound; after stop(), starts again where it stood."""
    def stop(self) -> None:
        """Ends playback and releases the sound device; safe to call more than once."""
    @typing.overload
    def get_next_frame(
        self, *, timeout: float | None = None, with_time: typing.Literal[False] = False
    ) -> _Picture | None: ...
    @typing.overload
    def get_next_frame(
        self, *, timeout: float | None = None, with_time: typing.Literal[True]
    ) -> tuple[_Picture, float | None] | None: ...
    def get_next_frame(
        self, *, timeout: float | None = None, with_time: bool = False
    ) -> _Picture | tuple[_Picture, float | None] | None:
        """The next picture once it is due, as an array in the chosen size and
        pixel format ((height, width, 3) RGB by default) over the picture's own
        memory, or None when there is nothing to show now.
        timeout bounds the wait in seconds (None: as long as it takes);
        with_time=True returns (picture, seconds), the picture's own time."""
    def get_fps(self) -> float:
        """Pictures per second of the video stream; 30.0 when unknown."""
    def get_duration(self) -> float:
        """Length of the input in seconds, as its container gives it at opening; 0.0
        when unknown. Never less than get_position(): a file still being written, or
        recordings joined into one whose timestamps jump (where the container's figure
        counts the jump, or only the last piece), grows with the position as it plays
        on past that figure."""
    def get_position(self) -> float:
        """Playback position in seconds from the input's start (0.0 is its first
        picture or sound, whatever its own timestamps say): the sound's clock, or the
        last picture's time without sound. Across a timestamp jump in a format that
        allows them (joined MPEG-TS recordings, broadcast splices) it keeps counting
        the time played, the part after the jump following on from the part before.
        After a seek it counts from the target by the input's own timestamps, and a
        join met later follows on from there."""
    def seek(self, seconds: float) -> None:
        """Moves playback to the given second from the input's start (negative or NaN: 0)
        and waits until done. On an input with timestamp jumps the target is found by
        the input's own timestamps, which past a jump no longer match the position."""
    def pause(self) -> None:
        """Holds the sound and with it the pictures; resume() goes on."""
    def resume(self) -> None:
        """Goes on after pause()."""
    def set_volume(self, volume: float) -> None:
        """Sets the gain; 0 or less (or NaN) is silence, there is no upper bound."""
    def get_volume(self) -> float:
        """The current gain; 1.0 for an input without sound."""
    def set_speed(self, factor: float) -> None:
        """Plays at `factor` times the normal speed, 0.25 to 4.0 (else, or NaN,
        ValueError), the sound with its pitch kept; the pictures and
        get_position() follow. Kept across seek, pause and stop/start."""
    def get_speed(self) -> float:
        """The playback speed (1.0 by default)."""
    def get_latency(self) -> float | None:
        """With latency=: the seconds playback stands behind the newest moment
        read from the live input, as the decoder steers it; None without
        latency= or before anything is read."""
    def step(self, count: int = 1) -> None:
        """Pauses, then moves by `count` pictures (negative: back) and makes the
        picture there the next that get_next_frame() returns, at once;
        get_position() becomes its time. No sound plays; resume() plays on
        from it. Stops at the first and the last picture. Counts from the
        picture last handed out or stepped to, after a seek from the first
        picture at or after the target. RuntimeError when not started or
        without video."""
    def is_buffering(self) -> bool:
        """True while reading ahead before playback (re)starts, or while a seek is under way;
        false once the input has ended and its last sound has played, until a seek."""
    def is_finished(self) -> bool:
        """True once the input has ended, every picture has been handed out or dropped and
        the sound has played out; false before start() and again after a seek back."""
    def has_audio(self) -> bool:
        """True when a sound stream is played."""
    def has_video(self) -> bool:
        """True when the input has a video stream whose pictures come out."""
    def get_size(self) -> tuple[int, int]:
        """(width, height) of the pictures handed out; (0, 0) without video."""
    def get_streams(self) -> list[_StreamInfo]:
        """Every stream of the input: index, type, codec, language, title, default;
        width, height and fps for video; sample_rate and channels for audio;
        selected: whether this decoder plays it."""
    def get_picture_counts(self) -> _PictureCounts:
        """Pictures since the decoder was made: shown (handed out), dropped (late,
        never handed out) and, of those, skipped (not even decoded, while decoding
        ran behind the sound or the real-time clock)."""
    @staticmethod
    def audio_devices() -> list[_AudioDevice]:
        """The playback devices of the sound backend: name (its description), id (the
        name the system gives it: PulseAudio's sink name, ALSA's PCM name; '' where
        there is none), backend, and whether it is the default. audio_device= takes
        the name or the id."""
    def __iter__(self) -> MediaDecoder: ...
    def __next__(self) -> _Picture: ...
    def __enter__(self) -> MediaDecoder: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: types.TracebackType | None,
    ) -> None: ...
