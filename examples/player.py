#!/usr/bin/env python3
"""A small media player built on reelpipe.

With a display it opens a window (pygame), scaled down to fit the screen, and
draws each picture as it falls due: space pauses and resumes, left/right seek
5 s back/forward, up/down change the volume, [ and ] halve and double the
speed (the sound keeps its pitch), comma and period step one picture back and
forward (paused), q quits.  Without a display, or
with --headless, it plays the input in real time, prints one progress line,
then a report (pictures, sync error, CPU and memory) and writes a contact
sheet PNG.

    python examples/player.py [--headless] [--seconds N] [--sheet PATH] [--speed F]
                              [--no-audio] [--picture-memory MB] [--loop] [INPUT]

With no INPUT it plays the generated sample clip (tools/make_clips.py).
"""

from __future__ import annotations

import argparse
import collections
import math
import os
import resource
import sys
import time
from pathlib import Path

import numpy as np

import reelpipe

ROOT = Path(__file__).resolve().parent.parent
WAIT = 0.03          # longest wait for a picture, so that the window answers keys meanwhile
SEEK_STEP = 5.0
VOLUME_STEP = 0.1
BAR = 24             # height of the window's status line
MIN_WIDTH = 480      # the status line needs this much even for a small picture
SHEET_COLUMNS = 4
SHEET_MAX = 16
THUMBNAIL = (320, 320)
GAP = 4


class Playback:
    """Takes the pictures of a started decoder as they fall due.

    The decoder paces them: against the sound, and without sound by its own
    wall clock (it is opened with realtime=True), through pauses and seeks.
    """

    def __init__(self, decoder: reelpipe.MediaDecoder) -> None:
        self.decoder = decoder
        self.paused = False
        self.sync_errors: list[float] = []   # picture time - position, as each is shown

    def position(self) -> float:
        return self.decoder.get_position()

    def finished(self) -> bool:
        return self.decoder.is_finished()

    def next_picture(self, wait: float):
        """(picture, time) once the next picture is due, or None when none falls due within `wait` seconds."""
        deadline = time.monotonic() + wait
        item = self.decoder.get_next_frame(timeout=wait, with_time=True)
        if item is None:
            # No pictures, or the input is over: None comes at once, and the
            # caller would only ask again.
            time.sleep(max(0.0, deadline - time.monotonic()))
            return None
        if item[1] is not None:
            self.sync_errors.append(item[1] - self.position())
        return item

    def pause(self) -> None:
        self.decoder.pause()
        self.paused = True

    def resume(self) -> None:
        self.paused = False
        self.decoder.resume()

    def seek(self, seconds: float) -> None:
        self.decoder.seek(seconds)


def fit(size: tuple[int, int], bounds: tuple[float, float]) -> tuple[int, int]:
    """`size` scaled down, keeping its shape, to lie within `bounds`."""
    scale = min(1.0, bounds[0] / size[0], bounds[1] / size[1])
    return max(1, round(size[0] * scale)), max(1, round(size[1] * scale))


def to_surface(pygame, picture: np.ndarray):
    """A surface over the picture's memory; over a packed copy when its rows are padded."""
    height, width = picture.shape[:2]
    return pygame.image.frombuffer(np.ascontiguousarray(picture), (width, height), "RGB")


def import_pygame():
    os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
    try:
        import pygame
    except ImportError:
        return None
    return pygame


def status(decoder: reelpipe.MediaDecoder, playback: Playback) -> str:
    duration = decoder.get_duration()
    total = f" / {duration:6.2f}" if duration > 0 else ""
    state = ("ended" if playback.finished() else "paused" if playback.paused
             else "buffering" if decoder.is_buffering() else "")
    return f"{playback.position():6.2f}{total} s   {state:9s}"


def play_headless(decoder: reelpipe.MediaDecoder, name: str, seconds: float | None, sheet: Path) -> int:
    width, height = decoder.get_size()
    pictures = f"{width}x{height} at {decoder.get_fps():.3f} fps" if decoder.has_video() else "no pictures"
    print(f"playing {name}: {pictures}, {decoder.get_duration():.2f} s, "
          f"{'with' if decoder.has_audio() else 'without'} sound", flush=True)
    pygame = import_pygame()
    sheet_every = max(2.0, decoder.get_duration() / SHEET_MAX)
    thumbnails, next_thumbnail = [], 0.0
    shown, times = 0, []
    playback = Playback(decoder)
    cpu_before, began, printed = cpu_seconds(), time.monotonic(), 0.0
    decoder.start()
    try:
        while not playback.finished() and (seconds is None or time.monotonic() - began < seconds):
            item = playback.next_picture(0.1)
            if time.monotonic() - printed >= 0.1:
                printed = time.monotonic()
                print(f"\r  {status(decoder, playback)}   pictures {shown:5d}", end="", flush=True)
            if item is None:
                continue
            picture, t = item
            shown += 1
            if t is None:
                continue
            times.append(t)
            if pygame and t >= next_thumbnail and len(thumbnails) < SHEET_MAX:
                surface = to_surface(pygame, picture)
                thumbnails.append(pygame.transform.smoothscale(surface, fit(surface.get_size(), THUMBNAIL)))
                next_thumbnail = t + sheet_every
    except KeyboardInterrupt:
        pass
    played = playback.position()
    wall, cpu = time.monotonic() - began, cpu_seconds() - cpu_before
    print()
    print(f"played {played:.2f} s of media in {wall:.2f} s")
    step = f"; longest step between picture times {np.diff(times).max() * 1000:.1f} ms" if len(times) > 1 else ""
    print(f"pictures: {shown} shown{step}")
    if playback.sync_errors:
        errors = np.array(playback.sync_errors) * 1000
        print(f"sync error (picture time - position): p50 {np.percentile(errors, 50):+.1f} ms, "
              f"p99 {np.percentile(errors, 99):+.1f} ms, worst late {errors.min():+.1f} ms")
    print(f"cpu: {cpu / played if played > 0 else math.nan:.3f} s per media second ({cpu:.2f} s in all)")
    print(f"peak memory: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.1f} MB")
    if thumbnails:
        save_contact_sheet(pygame, sheet, thumbnails)
        print(f"contact sheet: {sheet} ({len(thumbnails)} pictures, one every {sheet_every:.1f} s)")
    elif pygame is None:
        print("no contact sheet: pygame is not installed")
    return 0


def save_contact_sheet(pygame, path: Path, thumbnails: list) -> None:
    """Lays the thumbnails out in rows on a dark background and writes them as a PNG."""
    width = max(t.get_width() for t in thumbnails) + GAP
    height = max(t.get_height() for t in thumbnails) + GAP
    columns = min(SHEET_COLUMNS, math.ceil(math.sqrt(len(thumbnails))))
    rows = math.ceil(len(thumbnails) / columns)
    sheet = pygame.Surface((columns * width + GAP, rows * height + GAP))
    sheet.fill((32, 32, 32))
    for n, thumbnail in enumerate(thumbnails):
        sheet.blit(thumbnail, (GAP + (n % columns) * width, GAP + (n // columns) * height))
    path.parent.mkdir(parents=True, exist_ok=True)
    pygame.image.save(sheet, str(path))


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def play_window(decoder: reelpipe.MediaDecoder, name: str, seconds: float | None, pygame) -> int:
    pygame.display.init()
    pygame.font.init()
    pygame.display.set_caption(f"reelpipe - {name}")
    screen_width, screen_height = pygame.display.get_desktop_sizes()[0]
    # Room for the window's frame and the desktop's panels.
    bounds = (screen_width * 0.9, screen_height * 0.9 - BAR)
    area = fit(decoder.get_size(), bounds) if decoder.has_video() else (MIN_WIDTH, 0)
    screen = pygame.display.set_mode((max(area[0], MIN_WIDTH), area[1] + BAR))
    font = pygame.font.Font(None, 22)
    playback = Playback(decoder)
    shown: collections.deque[float] = collections.deque()  # when the last second's pictures were shown
    duration = decoder.get_duration()

    def on_key(key: int) -> None:
        if key == pygame.K_SPACE and playback.paused:
            playback.resume()
        elif key == pygame.K_SPACE:
            playback.pause()
        elif key in (pygame.K_LEFT, pygame.K_RIGHT):
            target = max(0.0, playback.position() + (SEEK_STEP if key == pygame.K_RIGHT else -SEEK_STEP))
            playback.seek(min(target, duration) if duration > 0 else target)
        elif key in (pygame.K_LEFTBRACKET, pygame.K_RIGHTBRACKET):
            factor = decoder.get_speed() * (2.0 if key == pygame.K_RIGHTBRACKET else 0.5)
            decoder.set_speed(min(4.0, max(0.25, factor)))
        elif key in (pygame.K_COMMA, pygame.K_PERIOD) and decoder.has_video():
            decoder.step(1 if key == pygame.K_PERIOD else -1)
            playback.paused = True
        elif key in (pygame.K_UP, pygame.K_DOWN) and decoder.has_audio():
            step = VOLUME_STEP if key == pygame.K_UP else -VOLUME_STEP
            decoder.set_volume(min(2.0, max(0.0, round(decoder.get_volume() + step, 2))))

    began = time.monotonic()
    decoder.start()
    try:
        while seconds is None or time.monotonic() - began < seconds:
            for event in pygame.event.get():
                if event.type == pygame.QUIT or (event.type == pygame.KEYDOWN
                                                 and event.key in (pygame.K_q, pygame.K_ESCAPE)):
                    return 0
                if event.type == pygame.KEYDOWN:
                    on_key(event.key)
            item = playback.next_picture(WAIT)
            now = time.monotonic()
            if item is not None:
                # Every picture has the size get_size() tells: the area was fitted to it.
                surface = to_surface(pygame, item[0])
                if surface.get_size() != area:
                    surface = pygame.transform.scale(surface, area)
                screen.blit(surface, ((screen.get_width() - area[0]) // 2, 0))
                shown.append(now)
            while shown and now - shown[0] > 1.0:
                shown.popleft()
            rate = f"{len(shown):3d} fps   " if decoder.has_video() else ""
            volume = f"volume {decoder.get_volume():.1f}" if decoder.has_audio() else ""
            text = f"{status(decoder, playback)}   {rate}{volume}"
            screen.fill((20, 20, 20), (0, area[1], screen.get_width(), BAR))
            screen.blit(font.render(text, True, (220, 220, 220)), (6, area[1] + 4))
            pygame.display.flip()
    except KeyboardInterrupt:
        pass
    finally:
        pygame.quit()
    return 0


def sample_clip() -> str:
    sys.path.insert(0, str(ROOT / "tools"))
    from make_clips import clip_path
    return clip_path("sample")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input", nargs="?", help="file or URL to play (default: the generated sample clip)")
    parser.add_argument("--headless", action="store_true", help="no window: play, then print a report")
    parser.add_argument("--seconds", type=float, default=None, help="stop after this many seconds")
    parser.add_argument("--sheet", type=Path, default=ROOT / "build" / "contact_sheet.png",
                        help="where the headless run writes its contact sheet (default: %(default)s)")
    parser.add_argument("--no-audio", action="store_true",
                        help="leave the sound out and open no playback device")
    parser.add_argument("--speed", type=float, default=1.0,
                        help="playback speed, 0.25 to 4.0, the sound's pitch kept (default: %(default)s)")
    parser.add_argument("--loop", action="store_true", help="play the input again from the start at its end")
    parser.add_argument("--picture-memory", type=float, metavar="MB",
                        help="hold at most this many MiB of decoded pictures ready (default: the module's)")
    args = parser.parse_args(argv)

    path = args.input or sample_clip()
    # A player wants the pictures of an input without sound in real time too.
    options = {"audio": not args.no_audio, "realtime": True, "loop": args.loop}
    if args.picture_memory is not None:
        options["max_picture_memory"] = int(args.picture_memory * 2**20)
    try:
        decoder = reelpipe.MediaDecoder(path, **options)
        decoder.set_speed(args.speed)
    except (RuntimeError, ValueError) as exc:
        reasons = "".join(f" ({note})" for note in getattr(exc, "__notes__", ()))
        print(f"player: {exc}{reasons}", file=sys.stderr)
        return 1
    name = path if "://" in path else Path(path).name

    pygame = None
    if not args.headless and (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        pygame = import_pygame()
        if pygame is None:
            print("player: pygame is not installed; playing headless", file=sys.stderr)
    with decoder:
        if pygame is None:
            return play_headless(decoder, name, args.seconds, args.sheet)
        return play_window(decoder, name, args.seconds, pygame)


if __name__ == "__main__":
    sys.exit(main())
