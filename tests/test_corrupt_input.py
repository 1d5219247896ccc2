"""Damaged input: hundreds of mutated copies of the test clips are opened and
played with seeks, each in a child process, and none may crash, hang, take
long to stop, raise anything but the two refusals of the constructor, or (in
the sanitizer run) leave a sanitizer report.

A failure names the clip and the seed; tools/mutate_clips.py makes the same
damaged file again for replaying by hand.
"""

from __future__ import annotations

import re
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from robustness_util import SANITIZER, Child, sanitizer_reports

# Every container, codec and stream layout the suite generates; a damaged
# header of each one exercises a different demuxer and decoder.
CLIPS = ("av", "video_only", "audio_mp3", "mkv_multi", "size_change_ts", "audio_ogg", "audio_wav",
         "negative_ts", "mono_to_stereo_ts", "frame_index_av", "audio_aac_mp4", "colour_bars")
INPUTS = 300
PLAY_SECONDS = 0.25     # per input: long enough for a few pictures, seeks and sound periods
PER_CHILD = 25          # inputs per child process; two children run at once
HANG = 20.0             # seconds one input may take before the child counts as hung


def _split(stderr: str) -> dict[int, str]:
    """Child stderr cut at its per-input markers: input id -> its part."""
    parts: dict[int, str] = {}
    current = -1
    for line in stderr.splitlines():
        match = re.match(r"### input (\d+):", line)
        if match:
            current = int(match.group(1))
            continue
        parts[current] = parts.get(current, "") + line + "\n"
    return parts


def _run_chunk(tasks: list[dict], folder: Path) -> tuple[list[dict], list[str]]:
    """Plays tasks in children, starting a new child after one dies; returns
    the records of the inputs that finished and a description per failure."""
    records, failures = [], []
    remaining = list(tasks)
    by_id = {task["id"]: task for task in tasks}
    while remaining:
        child = Child("corrupt", {"tasks": remaining, "seconds": PLAY_SECONDS, "folder": str(folder),
                                  "hang": HANG})
        begun: int | None = None
        done: set[int] = set()
        for record in child.records_until_exit(line_timeout=HANG + 10.0):
            if "begin" in record:
                begun = record["begin"]
            else:
                done.add(record["end"])
                records.append(record)
                if record["errors"]:
                    failures.append(f"{_name(by_id[record['end']])}: {record['errors']} ({record['steps']})")
        run = child.finish(line_timeout=HANG)
        for input_id, text in _split(run.stderr).items():
            reports = sanitizer_reports(text)
            if reports and input_id in by_id:
                failures.append(f"{_name(by_id[input_id])}: sanitizer report {reports[0]!r}\n{text[-3000:]}")
        if begun is not None and begun not in done:
            # The child died or hung inside this input.
            failures.append(f"{_name(by_id[begun])}: {run.describe()}")
            done.add(begun)
        elif run.returncode != 0:
            failures.append(f"child for inputs {[t['id'] for t in remaining]}: {run.describe()}")
            break
        remaining = [task for task in remaining if task["id"] not in done]
    return records, failures


def _name(task: dict) -> str:
    return (f"input {task['id']} (replay: python tools/mutate_clips.py {task['path']} --name {task['clip']} "
            f"--seed {task['seed']} -o bad{Path(task['path']).suffix})")


# Made once, in the sanitizer run, which sees every fault the plain build
# would show and memory errors besides; the plain run leaves it to that one.
@pytest.mark.sanitized
def test_damaged_clips_never_crash_hang_or_raise_outside_the_constructor(clips, tmp_path):
    tasks = [{"id": i, "clip": CLIPS[i % len(CLIPS)], "path": clips[CLIPS[i % len(CLIPS)]],
              "seed": i // len(CLIPS)} for i in range(INPUTS)]
    chunks = [tasks[i:i + PER_CHILD] for i in range(0, len(tasks), PER_CHILD)]
    with ThreadPoolExecutor(max_workers=2) as pool:
        results = list(pool.map(lambda chunk: _run_chunk(chunk, tmp_path), chunks))
    records = [record for chunk_records, _ in results for record in chunk_records]
    failures = [failure for _, chunk_failures in results for failure in chunk_failures]

    played = [r for r in records if r["outcome"] == "played"]
    refused = [r for r in records if r["outcome"] == "refused"]
    print(f"{len(records)} damaged inputs: {len(played)} played "
          f"({sum(r['pictures'] for r in played)} pictures), {len(refused)} refused at construction"
          f"{', sanitizer ' + SANITIZER if SANITIZER else ''}")
    assert not failures, f"{len(failures)} of {INPUTS} damaged inputs failed:\n" + "\n\n".join(failures)
    assert len(records) == INPUTS
    # Most damage leaves a playable file: the test would prove little if
    # nearly everything were refused at the door.
    assert len(played) > INPUTS // 2, f"only {len(played)} of {INPUTS} damaged inputs could be played"
