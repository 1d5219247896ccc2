"""Hardening: four threads calling everything at once, resources over hundreds
of cycles and under valgrind, sound stored far after its pictures, absurd
declarations in headers, and a frame budget smaller than one picture.

Damaged files are in test_corrupt_input.py, network faults in test_network.py.
"""

from __future__ import annotations

import faulthandler
import math
import random
import re
import shutil
import statistics
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import reelpipe
import reelpipe_probe
from helpers import IN_CI, child_env, ffmpeg, frame_index_of, wait_until
from robustness_util import (NO_STREAM_INFO, OPEN_FAILED, SANITIZER, run_child,
                             sanitizer_reports, shift_pes_times, stderr_tail)

FPS = 10.0  # long_av


def _packets(path: str) -> list[tuple[int, float, int]]:
    """(stream index, pts in seconds, file position) of every packet, in file order."""
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "packet=stream_index,pts_time,pos",
                          "-of", "csv=p=0", path], capture_output=True, text=True, check=True).stdout
    packets = []
    for line in out.splitlines():
        index, pts, pos = (line.split(",") + ["", ""])[:3]
        if pts not in ("", "N/A") and pos not in ("", "N/A"):
            packets.append((int(index), float(pts), int(pos)))
    return sorted(packets, key=lambda p: p[2])


# ---------------------------------------------------------------- thread storm

# The deadlock and desync soak is the plain run's; under a sanitizer half
# of it still drives every call against every other, for memory faults.
STORM_SECONDS = 10.0 if SANITIZER else 20.0


def test_four_threads_calling_everything_at_random_neither_deadlock_nor_desync(clips):
    decoder = reelpipe.MediaDecoder(clips["long_av"])
    duration = decoder.get_duration()
    decoder.start()
    quit_storm = threading.Event()
    errors: list[str] = []
    calls: dict[str, int] = {}
    calls_lock = threading.Lock()

    def check(condition: bool, what: str) -> None:
        if not condition:
            errors.append(what)

    def storm(seed: int) -> None:
        rng = random.Random(seed)
        operations = {
            "seek": lambda: decoder.seek(rng.choice((rng.uniform(0.0, duration), rng.uniform(0.0, duration),
                                                     -1.0, math.nan, duration + 3.0))),
            "pause": decoder.pause,
            "resume": decoder.resume,
            "set_volume": lambda: decoder.set_volume(rng.choice((0.0, 0.3, 1.0, 2.5, -1.0, math.nan))),
            "get_volume": lambda: check(math.isfinite(v := decoder.get_volume()) and v >= 0.0, f"volume {v}"),
            # A seek past the end sets the clocks to its target.
            "get_position": lambda: check(-0.5 <= (p := decoder.get_position()) <= duration + 3.5,
                                          f"position {p}"),
            "is_buffering": lambda: check(isinstance(decoder.is_buffering(), bool), "is_buffering"),
            "get_next_frame": lambda: check((f := decoder.get_next_frame()) is None or f.shape == (240, 320, 3),
                                            "picture shape"),
            "get_fps": lambda: check(decoder.get_fps() == FPS, "fps"),
        }
        names = list(operations)
        try:
            while not quit_storm.is_set():
                name = rng.choice(names)
                operations[name]()
                with calls_lock:
                    calls[name] = calls.get(name, 0) + 1
        except BaseException as exc:
            errors.append(f"{exc!r}")

    workers = [threading.Thread(target=storm, args=(seed,), name=f"storm-{seed}", daemon=True)
               for seed in range(4)]
    finished = threading.Event()
    stuck: list[str] = []

    def watchdog() -> None:
        if not finished.wait(STORM_SECONDS + 30.0):
            stuck.append("storm")
            faulthandler.dump_traceback(file=sys.stderr, all_threads=True)

    guard = threading.Thread(target=watchdog, name="storm-watchdog", daemon=True)
    guard.start()
    for worker in workers:
        worker.start()
    # get_next_frame waits for as long as the clock is paused: once all four
    # workers wait in it after a pause, none is left to resume. The test
    # thread resumes now and then, as a user would.
    end = time.monotonic() + STORM_SECONDS
    while time.monotonic() < end:
        time.sleep(0.25)
        decoder.resume()
    quit_storm.set()
    while any(w.is_alive() for w in workers) and not stuck:
        decoder.resume()
        for worker in workers:
            worker.join(0.05)
    finished.set()
    guard.join()
    if stuck:
        pytest.fail("the storm workers did not finish: deadlock (every thread's stack is on stderr)")
    assert not errors, errors[:20]
    assert len(calls) == 9 and min(calls.values()) >= 20, calls
    print(f"storm calls: {calls}")

    # Afterwards the decoder plays in time again within a second of a seek.
    decoder.set_volume(1.0)
    decoder.resume()
    decoder.seek(20.0)
    sought = time.monotonic()
    shown: list[tuple[float, float, float]] = []
    while time.monotonic() - sought < 2.0:
        picture = decoder.get_next_frame()
        if picture is None:
            time.sleep(0.005)
            continue
        shown.append((time.monotonic() - sought, frame_index_of(picture) / FPS, decoder.get_position()))
    decoder.stop()
    assert shown and shown[0][0] < 1.0, f"first picture after the seek: {shown[:1]}"
    assert len(shown) >= 8, shown
    for _, seconds, position in shown:
        assert 19.9 <= seconds <= 23.0, shown
        assert position - 0.13 <= seconds <= position + 0.03, shown
    assert [s for _, s, _ in shown] == sorted(s for _, s, _ in shown)


# ---------------------------------------------------------------- resources

CYCLES = 200


# Under a sanitizer the memory figures say nothing (see below); the cycle it
# repeats runs there in test_lifecycle.py, and each of its clips plays there
# in other tests.
@pytest.mark.soak
def test_cycles_leave_threads_and_fds_exactly_and_memory_flat(clips):
    # In a child, so nothing else in this process moves the numbers. Cycle 0
    # is the warm-up: the first device, numpy's import and FFmpeg's network
    # set-up stay for the life of the process.
    job = {"paths": [clips["av"], clips["video_only"], clips["audio_mp3"], clips["mkv_multi"]],
           "cycles": CYCLES, "play": 0.05, "seed": 3}
    run = run_child("cycles", job, env=child_env(), line_timeout=30.0)
    assert run.returncode == 0, run.describe()
    assert not run.sanitizer_reports(), run.describe()
    records = run.records
    assert len(records) == CYCLES + 1
    base, last = records[0], records[-1]
    assert sum(r["pictures"] for r in records) > CYCLES  # the cycles really played
    assert last["threads"] == base["threads"], [r["threads"] for r in records]
    assert last["fds"] == base["fds"]
    assert all(r["threads"] == base["threads"] for r in records[1:]), [r["threads"] for r in records]
    middle = statistics.median(r["rss"] for r in records[50:101])
    end = statistics.median(r["rss"] for r in records[150:201])
    print(f"RSS median cycles 50-100: {middle / 2**20:.1f} MiB, 150-200: {end / 2**20:.1f} MiB")
    if SANITIZER:
        # The quarantine holds freed memory and malloc is the sanitizer's:
        # only the plain build's numbers say anything about leaks.
        assert end - middle < 64 * 2**20
        return
    # Resident size wanders by a few MiB with malloc's per-thread arenas; one
    # leaked 320 x 240 picture per cycle with pictures would add about 17 MiB
    # between the two medians, 100 cycles apart. The heap in use does not
    # wander, so its margin is tight.
    assert end - middle < 8 * 2**20, f"RSS grew {(end - middle) / 2**20:.1f} MiB over 100 cycles"
    if base["heap"] is not None:
        heap_middle = statistics.median(r["heap"] for r in records[50:101])
        heap_end = statistics.median(r["heap"] for r in records[150:201])
        print(f"heap in use: {heap_middle / 2**20:.2f} MiB, then {heap_end / 2**20:.2f} MiB")
        assert heap_end - heap_middle < 2**20, f"heap in use grew {(heap_end - heap_middle) / 2**20:.2f} MiB"


_MANY_DECODERS = """
import sys, reelpipe
for _ in range(int(sys.argv[2])):
    reelpipe.MediaDecoder(sys.argv[1])
print("done")
"""


def test_hundreds_of_decoders_with_sound_in_one_process(clips):
    # Every decoder with sound opens a playback device. A player that works
    # through a long playlist makes that many in one process; whatever the
    # device layer loads and unloads to find a backend must survive it.
    env = child_env()
    result = subprocess.run([sys.executable, "-c", _MANY_DECODERS, clips["audio_mp3"], "600"],
                            capture_output=True, text=True, env=env, timeout=120, stdin=subprocess.DEVNULL)
    assert result.returncode == 0 and result.stdout.strip() == "done", \
        f"exit status {result.returncode}\n{stderr_tail(result.stderr)}"
    assert not sanitizer_reports(result.stderr), result.stderr[-5000:]


_VALGRIND_PLAY = """
import sys, time
import reelpipe
decoder = reelpipe.MediaDecoder(sys.argv[1])
decoder.start()
pictures = 0
end = time.monotonic() + 6.0
while pictures < 5 and time.monotonic() < end:
    picture = decoder.get_next_frame()
    if picture is None:
        time.sleep(0.01)
    else:
        pictures += 1
        del picture
decoder.seek(0.5)
decoder.get_next_frame()
decoder.stop()
decoder.start()
time.sleep(0.2)
del decoder
print("pictures", pictures)
"""


@pytest.fixture(scope="module")
def tiny_av(tmp_path_factory) -> str:
    path = tmp_path_factory.mktemp("tiny") / "tiny.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=96x64:rate=10:duration=2", "-f", "lavfi", "-i",
            "sine=frequency=440:sample_rate=44100:duration=2", "-map", "0:v", "-map", "1:a",
            "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-ac", "2",
            "-shortest", "-movflags", "+faststart", str(path))
    return str(path)


_OURS = re.compile(r"reelpipe|/engine/|/module/|pybind11|MediaDecoder|audio_data_callback")
# Frames that make the allocation someone else's: CPython and NumPy (which
# leak at exit by design), and the static constructors of libraries that
# miniaudio loads while it probes for a backend.
_FOREIGN = re.compile(r"Python-3\.\d|libpython3|/bin/python3[.\d]*\)|site-packages/numpy|dl-init\.c|_dl_init")
_BAD = re.compile(r"(definitely|indirectly) lost in loss record|Invalid (read|write|free)|Mismatched free")


def _owned_by_us(record: str) -> bool:
    # The first frame, from the allocation down, that is either ours or
    # foreign decides whose the block is.
    for frame in re.findall(r"(?:at|by) 0x[0-9A-Fa-f]+: (.*)", record):
        if _OURS.search(frame):
            return True
        if _FOREIGN.search(frame):
            return False
    return False


def _our_errors(log: str) -> list[str]:
    """The lost blocks and invalid accesses in a valgrind log that the extension is to blame for."""
    return [record for record in re.split(r"\n==\d+== \n", log) if _BAD.search(record) and _owned_by_us(record)]


@pytest.mark.skipif(bool(SANITIZER), reason="valgrind runs against the plain build, in the plain run")
def test_valgrind_finds_no_leak_or_invalid_access_in_the_extension(tiny_av, tmp_path):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        if IN_CI:
            pytest.fail("valgrind is missing: the Makefile's apt step installs it")
        pytest.skip("valgrind is not installed")
    log = tmp_path / "valgrind.log"
    env = child_env(PYTHONMALLOC="malloc")
    for name in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
        env.pop(name, None)
    result = subprocess.run(
        [valgrind, "--leak-check=full", "--errors-for-leak-kinds=definite,indirect", "--error-exitcode=99",
         "--num-callers=40", "--fullpath-after=", f"--log-file={log}",
         sys.executable, "-c", _VALGRIND_PLAY, tiny_av],
        capture_output=True, text=True, env=env, timeout=240, stdin=subprocess.DEVNULL)
    text = log.read_text(errors="replace")
    # CPython leaks at exit by design, so exit status 99 alone says nothing.
    assert result.returncode in (0, 99), f"exit {result.returncode}\n{result.stderr[-3000:]}\n{text[-3000:]}"
    assert "pictures" in result.stdout and int(result.stdout.split()[-1]) > 0, result.stdout
    assert "LEAK SUMMARY" in text or "All heap blocks were freed" in text, text[-3000:]
    ours = _our_errors(text)
    assert not ours, "\n\n".join(ours[:5])


# ---------------------------------------------------------------- sound far from its pictures

LATE_BY = 14.0  # seconds of pictures stored before the first sound


@pytest.fixture(scope="module")
def late_sound(tmp_path_factory) -> str:
    """An mkv whose sound for t=0 is stored after 14 s of pictures.

    Muxers interleave by timestamp, so the sound is first made 14 s late
    (-itsoffset) in an MPEG-TS, its PES timestamps are moved back by hand, and
    the result is copied into Matroska with -max_interleave_delta 1, which
    writes packets in the order they come instead of reordering them.
    Matroska keeps the sound's parameters in its header, so probing finds
    them without reaching the first sound packet.
    """
    folder = tmp_path_factory.mktemp("late_sound")
    late_ts, shifted, out = folder / "late.ts", folder / "shifted.ts", folder / "late_sound.mkv"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=10:duration=24",
            "-itsoffset", str(LATE_BY), "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=24",
            "-map", "0:v", "-map", "1:a", "-c:v", "libx264", "-preset", "veryfast", "-g", "10",
            "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k", "-ac", "2", "-f", "mpegts", str(late_ts))
    data = bytearray(late_ts.read_bytes())
    assert shift_pes_times(data, 0x101, int(LATE_BY * 90000)) > 50
    shifted.write_bytes(data)
    ffmpeg("-analyzeduration", "40M", "-probesize", "50M", "-dts_delta_threshold", "1000",
            "-i", str(shifted), "-map", "0", "-c", "copy", "-max_interleave_delta", "1", str(out))

    packets = _packets(str(out))
    first_sound = next(p for p in packets if p[0] == 1)
    pictures_before = [p[1] for p in packets if p[0] == 0 and p[2] < first_sound[2]]
    assert first_sound[1] < 0.1, first_sound
    assert max(pictures_before) > 10.0, "the recipe no longer stores the sound after 10 s of pictures"
    return str(out)


def test_sound_stored_far_after_its_pictures_still_plays_in_time(late_sound):
    probe = reelpipe_probe.Probe(late_sound)
    assert probe.state()["audio_stream_index"] >= 0, "the sound was not found: nothing to test"
    probe.start()
    try:
        assert wait_until(lambda: probe.next_frame_time() is not None, timeout=20.0), "no first picture"
        began, position = time.monotonic(), probe.get_position()
        pictures, longest_gap, last = 0, 0.0, time.monotonic()
        while time.monotonic() - began < 4.0:
            if probe.next_frame_time() is None:
                time.sleep(0.005)
                continue
            pictures += 1
            longest_gap, last = max(longest_gap, time.monotonic() - last), time.monotonic()
        advanced, elapsed = probe.get_position() - position, time.monotonic() - began
        state = probe.state()
    finally:
        probe.stop()
    detail = (f"{pictures} pictures, position +{advanced:.2f} s in {elapsed:.2f} s, longest gap "
              f"{longest_gap:.2f} s; demux_clock {state['demux_clock']:.2f} video_clock "
              f"{state['video_clock']:.2f} audio_demux_clock {state['audio_demux_clock']:.2f} "
              f"sound buffered {state['audio_buffer_bytes']} B")
    # Sound played in real time moves the clock at wall-clock speed; a sound
    # starved by the read-ahead limit stutters and moves it far slower.
    assert advanced > 0.75 * elapsed, detail
    assert longest_gap < 0.5 and pictures >= 0.75 * elapsed * FPS, detail


@pytest.fixture(scope="module")
def short_sound(tmp_path_factory) -> str:
    """40 s of pictures at 25 fps whose sound ends after 1 s."""
    path = tmp_path_factory.mktemp("short_sound") / "short_sound.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=160x120:rate=25:duration=40", "-f", "lavfi", "-i",
            "sine=frequency=440:sample_rate=48000:duration=1", "-map", "0:v", "-map", "1:a",
            "-c:v", "libx264", "-preset", "veryfast", "-g", "25", "-pix_fmt", "yuv420p",
            "-c:a", "aac", "-ac", "2", "-movflags", "+faststart", str(path))
    return str(path)


@pytest.mark.realtime
def test_pictures_outlasting_the_sound_keep_their_rate_and_a_bounded_read_ahead(short_sound):
    probe = reelpipe_probe.Probe(short_sound)
    probe.start()
    try:
        # Past the end of the sound (1 s, plus the time to buffer).
        assert wait_until(lambda: (probe.next_frame_time() or 0.0) > 2.0, timeout=15.0, interval=0.001)
        first, began, shown, most_ahead = None, time.monotonic(), 0, 0.0
        while time.monotonic() - began < 2.0:
            seconds = probe.next_frame_time()
            state = probe.state()
            most_ahead = max(most_ahead, state["demux_clock"] - state["video_clock"])
            if seconds is None:
                time.sleep(0.002)
                continue
            first = seconds if first is None else first
            last, shown = seconds, shown + 1
        elapsed = time.monotonic() - began
    finally:
        probe.stop()
    assert shown > 0, "the pictures stopped with the sound"
    problems = []
    # Once the sound has run out the pictures are paced by the wall clock,
    # at the stream's own rate.
    rate = (last - first) / elapsed
    if not 0.9 < rate < 1.1:
        problems.append(f"{shown} pictures spanning {last - first:.2f} s of video in {elapsed:.2f} s")
    # Reading does not run away to the end of the file: the pictures and
    # packets read ahead stay within the read-ahead limit.
    if most_ahead > 11.0:
        problems.append(f"read {most_ahead:.1f} s ahead of the picture shown")
    assert not problems, problems


# ---------------------------------------------------------------- absurd declarations


def _patch_mkv_size(source: bytes, width: int, height: int) -> bytes:
    # PixelWidth (0xB0) and PixelHeight (0xBA) of a 256 x 256 track, each a
    # two-byte unsigned integer (size byte 0x82).
    data = bytearray(source)
    for element, value in ((b"\xb0\x82\x01\x00", width), (b"\xba\x82\x01\x00", height)):
        at = data.find(element)
        assert at > 0, "no 256-pixel size element to patch"
        data[at + 2:at + 4] = value.to_bytes(2, "big")
    return bytes(data)


def _patch_wav_format(source: bytes, **fields: int) -> bytes:
    data = bytearray(source)
    at = data.find(b"fmt ") + 8
    names = ("format", "channels", "rate", "byte_rate", "block_align", "bits")
    values = dict(zip(names, struct.unpack("<HHIIHH", data[at:at + 16])))
    values.update(fields)
    data[at:at + 16] = struct.pack("<HHIIHH", *(values[n] for n in names))
    return bytes(data)


@pytest.fixture(scope="module")
def hostile(tmp_path_factory) -> dict[str, str]:
    """Files whose headers declare absurd picture sizes, sample rates or channel counts."""
    folder = tmp_path_factory.mktemp("hostile")
    source = ("-f", "lavfi", "-i", "testsrc2=size=256x256:rate=10:duration=1")
    ffmpeg(*source, "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", str(folder / "h264.mkv"))
    ffmpeg(*source, "-c:v", "rawvideo", "-pix_fmt", "yuv420p", str(folder / "raw.mkv"))
    ffmpeg(*source, "-pix_fmt", "yuv420p", str(folder / "raw.y4m"))
    ffmpeg("-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=3", "-ac", "2",
            "-c:a", "pcm_s16le", str(folder / "tone.wav"))
    h264, raw = (folder / "h264.mkv").read_bytes(), (folder / "raw.mkv").read_bytes()
    y4m, wav = (folder / "raw.y4m").read_bytes(), (folder / "tone.wav").read_bytes()
    made = {
        "h264 mkv 60000x60000": ("mkv", _patch_mkv_size(h264, 60000, 60000)),
        "raw mkv 60000x60000": ("mkv", _patch_mkv_size(raw, 60000, 60000)),
        "raw mkv 16000x16000": ("mkv", _patch_mkv_size(raw, 16000, 16000)),
        "raw mkv 65535x1": ("mkv", _patch_mkv_size(raw, 65535, 1)),
        "y4m 60000x60000": ("y4m", y4m.replace(b"W256 H256", b"W60000 H60000", 1)),
        "y4m 16000x16000": ("y4m", y4m.replace(b"W256 H256", b"W16000 H16000", 1)),
        "wav 1 Hz": ("wav", _patch_wav_format(wav, rate=1, byte_rate=4)),
        "wav 2147483647 Hz": ("wav", _patch_wav_format(wav, rate=0x7FFFFFFF)),
        "wav 1024 channels": ("wav", _patch_wav_format(wav, channels=1024, block_align=2048)),
    }
    paths = {}
    for number, (name, (ext, data)) in enumerate(made.items()):
        paths[name] = str(folder / f"hostile{number}.{ext}")
        Path(paths[name]).write_bytes(data)
    return paths


def test_absurd_declarations_neither_crash_nor_allocate_without_bound(hostile):
    names = list(hostile)
    run = run_child("hostile", {"paths": [hostile[n] for n in names], "seconds": 0.8}, line_timeout=30.0)
    assert run.returncode == 0 and len(run.records) == len(names), run.describe()
    assert not run.sanitizer_reports(), run.describe()
    peak = run.records[0]["start_rss"]
    problems = []
    for name, record in zip(names, run.records):
        if "refused" in record:
            if record["refused"] not in (OPEN_FAILED + hostile[name], NO_STREAM_INFO):
                problems.append(f"{name}: {record['refused']}")
        for shape in record.get("shapes", []):
            if shape[0] * shape[1] > 4096 * 4096:
                problems.append(f"{name}: a {shape} picture")
        grew, peak = record["max_rss"] - peak, max(peak, record["max_rss"])
        if grew > 256 * 2**20:
            problems.append(f"{name}: peak RSS grew by {grew / 2**20:.0f} MiB")
        if record["stop_took"] > 1.0:
            problems.append(f"{name}: stop() took {record['stop_took']:.2f} s")
    assert not problems, problems


# ---------------------------------------------------------------- frame budget below one picture


def test_budget_smaller_than_one_picture_still_lets_every_picture_through(clips):
    # The video thread always admits one picture into an empty queue, so a
    # budget of one byte slows nothing down and never holds more than that one.
    probe = reelpipe_probe.Probe(clips["frame_index_50"])
    probe.set_frame_budget(1)
    most = 0
    probe.start()
    try:
        times = []
        deadline = time.monotonic() + 20.0
        while len(times) < 50 and time.monotonic() < deadline:
            most = max(most, probe.state()["frames"])
            seconds = probe.next_frame_time()
            if seconds is None:
                time.sleep(0.002)
            else:
                times.append(seconds)
    finally:
        probe.stop()
    assert times == [pytest.approx(k / 25.0) for k in range(50)]
    assert most <= 1
