#!/usr/bin/env bash
# Checks the package as a user gets it: `pip wheel .` builds a wheel (in an
# isolated build environment, so pyproject.toml's build requirements must be
# complete), and that wheel, installed into a fresh CPython 3.13 venv, plays
# the sample clip.
#
#   tools/check_wheel.sh [--clean] [build | install]     (make check-wheel)
#
# build makes the wheel and looks inside it; install puts the wheel that
# build left into a fresh venv and plays the clip; with neither, both run.
# make test runs them apart: the build, which needs no wall clock, while the
# plain suite runs, and the playing at the end.
#
# Everything goes under build/wheel-check/: the venv is made anew on every
# run, and miniaudio.h is fetched into a folder of its own and kept (--clean
# removes everything, so that the next run fetches it again). The CMake build
# folder is kept for reading after a failure, but every run builds from
# nothing: scikit-build-core clears its cache when the isolated environment
# is a new one, and each `pip wheel` makes a new one. Needs the Debian
# packages of `make deps` and access to PyPI.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORK="$ROOT/build/wheel-check"
BUILDER="$WORK/builder"
VENV="$WORK/venv"
DIST="$WORK/dist"
export PIP_DISABLE_PIP_VERSION_CHECK=1

stages=(build install)
for arg in "$@"; do
  case "$arg" in
    --clean) rm -rf "$WORK" ;;
    build | install) stages=("$arg") ;;
    *) echo "usage: tools/check_wheel.sh [--clean] [build | install]" >&2; exit 2 ;;
  esac
done

# The interpreter: python3.13 on PATH when it really is 3.13, else the newest
# pyenv 3.13, as the Makefile chooses it.
find_python313() {
  if python3.13 -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
    python3.13 -c 'import sys; print(sys.executable)'
  else
    ls -d "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"/versions/3.13*/bin/python3.13 2>/dev/null \
      | sort -V | tail -n 1
  fi
}
PY313=$(find_python313)
if [[ -z "$PY313" ]]; then
  echo "check_wheel: no CPython 3.13 found (Debian 13: apt-get install python3.13-venv; Debian 12: pyenv install 3.13)" >&2
  exit 1
fi

began=$SECONDS
step() { printf '[%4ds] %s\n' $((SECONDS - began)) "$*"; }

# Prints the path of the one wheel in $DIST.
the_wheel() {
  local wheels
  shopt -s nullglob
  wheels=("$DIST"/reelpipe-*.whl)
  if [[ ${#wheels[@]} -ne 1 ]]; then
    echo "check_wheel: expected one wheel in $DIST, found ${#wheels[@]} (the build stage makes it)" >&2
    return 1
  fi
  echo "${wheels[0]}"
}

# Builds the wheel into $DIST with a plain venv's pip, and checks what it holds.
build_wheel() {
  local wheel
  step "venv to run pip wheel, from $PY313"
  rm -rf "$BUILDER" "$DIST"
  mkdir -p "$WORK" "$DIST"
  "$PY313" -m venv "$BUILDER"

  step "pip wheel . (isolated build)"
  # A build folder of its own: the one of `make build` (build/probe) is
  # configured against the development venv's pybind11 and CMake. miniaudio.h
  # goes to a folder of its own too, so that where the system has no header the
  # isolated build must fetch it itself, with the pip its build requirements
  # bring, as on a user's machine; the tree's build/miniaudio would hide that.
  "$BUILDER/bin/python" -m pip wheel --quiet --no-deps --wheel-dir "$DIST" \
    --config-settings=build-dir="$WORK/build/{wheel_tag}" \
    --config-settings=cmake.define.REELPIPE_MINIAUDIO_DIR="$WORK/miniaudio" \
    "$ROOT"
  wheel=$(the_wheel)
  step "built $(basename "$wheel") ($(du -k "$wheel" | cut -f1) kB)"

  # The wheel holds the extension file, its type stub and its metadata, and nothing of the
  # tree: no sources, no probe, no third-party header.
  "$BUILDER/bin/python" - "$wheel" <<'EOF'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
extensions = [n for n in names if n.endswith(".so")]
assert len(extensions) == 1 and extensions[0].startswith("reelpipe.cpython-313"), names
strays = [n for n in names if not (n in extensions or n == "reelpipe.pyi"
                                 or n.startswith("reelpipe-") and ".dist-info/" in n)]
assert not strays, f"unexpected files in the wheel: {strays}"
EOF
}

# Installs the wheel into a fresh venv and plays the sample clip with it.
install_and_play() {
  local wheel clip
  wheel=$(the_wheel)
  step "fresh venv from $PY313"
  rm -rf "$VENV"
  "$PY313" -m venv "$VENV"

  step "pip install $(basename "$wheel")"
  "$VENV/bin/python" -m pip install --quiet "$wheel"

  step "play the sample clip with the installed module"
  clip=$("$VENV/bin/python" "$ROOT/tools/make_clips.py" sample)
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  mkdir -p "$scratch/home/.config/pulse" "$scratch/runtime" "$scratch/pulse"
  chmod 700 "$scratch/home" "$scratch/runtime" "$scratch/pulse"
  echo "autospawn = no" >"$scratch/home/.config/pulse/client.conf"
  # Away from the source tree, with a private home and no sound server: the
  # module found is the installed one and it plays to miniaudio's null device.
  (cd "$scratch" && env -u PYTHONPATH -u PULSE_SERVER HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/home/.config" \
    XDG_RUNTIME_DIR="$scratch/runtime" PULSE_RUNTIME_PATH="$scratch/pulse" \
    "$VENV/bin/python" - "$clip" "$VENV" 2>"$scratch/stderr" <<'EOF') || { cat "$scratch/stderr" >&2; exit 1; }
import os, sys, time
import reelpipe
clip, venv = sys.argv[1], sys.argv[2]
assert os.path.realpath(reelpipe.__file__).startswith(os.path.realpath(venv)), reelpipe.__file__
decoder = reelpipe.MediaDecoder(clip)
assert abs(decoder.get_fps() - 25.0) < 1e-6 and abs(decoder.get_duration() - 10.0) < 0.2
decoder.start()
pictures, began = 0, time.monotonic()
while time.monotonic() - began < 2.0:
    picture = decoder.get_next_frame()
    if picture is None:
        time.sleep(0.005)
        continue
    assert picture.shape == (360, 640, 3) and picture.dtype.name == "uint8", (picture.shape, picture.dtype)
    pictures += 1
position = decoder.get_position()
decoder.stop()
# Two seconds of real-time playback: about 50 pictures and 2 s of sound.
assert pictures >= 25 and 1.0 <= position <= 2.5, (pictures, position)
print(f"played {pictures} pictures, position {position:.2f} s, from {reelpipe.__file__}")
EOF
}

for stage in "${stages[@]}"; do
  case "$stage" in
    build) build_wheel ;;
    install) install_and_play ;;
  esac
done
step "wheel check passed (${stages[*]})"
