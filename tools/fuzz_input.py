#!/usr/bin/env python3
"""Coverage-guided fuzzing of reelpipe's input handling with atheris.

Each fuzz input is written to a file and played the way an application
would: MediaDecoder(path), start(), a few pictures taken on a render thread,
a seek, stop(). A crash, a sanitizer report, a hang (libFuzzer's -timeout),
any exception other than the constructor's two RuntimeErrors, or a stop()
slower than a second is a finding; libFuzzer keeps the input as crash-*,
timeout-* or oom-* in the working folder.

This is a by-hand campaign, not part of `make test` (the Makefile does not
install atheris). Set-up, from the repository root:

    .venv/bin/python -m pip install atheris

Coverage of the engine's own code needs a clang build with SanitizerCoverage
(`-fsanitize=fuzzer-no-link`) and AddressSanitizer, loaded under atheris'
ASan runtime. FFmpeg comes from Debian uninstrumented, so the feedback covers
the engine, the binding and this file's Python, not FFmpeg's parsers; the
seed corpus (the test clips and pieces of them) makes up for part of that.

    B=/tmp/reelpipe-fuzz; mkdir -p $B
    FLAGS="-O1 -g -std=c++17 -fPIC -fvisibility=hidden -fsanitize=address,fuzzer-no-link -fno-omit-frame-pointer"
    INC="-Iengine -I<folder of miniaudio.h> $(.venv/bin/python -m pybind11 --includes) \\
         $(pkg-config --cflags libavformat libavcodec libavutil libswscale libswresample)"
    DEFS="-DMA_NO_DECODING -DMA_NO_ENCODING -DMA_NO_GENERATION -DMA_NO_RESOURCE_MANAGER -DMA_NO_NODE_GRAPH -DMA_NO_ENGINE"
    for f in engine/{lifecycle,demux,video_decode,frame_delivery,audio_decode,audio_output}.cpp module/reelpipe.cpp; do
        clang++ $FLAGS $DEFS $INC -c $f -o $B/$(basename $f .cpp).o; done
    clang++ -O2 -w -fPIC $DEFS $INC -c engine/miniaudio_impl.cpp -o $B/miniaudio_impl.o
    SUFFIX=$(.venv/bin/python -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")
    # The ASan runtime is left undefined here: atheris' preloaded one provides it.
    clang++ -shared -fsanitize=address -o $B/reelpipe$SUFFIX $B/*.o \\
        $(pkg-config --libs libavformat libavcodec libavutil libswscale libswresample) -lpthread -ldl

Seed corpus and run (15 minutes; -timeout is per input, in seconds):

    .venv/bin/python tools/fuzz_input.py --make-corpus /tmp/fuzz-corpus
    ATHERIS=$(.venv/bin/python -c "import atheris; print(atheris.path())")
    # libjack is preloaded so that it stays loaded: miniaudio loads and unloads
    # it for every device, and it crashes after a few hundred reloads, which
    # would end the campaign on the first such crash whatever the input.
    LD_PRELOAD="$ATHERIS/asan_with_fuzzer.so /usr/lib/x86_64-linux-gnu/libjack.so.0" \\
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \\
    PYTHONPATH=$B HOME=/tmp/fuzz-home XDG_CONFIG_HOME=/tmp/fuzz-home PULSE_RUNTIME_PATH=/tmp/fuzz-home/pulse \\
        .venv/bin/python tools/fuzz_input.py -max_total_time=900 -timeout=20 -rss_limit_mb=4096 \\
        -max_len=1048576 /tmp/fuzz-corpus

Without the clang build, PYTHONPATH=build/asan (the gcc ASan build) with
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
runs the same target with Python-level feedback only: it still catches
crashes and sanitizer reports, but it mutates blind to the engine's paths.

Replay one input: `.venv/bin/python tools/fuzz_input.py crash-<hash>` (with
the same environment) runs it once and prints what happened.
"""

from __future__ import annotations

import os
import sys
import tempfile
import threading
import time
from pathlib import Path

OPEN_FAILED = "FFmpeg failed to open video file: "
NO_STREAM_INFO = "FFmpeg failed to find stream info."

_folder = tempfile.mkdtemp(prefix="reelpipe-fuzz-")
# The extension of the file name picks no demuxer (FFmpeg probes the bytes),
# but a few demuxers look at it as a hint; .bin keeps the probe honest.
_path = os.path.join(_folder, "input.bin")


class Finding(Exception):
    """Behaviour the player must never show, whatever the input."""


def play(data: bytes, reelpipe) -> str:
    """Plays one input; returns 'refused' or 'played', raises Finding on a fault."""
    with open(_path, "wb") as f:
        f.write(data)
    try:
        decoder = reelpipe.MediaDecoder(_path)
    except RuntimeError as exc:
        if str(exc) in (OPEN_FAILED + _path, NO_STREAM_INFO):
            return "refused"
        raise Finding(f"constructor raised {exc!r}") from exc

    for query in (decoder.get_fps, decoder.get_duration, decoder.get_position):
        value = query()
        if value != value or value < 0.0:  # NaN or negative
            raise Finding(f"{query.__name__}() = {value!r}")

    problems: list[str] = []
    taking = threading.Event()
    taking.set()

    def render() -> None:
        taken = 0
        try:
            while taking.is_set() and taken < 3:
                picture = decoder.get_next_frame()
                if picture is None:
                    time.sleep(0.002)
                    continue
                taken += 1
                if picture.ndim != 3 or picture.shape[2] != 3 or 0 in picture.shape:
                    problems.append(f"picture of shape {picture.shape}")
                int(picture[-1, -1, -1])  # the last byte must be readable
        except Exception as exc:
            problems.append(f"get_next_frame raised {exc!r}")

    decoder.start()
    renderer = threading.Thread(target=render, daemon=True)
    renderer.start()
    renderer.join(0.05)
    decoder.seek(data[0] / 25.0 if data else 0.0)
    renderer.join(0.03)
    taking.clear()
    began = time.monotonic()
    decoder.stop()
    took = time.monotonic() - began
    renderer.join(2.0)
    if renderer.is_alive():
        problems.append("get_next_frame still blocked 2 s after stop()")
    if took > 1.0:
        problems.append(f"stop() took {took:.2f} s")
    del decoder
    if problems:
        raise Finding("; ".join(problems))
    return "played"


def make_corpus(folder: Path) -> None:
    """Seeds: every test clip whole, plus its first 4 and 32 KiB (the headers
    and first packets, where most parsing happens)."""
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import make_clips

    folder.mkdir(parents=True, exist_ok=True)
    for name, path in make_clips.make_all().items():
        data = Path(path).read_bytes()
        if len(data) <= 256 << 10:
            (folder / f"{name}{Path(path).suffix}").write_bytes(data)
        for size in (4096, 32768):
            (folder / f"{name}-{size}{Path(path).suffix}").write_bytes(data[:size])
    print(f"seed corpus in {folder}: {len(list(folder.iterdir()))} files")


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "--make-corpus":
        make_corpus(Path(sys.argv[2]))
        return
    if len(sys.argv) == 2 and os.path.isfile(sys.argv[1]) and not sys.argv[1].startswith("-"):
        import reelpipe

        print(play(Path(sys.argv[1]).read_bytes(), reelpipe))
        return

    import atheris

    import reelpipe

    # The engine's coverage comes from its own instrumented build; this
    # file's branches (which checks an input reached) are instrumented here.
    instrumented = atheris.instrument_func(play)

    def one_input(data: bytes) -> None:
        instrumented(data, reelpipe)

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
