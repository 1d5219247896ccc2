"""The module surface: what `import reelpipe` gives, how arguments convert, and
where the extension refuses to load."""

from __future__ import annotations

import ast
import glob
import os
import pwd
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy
import pytest

import reelpipe
from helpers import child_env
from robustness_util import run_python

ROOT = Path(__file__).resolve().parent.parent

# What a caller sees of each method, as pybind11 renders it in the docstring.
PATH_TYPES = "str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes] | typing.BinaryIO"
SIGNATURES = {
    "__init__": f"__init__(self, path: {PATH_TYPES}, *, audio: bool = True, max_buffer_ahead: float = 10.0, "
                "min_buffer_ahead: float = 3.0, max_picture_memory: int = 2147483648, "
                "size: tuple[int, int] | None = None, pixel_format: str = 'rgb24', video_stream: int | None = None, "
                "audio_stream: int | str | None = None, audio_device: str | None = None, realtime: bool = False, "
                "loop: bool = False, latency: float | None = None) -> None",
    "start": "start(self) -> None",
    "stop": "stop(self) -> None",
    "get_next_frame": "get_next_frame(self, *, timeout: float | None = None, with_time: bool = False) -> object",
    "get_fps": "get_fps(self) -> float",
    "get_duration": "get_duration(self) -> float",
    "get_position": "get_position(self) -> float",
    "seek": "seek(self, seconds: float) -> None",
    "pause": "pause(self) -> None",
    "resume": "resume(self) -> None",
    "set_volume": "set_volume(self, volume: float) -> None",
    "get_volume": "get_volume(self) -> float",
    "is_buffering": "is_buffering(self) -> bool",
    "set_speed": "set_speed(self, factor: float) -> None",
    "get_speed": "get_speed(self) -> float",
    "get_latency": "get_latency(self) -> float | None",
    "step": "step(self, count: int = 1) -> None",
    "is_finished": "is_finished(self) -> bool",
    "has_audio": "has_audio(self) -> bool",
    "has_video": "has_video(self) -> bool",
    "get_size": "get_size(self) -> tuple[int, int]",
    "get_streams": "get_streams(self) -> list",
    "get_picture_counts": "get_picture_counts(self) -> dict",
    "audio_devices": "audio_devices() -> list",
    "__iter__": "__iter__(self) -> reelpipe.MediaDecoder",
    "__next__": "__next__(self) -> object",
    "__enter__": "__enter__(self) -> reelpipe.MediaDecoder",
    "__exit__": "__exit__(self, exc_type: object, exc_value: object, traceback: object) -> None",
    "__repr__": "__repr__(self) -> str",
}


def _rendered_signature(method: object) -> str:
    """The signature line of a pybind11 method, in the plain form of SIGNATURES.

    pybind11 names the type of self and, from 3.0 on, spells a number argument
    as the protocols it accepts; both are the same signature to a caller.
    """
    text = getattr(method, "__text_signature__", None) or (method.__doc__ or "").strip().splitlines()[0]
    text = re.sub(r"self: [\w.]+", "self", text)
    text = text.replace("typing.SupportsFloat | typing.SupportsIndex", "float")
    text = text.replace("typing.SupportsInt | typing.SupportsIndex", "int")
    return text.replace("typing.SupportsFloat", "float")


def _parameters(signature: str) -> list[tuple[str, str | None]]:
    """(name, default) of each parameter after self in a rendered signature; '*' marks keyword-only."""
    inside = signature[signature.index("(") + 1:signature.rindex(") ->")]
    parts, depth, current = [], 0, ""
    for char in inside:
        depth += {"[": 1, "(": 1, "]": -1, ")": -1}.get(char, 0)
        if char == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += char
    parts.append(current.strip())
    params = []
    for part in parts[1:]:
        name = part.split(":")[0].split("=")[0].strip()
        params.append((name, part.split(" = ")[1] if " = " in part else None))
    return params


# ---------------------------------------------------------------- the surface


def test_module_exports_only_the_decoder_class():
    public = {name for name in vars(reelpipe) if not name.startswith("_")}
    assert public == {"MediaDecoder"}
    assert isinstance(reelpipe.MediaDecoder, type)


def test_class_has_exactly_its_methods_each_documented():
    cls = reelpipe.MediaDecoder
    own = {name for name in vars(cls) if not name.startswith("_")} | (set(SIGNATURES) & set(vars(cls)))
    assert own == set(SIGNATURES)
    for name in SIGNATURES:
        assert callable(getattr(cls, name)), name
        if name != "__repr__":
            assert len(getattr(cls, name).__doc__.strip().splitlines()) > 1, f"{name} has no docstring"


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_method_signature(name):
    assert _rendered_signature(getattr(reelpipe.MediaDecoder, name)) == SIGNATURES[name]


def test_stub_file_agrees_with_the_binding():
    tree = ast.parse((ROOT / "reelpipe.pyi").read_text())
    cls = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "MediaDecoder")
    stubs = {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)
             and not any(ast.unparse(d) == "typing.overload" for d in node.decorator_list)}
    assert set(stubs) == set(SIGNATURES) - {"__repr__"}
    for name, stub in stubs.items():
        args = stub.args
        defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
        expected = [(a.arg, d) for a, d in zip(args.args, defaults)][1:]
        if args.kwonlyargs:
            expected.append(("*", None))
            expected += list(zip((a.arg for a in args.kwonlyargs), args.kw_defaults))
        expected = [(n, None if d is None else ast.literal_eval(d)) for n, d in expected]
        rendered = [(n, None if d is None else ast.literal_eval(d))
                    for n, d in _parameters(_rendered_signature(getattr(reelpipe.MediaDecoder, name)))]
        assert rendered == expected, name


def test_extension_exports_only_its_entry_point():
    if shutil.which("nm") is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", reelpipe.__file__],
                         capture_output=True, text=True, check=True).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert symbols == {"PyInit_reelpipe"}


# ---------------------------------------------------------------- where it refuses to load


def _other_cpythons() -> list[str]:
    """Other CPython 3 interpreters of pyenv, 3.12 first."""
    roots = {os.environ.get("PYENV_ROOT", ""), os.path.join(pwd.getpwuid(os.getuid()).pw_dir, ".pyenv"),
             str(Path(sys.base_prefix).parent.parent)}
    try:
        roots.add(subprocess.run(["pyenv", "root"], capture_output=True, text=True, timeout=10).stdout.strip())
    except (OSError, subprocess.SubprocessError):
        pass
    found = []
    for root in filter(None, roots):
        found += glob.glob(os.path.join(root, "versions", "3.*", "bin", "python3.[0-9]*"))
    mine = f"python{sys.version_info.major}.{sys.version_info.minor}"
    others = {p for p in found if re.search(r"python3\.\d+$", p) and not p.endswith(mine)}
    return sorted(others, key=lambda p: (not p.endswith("python3.12"), p))


def test_other_python_version_is_refused_with_both_versions(tmp_path):
    others = _other_cpythons()
    if not others:
        pytest.skip("no CPython other than this one is installed")
    # A plain name, so the other interpreter's import system accepts the file.
    shutil.copy(reelpipe.__file__, tmp_path / "reelpipe.so")
    code = (
        "import os, sys\n"
        f"sys.path.insert(0, {str(tmp_path)!r})\n"
        # Lazy binding lets the entry point run and check the version itself
        # instead of dlopen failing on a symbol this interpreter lacks.
        "sys.setdlopenflags(os.RTLD_LAZY | os.RTLD_GLOBAL)\n"
        "print(sys.version)\n"
        "try:\n"
        "    import reelpipe\n"
        "except ImportError as exc:\n"
        "    print('ImportError:' + str(exc))\n"
        "else:\n"
        "    print('imported')\n"
    )
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    result = run_python(code, python=others[0], env=env)
    lines = result.stdout.splitlines()
    assert result.returncode == 0, result.stderr
    version, outcome = lines[0], lines[-1]
    assert outcome == ("ImportError:Python version mismatch: module was compiled for Python 3.13, "
                       f"but the interpreter version is incompatible: {version}.")


def test_import_in_a_sub_interpreter_fails_and_leaves_the_main_one_working():
    code = (
        "try:\n"
        "    import _interpreters as interp\n"
        "except ImportError:\n"
        "    try:\n"
        "        import _xxsubinterpreters as interp\n"
        "    except ImportError:\n"
        "        print('no-api'); raise SystemExit\n"
        "iid = interp.create()\n"
        "try:\n"
        "    failure = interp.run_string(iid, 'import reelpipe')\n"
        # 3.13 hands back a description of the exception; older ones raise.
        "    outcome = failure.type.__name__ if failure is not None else 'imported'\n"
        "except Exception as exc:\n"
        "    outcome = str(exc)\n"
        "interp.destroy(iid)\n"
        "print(outcome.replace('\\n', ' '))\n"
        "import reelpipe\n"
        "print(reelpipe.MediaDecoder.__name__)\n"
    )
    result = run_python(code, env=child_env())
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    if lines[:1] == ["no-api"]:
        pytest.skip("this interpreter has no low-level sub-interpreter module")
    outcome, main_import = lines[0], lines[-1]
    assert "ImportError" in outcome, result.stdout
    assert main_import == "MediaDecoder"


def test_import_does_not_load_numpy():
    result = run_python("import sys, reelpipe; print('numpy' in sys.modules)", env=child_env())
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[-1] == "False"


# NumPy's first import outlasts a first picture's decode; were it paid on the
# first get_next_frame(), the sound's clock would already run and the first
# pictures would come late, in a burst.
@pytest.mark.realtime
def test_first_pictures_with_sound_come_on_time_in_a_process_without_numpy(clips):
    code = (
        "import reelpipe\n"
        f"d = reelpipe.MediaDecoder({clips['frame_index_av']!r})\n"
        "d.start()\n"
        "late = []\n"
        "for _ in range(6):\n"
        "    picture, seconds = d.get_next_frame(timeout=10, with_time=True)\n"
        "    late.append(d.get_position() - seconds)\n"
        "d.stop()\n"
        "print(max(late))\n"
    )
    result = run_python(code, env=child_env())
    assert result.returncode == 0, result.stderr
    assert float(result.stdout.split()[-1]) < 0.08


def test_missing_numpy_surfaces_as_import_error_from_get_next_frame(clips):
    code = (
        "import sys, time\n"
        "class NoNumpy:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name == 'numpy' or name.startswith('numpy.'):\n"
        "            raise ModuleNotFoundError('numpy is blocked', name=name)\n"
        "        return None\n"
        "sys.meta_path.insert(0, NoNumpy())\n"
        "import reelpipe\n"
        f"d = reelpipe.MediaDecoder({clips['video_only']!r})\n"
        "d.start()\n"
        "deadline = time.monotonic() + 20\n"
        "outcome = 'no picture came'\n"
        "while time.monotonic() < deadline:\n"
        "    try:\n"
        "        frame = d.get_next_frame()\n"
        "    except ImportError:\n"
        "        outcome = 'ImportError'\n"
        "        break\n"
        "    if frame is not None:\n"
        "        outcome = 'got ' + type(frame).__name__\n"
        "        break\n"
        "    time.sleep(0.01)\n"
        "d.stop()\n"
        "print(outcome)\n"
    )
    result = run_python(code, env=child_env())
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "ImportError"


# ---------------------------------------------------------------- argument conversion


@pytest.fixture(scope="module")
def odd_named_clip(clips, tmp_path_factory):
    """The video-only clip under a name with non-ASCII and non-UTF-8 bytes, as bytes paths."""
    folder = tmp_path_factory.mktemp("names")
    utf8 = os.path.join(str(folder), "clip é.mp4")
    os.symlink(clips["video_only"], utf8)
    raw = os.path.join(os.fsencode(str(folder)), b"clip-\xff.mp4")
    os.symlink(os.fsencode(clips["video_only"]), raw)
    return {"utf8": utf8, "raw": raw}


@pytest.mark.parametrize("form", ["str", "bytes", "bytearray", "utf8 str", "non-utf8 bytes", "non-utf8 bytearray",
                                  "pathlib", "bytes PathLike", "surrogate-escaped str"])
def test_path_forms_open_the_same_file(clips, odd_named_clip, form):
    plain = clips["video_only"]

    class BytesPath:
        def __fspath__(self) -> bytes:
            return odd_named_clip["raw"]

    path = {
        "str": plain,
        "bytes": plain.encode(),
        "bytearray": bytearray(plain.encode()),
        "utf8 str": odd_named_clip["utf8"],
        "non-utf8 bytes": odd_named_clip["raw"],
        "non-utf8 bytearray": bytearray(odd_named_clip["raw"]),
        "pathlib": Path(odd_named_clip["utf8"]),
        "bytes PathLike": BytesPath(),
        # What os.listdir() gives for a name that is not UTF-8.
        "surrogate-escaped str": os.fsdecode(odd_named_clip["raw"]),
    }[form]
    reference = reelpipe.MediaDecoder(plain)
    decoder = reelpipe.MediaDecoder(path)
    assert decoder.get_duration() == reference.get_duration() > 0
    assert decoder.get_fps() == reference.get_fps()


@pytest.mark.parametrize("path", [42, None, ["a.mp4"], 1.5], ids=repr)
def test_path_of_another_type_is_a_type_error(path):
    with pytest.raises(TypeError):
        reelpipe.MediaDecoder(path)


def test_missing_bytes_path_that_is_not_utf8_is_a_runtime_error(tmp_path):
    # Bytes are how a caller names a file whose name is not text; the failure
    # must still be the documented one.
    with pytest.raises(RuntimeError, match="^FFmpeg failed to open video file: "):
        reelpipe.MediaDecoder(os.fsencode(str(tmp_path)) + b"/missing-\xff.mp4")


@pytest.mark.parametrize("options, error", [
    ({"max_buffer_ahead": -1.0}, ValueError),
    ({"min_buffer_ahead": float("nan")}, ValueError),
    ({"max_buffer_ahead": float("inf")}, ValueError),
    ({"min_buffer_ahead": 5, "max_buffer_ahead": 4}, ValueError),
    ({"max_picture_memory": -1}, ValueError),
    ({"max_picture_memory": 1.5}, TypeError),
    ({"max_buffer_ahead": "10"}, TypeError),
    ({"latency": 0.0}, ValueError),
    ({"latency": float("nan")}, ValueError),
    ({"latency": "0.2"}, TypeError),
    ({"audio": "no"}, TypeError),
    ({"size": (0, 240)}, ValueError),
    ({"size": (-1, -1)}, ValueError),
    ({"size": (320, 100000)}, ValueError),
    ({"size": (320,)}, TypeError),
    ({"size": (320.5, 240)}, TypeError),
    ({"pixel_format": "yuv420p"}, ValueError),
    ({"pixel_format": None}, TypeError),
    ({"audio_stream": 1.5}, TypeError),
    ({"audio_device": "no such device"}, ValueError),
    # Flags take what Python programs pass as flags, and nothing else.
    ({"loop": None}, TypeError),
    ({"realtime": "yes"}, TypeError),
    ({"audio": 2}, ValueError),
    ({"audio": numpy.bool_(False), "realtime": 1, "loop": 0}, RuntimeError),
    # Names are str, as other names; bytes name files alone.
    ({"pixel_format": b"rgb24"}, TypeError),
    ({"audio_device": b"default"}, TypeError),
    # Numbers past any range are out of range, not of another type.
    ({"size": (2**31, -1)}, ValueError),
    ({"size": (-2**70, 240)}, ValueError),
    ({"video_stream": 2**40}, ValueError),
], ids=repr)
def test_invalid_options_are_refused_before_anything_is_opened(tmp_path, options, error):
    # The input does not exist: opening it first would raise RuntimeError,
    # which options that pass their check come to.
    with pytest.raises(error, match="^FFmpeg failed" if error is RuntimeError else None):
        reelpipe.MediaDecoder(str(tmp_path / "missing.mp4"), **options)


def test_speed_outside_a_quarter_to_four_or_nan_is_refused_and_the_speed_kept(clips):
    decoder = reelpipe.MediaDecoder(clips["av"])
    assert decoder.get_speed() == 1.0
    decoder.set_speed(0.25)
    decoder.set_speed(4)
    for bad in (0.24, 4.01, 0.0, -1.0, float("nan"), float("inf")):
        with pytest.raises(ValueError, match="speed"):
            decoder.set_speed(bad)
    assert decoder.get_speed() == 4.0


@pytest.mark.parametrize("method, value, accepted", [
    ("seek", 3, True),
    ("seek", 2.5, True),
    ("seek", "1", False),
    ("seek", None, False),
    ("set_volume", True, True),
    ("set_volume", 1, True),
    ("set_volume", "0.5", False),
], ids=lambda v: repr(v))
def test_number_arguments(clips, method, value, accepted):
    decoder = reelpipe.MediaDecoder(clips["av"])  # not started: seek returns at once
    if accepted:
        assert getattr(decoder, method)(value) is None
    else:
        with pytest.raises(TypeError):
            getattr(decoder, method)(value)


def test_set_volume_true_means_full_volume(clips):
    decoder = reelpipe.MediaDecoder(clips["av"])
    decoder.set_volume(0.25)
    decoder.set_volume(True)
    assert decoder.get_volume() == 1.0


def test_every_method_of_an_uninitialised_instance_is_a_type_error(tmp_path):
    # In a child: on such an instance a method may crash or hang the process.
    code = (
        "import os, reelpipe\n"
        "class Forgetful(reelpipe.MediaDecoder):\n"
        "    def __init__(self, path):\n"
        "        pass\n"
        "try:\n"
        "    Forgetful('clip.mp4')\n"
        "except TypeError:\n"
        "    pass\n"
        "else:\n"
        "    raise SystemExit('a subclass that skips __init__ was made')\n"
        "failed = reelpipe.MediaDecoder.__new__(reelpipe.MediaDecoder)\n"
        "try:\n"
        f"    failed.__init__({str(tmp_path / 'missing.mp4')!r})\n"
        "except RuntimeError:\n"
        "    pass\n"
        "tasks = len(os.listdir('/proc/self/task'))\n"
        "calls = [('start',), ('seek', 1.0), ('get_next_frame',), ('get_fps',), ('get_duration',),\n"
        "         ('get_position',), ('pause',), ('resume',), ('set_volume', 0.5), ('get_volume',),\n"
        "         ('is_buffering',), ('stop',)]\n"
        "for instance in (reelpipe.MediaDecoder.__new__(reelpipe.MediaDecoder), Forgetful.__new__(Forgetful),\n"
        "                 failed):\n"
        "    for name, *args in calls:\n"
        "        try:\n"
        "            getattr(instance, name)(*args)\n"
        "        except TypeError as error:\n"
        "            assert 'not initialised' in str(error), error\n"
        "        else:\n"
        "            raise SystemExit(f'{name}() ran on {type(instance).__name__} without __init__')\n"
        "assert len(os.listdir('/proc/self/task')) == tasks, 'a thread started'\n"
        "print('refused')\n"
    )
    result = run_python(code, env=child_env(), timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[-1] == "refused"
