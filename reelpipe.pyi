"""Plays one media input: FFmpeg decoding, sound through the default playback
device, pictures handed out as NumPy arrays when they are due."""

import typing

import numpy
import numpy.typing

class MediaDecoder:
    """One media input (file or URL) and its playback."""

    def __init__(self, arg0: str | bytes | bytearray, /) -> None:
        """Opens and probes the input; RuntimeError when it cannot be opened or probed."""
    def start(self) -> None:
        """Starts reading, decoding and the sound; after stop(), starts again where it stood."""
    def stop(self) -> None:
        """Ends playback and releases the sound device; safe to call more than once."""
    def get_next_frame(self) -> numpy.typing.NDArray[numpy.uint8] | None:
        """The next picture once it is due, as a (height, width, 3) RGB array over the
        picture's own memory, or None when there is nothing to show now (not started,
        a seek pending, the input ended, or no pictures in the input)."""
    def get_fps(self) -> float:
        """Pictures per second of the video stream; 30.0 when unknown."""
    def get_duration(self) -> float:
        """Length of the input in seconds; 0.0 when unknown."""
    def get_position(self) -> float:
        """Playback position in seconds: the sound's clock, or the last picture's time without sound."""
    def seek(self, arg0: typing.SupportsFloat | typing.SupportsIndex, /) -> None:
        """Moves playback to the given second (negative or NaN: 0) and waits until done."""
    def pause(self) -> None: ...
    def resume(self) -> None: ...
    def set_volume(self, arg0: typing.SupportsFloat | typing.SupportsIndex, /) -> None:
        """Sets the gain; 0 or less (or NaN) is silence, there is no upper bound."""
    def get_volume(self) -> float:
        """The current gain; 1.0 for an input without sound."""
    def is_buffering(self) -> bool:
        """True while reading ahead before playback (re)starts, or while a seek is under way."""
