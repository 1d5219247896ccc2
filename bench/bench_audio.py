#!/usr/bin/env python3
"""What the sound path costs: the playback callback per device period, and the
CPU the audio decode thread spends per second of sound.

    make build && .venv/bin/python bench/bench_audio.py [--seconds 5] [--periods 10000]

Callback. reelpipe_probe's callback_timings(periods, frames) runs the real
playback callback `periods` times with a full sound buffer (refilled outside
the timed region) and times each call with the steady clock. Reported for the
null backend's 441-frame periods and PulseAudio's 826-frame periods: median,
99.9th percentile and worst, in ns per period.

Audio thread. A 40 s AAC clip (48 kHz stereo, so the resampler works too) is
played on miniaudio's null backend, which consumes sound in real time. The
threads of the process are listed from /proc/self/task before the decoder is
made, after it is made, and after start(): construction adds the device's
threads, start() adds the demux thread and then the audio decode thread, so
the audio decode thread is the newer of the two threads start() adds on an
input without pictures. Each thread's CPU time is read from
/proc/self/task/<tid>/schedstat (nanoseconds on the CPU). Two figures:
  - read-ahead burst: from start() until the sound buffer holds its 10 s, the
    audio thread's CPU divided by the seconds of sound it decoded;
  - steady playback: over --seconds of playback once the buffer is full, where
    the thread decodes as fast as the device plays, its CPU divided by the
    seconds the audio clock advanced.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BYTES_PER_SECOND = 176400  # playback format: s16 stereo at 44 100 Hz


def isolate_sound_server(folder: Path) -> None:
    """libpulse writes under HOME and looks for a server there; keep both private,
    so the device is miniaudio's null backend and nothing outside is touched."""
    for var, sub in (("HOME", "home"), ("XDG_CONFIG_HOME", "home/.config"),
                     ("XDG_RUNTIME_DIR", "runtime"), ("PULSE_RUNTIME_PATH", "pulse")):
        path = folder / sub
        path.mkdir(parents=True, exist_ok=True, mode=0o700)
        os.environ[var] = str(path)
    os.environ.pop("PULSE_SERVER", None)


def make_clip(folder: Path, seconds: int) -> str:
    path = folder / "bench.m4a"
    # A chord with a slow tremolo and some noise: ordinary AAC work.
    graph = ("aevalsrc=exprs='(0.6+0.4*sin(2*PI*2*t))*(0.15*sin(2*PI*220*t)+0.1*sin(2*PI*277.18*t)"
             f"+0.1*sin(2*PI*329.63*t))+0.02*(2*random(0)-1)':s=48000:d={seconds}")
    subprocess.run(["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi",
                    "-i", graph, "-ac", "2", "-c:a", "aac", "-b:a", "128k", str(path)],
                   check=True, timeout=120)
    return str(path)


def tasks() -> set[int]:
    return {int(t) for t in os.listdir("/proc/self/task")}


def cpu_ns(tid: int) -> int:
    """Time thread `tid` of this process has spent on a CPU, in ns."""
    with open(f"/proc/self/task/{tid}/schedstat") as f:
        return int(f.read().split()[0])


def wait_for(predicate, timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


def bench_callback(probe_cls, clip: str, periods: int) -> list[str]:
    lines = []
    for frames in (441, 826):
        probe = probe_cls(clip)
        probe.callback_timings(1000, frames)  # warm the buffer's pages and the caches
        timings = sorted(probe.callback_timings(periods, frames))
        del probe
        p999 = timings[min(len(timings) - 1, int(len(timings) * 0.999))]
        lines.append(f"callback {frames:4d} frames x {periods}: median {statistics.median(timings):8.0f} ns, "
                     f"p99.9 {p999:8.0f} ns, worst {timings[-1]:8.0f} ns "
                     f"(period lasts {frames / 44100 * 1e9:,.0f} ns)")
    return lines


class ThreadsUnclear(RuntimeError):
    """The threads start() added could not be told apart; worth another try."""


def bench_audio_thread(probe_cls, clip: str, seconds: float) -> list[str]:
    before = tasks()
    probe = probe_cls(clip)
    device_threads = sorted(tasks() - before)
    made = tasks()
    started_at = time.monotonic()
    probe.start()
    started = sorted(tasks() - made)
    if len(started) != 2:
        state = probe.state()
        probe.stop()
        raise ThreadsUnclear(f"start() added threads {started}; expected the demux and the audio thread "
                             f"(audio_device_ready {state['audio_device_ready']}, "
                             f"audio_thread {state['audio_thread']})")
    # Created in this order, and thread ids grow, unless they wrapped around
    # pid_max (32768 on some kernels) between the two.
    demux, audio = started if started[1] - started[0] < 16384 else started[::-1]
    cpu0 = {tid: cpu_ns(tid) for tid in (*device_threads, demux, audio)}
    lines = []
    try:
        full = 9.9 * BYTES_PER_SECOND
        if not wait_for(lambda: probe.state()["audio_buffer_bytes"] >= full, 30):
            raise RuntimeError(f"the sound buffer never filled: {probe.state()}")
        state = probe.state()
        burst_wall = time.monotonic() - started_at
        decoded = state["audio_buffer_bytes"] / BYTES_PER_SECOND + state["audio_clock"]
        burst_cpu = cpu_ns(audio) - cpu0[audio]
        lines.append(f"read-ahead burst: {decoded:.2f} s of sound decoded in {burst_wall * 1000:.0f} ms, "
                     f"audio thread {burst_cpu / 1e6:.1f} ms CPU = "
                     f"{burst_cpu / decoded / 1e6:.2f} ms per second of sound")

        cpu1 = {tid: cpu_ns(tid) for tid in cpu0}
        clock1, wall1 = probe.get_position(), time.monotonic()
        time.sleep(seconds)
        cpu2 = {tid: cpu_ns(tid) for tid in cpu0}
        clock2, wall2 = probe.get_position(), time.monotonic()
        played = clock2 - clock1
        names = {demux: "demux thread", audio: "audio decode thread"}
        for i, tid in enumerate(device_threads):
            names[tid] = f"device thread {i + 1} (miniaudio)"
        lines.append(f"steady playback: {played:.2f} s of sound in {wall2 - wall1:.2f} s of wall time")
        for tid in (audio, demux, *device_threads):
            spent = cpu2[tid] - cpu1[tid]
            lines.append(f"  {names[tid]:32s} {spent / 1e6:8.2f} ms CPU = {spent / played / 1e6:6.3f} ms "
                         f"per second of sound ({spent / (wall2 - wall1) / 1e7:.3f} % of a core)")
    finally:
        probe.stop()
    return lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="steady playback measured (default 5)")
    parser.add_argument("--periods", type=int, default=10000, help="callback calls per size (default 10000)")
    args = parser.parse_args()

    scratch = Path(tempfile.mkdtemp(prefix="reelpipe-bench-"))
    try:
        isolate_sound_server(scratch)
        sys.path.append(str(ROOT / "build" / "probe"))
        import reelpipe_probe  # after the environment is private: it loads libpulse

        clip = make_clip(scratch, seconds=int(args.seconds) + 35)
        for line in bench_callback(reelpipe_probe.Probe, clip, args.periods):
            print(line)
        # Another process's threads starting and ending meanwhile can blur the
        # thread list on a busy machine; a second attempt settles it.
        for attempt in range(3):
            try:
                lines = bench_audio_thread(reelpipe_probe.Probe, clip, args.seconds)
                break
            except ThreadsUnclear as unclear:
                if attempt == 2:
                    raise
                print(f"(retrying: {unclear})", file=sys.stderr)
        for line in lines:
            print(line)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
