"""Shared set-up for the reelpipe tests.

On import, before anything can load reelpipe (and so libpulse), the session
gets a private HOME and sound-server folders, so tests never write to the real
home and a sound server started here is the only one the module can find.
"""

from __future__ import annotations

import atexit
import gc
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def _isolate_sound_environment() -> Path:
    session = Path(tempfile.mkdtemp(prefix="reelpipe-tests-"))
    atexit.register(shutil.rmtree, session, True)
    home = session / "home"
    folders = {
        "HOME": home,
        "XDG_CONFIG_HOME": home / ".config",
        "XDG_RUNTIME_DIR": session / "runtime",
        "PULSE_RUNTIME_PATH": session / "pulse-run",
    }
    for var, path in folders.items():
        path.mkdir(parents=True, exist_ok=True)
        path.chmod(0o700)  # libpulse and pulseaudio refuse runtime folders others can enter
        os.environ[var] = str(path)
    # No server is running unless the pulse fixture starts one; a client must not
    # spawn one of its own meanwhile (libpulse does so for non-root users).
    (home / ".config" / "pulse").mkdir(exist_ok=True)
    (home / ".config" / "pulse" / "client.conf").write_text("autospawn = no\n")
    os.environ.pop("PULSE_SERVER", None)
    return session


SESSION_DIR = _isolate_sound_environment()

# The sanitizer run checks this process for leaks at its exit, and the
# interpreters that tests start without (the Makefile's test-asan says why).
# This process read its own options when it started; children read these.
if "ASAN_CHILD_OPTIONS" in os.environ:
    os.environ["ASAN_OPTIONS"] = os.environ["ASAN_CHILD_OPTIONS"]

# The installed extension comes first; the probe and the clip maker are only
# appended, so a stray build of reelpipe under build/probe can't shadow it.
sys.path.append(str(ROOT / "build" / "probe"))
sys.path.append(str(ROOT / "tools"))

import numpy as np  # noqa: E402
import pytest  # noqa: E402

import helpers  # noqa: E402
import make_clips  # noqa: E402


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    # A test that uses the sound server is marked, so `-m "not pulse"` skips them all.
    for item in items:
        if "pulse" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.pulse)


def pytest_sessionfinish(session: pytest.Session, exitstatus: int) -> None:
    # Decoders caught in reference cycles (a test's traceback, say) are
    # otherwise destroyed during interpreter shutdown, or not at all, with
    # their threads and FFmpeg's still running when LeakSanitizer stops the
    # process to look for leaks; its tracer has crashed on such a process.
    gc.collect()


# ---------------------------------------------------------------- clips


class Clips:
    """Paths of the generated test clips, made on first use and cached on disk.

    ``clips.av`` and ``clips["av"]`` are the same str path; the names are those
    of tools/make_clips.py (``clips.names`` lists them).
    """

    names = make_clips.NAMES

    def __getitem__(self, name: str) -> str:
        return make_clips.clip_path(name)

    def __getattr__(self, name: str) -> str:
        if name.startswith("_"):
            raise AttributeError(name)
        try:
            return make_clips.clip_path(name)
        except KeyError as exc:
            raise AttributeError(exc.args[0]) from None


@pytest.fixture(scope="session")
def clips() -> Clips:
    return Clips()


# ---------------------------------------------------------------- resources


@pytest.fixture
def thread_count():
    """The function helpers.thread_count: threads of this process now."""
    return helpers.thread_count


@pytest.fixture
def open_fds():
    """The function helpers.open_fds: this process's descriptors, fd -> target."""
    return helpers.open_fds


# ---------------------------------------------------------------- sound server

RATE = 44100
CHANNELS = 2
_FRAME_BYTES = 2 * CHANNELS
_MONITOR_LAG = 0.1


class Recorder:
    """One recording of what the null sink played, taken from the server's monitor.

    Made by ``PulseServer.start_recording()``, which returns once sound is
    flowing, so playback started after it is captured from its first sample.
    ``stop()`` returns the samples as int16 of shape (n, 2) at 44 100 Hz;
    ``wall_time()`` then tells when one of them reached the monitor.
    """

    rate = RATE
    channels = CHANNELS

    def __init__(self, monitor: _Monitor) -> None:
        self._monitor = monitor
        self._offset = monitor.begin()
        self.started_at = time.monotonic()
        # Sound takes a few tens of milliseconds from a sink to parec's output:
        # wait that long so whatever plays after this returns lands after the
        # start of the recording, with silence before it.
        time.sleep(_MONITOR_LAG)
        self.samples: np.ndarray | None = None
        # (time.monotonic() of a read, frames of the recording read by then)
        self.arrivals: np.ndarray | None = None

    def stop(self, tail: float = 0.1) -> np.ndarray:
        """Waits tail seconds for sound still on its way, then ends the recording."""
        if self.samples is None:
            time.sleep(tail)
            data, arrivals = self._monitor.end(self._offset)
            usable = len(data) - len(data) % _FRAME_BYTES
            self.samples = np.frombuffer(data[:usable], dtype="<i2").reshape(-1, CHANNELS).copy()
            self.arrivals = np.array([(t, (n - self._offset) // _FRAME_BYTES) for t, n in arrivals
                                      if n > self._offset], dtype=np.float64).reshape(-1, 2)
        return self.samples

    def wall_time(self, frame: int, reach: float = 1.0) -> float:
        """time.monotonic() at which the recorded frame `frame` reached the monitor.

        A read returns what the server sent up to a moment; coming late only
        makes it look later. So the sample clock is tied to the wall clock by
        the earliest-looking read within `reach` seconds of the frame, which
        keeps an occasional drop in the stream from shifting the rest.
        """
        assert self.arrivals is not None and len(self.arrivals), "stop() the recording first"
        times, frames = self.arrivals[:, 0], self.arrivals[:, 1]
        near = np.abs(frames - frame) <= reach * RATE
        if not near.any():
            raise ValueError(f"frame {frame} lies outside the recording")
        return float(frame / RATE + np.min(times[near] - frames[near] / RATE))

    def __enter__(self) -> Recorder:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()


class _Monitor:
    """One parec reading the null sink's monitor for as long as the server runs.

    parec needs up to two seconds before its first bytes, so it is started once
    and recordings take slices of its stream rather than starting their own.
    Bytes are kept only while a recording is open.
    """

    def __init__(self) -> None:
        self._proc = subprocess.Popen(
            ["parec", "-d", "null.monitor", "--format=s16le", f"--rate={RATE}",
             f"--channels={CHANNELS}", "--raw", "--latency-msec=10"],
            env=helpers.tool_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL)
        self._lock = threading.Lock()
        self._first_data = threading.Event()
        self._chunks: list[bytes] = []
        self._arrivals: list[tuple[float, int]] = []  # (time.monotonic(), _total) per read kept
        self._base = 0          # stream offset of _chunks[0]
        self._total = 0         # bytes read so far
        self._open: list[int] = []  # start offsets of the recordings in progress
        self._thread = threading.Thread(target=self._read, name="parec-reader", daemon=True)
        self._thread.start()

    def _read(self) -> None:
        fd = self._proc.stdout.fileno()
        while chunk := os.read(fd, 65536):
            arrived = time.monotonic()
            with self._lock:
                self._total += len(chunk)
                if self._open:
                    self._chunks.append(chunk)
                    self._arrivals.append((arrived, self._total))
                else:
                    self._base = self._total
            self._first_data.set()

    def wait_ready(self, timeout: float) -> bool:
        if not self._first_data.wait(timeout):
            return False
        time.sleep(0.2)  # parec's first bytes can come before the stream is steady
        return True

    def begin(self) -> int:
        with self._lock:
            if self._proc.poll() is not None:
                raise RuntimeError(f"parec exited with {self._proc.returncode}")
            self._open.append(self._total)
            return self._total

    def end(self, offset: int) -> tuple[bytes, list[tuple[float, int]]]:
        """The bytes from `offset` on, and the (time, stream offset) of every read kept."""
        with self._lock:
            data = b"".join(self._chunks)[offset - self._base:]
            arrivals = list(self._arrivals)
            self._open.remove(offset)
            if not self._open:
                self._chunks.clear()
                self._arrivals.clear()
                self._base = self._total
            return data, arrivals

    def close(self) -> None:
        self._proc.terminate()
        try:
            self._proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self._proc.wait()
        self._thread.join(timeout=5)
        self._proc.stdout.close()


class PulseServer:
    """A PulseAudio server with one null sink (s16le, 2 channels, 44 100 Hz), the default.

    Processes started while it runs, the module under test included, play to it
    through PULSE_RUNTIME_PATH, which the session already points at it.
    """

    sink = "null"

    def __init__(self) -> None:
        self._log_path = SESSION_DIR / f"pulseaudio-{time.monotonic_ns()}.log"
        self._proc: subprocess.Popen[bytes] | None = None
        self._monitor: _Monitor | None = None

    def start(self, timeout: float = 10.0) -> None:
        with open(self._log_path, "wb") as log:
            self._proc = subprocess.Popen(
                ["pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1", "--disallow-exit",
                 "--use-pid-file=no", "--load=module-null-sink norewinds=1",
                 "--load=module-native-protocol-unix", "--log-level=error", "--log-target=stderr"],
                env=helpers.tool_env(), stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        deadline = time.monotonic() + timeout
        while not self._pactl("info"):
            if self._proc.poll() is not None:
                raise RuntimeError(f"pulseaudio exited with {self._proc.returncode}: {self.log()}")
            if time.monotonic() > deadline:
                raise RuntimeError(f"pulseaudio did not answer within {timeout} s: {self.log()}")
            time.sleep(0.02)
        if not self._pactl("set-default-sink", self.sink):
            raise RuntimeError(f"no sink named {self.sink!r}: {self.log()}")
        self._monitor = _Monitor()
        if not self._monitor.wait_ready(timeout):
            raise RuntimeError(f"parec delivered nothing within {timeout} s")

    def start_recording(self) -> Recorder:
        """Starts recording what the sink plays; start playback after this returns."""
        assert self._monitor is not None, "server not started"
        return Recorder(self._monitor)

    def record(self, seconds: float, action=None) -> np.ndarray:
        """Records for `seconds`, calling action() (e.g. starting playback) first."""
        recorder = self.start_recording()
        began = time.monotonic()
        if action is not None:
            action()
        time.sleep(max(0.0, seconds - (time.monotonic() - began)))
        return recorder.stop(tail=0.0)

    def log(self) -> str:
        try:
            return self._log_path.read_text(errors="replace").strip()[-2000:] or "(no output)"
        except OSError:
            return "(no log)"

    def _pactl(self, *args: str) -> bool:
        result = subprocess.run(["pactl", *args], env=helpers.tool_env(), stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=10)
        return result.returncode == 0

    def stop(self) -> None:
        if self._monitor is not None:
            self._monitor.close()
            self._monitor = None
        if self._proc is not None and self._proc.poll() is None:
            self._proc.terminate()
            try:
                self._proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait()
        self._proc = None


@pytest.fixture(scope="module")
def pulse():
    """A running PulseAudio server for the tests of one module (see PulseServer).

    Module-scoped so that tests elsewhere run against miniaudio's null backend,
    as on a machine with no sound at all.  Skips when the server can't start,
    except under CI=true, where that is a failure.
    """
    server = PulseServer()
    try:
        server.start()
    except (OSError, RuntimeError, subprocess.SubprocessError) as exc:
        server.stop()
        message = f"PulseAudio could not be started: {exc}"
        if helpers.IN_CI:
            pytest.fail(message)
        pytest.skip(message)
    try:
        yield server
    finally:
        server.stop()
