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
    def seek(self, arg0: typing.SupportsFloat | typing.SupportsIndex, /) -> None:
        """Moves playback to the given second from the input's start (negative or NaN: 0)
        and waits until done. On an input with timestamp jumps the target is found by
        the input's own timestamps, which past a jump no longer match the position."""
    def pause(self) -> None: ...
    def resume(self) -> None: ...
    def set_volume(self, arg0: typing.SupportsFloat | typing.SupportsIndex, /) -> None:
        """Sets the gain; 0 or less (or NaN) is silence, there is no upper bound."""
    def get_volume(self) -> float:
        """The current gain; 1.0 for an input without sound."""
    def is_buffering(self) -> bool:
        """True while reading ahead before playback (re)starts, or while a seek is under way;
        false once the input has ended and its last sound has played, until a seek."""
