"""Helpers for the lifecycle and demux tests: bounded calls, state polling, resources."""

from __future__ import annotations

import ctypes
import faulthandler
import gc
import re
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from typing import Any

import pytest

import helpers

# Generous bound for any single call that should come back promptly: a hang
# shows up as a failure with every thread's stack, not as a stuck session.
HANG = 20.0


def fail_stuck(what: str) -> None:
    """Dumps every thread's stack to stderr, then fails the test."""
    faulthandler.dump_traceback(file=sys.stderr, all_threads=True)
    pytest.fail(f"{what} did not return: stuck (stacks dumped to stderr)")


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
            pytest.fail(f"{what} not reached within {timeout} s; last state: {state}")
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
    deadline = time.monotonic() + timeout
    while (result := bounded(call)) is None:
        if time.monotonic() > deadline:
            pytest.fail(f"no picture within {timeout} s")
        time.sleep(0.005)
    return result


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


class SlowServer:
    """A loopback HTTP/1.1 server for one file that can be slow on purpose.

    Each response waits `delay` seconds before its headers; the body goes out
    in full up to byte `stall_at`, where it stops sending until close(). With
    `stall_ranges`, a request for a range that does not start at 0 gets its
    headers and then nothing. It honours single byte ranges (bytes=N-,
    bytes=N-M, bytes=-N).
    """

    def __init__(self, path: str, delay: float = 0.0, stall_at: int | None = None,
                 stall_ranges: bool = False) -> None:
        import http.server
        import socketserver

        with open(path, "rb") as f:
            self.data = f.read()
        self.delay = delay
        self.stall_at = stall_at
        self.closing = threading.Event()
        self.requests = 0
        self.stall_ranges = stall_ranges
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args: object) -> None:
                pass

            def do_GET(self) -> None:
                server.requests += 1
                if server.closing.wait(server.delay):
                    return
                size = len(server.data)
                first, last, status = 0, size - 1, 200
                match = re.fullmatch(r"bytes=(\d*)-(\d*)", self.headers.get("Range", ""))
                if match and (match.group(1) or match.group(2)):
                    if match.group(1):
                        first = int(match.group(1))
                        last = min(int(match.group(2)), size - 1) if match.group(2) else size - 1
                    else:
                        first = max(0, size - int(match.group(2)))
                    if first >= size:
                        self.send_response(416)
                        self.send_header("Content-Range", f"bytes */{size}")
                        self.send_header("Content-Length", "0")
                        self.end_headers()
                        return
                    status = 206
                self.send_response(status)
                self.send_header("Content-Type", "video/mp4")
                self.send_header("Accept-Ranges", "bytes")
                self.send_header("Content-Length", str(last - first + 1))
                if status == 206:
                    self.send_header("Content-Range", f"bytes {first}-{last}/{size}")
                self.end_headers()
                end = last + 1
                if server.stall_ranges and first > 0:
                    end = first
                if server.stall_at is not None:
                    end = min(end, max(first, server.stall_at))
                try:
                    self.wfile.write(server.data[first:end])
                    self.wfile.flush()
                    if end <= last:
                        server.closing.wait()
                except (BrokenPipeError, ConnectionResetError):
                    pass

        class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True
            allow_reuse_address = True

        self._httpd = Server(("127.0.0.1", 0), Handler)
        self.port = self._httpd.server_address[1]
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="slow-http", daemon=True)
        self._thread.start()

    def url(self, name: str = "clip.mp4") -> str:
        return f"http://127.0.0.1:{self.port}/{name}"

    def close(self) -> None:
        self.closing.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(10)

    def __enter__(self) -> SlowServer:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def byte_offset_at(path: str, seconds: float) -> int:
    """Where in the file the first video packet at or after `seconds` starts."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "packet=pts_time,pos", "-of", "csv=p=0", path],
                         capture_output=True, text=True, check=True).stdout
    positions = [int(pos) for t, pos in (line.split(",")[:2] for line in out.split())
                 if t != "N/A" and pos != "N/A" and float(t) >= seconds]
    return min(positions)


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
