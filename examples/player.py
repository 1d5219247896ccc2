#!/usr/bin/env python3
"""A small media player built on reelpipe.

With a display it opens a window (pygame) and draws each picture as it comes:
space pauses and resumes, left/right seek 5 s back/forward, up/down change the
volume, q quits.  Without a display, or with --headless, it plays the input in
real time, prints one progress line, then a report (pictures delivered and
dropped, sync error, CPU and memory) and writes a contact sheet PNG.

    python examples/player.py [--headless] [--seconds N] [--sheet PATH] [INPUT]

With no INPUT it plays the generated sample clip (tools/make_clips.py).
"""

from __future__ import annotations

import argparse
import math
import os
import resource
import struct
import sys
import time
import zlib
from pathlib import Path

import numpy as np

import reelpipe

ROOT = Path(__file__).resolve().parent.parent
SEEK_STEP = 5.0
VOLUME_STEP = 0.1
LATE = 0.1             # a picture more than this late is dropped, as the module does with sound
ENDED_AFTER = 1.0      # no picture and a standing position for this long: the input is over
GIVE_UP_AFTER = 5.0    # ... or for this long even while the module says it is buffering
SHEET_COLUMNS = 4
SHEET_MAX = 16


def sample_clip() -> str:
    sys.path.insert(0, str(ROOT / "tools"))
    from make_clips import clip_path
    return clip_path("sample")


def has_sound(decoder: reelpipe.MediaDecoder) -> bool:
    """True when the input plays sound: only then does the volume take a value."""
    before = decoder.get_volume()
    decoder.set_volume(0.5)
    audible = abs(decoder.get_volume() - 0.5) < 1e-3
    decoder.set_volume(before)
    return audible


class PlaybackClock:
    """Where playback stands and which picture time the picture just handed out has.

    With sound the module paces pictures against the sound and the position is
    the sound's; a picture's own time is not handed out with it, so it is placed
    on the stream's picture grid (one slot every 1/fps s): the next slot, unless
    that one would have been too late and the module dropped it.  Without sound
    the module hands pictures out at once, the position is the time of the last
    one, and this clock paces them by the wall clock instead.
    """

    def __init__(self, decoder: reelpipe.MediaDecoder, fps: float, sound: bool) -> None:
        self.decoder = decoder
        self.interval = 1.0 / fps
        self.sound = sound
        self.slot: int | None = None         # grid slot of the last picture (with sound)
        self.last_time: float | None = None  # time of the last picture
        self.origin: float | None = None     # wall time of media time 0 (without sound)
        self.paused_at: float | None = None

    def restart(self) -> None:
        """Forgets the pictures so far: after a seek the next one starts a new run."""
        self.slot = self.last_time = self.origin = None

    def position(self) -> float:
        if self.sound or self.origin is None:
            return self.decoder.get_position()
        return (self.paused_at or time.monotonic()) - self.origin

    def played(self) -> float:
        """Media seconds played: the sound's position, or up to the end of the last picture."""
        if self.sound:
            return self.decoder.get_position()
        return 0.0 if self.last_time is None else self.last_time + self.interval

    def pause(self) -> None:
        self.paused_at = time.monotonic()

    def resume(self) -> None:
        if self.paused_at is not None and self.origin is not None:
            self.origin += time.monotonic() - self.paused_at
        self.paused_at = None

    def place(self, position: float) -> tuple[float, int]:
        """The time of the picture just handed out, and how many pictures before it were skipped.

        `position` is get_position() read right after get_next_frame() returned.
        """
        if not self.sound:
            t = position
            skipped = 0 if self.last_time is None else max(0, round((t - self.last_time) / self.interval) - 1)
            if self.origin is None:
                self.origin = time.monotonic() - t
            self.last_time = t
            return t, skipped
        first_possible = math.ceil((position - LATE) / self.interval - 1e-6)
        if self.slot is None:
            slot, skipped = max(0, first_possible), 0
        else:
            slot = max(self.slot + 1, first_possible)
            skipped = slot - self.slot - 1
        self.slot = slot
        self.last_time = slot * self.interval
        return self.last_time, skipped

    def wait_until_due(self, t: float, idle=None) -> bool:
        """Without sound, waits until picture time t; False if it is already too late to show.

        idle() is called meanwhile; when it returns True the wait ends at once.
        """
        while not self.sound and self.origin is not None:
            ahead = t - (time.monotonic() - self.origin)
            if ahead < -LATE:
                return False
            if ahead <= 0.0 or (idle is not None and idle()):
                break
            time.sleep(min(ahead, 0.005))
        return True


class EndWatch:
    """Tells when the input is over: no pictures while the position stands still."""

    def __init__(self) -> None:
        self.position: float | None = None
        self.since = time.monotonic()

    def moved(self) -> None:
        self.since = time.monotonic()

    def ended(self, position: float, buffering: bool) -> bool:
        now = time.monotonic()
        if position != self.position:
            self.position, self.since = position, now
            return False
        standing = now - self.since
        return standing >= GIVE_UP_AFTER or (standing >= ENDED_AFTER and not buffering)


class Stats:
    """What the report tells: pictures, drops, sync error, and the contact sheet's pictures."""

    def __init__(self, sheet_every: float) -> None:
        self.delivered = 0
        self.dropped = 0
        self.sync_errors: list[float] = []
        self.sheet_every = sheet_every
        self.thumbnails: list[np.ndarray] = []
        self.next_thumbnail = 0.0
        self.size: tuple[int, int] | None = None

    def picture(self, picture: np.ndarray, t: float, position: float, skipped: int) -> None:
        self.delivered += 1
        self.dropped += skipped
        self.sync_errors.append(t - position)
        self.size = (picture.shape[1], picture.shape[0])
        if t >= self.next_thumbnail and len(self.thumbnails) < SHEET_MAX:
            self.thumbnails.append(thumbnail(picture))
            self.next_thumbnail = t + self.sheet_every


def thumbnail(picture: np.ndarray, width: int = 320) -> np.ndarray:
    step = max(1, math.ceil(picture.shape[1] / width))
    return np.ascontiguousarray(picture[::step, ::step])


def contact_sheet(thumbnails: list[np.ndarray], columns: int = SHEET_COLUMNS, gap: int = 4) -> np.ndarray:
    """Lays the thumbnails out in rows on a dark background."""
    h = max(t.shape[0] for t in thumbnails)
    w = max(t.shape[1] for t in thumbnails)
    columns = min(columns, math.ceil(math.sqrt(len(thumbnails))))
    rows = math.ceil(len(thumbnails) / columns)
    sheet = np.full((rows * (h + gap) + gap, columns * (w + gap) + gap, 3), 32, np.uint8)
    for n, thumb in enumerate(thumbnails):
        y = gap + (n // columns) * (h + gap)
        x = gap + (n % columns) * (w + gap)
        sheet[y:y + thumb.shape[0], x:x + thumb.shape[1]] = thumb
    return sheet


def write_png(path: Path, rgb: np.ndarray) -> None:
    """Writes an RGB uint8 image as a PNG: no filter, one zlib stream."""
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    height, width, _ = rgb.shape
    rows = np.hstack([np.zeros((height, 1), np.uint8), rgb.reshape(height, width * 3)])
    png = (b"\x89PNG\r\n\x1a\n"
           + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(rows.tobytes(), 6))
           + chunk(b"IEND", b""))
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(png)


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def format_ms(seconds: float) -> str:
    return f"{seconds * 1000:+.1f} ms"


# ---------------------------------------------------------------- headless


def play_headless(decoder: reelpipe.MediaDecoder, name: str, seconds: float | None, sheet: Path) -> int:
    fps, duration, sound = decoder.get_fps(), decoder.get_duration(), has_sound(decoder)
    clock = PlaybackClock(decoder, fps, sound)
    stats = Stats(sheet_every=max(2.0, duration / SHEET_MAX))
    watch = EndWatch()
    print(f"playing {name}: {fps:.3f} fps, {duration:.2f} s, {'with' if sound else 'without'} sound", flush=True)

    cpu_before, began = cpu_seconds(), time.monotonic()
    decoder.start()
    shown_at = 0.0
    try:
        while seconds is None or time.monotonic() - began < seconds:
            picture = decoder.get_next_frame()
            position = decoder.get_position()
            now = time.monotonic()
            if now - shown_at >= 0.1:
                shown_at = now
                progress(clock.position(), duration, stats, decoder.is_buffering())
            if picture is None:
                if watch.ended(position, decoder.is_buffering()):
                    break
                time.sleep(0.005)
                continue
            watch.moved()
            t, skipped = clock.place(position)
            if not clock.wait_until_due(t):
                stats.dropped += skipped + 1
                continue
            # With sound the position read at the hand-over is the one to compare
            # with; without it, the wall clock at which the picture is shown.
            stats.picture(picture, t, position if sound else clock.position(), skipped)
    except KeyboardInterrupt:
        pass
    finally:
        played = clock.played()
        decoder.stop()
    wall = time.monotonic() - began
    cpu = cpu_seconds() - cpu_before
    progress(played, duration, stats, False)
    print()
    report(stats, played, wall, cpu, sheet)
    return 0


def progress(position: float, duration: float, stats: Stats, buffering: bool) -> None:
    total = f" / {duration:6.2f}" if duration > 0 else ""
    line = (f"\r  {position:6.2f}{total} s   pictures {stats.delivered:5d}   dropped {stats.dropped:4d}"
            f"   {'buffering' if buffering else '         '}")
    sys.stdout.write(line)
    sys.stdout.flush()


def report(stats: Stats, played: float, wall: float, cpu: float, sheet: Path) -> None:
    size = f"{stats.size[0]}x{stats.size[1]}" if stats.size else "no pictures"
    print(f"played {played:.2f} s of media in {wall:.2f} s ({size})")
    print(f"pictures: {stats.delivered} delivered, {stats.dropped} dropped")
    if stats.sync_errors:
        errors = np.array(stats.sync_errors)
        print(f"sync error (picture time - position): p50 {format_ms(np.percentile(errors, 50))}, "
              f"p99 {format_ms(np.percentile(errors, 99))}, worst late {format_ms(errors.min())}")
    per_second = cpu / played if played > 0 else float("nan")
    print(f"cpu: {per_second:.3f} s per media second ({cpu:.2f} s in all)")
    print(f"peak memory: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.1f} MB")
    if stats.thumbnails:
        write_png(sheet, contact_sheet(stats.thumbnails))
        print(f"contact sheet: {sheet} ({len(stats.thumbnails)} pictures, one every {stats.sheet_every:.1f} s)")


# ---------------------------------------------------------------- window


def play_window(decoder: reelpipe.MediaDecoder, name: str, seconds: float | None, pygame) -> int:
    fps, duration, sound = decoder.get_fps(), decoder.get_duration(), has_sound(decoder)
    clock = PlaybackClock(decoder, fps, sound)
    watch = EndWatch()
    bar = 24
    pygame.display.init()
    pygame.font.init()
    pygame.display.set_caption(f"reelpipe - {name}")
    screen = pygame.display.set_mode((640, 360 + bar))
    font = pygame.font.Font(None, 22)
    size: tuple[int, int] | None = None
    current = None          # the picture on screen; its surface reads the array's memory
    paused = ended = quit_requested = False
    seeks = 0
    volume = 1.0
    shown: list[float] = []  # wall times of the last second's pictures, for the fps shown

    def status() -> None:
        w, h = screen.get_size()
        screen.fill((20, 20, 20), (0, h - bar, w, bar))
        total = f" / {duration:.2f}" if duration > 0 else ""
        state = "paused" if paused else "ended" if ended else "buffering" if decoder.is_buffering() else ""
        text = (f"{clock.position():7.2f}{total} s    {len(shown):3d} fps    "
                f"volume {volume:.1f}    {state}")
        screen.blit(font.render(text, True, (220, 220, 220)), (6, h - bar + 4))

    def handle_events() -> bool:
        """Acts on the window's events; True when one of them changed what plays."""
        nonlocal paused, volume, ended, quit_requested, seeks
        changed = False
        for event in pygame.event.get():
            if event.type == pygame.QUIT:
                quit_requested = True
            if event.type != pygame.KEYDOWN:
                continue
            changed = True
            if event.key in (pygame.K_q, pygame.K_ESCAPE):
                quit_requested = True
            elif event.key == pygame.K_SPACE:
                paused = not paused
                if paused:
                    decoder.pause()
                    clock.pause()
                else:
                    clock.resume()
                    decoder.resume()
            elif event.key in (pygame.K_LEFT, pygame.K_RIGHT):
                step = SEEK_STEP if event.key == pygame.K_RIGHT else -SEEK_STEP
                target = max(0.0, clock.position() + step)
                if duration > 0:
                    target = min(target, max(0.0, duration - 0.5))
                decoder.seek(target)
                seeks += 1
                clock.restart()
                watch.moved()
                ended = False
            elif event.key in (pygame.K_UP, pygame.K_DOWN):
                step = VOLUME_STEP if event.key == pygame.K_UP else -VOLUME_STEP
                volume = min(2.0, max(0.0, round(volume + step, 2)))
                decoder.set_volume(volume)
        return changed or quit_requested

    began = time.monotonic()
    decoder.start()
    try:
        while seconds is None or time.monotonic() - began < seconds:
            handle_events()
            if quit_requested:
                break
            if paused or ended:
                status()
                pygame.display.flip()
                time.sleep(0.03)
                continue
            picture = decoder.get_next_frame()
            position = decoder.get_position()
            if picture is None:
                ended = watch.ended(position, decoder.is_buffering())
                status()
                pygame.display.flip()
                time.sleep(0.005)
                continue
            watch.moved()
            t, _ = clock.place(position)
            seeks_before = seeks
            shown_in_time = clock.wait_until_due(t, idle=handle_events)
            if quit_requested:
                break
            if not shown_in_time or seeks != seeks_before:
                continue  # too late, or from before a seek made while it waited
            h, w = picture.shape[:2]
            if size != (w, h):
                size = (w, h)
                screen = pygame.display.set_mode((w, h + bar))
            # The surface reads the array's own memory: no copy until the blit.
            surface = pygame.image.frombuffer(picture, (w, h), "RGB")
            current = (picture, surface)
            screen.blit(current[1], (0, 0))
            now = time.monotonic()
            shown.append(now)
            while shown and now - shown[0] > 1.0:
                shown.pop(0)
            status()
            pygame.display.flip()
    except KeyboardInterrupt:
        pass
    finally:
        decoder.stop()
        pygame.quit()
    return 0


# ---------------------------------------------------------------- main


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input", nargs="?", help="file or URL to play (default: the generated sample clip)")
    parser.add_argument("--headless", action="store_true", help="no window: play, then print a report")
    parser.add_argument("--seconds", type=float, default=None, help="stop after this many seconds")
    parser.add_argument("--sheet", type=Path, default=ROOT / "build" / "contact_sheet.png",
                        help="where the headless run writes its contact sheet (default: %(default)s)")
    args = parser.parse_args(argv)

    path = args.input or sample_clip()
    try:
        decoder = reelpipe.MediaDecoder(path)
    except RuntimeError as exc:
        print(f"player: {exc}", file=sys.stderr)
        return 1
    name = Path(path).name if "://" not in path else path

    pygame = None
    if not args.headless and (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        try:
            os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
            import pygame
        except ImportError:
            print("player: pygame is not installed; playing headless", file=sys.stderr)
    if pygame is None:
        return play_headless(decoder, name, args.seconds, args.sheet)
    return play_window(decoder, name, args.seconds, pygame)


if __name__ == "__main__":
    sys.exit(main())
