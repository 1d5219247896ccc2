"""What the module says, and where: nothing on stderr or stdout, FFmpeg's
messages and the decoder's own events as records of Python's logging that
name the input they are about.

The session runs without a sound server (conftest.py), so every decoder with
sound makes miniaudio probe PulseAudio and ALSA, whose libraries complain on
stderr unless they are kept quiet.
"""

from __future__ import annotations

import logging
import random
import subprocess
import sys
import time
from pathlib import Path

import pytest

import helpers
import reelpipe
from robustness_util import refused_url

# Plays each input given for a moment around three seeks and prints how many
# pictures came, which is all the child may write.
PLAY_AND_SEEK = """
import sys, time, reelpipe
pictures = 0
for path in sys.argv[1:]:
    decoder = reelpipe.MediaDecoder(path)
    decoder.start()
    for target in (0.0, 5.0, 1.0):
        decoder.seek(target)
        end = time.monotonic() + 0.4
        while time.monotonic() < end:
            pictures += decoder.get_next_frame() is not None
    decoder.stop()
print(pictures)
"""


# Holds 1,100 descriptors before the import, so that the module's own lie
# beyond select()'s reach, and refuses every record of "reelpipe.ffmpeg" with
# a failing filter; prints whether a record of playback reached logging and
# whether the failures were reported there.
MANY_DESCRIPTORS_AND_A_FAILING_FILTER = """
import logging, os, resource, sys, time
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 2048)), hard))
held = [os.open(os.devnull, os.O_RDONLY) for _ in range(1100)]
import reelpipe
heard = []
handler = logging.Handler()
handler.emit = lambda record: heard.append(record.getMessage())
logging.getLogger("reelpipe").addHandler(handler)
logging.getLogger("reelpipe").setLevel(logging.DEBUG)

def refuse(record):
    raise ValueError("this filter refuses")

logging.getLogger("reelpipe.ffmpeg").addFilter(refuse)

def heard_of(text):
    return any(text in message for message in heard)

decoder = reelpipe.MediaDecoder(sys.argv[1])
decoder.start()
decoder.seek(decoder.get_duration())
end = time.monotonic() + 20
while not (heard_of("end of the input") and heard_of("could not be handed")) and time.monotonic() < end:
    time.sleep(0.01)
decoder.stop()
print(heard_of("end of the input"), heard_of("could not be handed"))
"""


@pytest.fixture(scope="module")
def damaged(clips, tmp_path_factory) -> str:
    """The av clip with 64 bytes of noise every 2 KB from a quarter in: it
    still opens, and from then on its decoders complain about every packet."""
    data = bytearray(Path(clips.av).read_bytes())
    noise = random.Random(13)
    for at in range(len(data) // 4, len(data), 2048):
        data[at:at + 64] = noise.randbytes(64)
    path = tmp_path_factory.mktemp("damaged") / "damaged av.mp4"
    path.write_bytes(bytes(data))
    return str(path)


def test_playing_clean_and_damaged_input_writes_nothing_on_stderr_or_stdout(clips, damaged):
    result = subprocess.run([sys.executable, "-c", PLAY_AND_SEEK, clips.av, damaged], capture_output=True,
                            text=True, timeout=120, stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert int(result.stdout) > 0


def test_records_arrive_past_1024_descriptors_and_failures_are_logged_not_printed(clips):
    result = subprocess.run([sys.executable, "-c", MANY_DESCRIPTORS_AND_A_FAILING_FILTER, clips.av],
                            capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == "True True\n"


def test_damaged_input_yields_ffmpeg_records_naming_it(damaged, caplog):
    caplog.set_level(logging.DEBUG, logger="reelpipe")
    decoder = reelpipe.MediaDecoder(damaged)

    def ffmpeg_errors() -> list[logging.LogRecord]:
        return [r for r in caplog.records
                if r.name == "reelpipe.ffmpeg" and r.levelno == logging.ERROR and r.input == damaged]

    try:
        decoder.start()
        decoder.seek(3.5)
        end = time.monotonic() + 20.0
        while not ffmpeg_errors() and time.monotonic() < end:
            decoder.get_next_frame()
    finally:
        decoder.stop()
    assert ffmpeg_errors(), [r.getMessage() for r in caplog.records]
    from_ffmpeg = [r for r in caplog.records if r.name == "reelpipe.ffmpeg"]
    assert {r.levelno for r in from_ffmpeg} <= {logging.DEBUG, logging.INFO, logging.WARNING, logging.ERROR}
    # Every one names its input (a decoder of an earlier test may still be
    # heard from), in the message and as an attribute.
    for record in from_ffmpeg:
        assert record.input
        assert record.getMessage().startswith(record.input + ": ")


# A URL's password never reaches the records.
@pytest.mark.parametrize("where", ["file", "url"])
def test_open_failure_is_logged_with_ffmpegs_reason(tmp_path, caplog, where):
    if where == "file":
        path = named = str(tmp_path / "missing.mp4")
        reason = "No such file or directory"
    else:
        path = refused_url().replace("http://", "http://viewer:secret@")
        named = path.replace("viewer:secret", "***")
        reason = "Connection refused"
    caplog.set_level(logging.ERROR, logger="reelpipe")
    with pytest.raises(RuntimeError):
        reelpipe.MediaDecoder(path)

    def about_it() -> list[logging.LogRecord]:
        return [r for r in caplog.records if r.name == "reelpipe" and r.input == named]

    # Usually handed over before the constructor raises; at the latest by
    # the delivery thread, should it be busy with earlier records.
    assert helpers.wait_until(about_it, timeout=5.0)
    [record] = about_it()
    assert record.levelno == logging.ERROR
    assert reason in record.getMessage() and "secret" not in record.getMessage()


def test_records_reach_logging_while_the_caller_waits_elsewhere(clips, caplog):
    decoder = reelpipe.MediaDecoder(clips.av)
    try:
        decoder.start()
        # Nobody listened for debug records when the decoder was made; a
        # listener that comes later hears them all the same, within the
        # delivery thread's second of looking.
        caplog.set_level(logging.DEBUG, logger="reelpipe")
        caplog.clear()

        def end_logged() -> bool:
            return any(r.input == clips.av and "end of the input" in r.getMessage() for r in caplog.records)

        # The end of the input is read while this thread only sleeps.
        end = time.monotonic() + 5.0
        while not end_logged() and time.monotonic() < end:
            decoder.seek(decoder.get_duration())
            helpers.wait_until(end_logged, timeout=0.5)
        assert end_logged()
    finally:
        decoder.stop()


def test_a_flood_of_messages_is_bounded_and_the_loss_reported(damaged, caplog):
    caplog.set_level(logging.DEBUG, logger="reelpipe")
    decoder = reelpipe.MediaDecoder(damaged)
    interval = sys.getswitchinterval()
    try:
        decoder.start()
        caplog.clear()
        # This thread keeps the interpreter lock for 3 s, so no record can be
        # handed over while the decoder logs every packet of the damage.
        sys.setswitchinterval(30.0)
        end = time.monotonic() + 3.0
        while time.monotonic() < end:
            pass
        sys.setswitchinterval(interval)
        assert helpers.wait_until(lambda: any("messages dropped" in r.getMessage() for r in caplog.records))
    finally:
        sys.setswitchinterval(interval)
        decoder.stop()
    [note, *_] = [r for r in caplog.records if "messages dropped" in r.getMessage()]
    assert (note.name, note.levelno) == ("reelpipe", logging.WARNING)
    assert int(note.getMessage().split()[0]) > 0
