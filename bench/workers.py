#!/usr/bin/env python3
"""One measurement of one tool, in a process of its own.

    python bench/workers.py '{"measure": "throughput", "tool": "pyav", "clip": "...", ...}'

The suite (bench/suite.py) runs every measurement through this file, each in a
fresh interpreter, so that one tool's libraries, threads and memory never
weigh on another's figures and ru_maxrss is the peak of that run alone. The
result is one JSON object on the last line of stdout, after "RESULT ".

Tools: reelpipe, pyav (PyAV), opencv (cv2.VideoCapture), ffpyplayer
(MediaPlayer). Every picture is read through the index the clip draws into
its corner (bench/clips.py), so a tool that skips, repeats or reorders
pictures is caught, and the caller touches a few pixels of every picture, as
a real consumer would.

Timing: time.perf_counter() for wall time; getrusage(RUSAGE_SELF) user +
system for CPU, which counts every thread of the process (decoder threads,
the sound device's, the interpreter's).
"""

from __future__ import annotations

import json
import random
import resource
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from clips import picture_index  # noqa: E402

now = time.perf_counter
# A caller that finds nothing ready sleeps this long before asking again,
# rather than spinning on a core the decoder needs.
IDLE = 0.001


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def page_faults() -> int:
    """Minor page faults so far: each is a fresh page the kernel had to zero."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def stored_width(clip: str) -> int:
    """The width of the clip's pictures, as ffprobe reads it."""
    import subprocess
    return int(subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width",
                               "-of", "csv=p=0", clip], capture_output=True, text=True, check=True).stdout)


def ffpyplayer_array(image):
    """A NumPy view of an ffpyplayer rgb24 or rgba Image, rows cut to the picture's width."""
    import numpy as np
    width, height = image.get_size()
    channels = 4 if image.get_pixel_format() == "rgba" else 3
    plane = np.frombuffer(image.to_memoryview()[0], np.uint8)
    return plane.reshape(height, -1)[:, :width * channels].reshape(height, width, channels)


class Sequence:
    """Checks pictures arrive once each, in order, from index 0 on."""

    def __init__(self) -> None:
        self.count = 0
        self.wrong = 0
        self.repeats = 0
        self.last = -1

    def add(self, index: int) -> bool:
        """Counts a picture; False for a repeat of the one before (not counted)."""
        if index == self.last:
            self.repeats += 1
            return False
        if index != self.last + 1:
            self.wrong += 1
        self.last = index
        self.count += 1
        return True


# ------------------------------------------------------------------ throughput
# Unpaced: the clip has no sound, and each tool is asked for pictures as fast
# as it hands them out. The clock runs from opening the input to the last
# picture held as an array.


class Unpaced:
    """One unpaced run: checks the pictures and times them from opening on.

    result() is taken after the last picture and before the tool is closed,
    so closing costs nothing in the figures.
    """

    def __init__(self) -> None:
        self.seq = Sequence()
        self.cpu0, self.faults0 = cpu_seconds(), page_faults()
        self.began = now()
        self.first = None

    def add(self, picture, scale: float = 1.0) -> None:
        self.seq.add(picture_index(picture, scale=scale))
        if self.first is None:
            self.first = now() - self.began

    def result(self) -> dict:
        return {"pictures": self.seq.count, "seconds": now() - self.began, "first": self.first,
                "wrong": self.seq.wrong, "repeats": self.seq.repeats, "cpu": cpu_seconds() - self.cpu0,
                "faults": page_faults() - self.faults0}


# `scaled`: (width, height) of RGBA pictures asked for in place of rgb24 at
# the clip's own size, each tool scaling with its own means; the index is read
# at that scale.


def throughput_reelpipe(clip: str, pictures: int, options: dict | None = None, scaled: list | None = None) -> dict:
    import reelpipe
    run = Unpaced()
    options = dict(options or {}, **({"size": scaled, "pixel_format": "rgba"} if scaled else {}))
    decoder = reelpipe.MediaDecoder(clip, **options)
    scale = decoder.get_size()[0] / next(s["width"] for s in decoder.get_streams() if s["type"] == "video")
    decoder.start()
    idle_since = None
    while run.seq.count < pictures:
        picture = decoder.get_next_frame()
        if picture is None:
            # None says nothing is ready now, not that the clip is over: the
            # known picture count says that. 10 s without a picture means
            # pictures were lost.
            idle_since = idle_since or now()
            if now() - idle_since > 10.0:
                break
            time.sleep(IDLE)
            continue
        idle_since = None
        run.add(picture, scale)
    result = run.result()
    decoder.stop()
    return result


def throughput_pyav(clip: str, pictures: int, scaled: list | None = None) -> dict:
    import av
    run = Unpaced()
    with av.open(clip) as container:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        scale = scaled[0] / stream.codec_context.width if scaled else 1.0
        for frame in container.decode(stream):
            if scaled:
                run.add(frame.reformat(scaled[0], scaled[1], "rgba").to_ndarray(), scale)
            else:
                run.add(frame.to_ndarray(format="rgb24"))
        return run.result()


def throughput_opencv(clip: str, pictures: int) -> dict:
    import cv2
    run = Unpaced()
    capture = cv2.VideoCapture(clip, cv2.CAP_FFMPEG)
    while True:
        ok, picture = capture.read()  # BGR; the index blocks are grey, so any channel reads
        if not ok:
            break
        run.add(picture)
    result = run.result()
    capture.release()
    return result


def throughput_ffpyplayer(clip: str, pictures: int, scaled: list | None = None) -> dict:
    from ffpyplayer.player import MediaPlayer
    run = Unpaced()
    # The video clock as master and no frame dropping: every picture is handed
    # out as soon as it is decoded; the wait get_frame() suggests is ignored.
    player = MediaPlayer(clip, ff_opts={"out_fmt": "rgba" if scaled else "rgb24", "sync": "video",
                                        "framedrop": False, "an": True})
    scale = 1.0
    if scaled:
        player.set_size(*scaled)
        scale = scaled[0] / stored_width(clip)
    last_picture = now()
    while run.seq.count < pictures:
        frame, value = player.get_frame()
        if value == "eof":
            break
        if frame is None:
            if now() - last_picture > 10.0:
                break
            time.sleep(IDLE)
            continue
        last_picture = now()
        run.add(ffpyplayer_array(frame[0]), scale)
    result = run.result()
    player.close_player()
    return result


# -------------------------------------------------------------------- real time
# The clip with sound, played in real time to the sound device; the caller
# reads the index of every picture it is given. Figures:
#   cpu_total   CPU from before opening to the end, per second of media played
#   cpu_steady  CPU over the second half of the run, per media second: the
#               cost once read-ahead and decode-ahead have filled
#   dropped     pictures due after the first second that never came
#   in_window   share of pictures whose time was inside [pos-0.1, pos+0.01]
#               when they were handed over (pos: the tool's own position)


class RealtimeLog:
    def __init__(self, fps: float, seconds: float) -> None:
        self.fps = fps
        self.seconds = seconds
        self.steady_from = seconds / 2.0
        self.indices: list[int] = []
        self.offsets: list[float] = []  # picture time minus position, at delivery
        self.steady: tuple[float, float] | None = None  # (cpu, position) at steady_from
        self.cpu0 = cpu_seconds()
        self.began = now()
        self.first: float | None = None

    def picture(self, index: int, position: float) -> None:
        if self.first is None:
            self.first = now() - self.began
        self.indices.append(index)
        self.offsets.append(index / self.fps - position)

    def tick(self, position: float) -> None:
        if self.steady is None and position >= self.steady_from:
            self.steady = (cpu_seconds(), position)

    def result(self, position: float, pictures_in_clip: int) -> dict:
        cpu = cpu_seconds()
        wall = now() - self.began
        seen = set(self.indices)
        last = max(seen) if seen else -1
        first_due = int(self.fps)  # pictures of the first second may go while playback settles
        dropped = [i for i in range(first_due, last + 1) if i not in seen]
        inside = sum(1 for o in self.offsets if -0.1 <= o <= 0.01)
        settled = [o for i, o in zip(self.indices, self.offsets) if i >= first_due]
        settled_inside = sum(1 for o in settled if -0.1 <= o <= 0.01)
        steady = None
        if self.steady is not None and position > self.steady[1] + 1.0:
            steady = (cpu - self.steady[0]) / (position - self.steady[1])
        late = sorted(self.offsets)[:3]
        return {
            "pictures": len(self.indices), "distinct": len(seen), "last_index": last,
            "pictures_in_clip": pictures_in_clip, "position": position, "wall": wall,
            "first": self.first, "cpu": cpu - self.cpu0,
            "cpu_total": (cpu - self.cpu0) / position if position > 0 else None,
            "cpu_steady": steady, "dropped": len(dropped), "dropped_first": dropped[:10],
            "in_window": inside / len(self.offsets) if self.offsets else 0.0,
            "in_window_after_1s": settled_inside / len(settled) if settled else 0.0,
            "worst_offsets": late, "repeats": len(self.indices) - len(seen),
        }


def realtime_reelpipe(clip: str, fps: float, seconds: float, pictures: int, options: dict | None = None) -> dict:
    import reelpipe
    log = RealtimeLog(fps, seconds)
    decoder = reelpipe.MediaDecoder(clip, **(options or {}))
    # Pictures asked for smaller carry the index scaled down with them.
    stored_width = next(s["width"] for s in decoder.get_streams() if s["type"] == "video")
    scale = decoder.get_size()[0] / stored_width
    decoder.start()
    deadline = now() + seconds * 2 + 15
    position = 0.0
    while now() < deadline:
        picture = decoder.get_next_frame()
        position = decoder.get_position()
        log.tick(position)
        if picture is not None:
            index = picture_index(picture, scale=scale)
            log.picture(index, position)
            if index >= pictures - 1:
                break
        elif position >= seconds:
            break
        else:
            time.sleep(IDLE)
        if position >= seconds:
            break
    result = log.result(position, pictures)
    decoder.stop()
    return result


def realtime_ffpyplayer(clip: str, fps: float, seconds: float, pictures: int) -> dict:
    from ffpyplayer.player import MediaPlayer
    log = RealtimeLog(fps, seconds)
    player = MediaPlayer(clip, ff_opts={"out_fmt": "rgb24"})
    deadline = now() + seconds * 2 + 15
    position = 0.0
    # The loop of ffpyplayer's own documentation: a picture comes with the
    # time to wait before showing it; nothing ready, ask again in a while.
    while now() < deadline:
        frame, value = player.get_frame()
        if value == "eof":
            break
        # get_pts() crashes the process when asked before the first picture.
        if log.first is not None:
            position = player.get_pts()
            log.tick(position)
        if frame is None:
            if position >= seconds:
                break
            time.sleep(IDLE * 5)
            continue
        if value > 0:
            time.sleep(value)
        image, _ = frame
        position = player.get_pts()
        index = picture_index(ffpyplayer_array(image))
        log.picture(index, position)
        if index >= pictures - 1 or position >= seconds:
            break
    result = log.result(position, pictures)
    player.close_player()
    return result


# ------------------------------------------------------------------------- seek
# From the call that seeks to holding the first picture at or after t - 0.1,
# over the same random targets for every tool. Pictures the tool hands over
# before that one (stale pictures from before the seek) are counted.


def seek_targets(count: int, duration: float, seed: int = 2024) -> list[float]:
    rng = random.Random(seed)
    return [round(rng.uniform(0.5, duration - 1.5), 3) for _ in range(count)]


def _first_picture_reelpipe(decoder, limit: float = 10.0):
    deadline = now() + limit
    while now() < deadline:
        picture = decoder.get_next_frame()
        if picture is not None:
            return picture
        time.sleep(IDLE / 2)
    raise RuntimeError("no picture within 10 s")


def seek_reelpipe(clip: str, fps: float, targets: list[float]) -> dict:
    import reelpipe
    decoder = reelpipe.MediaDecoder(clip)
    decoder.start()
    _first_picture_reelpipe(decoder)
    latencies, stale = [], 0
    for target in targets:
        began = now()
        decoder.seek(target)
        while True:
            index = picture_index(_first_picture_reelpipe(decoder))
            if index / fps >= target - 0.1 - 1e-6:
                break
            stale += 1
        latencies.append(now() - began)
    decoder.stop()
    return {"latencies": latencies, "stale": stale}


def seek_pyav(clip: str, fps: float, targets: list[float]) -> dict:
    import av
    latencies, stale = [], 0
    with av.open(clip) as container:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        next(container.decode(stream)).to_ndarray(format="rgb24")
        for target in targets:
            began = now()
            # Back to the key frame before the target, then decode up to it:
            # PyAV's own way to an exact picture.
            container.seek(int((target - 0.1) / stream.time_base), stream=stream, backward=True)
            for frame in container.decode(stream):
                if frame.time is not None and frame.time >= target - 0.1 - 1e-6:
                    picture = frame.to_ndarray(format="rgb24")
                    if picture_index(picture) / fps < target - 0.1 - 1e-6:
                        stale += 1
                    break
            latencies.append(now() - began)
    return {"latencies": latencies, "stale": stale}


def seek_opencv(clip: str, fps: float, targets: list[float]) -> dict:
    import cv2
    capture = cv2.VideoCapture(clip, cv2.CAP_FFMPEG)
    capture.read()
    latencies, stale = [], 0
    for target in targets:
        began = now()
        # OpenCV seeks to the key frame and decodes forward to the picture
        # asked for; ask for the first picture at or after target - 0.1.
        capture.set(cv2.CAP_PROP_POS_FRAMES, max(0, round((target - 0.1) * fps + 0.4999)))
        ok, picture = capture.read()
        latencies.append(now() - began)
        if not ok or picture_index(picture) / fps < target - 0.1 - 1e-6:
            stale += 1
    capture.release()
    return {"latencies": latencies, "stale": stale}


def seek_ffpyplayer(clip: str, fps: float, targets: list[float]) -> dict:
    from ffpyplayer.player import MediaPlayer
    player = MediaPlayer(clip, ff_opts={"out_fmt": "rgb24"})
    deadline = now() + 10
    while player.get_frame()[0] is None and now() < deadline:
        time.sleep(IDLE)
    latencies, stale, lost = [], 0, 0
    for target in targets:
        began = now()
        player.seek(target, relative=False, accurate=True)
        deadline = began + 10
        while now() < deadline:
            frame, value = player.get_frame()
            if frame is None:
                time.sleep(IDLE / 2)
                continue
            if picture_index(ffpyplayer_array(frame[0])) / fps >= target - 0.1 - 1e-6:
                break
            stale += 1
        else:
            lost += 1
        latencies.append(now() - began)
    player.close_player()
    return {"latencies": latencies, "stale": stale, "lost": lost}


# ------------------------------------------------------------------------ start
# From creating the player or opening the input to holding the first picture
# as an array; several times in one process (the first is the cold one).


def start_reelpipe(clip: str) -> float:
    import reelpipe
    began = now()
    decoder = reelpipe.MediaDecoder(clip)
    decoder.start()
    _first_picture_reelpipe(decoder)
    elapsed = now() - began
    decoder.stop()
    return elapsed


def start_pyav(clip: str) -> float:
    import av
    began = now()
    with av.open(clip) as container:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        next(container.decode(stream)).to_ndarray(format="rgb24")
        return now() - began


def start_opencv(clip: str) -> float:
    import cv2
    began = now()
    capture = cv2.VideoCapture(clip, cv2.CAP_FFMPEG)
    ok, _ = capture.read()
    elapsed = now() - began
    capture.release()
    if not ok:
        raise RuntimeError("OpenCV read no picture")
    return elapsed


def start_ffpyplayer(clip: str) -> float:
    from ffpyplayer.player import MediaPlayer
    began = now()
    player = MediaPlayer(clip, ff_opts={"out_fmt": "rgb24"})
    while True:
        frame, _ = player.get_frame()
        if frame is not None:
            ffpyplayer_array(frame[0])
            break
        if now() - began > 10:
            raise RuntimeError("ffpyplayer gave no picture within 10 s")
        time.sleep(IDLE / 2)
    elapsed = now() - began
    player.close_player()
    return elapsed


def start_many(tool: str, clip: str, repeats: int) -> dict:
    run = globals()[f"start_{tool}"]
    times = [run(clip) for _ in range(repeats)]
    return {"cold": times[0], "warm_median": statistics.median(times[1:]) if len(times) > 1 else None,
            "times": times}


# ------------------------------------------------------------------------- many
# Many decoders of one clip with sound in one process, made one after another
# and then started together, each with a consumer thread of its own that
# waits for its pictures as they fall due. Figures, over every decoder:
#   shown_after_1s  share of the pictures due after the first second (up to
#                   the position each decoder reached) that were handed out
#   shown_after_5s  the same from the fifth second on: the steady state
#   in_window       share of the pictures handed out whose time was inside
#                   [pos-0.1, pos+0.01] when they came
#   skipped         share of the pictures that came due (shown or dropped)
#                   that the decoders skipped before decoding them
#   cores           CPU seconds of the process per wall second, from start()
#   peak_rss_mb     VmHWM of the process (ru_maxrss starts at the parent's)


def vm_hwm_mb() -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def many_reelpipe(clip: str, fps: float, seconds: float, decoders: int, options: dict | None = None) -> dict:
    import threading

    import reelpipe
    opened = [reelpipe.MediaDecoder(clip, **(options or {})) for _ in range(decoders)]
    logs = [([], []) for _ in opened]  # (indices, offsets) per decoder
    positions = [0.0] * decoders
    began = now()
    stop_at = began + seconds
    cpu0 = cpu_seconds()

    def consume(number: int) -> None:
        decoder, (indices, offsets) = opened[number], logs[number]
        while now() < stop_at:
            picture = decoder.get_next_frame(timeout=0.1)
            position = decoder.get_position()
            positions[number] = position
            if picture is not None:
                index = picture_index(picture)
                indices.append(index)
                offsets.append(index / fps - position)

    for decoder in opened:
        decoder.start()
    consumers = [threading.Thread(target=consume, args=(n,)) for n in range(decoders)]
    for consumer in consumers:
        consumer.start()
    for consumer in consumers:
        consumer.join()
    cores = (cpu_seconds() - cpu0) / (now() - began)
    whole_run_cpu = cpu_seconds()
    # Builds before get_picture_counts() cannot say what they skipped.
    counts = [decoder.get_picture_counts() for decoder in opened] if hasattr(opened[0], "get_picture_counts") else []
    for decoder in opened:
        decoder.stop()

    def shown_from(second: float) -> float | None:
        due = shown = 0
        for (indices, _), position in zip(logs, positions):
            seen = set(indices)
            wanted = range(int(second * fps), int(position * fps))
            due += len(wanted)
            shown += sum(1 for i in wanted if i in seen)
        return shown / due if due else None

    def shown_in(second: int) -> float | None:
        wanted = [set(range(second * int(fps), (second + 1) * int(fps))) for _ in logs]
        due = sum(len(w) for w, position in zip(wanted, positions) if position >= second + 1)
        shown = sum(len(w & set(indices)) for w, (indices, _), position in zip(wanted, logs, positions)
                    if position >= second + 1)
        return shown / due if due else None

    offsets = [o for _, decoder_offsets in logs for o in decoder_offsets]
    return {"decoders": decoders, "shown_after_1s": shown_from(1.0), "shown_after_5s": shown_from(5.0),
            "in_window": sum(1 for o in offsets if -0.1 <= o <= 0.01) / len(offsets) if offsets else 0.0,
            "skipped": (sum(c["skipped"] for c in counts) / sum(c["shown"] + c["dropped"] for c in counts)
                        if counts else None),
            "cores": cores, "pictures": len(offsets), "least_position": min(positions),
            "shown_by_second": [shown_in(second) for second in range(int(seconds))],
            "cpu_seconds": whole_run_cpu,
            "peak_rss_mb": vm_hwm_mb()}


def main() -> int:
    request = json.loads(sys.argv[1])
    measure, tool = request["measure"], request["tool"]
    clip = request["clip"]
    # reelpipe's constructor options, when the request names any.
    options = {"options": request["options"]} if "options" in request else {}
    if measure == "throughput":
        scaled = {"scaled": request["scaled"]} if "scaled" in request else {}
        result = globals()[f"throughput_{tool}"](clip, request["pictures"], **options, **scaled)
    elif measure == "realtime":
        result = globals()[f"realtime_{tool}"](clip, request["fps"], request["seconds"], request["pictures"],
                                               **options)
    elif measure == "seek":
        result = globals()[f"seek_{tool}"](clip, request["fps"], request["targets"])
    elif measure == "many":
        result = many_reelpipe(clip, request["fps"], request["seconds"], request["decoders"], **options)
    elif measure == "start":
        # An application that takes pictures as arrays has NumPy loaded;
        # reelpipe and PyAV would otherwise pay its import (about 120 ms
        # here) on their first picture, OpenCV on its own import.
        import numpy  # noqa: F401
        result = start_many(tool, clip, request["repeats"])
    else:
        raise SystemExit(f"unknown measure {measure!r}")
    result.setdefault("peak_rss_mb", peak_rss_mb())
    sys.stdout.flush()
    print("RESULT " + json.dumps(result), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
