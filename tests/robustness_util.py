"""Helpers for the tests that drive decoders: calls bounded against hangs,
state polling, resource counts, child processes, sanitizer reports, and an
HTTP/1.1 server that honours byte ranges and misbehaves on request.

Run as a script, this file is the child side: ``python robustness_util.py
MODE`` reads a JSON job on stdin, plays what it says with reelpipe, and writes
one JSON object per line to stdout. A crash, a hang or a sanitizer report then
takes down only the child, and the parent knows which input did it.
"""

from __future__ import annotations

import ctypes
import faulthandler
import gc
import json
import math
import os
import queue
import random
import re
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import helpers


OPEN_FAILED = "FFmpeg failed to open video file: "
NO_STREAM_INFO = "FFmpeg failed to find stream info."

# Set by the sanitizer run of the suite, which also preloads the runtime
# through LD_PRELOAD; children inherit both.
SANITIZER = os.environ.get("REELPIPE_SANITIZER", "")
_SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                      "WARNING: ThreadSanitizer")


def sanitizer_reports(text: str) -> list[str]:
    """Returns the lines of `text` that start a sanitizer report."""
    return [line for line in text.splitlines() if any(m in line for m in _SANITIZER_MARKERS)]


# ---------------------------------------------------------------- calls, state and resources


# Generous bound for any single call that should come back promptly: a hang
# shows up as a failure with every thread's stack, not as a stuck session.
HANG = 20.0


def fail(message: str) -> None:
    """Fails the current test. pytest is imported only here: the children
    that run this file as a script have no use for it."""
    import pytest

    pytest.fail(message)


def fail_stuck(what: str) -> None:
    """Dumps every thread's stack to stderr, then fails the test."""
    faulthandler.dump_traceback(file=sys.stderr, all_threads=True)
    fail(f"{what} did not return: stuck (stacks dumped to stderr)")


class Bounded:
    """Runs fn(*args) on a daemon thread; join() fails the test if it hangs.

    The result or the exception of the call is kept for join() to hand back.
    """

    def __init__(self, fn: Callable[..., Any], *args: Any, name: str | None = None) -> None:
        self.name = name or getattr(fn, "__name__", "call")
        self.result: Any = None
        self.error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, args=(fn, args), name=self.name, daemon=True)
        self._thread.start()

    def _run(self, fn: Callable[..., Any], args: tuple[Any, ...]) -> None:
        try:
            self.result = fn(*args)
        except BaseException as exc:  # handed to join()
            self.error = exc

    def done(self) -> bool:
        return not self._thread.is_alive()

    def join(self, timeout: float = HANG, reraise: bool = True) -> Any:
        self._thread.join(timeout)
        if self._thread.is_alive():
            fail_stuck(self.name)
        if self.error is not None and reraise:
            raise self.error
        return self.result


def bounded(fn: Callable[..., Any], *args: Any, timeout: float = HANG) -> Any:
    """Calls fn(*args) and returns its result, failing the test if it hangs."""
    return Bounded(fn, *args).join(timeout)


def wait_state(probe: Any, predicate: Callable[[dict], bool], timeout: float = 15.0,
               what: str = "state") -> dict:
    """Polls probe.state() until predicate holds; fails with the last state if it never does."""
    state = probe.state()
    deadline = time.monotonic() + timeout
    while not predicate(state):
        if time.monotonic() > deadline:
            fail(f"{what} not reached within {timeout} s; last state: {state}")
        time.sleep(0.01)
        state = probe.state()
    return state


def steady_threads(quiet: float = 0.1, timeout: float = 5.0) -> int:
    """The thread count once it has held still for `quiet` seconds.

    Threads that earlier tests joined may linger in /proc/self/task for a
    moment, and a decoder an earlier test dropped may still await collection
    with its picture decoder's threads; a baseline taken before they leave
    would be off by them.
    """
    gc.collect()
    deadline = time.monotonic() + timeout
    count, since = helpers.thread_count(), time.monotonic()
    while time.monotonic() - since < quiet and time.monotonic() < deadline:
        time.sleep(0.01)
        now = helpers.thread_count()
        if now != count:
            count, since = now, time.monotonic()
    return count


def first_picture(call: Callable[[], Any], timeout: float = HANG) -> Any:
    """Calls call() (get_next_frame or next_frame_time) until it gives something.

    Right after start() it may answer None while the first picture is still
    being decoded.
    """
    for result in helpers.pictures(lambda: bounded(call), count=1, seconds=timeout):
        return result
    fail(f"no picture within {timeout} s")


def settled_threads(expected: int, timeout: float = 5.0) -> int:
    """The thread count once it has come down to `expected` (or the timeout passed).

    A joined thread leaves /proc/self/task a moment after the join returns.
    """
    helpers.wait_until(lambda: helpers.thread_count() <= expected, timeout=timeout)
    return helpers.thread_count()


class Counter:
    """A Python thread that counts while it holds the interpreter lock in turns.

    If a call on another thread keeps the lock, the count stands still.
    """

    def __init__(self) -> None:
        self.count = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="gil-counter", daemon=True)

    def _run(self) -> None:
        while not self._stop.is_set():
            self.count += 1
            time.sleep(0.001)

    def __enter__(self) -> Counter:
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._stop.set()
        self._thread.join(5)


def run_python(code: str, *, python: str = sys.executable, env: dict[str, str] | None = None,
               timeout: float = 60.0) -> subprocess.CompletedProcess[str]:
    """Runs code in a fresh interpreter and returns the finished process."""
    return subprocess.run([python, "-c", code], capture_output=True, text=True, env=env,
                          timeout=timeout, stdin=subprocess.DEVNULL)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def heap_in_use() -> int | None:
    """Bytes the C heap has handed out and not had back (glibc), or None elsewhere.

    Unlike the resident size, this does not move with what the allocator and
    the thread-stack cache keep around for reuse.
    """
    try:
        mallinfo2 = ctypes.CDLL("libc.so.6").mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


# ---------------------------------------------------------------- child processes


@dataclass
class ChildRun:
    """What a finished child left: its exit status, JSON lines and stderr."""

    returncode: int | None
    records: list[dict]
    stderr: str
    timed_out: bool = False

    def sanitizer_reports(self) -> list[str]:
        return sanitizer_reports(self.stderr)

    def describe(self) -> str:
        status = "timed out" if self.timed_out else f"exit status {self.returncode}"
        return f"child {status}; stderr tail:\n{stderr_tail(self.stderr)}"


def stderr_tail(text: str, lines: int = 60) -> str:
    # ALSA and JACK complain on every device opened: leave their noise out.
    kept = [line for line in text.splitlines()
            if not re.search(r"ALSA lib|jack|Jack|JackShm|Cannot connect to server", line)]
    return "\n".join(kept[-lines:])


class Child:
    """One child running ``robustness_util.py MODE`` on a JSON job.

    Its stdout is read line by line on a thread, so the parent can bound the
    wait for each line (a hung input) as well as the whole run.
    """

    def __init__(self, mode: str, job: dict, env: dict[str, str] | None = None) -> None:
        self._stderr = tempfile.TemporaryFile(mode="w+b")
        self.proc = subprocess.Popen(
            [sys.executable, str(Path(__file__).resolve()), mode],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._stderr,
            env=env or helpers.child_env(), text=True)
        self.proc.stdin.write(json.dumps(job))
        self.proc.stdin.close()
        self._lines: queue.Queue[str | None] = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.records: list[dict] = []
        self.timed_out = False
        self._ended = False

    def _read(self) -> None:
        with self.proc.stdout:
            for line in self.proc.stdout:
                self._lines.put(line)
        self._lines.put(None)

    def records_until_exit(self, line_timeout: float) -> Iterator[dict]:
        """Yields each record as it comes; kills the child when a line takes too long."""
        while not self._ended:
            try:
                line = self._lines.get(timeout=line_timeout)
            except queue.Empty:
                self.timed_out = self._ended = True
                self.proc.kill()
                break
            if line is None:
                self._ended = True
                break
            if line.startswith("{"):
                record = json.loads(line)
                self.records.append(record)
                yield record

    def finish(self, line_timeout: float) -> ChildRun:
        for _ in self.records_until_exit(line_timeout):
            pass
        try:
            self.proc.wait(timeout=line_timeout)
        except subprocess.TimeoutExpired:
            self.timed_out = True
            self.proc.kill()
            self.proc.wait()
        self._reader.join(5)
        self._stderr.seek(0)
        stderr = self._stderr.read().decode(errors="replace")
        self._stderr.close()
        return ChildRun(self.proc.returncode, self.records, stderr, self.timed_out)


def run_child(mode: str, job: dict, line_timeout: float = 60.0, **kwargs) -> ChildRun:
    """Runs one child to its end; see Child."""
    return Child(mode, job, **kwargs).finish(line_timeout)


# ---------------------------------------------------------------- HTTP


@dataclass
class Faults:
    """How a RangeServer misbehaves.

    status     answer every request with this status and no body
    hangup     close the connection as soon as a request has come
    stall_at   stop sending at this byte of the file and hold the socket open
               until the server closes (every response that reaches it)
    drop_at    close the socket at this byte of the file, for the first
               `drops` responses that reach it
    delay      seconds before the headers of each response
    trickle    (bytes, seconds): send the body in pieces of that many bytes,
               one each that many seconds, as long as `trickle_until` is not
               reached (the file offset where full speed resumes)
    stall_ranges  send the headers of a range that does not start at 0, then
               nothing until the server closes
    unsized    answer every request whole, without a length or ranges, and
               close the connection at the end, as a live stream does
    """

    status: int | None = None
    hangup: bool = False
    stall_at: int | None = None
    drop_at: int | None = None
    drops: int = 1
    delay: float = 0.0
    trickle: tuple[int, float] | None = None
    trickle_until: int = 0
    stall_ranges: bool = False
    unsized: bool = False


@dataclass
class Request:
    method: str
    range: str | None
    at: float = field(default_factory=time.monotonic)


class RangeServer:
    """A loopback HTTP/1.1 server for one file, with keep-alive and single byte ranges.

    Answers 200 without Range, 206 with ``bytes=N-``, ``bytes=N-M`` or
    ``bytes=-N`` and 416 for a range that starts past the end. Every request
    is logged in `requests`. `faults` makes it stall, drop or dawdle.
    """

    CHUNK = 4096

    def __init__(self, path: str, faults: Faults | None = None) -> None:
        self.data = Path(path).read_bytes()
        self.faults = faults or Faults()
        self.requests: list[Request] = []
        self.closing = threading.Event()
        self._drops_left = self.faults.drops
        self._lock = threading.Lock()
        self._sockets: set[socket.socket] = set()
        owner = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self) -> None:
                owner._serve_connection(self.request)

        class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
            daemon_threads = True
            allow_reuse_address = True

        self._server = Server(("127.0.0.1", 0), Handler)
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="range-http", daemon=True)
        self._thread.start()

    def url(self, name: str = "clip.mp4") -> str:
        return f"http://127.0.0.1:{self.port}/{name}"

    def ranges(self) -> list[str | None]:
        with self._lock:
            return [r.range for r in self.requests]

    # One connection: requests in turn until the client closes it.
    def _serve_connection(self, sock: socket.socket) -> None:
        with self._lock:
            self._sockets.add(sock)
        reader = sock.makefile("rb")
        try:
            while not self.closing.is_set():
                head = self._read_head(reader)
                if head is None:
                    return
                if not self._answer(sock, *head):
                    return
        except OSError:
            pass  # the client went away, or close() shut the socket
        finally:
            with self._lock:
                self._sockets.discard(sock)
            reader.close()

    @staticmethod
    def _read_head(reader) -> tuple[str, dict[str, str]] | None:
        line = reader.readline(65536)
        if not line:
            return None
        method = line.decode("latin-1").split(" ", 1)[0]
        headers = {}
        while (line := reader.readline(65536)) not in (b"\r\n", b"\n", b""):
            name, _, value = line.decode("latin-1").partition(":")
            headers[name.strip().lower()] = value.strip()
        return method, headers

    # Sends one response; False when the connection must end after it.
    def _answer(self, sock: socket.socket, method: str, headers: dict[str, str]) -> bool:
        with self._lock:
            self.requests.append(Request(method, headers.get("range")))
        if self.faults.delay and self.closing.wait(self.faults.delay):
            return False
        if self.faults.hangup:
            return False
        if self.faults.status is not None:
            sock.sendall(f"HTTP/1.1 {self.faults.status} Fault\r\nContent-Length: 0\r\n\r\n".encode())
            return True
        size = len(self.data)
        if self.faults.unsized:
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n")
            if method != "HEAD":
                self._send_body(sock, 0, size)
            return False
        first, last, status = 0, size - 1, 200
        match = re.fullmatch(r"bytes=(\d*)-(\d*)", headers.get("range", ""))
        if match and (match.group(1) or match.group(2)):
            if match.group(1):
                first = int(match.group(1))
                if match.group(2):
                    last = min(int(match.group(2)), size - 1)
            else:
                first = max(0, size - int(match.group(2)))
            if first >= size or first > last:
                sock.sendall(f"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */{size}\r\n"
                             f"Content-Length: 0\r\n\r\n".encode())
                return True
            status = 206
        lines = [f"HTTP/1.1 {status} {'Partial Content' if status == 206 else 'OK'}",
                 "Content-Type: application/octet-stream", "Accept-Ranges: bytes",
                 f"Content-Length: {last - first + 1}"]
        if status == 206:
            lines.append(f"Content-Range: bytes {first}-{last}/{size}")
        sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        if method == "HEAD":
            return True
        return self._send_body(sock, first, last + 1)

    def _send_body(self, sock: socket.socket, first: int, end: int) -> bool:
        faults = self.faults
        if faults.stall_ranges and first > 0:
            self.closing.wait()
            return False
        pos = first
        while pos < end:
            if faults.stall_at is not None and pos >= faults.stall_at:
                self.closing.wait()
                return False
            if faults.drop_at is not None and pos >= faults.drop_at and first < faults.drop_at:
                with self._lock:
                    drop = self._drops_left > 0
                    self._drops_left -= drop
                if drop:
                    sock.shutdown(socket.SHUT_RDWR)
                    return False
            step = self.CHUNK
            slow = faults.trickle is not None and pos < faults.trickle_until
            if slow:
                step = faults.trickle[0]
            for limit in (faults.stall_at, faults.drop_at, faults.trickle_until if slow else None):
                if limit is not None and pos < limit:
                    step = min(step, limit - pos)
            step = min(step, end - pos)
            sock.sendall(self.data[pos:pos + step])
            pos += step
            if slow and self.closing.wait(faults.trickle[1]):
                return False
        return True

    def close(self) -> None:
        self.closing.set()
        with self._lock:
            sockets = list(self._sockets)
        for sock in sockets:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(10)

    def __enter__(self) -> RangeServer:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def packet_offset(path: str, seconds: float) -> int:
    """The file offset of the first packet, in file order, at or after
    `seconds`: every packet before it in the file is earlier."""
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "packet=pts_time,pos", "-of", "csv=p=0",
                          path], capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        pts, _, pos = line.partition(",")
        if pts not in ("", "N/A") and pos not in ("", "N/A") and float(pts) >= seconds:
            return int(pos)
    raise ValueError(f"{path} has no packet at or after {seconds} s")


# ---------------------------------------------------------------- crafting files


def shift_pes_times(ts: bytearray, pid: int, ticks: int) -> int:
    """Moves every PES of `pid` in an MPEG-TS `ticks` (90 kHz) earlier, in place.

    Rewrites the PTS and DTS fields of each PES header that starts in a TS
    packet; returns how many headers were changed.
    """
    changed = 0
    for offset in range(0, len(ts) - 187, 188):
        header = ts[offset:offset + 4]
        if header[0] != 0x47 or not header[1] & 0x40 or ((header[1] & 0x1F) << 8 | header[2]) != pid:
            continue
        payload = offset + 4
        if header[3] & 0x20:
            payload += 1 + ts[offset + 4]
        if not header[3] & 0x10 or ts[payload:payload + 3] != b"\0\0\1":
            continue
        flags = ts[payload + 7] >> 6  # 2: PTS only, 3: PTS and DTS
        field_at = payload + 9
        for i in range({2: 1, 3: 2}.get(flags, 0)):
            at = field_at + 5 * i
            b = ts[at:at + 5]
            value = ((b[0] >> 1) & 7) << 30 | b[1] << 22 | (b[2] >> 1) << 15 | b[3] << 7 | b[4] >> 1
            value = (value - ticks) % (1 << 33)
            ts[at:at + 5] = bytes([(b[0] & 0xF1) | ((value >> 29) & 0x0E), (value >> 22) & 0xFF,
                                   ((value >> 14) & 0xFE) | 1, (value >> 7) & 0xFF, ((value << 1) & 0xFE) | 1])
        changed += 1
    return changed


def refused_url() -> str:
    """A URL on a loopback port that nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/gone.mp4"


# ---------------------------------------------------------------- child side


def _emit(record: dict) -> None:
    sys.stdout.write(json.dumps(record) + "\n")
    sys.stdout.flush()


def _mark(text: str) -> None:
    # Puts a line in stderr so that a sanitizer report can be tied to its input.
    sys.stderr.write(f"### {text}\n")
    sys.stderr.flush()


def _expected_refusal(error: RuntimeError, path: str) -> bool:
    return str(error) in (OPEN_FAILED + path, NO_STREAM_INFO)


def _play_damaged(reelpipe, path: str, rng: random.Random, seconds: float) -> dict:
    """Opens and plays one input the way an application would: a render thread
    takes pictures while the control thread seeks, then stops."""
    import numpy as np

    errors: list[str] = []
    try:
        decoder = reelpipe.MediaDecoder(path)
    except RuntimeError as exc:
        if _expected_refusal(exc, path):
            return {"outcome": "refused", "errors": []}
        return {"outcome": "error", "errors": [f"constructor: {exc!r}"]}
    except Exception as exc:  # any other error at all is a fault
        return {"outcome": "error", "errors": [f"constructor: {exc!r}"]}

    for query in ("get_fps", "get_duration"):
        value = getattr(decoder, query)()
        if not (isinstance(value, float) and math.isfinite(value) and value >= 0.0):
            errors.append(f"{query}() = {value!r}")
    duration = decoder.get_duration()
    horizon = duration if 0.0 < duration < 3600.0 else 10.0

    rendering = threading.Event()
    rendering.set()
    stats = {"pictures": 0, "longest_wait": 0.0, "shapes": set()}

    def render() -> None:
        while rendering.is_set():
            began = time.monotonic()
            try:
                picture = decoder.get_next_frame()
            except Exception as exc:
                errors.append(f"get_next_frame: {exc!r}")
                return
            stats["longest_wait"] = max(stats["longest_wait"], time.monotonic() - began)
            if picture is None:
                time.sleep(0.005)
                continue
            stats["pictures"] += 1
            stats["shapes"].add(picture.shape)
            if picture.dtype != np.uint8 or picture.ndim != 3 or picture.shape[2] != 3 or 0 in picture.shape:
                errors.append(f"picture {picture.dtype} {picture.shape}")
            # Touch the first and last byte: the memory must really be there.
            int(picture[0, 0, 0]) + int(picture[-1, -1, -1])

    try:
        decoder.start()
        renderer = threading.Thread(target=render, daemon=True)
        renderer.start()
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            time.sleep(rng.uniform(0.02, 0.12))
            roll = rng.random()
            if roll < 0.3:
                target = rng.choice((rng.uniform(0.0, horizon), rng.uniform(0.0, horizon), 0.0, -1.0,
                                     float("nan"), horizon + 5.0, 1e9))
                decoder.seek(target)
            elif roll < 0.4:
                decoder.pause()
                decoder.resume()
            position = decoder.get_position()
            if not math.isfinite(position):
                errors.append(f"get_position() = {position!r}")
            decoder.is_buffering()
        began = time.monotonic()
        decoder.stop()
        stop_took = time.monotonic() - began
        if stop_took > 1.0:
            errors.append(f"stop() took {stop_took:.2f} s")
        rendering.clear()
        renderer.join(2.0)
        if renderer.is_alive():
            errors.append("get_next_frame() still blocked 2 s after stop()")
        began = time.monotonic()
        del decoder
        drop_took = time.monotonic() - began
        if drop_took > 1.0:
            errors.append(f"dropping the stopped decoder took {drop_took:.2f} s")
    except Exception as exc:
        errors.append(f"playback: {exc!r}")
        rendering.clear()
    if len(stats["shapes"]) > 1:
        errors.append(f"picture shape changed: {sorted(stats['shapes'])}")
    return {"outcome": "error" if errors else "played", "errors": errors, "pictures": stats["pictures"],
            "longest_wait": round(stats["longest_wait"], 3)}


def _child_corrupt(job: dict) -> None:
    """Plays mutated copies of clips: job = {tasks: [{id, clip, path, seed}], seconds, folder}."""
    import faulthandler

    import mutate_clips
    import reelpipe

    sources: dict[str, bytes] = {}
    for task in job["tasks"]:
        _mark(f"input {task['id']}: {task['clip']} seed {task['seed']}")
        _emit({"begin": task["id"]})
        if task["path"] not in sources:
            sources[task["path"]] = Path(task["path"]).read_bytes()
        data, steps = mutate_clips.mutate(sources[task["path"]], task["clip"], task["seed"])
        target = Path(job["folder"]) / f"{task['clip']}-{task['seed']}{Path(task['path']).suffix}"
        target.write_bytes(data)
        # A hang dumps every thread's stack and ends the child, so the parent
        # sees which input it was and where it stuck.
        faulthandler.dump_traceback_later(job["hang"], exit=True)
        began = time.monotonic()
        result = _play_damaged(reelpipe, str(target), random.Random(task["seed"]), job["seconds"])
        faulthandler.cancel_dump_traceback_later()
        target.unlink()
        _emit({"end": task["id"], "steps": steps, "took": round(time.monotonic() - began, 3), **result})


def _resources() -> dict:
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return {"threads": len(os.listdir("/proc/self/task")), "fds": sorted(os.listdir("/proc/self/fd")),
            "rss": rss, "heap": heap_in_use()}


def _child_cycles(job: dict) -> None:
    """Construct / start / play / seek / stop / drop, job["cycles"] times over job["paths"]."""
    import gc

    import reelpipe

    rng = random.Random(job.get("seed", 1))
    paths = job["paths"]
    for cycle in range(job["cycles"] + 1):
        decoder = reelpipe.MediaDecoder(paths[cycle % len(paths)])
        decoder.start()
        deadline = time.monotonic() + job["play"]
        pictures, picture = 0, None
        while time.monotonic() < deadline:
            picture = decoder.get_next_frame()
            if picture is None:
                time.sleep(0.005)
            else:
                pictures += 1
        decoder.seek(rng.uniform(0.0, 5.0))
        decoder.get_next_frame()
        decoder.stop()
        del decoder, picture
        gc.collect()
        _emit({"cycle": cycle, "pictures": pictures, **_resources()})


def _child_hostile(job: dict) -> None:
    """Opens and plays each of job["paths"] for job["seconds"]; reports the peak RSS
    before and after each, and how long stop() took."""
    import reelpipe

    for path in job["paths"]:
        _mark(f"input {path}")
        record = {"path": path, "start_rss": helpers.peak_resident_bytes(), "stop_took": 0.0}
        try:
            decoder = reelpipe.MediaDecoder(path)
        except RuntimeError as exc:
            record["refused"] = str(exc)
        else:
            decoder.start()
            shapes = {picture.shape for picture in helpers.pictures(decoder.get_next_frame, seconds=job["seconds"])}
            began = time.monotonic()
            decoder.stop()
            record["stop_took"] = time.monotonic() - began
            del decoder
            record["shapes"] = sorted(shapes)
        record["max_rss"] = helpers.peak_resident_bytes()
        _emit(record)


_MODES = {"corrupt": _child_corrupt, "cycles": _child_cycles, "hostile": _child_hostile}

if __name__ == "__main__":
    _MODES[sys.argv[1]](json.loads(sys.stdin.read()))
