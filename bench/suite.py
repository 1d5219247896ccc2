#!/usr/bin/env python3
"""reelpipe beside its peers, measured in one run on the same clips: `make bench`.

    .venv/bin/python bench/suite.py [--deadline EPOCH] [--out build/bench] [--chart bench/throughput.png]

Peers: PyAV, OpenCV, ffpyplayer (each if importable) and, as the ceiling, the
ffmpeg CLI decoding and converting to rgb24 into the null muxer. Every
measurement runs in a fresh process (bench/workers.py). Absolute times on a
shared two-core machine swing with the load, so the suite
  - runs the tools of one comparison back to back, in an order that rotates
    from round to round, and forms each ratio within one round;
  - repeats rounds while time is left and reports medians over rounds;
  - records the load average beside every run.
The rounds are scheduled against a deadline (10 minutes after `make bench`
started, less a margin for the report): the first round of every measure runs
first, then further rounds as long as the one before would still fit.

Measures (see RESULTS.md for what each figure means):
  throughput   unpaced pictures per second into arrays, clips without sound
  realtime     CPU seconds per media second, 1080p30 with sound, 20 s, vs ffpyplayer
  keepup       4K30 and 720p60 with sound in real time: dropped pictures, display window
  seek         50 random targets on 1080p30 with sound: seek() to the first picture >= t - 0.1
  start        opening to the first picture
  peak RSS     of every process above
  audio        bench/bench_audio.py (the sound path's own costs)
  sync         bench/bench_sync.py (pictures against their sound at a null sink)

Writes <out>/results.json (every run), <out>/report.md (the tables) and the
throughput chart.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))
import clips as clipmod  # noqa: E402
from workers import seek_targets  # noqa: E402

PY = sys.executable
PYTHON_PEERS = ("pyav", "opencv", "ffpyplayer")
MODULES = {"reelpipe": "reelpipe", "pyav": "av", "opencv": "cv2", "ffpyplayer": "ffpyplayer"}
NAMES = {"reelpipe": "reelpipe", "pyav": "PyAV", "opencv": "OpenCV", "ffpyplayer": "ffpyplayer",
         "ffmpeg": "ffmpeg CLI"}
THROUGHPUT_CLIPS = ("720p60", "1080p30", "2160p30")
REALTIME_CLIP, REALTIME_SECONDS = "1080p30-av", 20.0
KEEPUP_CLIPS = ("2160p30-av", "720p60-av")
SEEK_CLIP, SEEK_COUNT = "1080p30-av", 50
START_CLIP, START_REPEATS = "1080p30-av", 10
# reelpipe's video decoder runs with FFmpeg's automatic thread count (frame and
# slice threads); the ceiling decodes with the same.
FFMPEG_THREADS = "0"
MAX_ROUNDS = 5
MARGIN = 70.0  # seconds kept for the report, the chart and stopping the sound server


def now() -> float:
    return time.monotonic()


def load() -> float:
    return round(os.getloadavg()[0], 2)


class Schedule:
    """Knows the deadline and how long each kind of round took last time."""

    def __init__(self, deadline_epoch: float) -> None:
        self.end = now() + (deadline_epoch - time.time()) - MARGIN
        self.cost: dict[str, float] = {}

    def left(self) -> float:
        return self.end - now()

    def fits(self, kind: str, guess: float) -> bool:
        return self.cost.get(kind, guess) * 1.25 < self.left()

    def run(self, kind: str, guess: float, action) -> bool:
        if not self.fits(kind, guess):
            print(f"  skipped {kind}: {self.left():.0f} s left, it takes about "
                  f"{self.cost.get(kind, guess):.0f} s", flush=True)
            return False
        began = now()
        action()
        self.cost[kind] = now() - began
        return True


class Suite:
    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.out = Path(args.out)
        self.out.mkdir(parents=True, exist_ok=True)
        self.runs: list[dict] = []
        self.notes: list[str] = []
        self.tools = self._available_tools()
        self.clips: dict[str, str] = {}
        self.env = dict(os.environ)
        if args.reelpipe_path:
            self.env["PYTHONPATH"] = os.pathsep.join(filter(None, [args.reelpipe_path,
                                                                   self.env.get("PYTHONPATH")]))

    # ------------------------------------------------------------ set-up
    def _available_tools(self) -> list[str]:
        tools = []
        for tool, module in MODULES.items():
            found = subprocess.run([PY, "-c", f"import {module}"], capture_output=True, text=True)
            if found.returncode == 0:
                tools.append(tool)
            else:
                tail = (found.stderr.strip().splitlines() or ["?"])[-1]
                self.notes.append(f"{NAMES[tool]} could not be imported ({tail}); measured without it.")
        if shutil.which("ffmpeg"):
            tools.append("ffmpeg")
        if "reelpipe" not in tools:
            raise SystemExit("reelpipe is not importable: run `make build` first")
        return tools

    def make_clips(self) -> None:
        began = now()
        for name in clipmod.CLIPS:
            self.clips[name] = clipmod.clip_path(name)
        print(f"clips ready in {now() - began:.1f} s ({clipmod.CLIPS_DIR})", flush=True)

    # ------------------------------------------------------------ runs
    def worker(self, request: dict, timeout: float = 180.0) -> dict | None:
        began_load = load()
        try:
            done = subprocess.run([PY, str(BENCH / "workers.py"), json.dumps(request)], capture_output=True,
                                  text=True, timeout=timeout, env=self.env)
        except subprocess.TimeoutExpired:
            self.notes.append(f"{request['measure']} {request['tool']} {Path(request['clip']).name}: "
                              f"timed out after {timeout:.0f} s")
            return None
        lines = [line for line in done.stdout.splitlines() if line.startswith("RESULT ")]
        if done.returncode != 0 or not lines:
            tail = " | ".join(done.stderr.strip().splitlines()[-3:])
            self.notes.append(f"{request['measure']} {request['tool']} {Path(request['clip']).name}: "
                              f"failed (exit {done.returncode}): {tail}")
            return None
        result = json.loads(lines[-1][len("RESULT "):])
        result["load"] = began_load
        return result

    def ffmpeg_throughput(self, clip: str) -> dict | None:
        began_load = load()
        cmd = ["ffmpeg", "-hide_banner", "-nostdin", "-benchmark", "-threads", FFMPEG_THREADS, "-i", clip,
               "-f", "null", "-pix_fmt", "rgb24", "-"]
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=180)
        figures: dict[str, float] = {}
        pictures = 0
        for line in done.stderr.replace("\r", "\n").splitlines():
            if line.startswith("bench:"):
                for item in line.split()[1:]:
                    key, _, value = item.partition("=")
                    figures[key] = float(value.rstrip("skB"))
            elif line.startswith("frame="):
                pictures = int(line.split("=")[1].split()[0])
        if done.returncode != 0 or "rtime" not in figures:
            self.notes.append(f"ffmpeg CLI on {Path(clip).name} failed: {done.stderr.strip()[-200:]}")
            return None
        return {"pictures": pictures, "seconds": figures["rtime"], "cpu": figures["utime"] + figures["stime"],
                "peak_rss_mb": figures.get("maxrss", 0.0) / 1024.0, "load": began_load, "wrong": 0,
                "command": " ".join(cmd)}

    def record(self, measure: str, tool: str, clip: str, round_no: int, result: dict | None) -> None:
        if result is None:
            return
        result.update(measure=measure, tool=tool, clip=clip, round=round_no)
        self.runs.append(result)

    def throughput_round(self, round_no: int) -> None:
        tools = [t for t in ("reelpipe", *PYTHON_PEERS, "ffmpeg") if t in self.tools]
        shift = round_no % len(tools)
        order = tools[shift:] + tools[:shift]
        for name in THROUGHPUT_CLIPS:
            clip = clipmod.CLIPS[name]
            for tool in order:
                if tool == "ffmpeg":
                    result = self.ffmpeg_throughput(self.clips[name])
                else:
                    result = self.worker({"measure": "throughput", "tool": tool, "clip": self.clips[name],
                                          "pictures": clip.pictures})
                if result:
                    print(f"  throughput {name:8} {NAMES[tool]:10} {result['pictures'] / result['seconds']:7.1f} "
                          f"pictures/s, {1000 * result['cpu'] / max(1, result['pictures']):6.2f} ms CPU each "
                          f"(load {result['load']})", flush=True)
                self.record("throughput", tool, name, round_no, result)

    def realtime_run(self, measure: str, tools: list[str], name: str, seconds: float, round_no: int) -> None:
        clip = clipmod.CLIPS[name]
        for tool in tools:
            result = self.worker({"measure": "realtime", "tool": tool, "clip": self.clips[name], "fps": clip.fps,
                                  "seconds": seconds, "pictures": clip.pictures}, timeout=seconds * 3 + 60)
            if result:
                print(f"  {measure} {name:10} {NAMES[tool]:10} {result['cpu_total']:.3f} CPU s per media s "
                      f"(steady {result['cpu_steady'] or float('nan'):.3f}), dropped {result['dropped']}, "
                      f"in window {100 * result['in_window']:.1f} %, peak RSS {result['peak_rss_mb']:.0f} MB "
                      f"(load {result['load']})", flush=True)
            self.record(measure, tool, name, round_no, result)

    def realtime_round(self, round_no: int) -> None:
        tools = [t for t in ("reelpipe", "ffpyplayer") if t in self.tools]
        if round_no % 2:
            tools.reverse()
        self.realtime_run("realtime", tools, REALTIME_CLIP, REALTIME_SECONDS, round_no)

    def keepup_round(self, round_no: int) -> None:
        # ffpyplayer once, for its memory and drops beside reelpipe's.
        tools = ["reelpipe", *(["ffpyplayer"] if round_no == 1 and "ffpyplayer" in self.tools else [])]
        for name in KEEPUP_CLIPS:
            clip = clipmod.CLIPS[name]
            self.realtime_run("keepup", tools, name, float(clip.seconds), round_no)

    def seek_all(self) -> None:
        clip = clipmod.CLIPS[SEEK_CLIP]
        targets = seek_targets(SEEK_COUNT, clip.seconds)
        for tool in ("reelpipe", *PYTHON_PEERS):
            if tool not in self.tools:
                continue
            result = self.worker({"measure": "seek", "tool": tool, "clip": self.clips[SEEK_CLIP], "fps": clip.fps,
                                  "targets": targets}, timeout=120)
            if result:
                lat = sorted(result["latencies"])
                print(f"  seek {NAMES[tool]:10} median {1000 * statistics.median(lat):6.1f} ms, "
                      f"p95 {1000 * percentile(lat, 95):6.1f} ms (load {result['load']})", flush=True)
            self.record("seek", tool, SEEK_CLIP, 0, result)

    def seek_floor(self) -> None:
        """What decoding alone costs a seek: the pictures from the key frame
        before each target up to it, at the ffmpeg CLI's decode-only cost (no
        conversion) with the same threading as reelpipe. The CPU it spends per
        picture, spread over every core, bounds any tool on this machine
        however idle; its wall-clock speed is what the load allowed."""
        clip = clipmod.CLIPS[SEEK_CLIP]
        path = self.clips[SEEK_CLIP]
        packets = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                  "packet=pts_time,flags", "-of", "csv=p=0", path],
                                 capture_output=True, text=True, check=True).stdout.split()
        keys = sorted(float(p.split(",")[0]) for p in packets if ",K" in p)
        floor: dict = {"keys": keys, "load": load()}
        # Skipping pictures nothing refers to is the one shortcut a decoder can
        # take on the way to a target without spoiling it.
        for name, extra in (("all", []), ("noref", ["-skip_frame", "noref"])):
            runs = []
            for _ in range(3):
                cmd = ["ffmpeg", "-hide_banner", "-nostdin", "-benchmark", "-threads", FFMPEG_THREADS, *extra,
                       "-i", path, "-map", "0:v", "-f", "null", "-"]
                done = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
                figures = {}
                for line in done.stderr.splitlines():
                    if line.startswith("bench: utime"):
                        figures = {k: float(v.rstrip("s")) for k, v in (i.split("=") for i in line.split()[1:])}
                if figures:
                    runs.append(figures)
            if runs:
                # seconds of the clip decoded per second of wall time, and CPU
                # seconds per second of the clip
                floor[name] = {"speed": median([clip.seconds / r["rtime"] for r in runs]),
                               "cpu": median([(r["utime"] + r["stime"]) / clip.seconds for r in runs])}
        targets = seek_targets(SEEK_COUNT, clip.seconds)
        spans = [t - 0.1 - max([k for k in keys if k <= t - 0.1] or [0.0]) for t in targets]
        floor["span_median"], floor["span_p95"] = median(spans), percentile(spans, 95)
        cores = os.cpu_count() or 1
        for name in ("all", "noref"):
            if name in floor:
                f = floor[name]
                f["idle_median"] = floor["span_median"] * f["cpu"] / cores
                f["idle_p95"] = floor["span_p95"] * f["cpu"] / cores
                f["wall_median"] = floor["span_median"] / f["speed"]
        if "all" in floor:
            print(f"  seek floor: key frames at {', '.join(f'{k:g}' for k in keys)} s; median target "
                  f"{floor['span_median']:.2f} s after one; decoding that takes >= "
                  f"{1000 * floor['all']['idle_median']:.0f} ms on {cores} idle cores "
                  f"({1000 * floor['all']['wall_median']:.0f} ms at this load)", flush=True)
        self.runs.append({"measure": "seek_floor", **floor})

    def start_all(self) -> None:
        for tool in ("reelpipe", *PYTHON_PEERS):
            if tool not in self.tools:
                continue
            result = self.worker({"measure": "start", "tool": tool, "clip": self.clips[START_CLIP],
                                  "repeats": START_REPEATS}, timeout=120)
            if result:
                print(f"  start {NAMES[tool]:10} cold {1000 * result['cold']:6.1f} ms, "
                      f"warm median {1000 * result['warm_median']:6.1f} ms", flush=True)
            self.record("start", tool, START_CLIP, 0, result)

    def script_bench(self, measure: str, script: str, args: list[str], timeout: float) -> None:
        """Runs one of the bench scripts beside this one and keeps what it printed."""
        done = subprocess.run([PY, str(BENCH / script), *args],
                              capture_output=True, text=True, timeout=timeout, env=self.env)
        lines = done.stdout.strip().splitlines()
        if done.returncode != 0:
            lines.append(f"({script} failed, exit {done.returncode}: {done.stderr.strip()[-300:]})")
        print("\n".join("  " + line for line in lines), flush=True)
        self.runs.append({"measure": measure, "lines": lines, "load": load()})

    def audio_bench(self) -> None:
        self.script_bench("audio", "bench_audio.py", ["--seconds", "5", "--periods", "10000"], 150)

    def sync_bench(self) -> None:
        self.script_bench("sync", "bench_sync.py", ["--runs", "2"], 120)

    # ------------------------------------------------------------ schedule
    def run(self, schedule: Schedule) -> None:
        sequence = [
            ("throughput", 150, self.throughput_round),
            ("realtime", 50, self.realtime_round),
            ("keepup", 25, self.keepup_round),
        ]
        for kind, guess, action in sequence:
            schedule.run(kind, guess, lambda: action(1))
        schedule.run("seek", 90, self.seek_all)
        schedule.run("seek floor", 20, self.seek_floor)
        schedule.run("start", 20, self.start_all)
        schedule.run("audio", 25, self.audio_bench)
        schedule.run("sync", 30, self.sync_bench)
        for round_no in range(2, MAX_ROUNDS + 1):
            ran = False
            for kind, guess, action in sequence:
                if kind == "keepup" and round_no > 3:
                    continue
                ran |= schedule.run(kind, guess, lambda: action(round_no))
            if not ran:
                break


def percentile(values: list[float], p: float) -> float:
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    rank = (len(ordered) - 1) * p / 100.0
    low = int(rank)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (rank - low)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


# ---------------------------------------------------------------- environment
def isolate_sound(scratch: Path) -> subprocess.Popen | None:
    """Private HOME and sound-server folders, and a PulseAudio server with one
    null sink in them, so reelpipe (miniaudio) and ffpyplayer (SDL) play to
    the same sink in real time. Without pulseaudio, miniaudio falls back to
    its null backend and ffpyplayer plays no sound."""
    folders = {"HOME": scratch / "home", "XDG_CONFIG_HOME": scratch / "home" / ".config",
               "XDG_RUNTIME_DIR": scratch / "runtime", "PULSE_RUNTIME_PATH": scratch / "pulse"}
    for var, path in folders.items():
        path.mkdir(parents=True, exist_ok=True)
        path.chmod(0o700)
        os.environ[var] = str(path)
    (scratch / "home" / ".config" / "pulse").mkdir(exist_ok=True)
    (scratch / "home" / ".config" / "pulse" / "client.conf").write_text("autospawn = no\n")
    os.environ.pop("PULSE_SERVER", None)
    if not shutil.which("pulseaudio"):
        return None
    server = subprocess.Popen(
        ["pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
         "--load=module-null-sink norewinds=1", "--load=module-native-protocol-unix", "--log-level=error"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = now() + 10
    while now() < deadline:
        if subprocess.run(["pactl", "info"], capture_output=True).returncode == 0:
            subprocess.run(["pactl", "set-default-sink", "null"], capture_output=True)
            return server
        time.sleep(0.05)
    server.terminate()
    server.wait()
    return None


def machine() -> dict:
    info: dict = {"nproc": os.cpu_count(), "python": platform.python_version(), "kernel": platform.release()}
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                info["cpu"] = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        info["ram_gb"] = round(int(f.readline().split()[1]) / 1024 / 1024, 1)
    try:
        info["os"] = dict(line.rstrip().split("=", 1) for line in open("/etc/os-release")
                          if "=" in line).get("PRETTY_NAME", "").strip('"')
    except OSError:
        pass
    info["ffmpeg"] = clipmod.ffmpeg_version()
    probe = (
        "import json, importlib\n"
        "out = {}\n"
        "def get(name, fn):\n"
        "    try: out[name] = fn()\n"
        "    except Exception as e: out[name] = None\n"
        "get('numpy', lambda: importlib.import_module('numpy').__version__)\n"
        "get('av', lambda: importlib.import_module('av').__version__ + ' (FFmpeg ' + "
        "str(importlib.import_module('av').ffmpeg_version_info) + ', libavcodec ' + "
        "'.'.join(map(str, importlib.import_module('av').library_versions['libavcodec'])) + ')')\n"
        "def cv():\n"
        "    import cv2\n"
        "    line = [l for l in cv2.getBuildInformation().splitlines() if 'avcodec' in l][0]\n"
        "    return cv2.__version__ + ' (libavcodec ' + line.split('(')[1].rstrip(')') + ')'\n"
        "get('opencv', cv)\n"
        "def ffp():\n"
        "    import ffpyplayer, glob, os, re\n"
        "    libs = glob.glob(os.path.join(os.path.dirname(ffpyplayer.__file__) + '.libs', 'libavcodec*'))\n"
        "    ver = re.search(r'so\\.([0-9.]+)$', libs[0]).group(1) if libs else '?'\n"
        "    return ffpyplayer.__version__ + ' (libavcodec ' + ver + ')'\n"
        "get('ffpyplayer', ffp)\n"
        "get('matplotlib', lambda: importlib.import_module('matplotlib').__version__)\n"
        "print(json.dumps(out))\n"
    )
    done = subprocess.run([PY, "-c", probe], capture_output=True, text=True)
    if done.returncode == 0:
        info.update(json.loads(done.stdout.strip().splitlines()[-1]))
    info["ffmpeg"] = " ".join(info["ffmpeg"].split()[:3])  # "ffmpeg version 5.1.x", no copyright
    for line in subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout.splitlines():
        if line.startswith("libavcodec"):
            # "libavcodec     59. 37.100 / 59. 37.100": the version the CLI runs with
            info["ffmpeg_libavcodec"] = "".join(line.split("/")[1].split())
    return info


# ---------------------------------------------------------------- report
def fps_of(run: dict) -> float:
    return run["pictures"] / run["seconds"]


def fmt(value, pattern: str = "{:.1f}", none: str = "–") -> str:
    return none if value is None else pattern.format(value)


def verdict(ok: bool | None) -> str:
    return "–" if ok is None else ("met" if ok else "missed")


def summarise(runs: list[dict], tools: list[str]) -> dict:
    """Medians over rounds, and ratios formed within each round."""
    summary: dict = {"throughput": {}, "realtime": {}, "keepup": {}, "seek": {}, "start": {}, "rss": {}}
    by = lambda **kw: [r for r in runs if all(r.get(k) == v for k, v in kw.items())]  # noqa: E731

    for clip in THROUGHPUT_CLIPS:
        entry: dict = {"tools": {}, "ratios": {}}
        for tool in tools:
            mine = by(measure="throughput", tool=tool, clip=clip)
            if mine:
                fps = [fps_of(r) for r in mine]
                entry["tools"][tool] = {
                    "fps": median(fps), "min": min(fps), "max": max(fps), "runs": len(fps),
                    "cpu_ms": median([1000 * r["cpu"] / max(1, r["pictures"]) for r in mine]),
                    "faults": median([r["faults"] / max(1, r["pictures"]) for r in mine if "faults" in r]),
                    "pictures": median([r["pictures"] for r in mine]),
                    "wrong": sum(r.get("wrong", 0) for r in mine),
                    "first": median([r.get("first") for r in mine]),
                    "rss": median([r["peak_rss_mb"] for r in mine]),
                }
        ours = {r["round"]: r for r in by(measure="throughput", tool="reelpipe", clip=clip)}
        for tool in tools:
            if tool == "reelpipe":
                continue
            pairs = [fps_of(ours[r["round"]]) / fps_of(r) for r in by(measure="throughput", tool=tool, clip=clip)
                     if r["round"] in ours]
            cpu_pairs = [(ours[r["round"]]["cpu"] / ours[r["round"]]["pictures"]) / (r["cpu"] / r["pictures"])
                         for r in by(measure="throughput", tool=tool, clip=clip) if r["round"] in ours]
            if pairs:
                entry["ratios"][tool] = {"fps": median(pairs), "cpu": median(cpu_pairs), "rounds": len(pairs)}
        peers = {t: v for t, v in entry["tools"].items() if t in PYTHON_PEERS}
        if peers:
            entry["best_peer"] = max(peers, key=lambda t: peers[t]["fps"])
        summary["throughput"][clip] = entry

    real = {}
    for tool in ("reelpipe", "ffpyplayer"):
        mine = by(measure="realtime", tool=tool)
        if mine:
            real[tool] = {"cpu_total": median([r["cpu_total"] for r in mine]),
                          "cpu_steady": median([r["cpu_steady"] for r in mine]),
                          "dropped": max(r["dropped"] for r in mine),
                          "in_window": min(r["in_window"] for r in mine),
                          "rss": median([r["peak_rss_mb"] for r in mine]), "runs": len(mine)}
    ours = {r["round"]: r for r in by(measure="realtime", tool="reelpipe")}
    theirs = by(measure="realtime", tool="ffpyplayer")
    pairs_total = [ours[r["round"]]["cpu_total"] / r["cpu_total"] for r in theirs if r["round"] in ours]
    pairs_steady = [ours[r["round"]]["cpu_steady"] / r["cpu_steady"] for r in theirs
                    if r["round"] in ours and r["cpu_steady"] and ours[r["round"]]["cpu_steady"]]
    summary["realtime"] = {"tools": real, "ratio_total": median(pairs_total), "ratio_steady": median(pairs_steady)}

    for clip, tool in ((c, t) for c in KEEPUP_CLIPS for t in ("reelpipe", "ffpyplayer")):
        mine = by(measure="keepup", tool=tool, clip=clip)
        if mine:
            summary["keepup"][f"{clip}/{tool}"] = {"clip": clip, "tool": tool,
                "runs": len(mine), "dropped": [r["dropped"] for r in mine],
                "in_window": [r["in_window"] for r in mine], "cpu_total": median([r["cpu_total"] for r in mine]),
                "in_window_after_1s": [r.get("in_window_after_1s", 0.0) for r in mine],
                "pictures": [r["distinct"] for r in mine], "in_clip": mine[0]["pictures_in_clip"],
                "rss": median([r["peak_rss_mb"] for r in mine]),
                "worst": min(min(r["worst_offsets"] or [0]) for r in mine),
            }
    for r in by(measure="seek"):
        lat = r["latencies"]
        summary["seek"][r["tool"]] = {"median": statistics.median(lat), "p95": percentile(lat, 95),
                                      "max": max(lat), "count": len(lat), "stale": r.get("stale", 0),
                                      "lost": r.get("lost", 0)}
    for r in by(measure="start"):
        summary["start"][r["tool"]] = {"cold": r["cold"], "warm": r["warm_median"]}

    for r in runs:
        if "peak_rss_mb" in r and r["measure"] in ("throughput", "realtime", "keepup"):
            key = f"{r['clip']} ({'unpaced' if r['measure'] == 'throughput' else 'real time, sound'})"
            summary["rss"].setdefault(key, {}).setdefault(r["tool"], []).append(r["peak_rss_mb"])
    return summary


def report(summary: dict, info: dict, runs: list[dict], notes: list[str], tools: list[str], meta: dict) -> str:
    out: list[str] = []
    w = out.append
    w("# reelpipe benchmark report\n")
    w(f"Run {meta['date']}, `{meta['command']}`, {meta['seconds']:.0f} s. Load average (1 min) "
      f"{meta['load_start']} at the start, {meta['load_end']} at the end; per-run loads "
      f"{min(meta['loads'], default=0)}–{max(meta['loads'], default=0)}.\n")
    w(f"Machine: {info.get('nproc')} CPUs ({info.get('cpu')}), {info.get('ram_gb')} GB RAM, {info.get('os')}, "
      f"kernel {info.get('kernel')}.  ")
    w(f"Versions: CPython {info.get('python')}; {info.get('ffmpeg')} (libavcodec {info.get('ffmpeg_libavcodec')}, "
      f"used by reelpipe and the ffmpeg CLI); NumPy {info.get('numpy')}; PyAV {info.get('av')}; "
      f"OpenCV {info.get('opencv')}; ffpyplayer {info.get('ffpyplayer')}; matplotlib {info.get('matplotlib')}.\n")
    if notes:
        w("Notes:\n")
        for note in notes:
            w(f"- {note}")
        w("")

    w("## 1. Throughput, unpaced (clips without sound; pictures per second into NumPy arrays)\n")
    w("Opening to the last picture. Median over rounds (min–max); ratio = reelpipe / peer within one round, "
      "median over rounds; CPU = process CPU per picture.\n")
    w("| clip | tool | pictures/s | min–max | runs | CPU ms/picture | page faults/picture | first picture ms "
      "| reelpipe ÷ tool (speed) | reelpipe ÷ tool (CPU/picture) |")
    w("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for clip, entry in summary["throughput"].items():
        for tool in tools:
            t = entry["tools"].get(tool)
            if not t:
                continue
            ratio = entry["ratios"].get(tool, {})
            name = NAMES[tool] + (" (best Python peer)" if entry.get("best_peer") == tool else "")
            w(f"| {clipmod.CLIPS[clip].label} | {name} | {t['fps']:.1f} | {t['min']:.0f}–{t['max']:.0f} | "
              f"{t['runs']} | {t['cpu_ms']:.2f} | {fmt(t['faults'], '{:.0f}')} | "
              f"{fmt(t['first'] and 1000 * t['first'], '{:.0f}')} | "
              f"{fmt(ratio.get('fps'), '{:.2f}')} | {fmt(ratio.get('cpu'), '{:.2f}')} |")
    w("")
    w("| clip | target | ratio | verdict |")
    w("|---|---|---:|---|")
    for clip, entry in summary["throughput"].items():
        best = entry.get("best_peer")
        if best and best in entry["ratios"]:
            r = entry["ratios"][best]["fps"]
            w(f"| {clipmod.CLIPS[clip].label} | ≥ 1.3 × best Python peer ({NAMES[best]}) | {r:.2f} | "
              f"{verdict(r >= 1.3)} |")
        if "ffmpeg" in entry["ratios"]:
            r = entry["ratios"]["ffmpeg"]["fps"]
            w(f"| {clipmod.CLIPS[clip].label} | ≥ 0.9 × ffmpeg CLI (-threads {FFMPEG_THREADS}) | {r:.2f} | "
              f"{verdict(r >= 0.9)} |")
    w("")
    bad = [f"{NAMES[t]} {c}: {v['wrong']}" for c, e in summary["throughput"].items()
           for t, v in e["tools"].items() if v["wrong"]]
    w("Pictures out of order or missing: " + (", ".join(bad) if bad else "none") + ".\n")

    w(f"## 2. CPU per media second, {clipmod.CLIPS[REALTIME_CLIP].label} with sound, "
      f"{REALTIME_SECONDS:.0f} s in real time\n")
    w("Whole process (getrusage, all threads). *total*: from opening to the end of the run, divided by the "
      "media seconds played; *steady*: over the second half of the run only.\n")
    rt = summary["realtime"]
    w("| tool | CPU s / media s (total) | CPU s / media s (steady) | runs | dropped after 1 s (worst) "
      "| in window (worst) | peak RSS MB |")
    w("|---|---:|---:|---:|---:|---:|---:|")
    for tool, t in rt["tools"].items():
        w(f"| {NAMES[tool]} | {fmt(t['cpu_total'], '{:.3f}')} | {fmt(t['cpu_steady'], '{:.3f}')} | {t['runs']} | "
          f"{t['dropped']} | {100 * t['in_window']:.1f} % | {t['rss']:.0f} |")
    w("")
    w(f"reelpipe ÷ ffpyplayer (pairwise, median): total {fmt(rt['ratio_total'], '{:.2f}')}, steady "
      f"{fmt(rt['ratio_steady'], '{:.2f}')}; target ≤ 0.8: total "
      f"{verdict(None if rt['ratio_total'] is None else rt['ratio_total'] <= 0.8)}, steady "
      f"{verdict(None if rt['ratio_steady'] is None else rt['ratio_steady'] <= 0.8)}.\n")

    w("## 3. Keeping up in real time, with sound\n")
    w("Each run plays the whole clip. A picture is in the window when its time t (read from its pixels) "
      "satisfies pos - 0.1 ≤ t ≤ pos + 0.01, pos being get_position() right after get_next_frame() returned it.\n")
    w("| clip | tool | runs | pictures delivered (of the clip's) | dropped after 1 s | in window, all pictures "
      "| in window, after 1 s | worst offset ms | CPU s / media s | peak RSS MB | verdict |")
    w("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---|")
    for k in summary["keepup"].values():
        ok = max(k["dropped"]) == 0 and min(k["in_window"]) >= 0.995
        w(f"| {clipmod.CLIPS[k['clip']].label} | {NAMES[k['tool']]} | {k['runs']} | {', '.join(map(str, k['pictures']))} ({k['in_clip']}) | "
          f"{', '.join(map(str, k['dropped']))} | {', '.join(f'{100 * v:.1f} %' for v in k['in_window'])} | "
          f"{', '.join(f'{100 * v:.1f} %' for v in k['in_window_after_1s'])} | "
          f"{1000 * k['worst']:.0f} | {k['cpu_total']:.3f} | {k['rss']:.0f} | {verdict(ok)} |")
    w("")

    w(f"## 4. Seek latency, {SEEK_COUNT} random targets on {clipmod.CLIPS[SEEK_CLIP].label} "
      "(GOP 250, with sound)\n")
    w("From the seek call to holding the first picture at or after t - 0.1 s, same targets for every tool.\n")
    w("| tool | median ms | p95 ms | max ms | seeks | stale pictures | reelpipe ÷ tool (median) |")
    w("|---|---:|---:|---:|---:|---:|---:|")
    ours = summary["seek"].get("reelpipe")
    for tool, s in summary["seek"].items():
        ratio = ours["median"] / s["median"] if ours and tool != "reelpipe" else None
        w(f"| {NAMES[tool]} | {1000 * s['median']:.0f} | {1000 * s['p95']:.0f} | {1000 * s['max']:.0f} | "
          f"{s['count']} | {s['stale']} | {fmt(ratio, '{:.2f}')} |")
    floor = [r for r in runs if r["measure"] == "seek_floor"]
    if floor and "all" in floor[-1]:
        f = floor[-1]
        w(f"\nThe floor decoding alone sets: key frames at {', '.join(f'{k:g}' for k in f['keys'])} s, so the "
          f"median target lies {f['span_median']:.2f} s (p95 {f['span_p95']:.2f} s) after the key frame before "
          f"it. Decoding only (ffmpeg CLI, -threads {FFMPEG_THREADS}, no conversion) costs "
          f"{f['all']['cpu']:.3f} CPU s per second of this clip, so even with all {os.cpu_count()} cores idle the "
          f"median seek needs ≥ {1000 * f['all']['idle_median']:.0f} ms (p95 ≥ {1000 * f['all']['idle_p95']:.0f} "
          f"ms) in any tool; at the load of the run the CLI took {1000 * f['all']['wall_median']:.0f} ms for "
          f"the median span (load {f['load']}).")
        if "noref" in f:
            w(f"Skipping non-reference pictures on the way (-skip_frame noref) would cost "
              f"{f['noref']['cpu']:.3f} CPU s per clip second: median floor "
              f"{1000 * f['noref']['idle_median']:.0f} ms.")
    if ours:
        w(f"\nTarget median < 150 ms: {verdict(ours['median'] < 0.150)}.\n")

    w(f"## 5. Start latency, opening to the first picture ({clipmod.CLIPS[START_CLIP].label} with sound, "
      "local file)\n")
    w(f"| tool | first in the process ms | median of the next {START_REPEATS - 1} ms |")
    w("|---|---:|---:|")
    for tool, s in summary["start"].items():
        w(f"| {NAMES[tool]} | {1000 * s['cold']:.0f} | {fmt(s['warm'] and 1000 * s['warm'], '{:.0f}')} |")
    if "reelpipe" in summary["start"]:
        s = summary["start"]["reelpipe"]
        w(f"\nTarget < 100 ms: {verdict(s['warm'] is not None and s['warm'] < 0.100)} "
          f"(cold: {verdict(s['cold'] < 0.100)}).\n")

    w("## 6. Peak RSS (MB, median of the runs)\n")
    shown = [t for t in tools]
    w("| clip | " + " | ".join(NAMES[t] for t in shown) + " |")
    w("|---|" + "---:|" * len(shown))
    for key in sorted(summary["rss"]):
        row = summary["rss"][key]
        w(f"| {key} | " + " | ".join(fmt(median(row.get(t, [])), "{:.0f}") for t in shown) + " |")
    w("")

    for measure, title in (("audio", "Sound path (bench/bench_audio.py)"),
                           ("sync", "Sync at the sink (bench/bench_sync.py)")):
        printed = [r for r in runs if r["measure"] == measure]
        if printed:
            w(f"## {title}\n")
            w("```")
            out.extend(printed[-1]["lines"])
            w("```\n")
    return "\n".join(out) + "\n"


def chart(summary: dict, tools: list[str], path: Path, info: dict) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    clips = [c for c in THROUGHPUT_CLIPS if summary["throughput"].get(c, {}).get("tools")]
    fig, axes = plt.subplots(1, len(clips), figsize=(4.2 * len(clips), 4.2))
    axes = [axes] if len(clips) == 1 else list(axes)
    colours = {"reelpipe": "#d62728", "pyav": "#1f77b4", "opencv": "#2ca02c", "ffpyplayer": "#9467bd",
               "ffmpeg": "#7f7f7f"}
    for ax, clip in zip(axes, clips):
        entry = summary["throughput"][clip]
        shown = [t for t in tools if t in entry["tools"]]
        values = [entry["tools"][t]["fps"] for t in shown]
        low = [entry["tools"][t]["fps"] - entry["tools"][t]["min"] for t in shown]
        high = [entry["tools"][t]["max"] - entry["tools"][t]["fps"] for t in shown]
        bars = ax.bar(range(len(shown)), values, yerr=[low, high], capsize=3,
                      color=[colours[t] for t in shown])
        for bar, value in zip(bars, values):
            ax.annotate(f"{value:.0f}", (bar.get_x() + bar.get_width() / 2, value / 2), ha="center",
                        va="center", fontsize=9, color="white", fontweight="bold")
        ax.set_xticks(range(len(shown)), [NAMES[t] for t in shown], rotation=30, ha="right", fontsize=8)
        ax.set_title(f"{clipmod.CLIPS[clip].label} ({clipmod.CLIPS[clip].pictures} pictures)", fontsize=10)
        ax.set_ylabel("pictures per second (median, min–max)" if ax is axes[0] else "")
        ax.grid(axis="y", alpha=0.3)
    fig.suptitle(f"Unpaced decode to RGB arrays, {info.get('nproc')} × {info.get('cpu')}", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--deadline", type=float, default=time.time() + 540,
                        help="epoch seconds by which everything must be done (default: 9 minutes from now)")
    parser.add_argument("--out", default=str(ROOT / "build" / "bench"))
    parser.add_argument("--chart", default=str(BENCH / "throughput.png"))
    parser.add_argument("--reelpipe-path", default="",
                        help="a folder holding another build of reelpipe to measure instead of the installed one")
    parser.add_argument("--command", default="make bench", help="the command named in the report")
    args = parser.parse_args()

    began = now()
    scratch = Path(tempfile.mkdtemp(prefix="reelpipe-bench-"))
    server = isolate_sound(scratch)
    try:
        suite = Suite(args)
        if server is None:
            suite.notes.append("No PulseAudio server: reelpipe played to miniaudio's null backend and ffpyplayer "
                               "without sound.")
        load_start = load()
        print(f"load average {load_start}; tools: {', '.join(NAMES[t] for t in suite.tools)}", flush=True)
        info = machine()
        suite.make_clips()
        suite.run(Schedule(args.deadline))
        load_end = load()
    finally:
        if server is not None:
            server.terminate()
            server.wait(timeout=10)
        shutil.rmtree(scratch, ignore_errors=True)

    summary = summarise(suite.runs, suite.tools)
    meta = {"date": time.strftime("%Y-%m-%d %H:%M %Z"), "command": args.command, "seconds": now() - began,
            "load_start": load_start, "load_end": load_end,
            "loads": [r["load"] for r in suite.runs if "load" in r]}
    (suite.out / "results.json").write_text(json.dumps(
        {"meta": meta, "machine": info, "notes": suite.notes, "summary": summary, "runs": suite.runs}, indent=1))
    text = report(summary, info, suite.runs, suite.notes, suite.tools, meta)
    (suite.out / "report.md").write_text(text)
    try:
        chart(summary, suite.tools, Path(args.chart), info)
    except ImportError:
        print("matplotlib is missing: no chart", file=sys.stderr)
    print(text)
    print(f"written: {suite.out / 'results.json'}, {suite.out / 'report.md'}, {args.chart} "
          f"({now() - began:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
