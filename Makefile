# Set-up, build and tests of reelpipe, from a fresh Debian machine on.
# Every target is idempotent and cheap to repeat: apt, the venv, the build and
# the test clips are all cached under build/ and .venv/.
#
#   make deps        Debian packages (FFmpeg, PulseAudio, compiler, valgrind)
#   make build       the extension into .venv, the test probe into build/probe
#   make test        everything above, then the test suite, plain and under
#                    ASan+UBSan, the ThreadSanitizer stress run and the wheel
#                    check (make check-wheel)
#   make test-plain  the test suite against the installed module only, less
#                    the tests marked sanitized (make test runs them under ASan)
#   make test-asan   the test suite against the ASan+UBSan build, less the
#                    tests marked realtime, pulse or soak
#   make test-tsan   the engine stress harness under ThreadSanitizer
#   make demo        everything above, then the headless example player
#   make clips       the test clips, under build/clips
#   make build-asan  ASan+UBSan build of reelpipe and the probe in build/asan
#   make build-tsan  TSan build of the engine stress harness in build/tsan
#   make bench       reelpipe beside PyAV, OpenCV, ffpyplayer and the ffmpeg CLI
#                    (not part of make test; see bench/RESULTS.md)
#   make check-wheel build the wheel in isolation, install it into a fresh venv, play
#   make clean       remove build/ (keeps .venv); make distclean removes .venv too

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := build
MAKEFLAGS += --no-builtin-rules

VENV   := .venv
PY     := $(CURDIR)/$(VENV)/bin/python
PIP    := $(PY) -m pip
STAMPS := build/stamps

PROBE_DIR := build/probe
ASAN_DIR  := build/asan
TSAN_DIR  := build/tsan

# cmake and ninja come from the venv, ahead of anything else on PATH. A make
# started from a recipe inherits that PATH: SYSTEM_PATH leaves the venv out.
SYSTEM_PATH := $(subst $(CURDIR)/$(VENV)/bin:,,$(PATH))
export PATH := $(CURDIR)/$(VENV)/bin:$(SYSTEM_PATH)
export PIP_DISABLE_PIP_VERSION_CHECK := 1

SUDO    := $(if $(filter 0,$(shell id -u)),,sudo)
APT_GET := $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get
APT_PACKAGES := ffmpeg libavformat-dev libavcodec-dev libswscale-dev libswresample-dev \
                libavutil-dev libavfilter-dev libyuv-dev pkg-config pulseaudio pulseaudio-utils g++ valgrind
# A system Python 3.13 (Debian 13) needs its headers and venv module from apt.
ifneq ($(wildcard /usr/bin/python3.13),)
APT_PACKAGES += python3.13-dev python3.13-venv
endif

PIP_PACKAGES := numpy pytest pytest-timeout scikit-build-core 'pybind11>=3,<4' cmake ninja pygame
PIP_BUILD_FLAGS ?=
PYTEST_ARGS ?=

# The interpreter the venv is made from: python3.13 on PATH when it really is
# 3.13 (a pyenv shim may not be), else the newest pyenv 3.13.
FIND_PYTHON313 = export PATH="$(SYSTEM_PATH)"; if python3.13 -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; \
  then python3.13 -c 'import sys; print(sys.executable)'; \
  else ls -d "$$(pyenv root 2>/dev/null || echo "$$HOME/.pyenv")"/versions/3.13*/bin/python3.13 2>/dev/null | sort -V | tail -n 1; fi

ENGINE_SOURCES := $(wildcard engine/*.h engine/*.cpp)
MODULE_SOURCES := $(wildcard module/*.cpp module/*.h module/*.map)
PROBE_SOURCES  := tests/engine/probe_module.cpp

.PHONY: deps build clips test test-plain test-asan test-tsan demo build-asan build-tsan \
        clean distclean

deps:
	@missing=""; \
	for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' "$$p" 2>/dev/null | grep -qx 'install ok installed' \
	    || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  $(MAKE) --no-print-directory $(STAMPS)/apt-updated; \
	  echo "apt-get install$$missing"; \
	  $(APT_GET) install -y $$missing; \
	fi; \
	if ! dpkg-query -W -f='$${Status}\n' libminiaudio-dev 2>/dev/null | grep -qx 'install ok installed' \
	   && apt-cache show libminiaudio-dev >/dev/null 2>&1; then \
	  echo "apt-get install libminiaudio-dev"; \
	  $(APT_GET) install -y libminiaudio-dev; \
	fi

$(STAMPS)/apt-updated:
	@mkdir -p $(@D)
	$(APT_GET) update
	@touch $@

$(STAMPS)/venv: Makefile | deps
	@mkdir -p $(@D)
	@py=$$($(FIND_PYTHON313)); \
	if [ -z "$$py" ]; then \
	  echo "error: no Python 3.13 found: install it (Debian 13: apt-get install python3.13-dev python3.13-venv; Debian 12: pyenv install 3.13)" >&2; \
	  exit 1; \
	fi; \
	if ! $(PY) -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then \
	  echo "creating $(VENV) with $$py"; \
	  rm -rf $(VENV); \
	  "$$py" -m venv $(VENV); \
	fi
	$(PIP) install --quiet $(PIP_PACKAGES)
	@touch $@

# The installed module and the test probe come from one build folder, so the
# engine and miniaudio are compiled once for both; pip installs the module
# only. The folder is kept, so this is incremental. It runs again whenever
# the probe is missing, e.g. after build/probe was removed by hand.
$(STAMPS)/wheel: $(STAMPS)/venv CMakeLists.txt pyproject.toml $(ENGINE_SOURCES) $(MODULE_SOURCES) \
                 $(PROBE_SOURCES) $(if $(wildcard $(PROBE_DIR)/reelpipe_probe.*.so),,FORCE) | deps
	$(PIP) install --no-build-isolation --config-settings=build-dir=$(PROBE_DIR) \
	  --config-settings=cmake.define.REELPIPE_BUILD_PROBE=ON \
	  --config-settings="build.targets=reelpipe;reelpipe_probe" $(PIP_BUILD_FLAGS) .
	@touch $@

.PHONY: FORCE
FORCE:

# configure_build DIR, extra cmake arguments: a plain cmake build with the venv's Python.
configure_build = cmake -S . -B $(1) -G Ninja -DPython_EXECUTABLE=$(PY) \
  -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" $(2)

build: $(STAMPS)/wheel

clips: $(STAMPS)/venv
	@$(PY) tools/make_clips.py >/dev/null

# make test takes the least wall time it can without a test judged by the
# clock ever sharing the processor with another test, in two phases:
# 1. the plain build's tests judged by the wall clock or by the sound heard at
#    the server (markers realtime and pulse), while the ASan build goes on in
#    the idle scheduling class: it gets only the processor time those tests
#    leave unused, which is most of it (they mostly wait on playback in real
#    time), and a thread of theirs that wakes takes its core back at once.
#    It starts as the module builds and the clips are made, to have whatever
#    time they leave as well as phase 1's;
# 2. the plain build's other tests and the sanitizer suite (which leaves every
#    test judged by the clock to the plain run) side by side, while the TSan
#    harness and the isolated wheel build in the idle class, and then, in the
#    normal class, the TSan stress run and the wheel's install, which are
#    short and end before the two suites do.
# The builds run one compiler per core, no more. What runs beside phase 1 and
# 2 writes to build/logs/: the sanitizer suite's summary is shown, and the end
# of a log whose step failed.
IDLE := $(shell chrt --idle 0 true 2>/dev/null && echo chrt --idle 0 || echo nice -n 19)
LOGS := build/logs
JUDGED_BY_THE_CLOCK := realtime or pulse
# show_failure LOG, what: the end of a background step's log, and a failure.
show_failure = { tail -n 60 $(1); echo "make test: $(2) failed; the whole log is $(1)" >&2; exit 1; }
test: deps $(STAMPS)/venv
	@mkdir -p $(LOGS)
	@echo "make test: the module and the clips; the ASan build in the background ($(IDLE)) until phase 2"
	@CMAKE_BUILD_PARALLEL_LEVEL=$$(nproc) $(IDLE) $(MAKE) --no-print-directory build-asan \
	  >$(LOGS)/build-asan.log 2>&1 & build=$$!; \
	$(MAKE) --no-print-directory build clips || { kill $$build; exit 1; }; \
	echo "make test: phase 1, the tests judged by the clock"; \
	plain=0; $(PY) -m pytest -m "($(JUDGED_BY_THE_CLOCK)) and not sanitized" $(PYTEST_ARGS) || plain=$$?; \
	wait $$build || $(call show_failure,$(LOGS)/build-asan.log,the ASan build); \
	echo "make test: phase 2, the other tests beside the sanitizer suite; the TSan and wheel builds, the TSan stress run and the wheel check in the background"; \
	$(MAKE) --no-print-directory test-asan >$(LOGS)/test-asan.log 2>&1 & asan=$$!; \
	{ CMAKE_BUILD_PARALLEL_LEVEL=$$(nproc) $(IDLE) $(MAKE) --no-print-directory build-tsan \
	  && $(IDLE) $(WHEEL_CHECK) build && $(MAKE) --no-print-directory test-tsan \
	  && $(WHEEL_CHECK) install; } >$(LOGS)/builds.log 2>&1 & builds=$$!; \
	$(PY) -m pytest -m "not ($(JUDGED_BY_THE_CLOCK)) and not sanitized" $(PYTEST_ARGS) || plain=$$?; \
	asan_status=0; wait $$asan || asan_status=$$?; \
	echo "make test: the sanitizer suite:"; \
	grep -E '^(FAILED|ERROR) |^=+ .*(passed|failed|error).* in [0-9.]+s' $(LOGS)/test-asan.log || true; \
	[ $$asan_status -eq 0 ] || $(call show_failure,$(LOGS)/test-asan.log,the sanitizer suite); \
	wait $$builds || $(call show_failure,$(LOGS)/builds.log,the TSan stress run or the wheel check); \
	grep -E 'stress_harness: |wheel check passed' $(LOGS)/builds.log; \
	exit $$plain

# Left to the sanitizer run (pyproject.toml's markers): sweeps of hostile input,
# whose every fault that run sees too, and memory errors besides.
PLAIN_SELECT ?= -m "not sanitized"
test-plain: deps build clips
	$(PY) -m pytest $(PLAIN_SELECT) $(PYTEST_ARGS)

# The sanitizer runtimes must be loaded before the interpreter starts; the
# ASan build comes first on the path, ahead of the installed module.
ASAN_RUNTIME = $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libubsan.so) \
  $(wildcard /usr/lib/x86_64-linux-gnu/libjack.so.0)
# Left to the plain run (pyproject.toml's markers): tests judged by timing or
# by the sound heard through the server (realtime, pulse), which a sanitizer
# build shows nothing more of, and soaks that repeat what other tests run until
# growth would show.
ASAN_SELECT ?= -m "not realtime and not pulse and not soak"
# LeakSanitizer checks the pytest process at its exit, after hundreds of
# decoders have played in it. The interpreters that tests start as children
# get ASAN_CHILD_OPTIONS instead (tests/conftest.py hands them on): no leak
# check. On some machines of ours (kernel 6.18, AMD EPYC) LeakSanitizer's
# stop-the-world tracer dies at the exit of most short-lived interpreters that
# load the FFmpeg libraries ("Tracer caught signal 11 ... LeakSanitizer has
# encountered a fatal error"), even after a bare import, while the long-lived
# pytest process is checked cleanly: the crash is the tracer's own, and it
# would fail whichever child test ran into it. Children keep ASan's and UBSan's
# checks; the valgrind test in the plain run looks for leaks in a child.
ASAN_COMMON_OPTIONS := abort_on_error=1:detect_odr_violation=0
test-asan: build-asan clips
	LD_PRELOAD="$(ASAN_RUNTIME)" \
	ASAN_OPTIONS=detect_leaks=1:$(ASAN_COMMON_OPTIONS) \
	ASAN_CHILD_OPTIONS=detect_leaks=0:$(ASAN_COMMON_OPTIONS) \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/engine/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	REELPIPE_SANITIZER=address PYTHONPATH=$(CURDIR)/$(ASAN_DIR) \
	$(PY) -m pytest -p no:cacheprovider $(ASAN_SELECT) $(PYTEST_ARGS)

TSAN_SECONDS ?= 20
test-tsan: build-tsan clips
	TSAN_OPTIONS="suppressions=$(CURDIR)/tests/engine/tsan.supp halt_on_error=1 second_deadlock_stack=1" \
	$(TSAN_DIR)/stress_harness "$$($(PY) tools/make_clips.py av)" $(TSAN_SECONDS)

demo: deps build
	$(PY) examples/player.py --headless

build-asan: $(STAMPS)/venv | deps
	$(call configure_build,$(ASAN_DIR),-DCMAKE_BUILD_TYPE=Debug -DREELPIPE_SANITIZE=address -DREELPIPE_BUILD_PROBE=ON)
	cmake --build $(ASAN_DIR) --target reelpipe reelpipe_probe

# ThreadSanitizer cannot run under CPython, so only the harness is built.
build-tsan: $(STAMPS)/venv | deps
	$(call configure_build,$(TSAN_DIR),-DCMAKE_BUILD_TYPE=Debug -DREELPIPE_SANITIZE=thread -DREELPIPE_BUILD_PROBE=ON)
	cmake --build $(TSAN_DIR) --target stress_harness

clean:
	rm -rf build

distclean: clean
	rm -rf $(VENV)

# The peers the benchmark compares with, from PyPI into the venv only. One that
# cannot be installed is left out of the comparison, not fatal.
BENCH_PACKAGES := av opencv-python-headless ffpyplayer matplotlib
# The whole of `make bench`, build and set-up included, must end within this
# many seconds of make starting; bench/suite.py schedules its rounds to fit.
BENCH_LIMIT ?= 600
BENCH_STARTED := $(shell date +%s)

.PHONY: bench check-wheel
bench: build
	@$(PIP) install --quiet $(BENCH_PACKAGES) 2>/dev/null || for p in $(BENCH_PACKAGES); do \
	  $(PIP) install --quiet "$$p" || echo "bench: $$p could not be installed; measuring without it" >&2; \
	done
	$(PY) bench/suite.py --deadline $$(( $(BENCH_STARTED) + $(BENCH_LIMIT) ))

# The system PATH: the wheel must build with what its isolated build
# environment brings, not with the venv's cmake and ninja.
WHEEL_CHECK = env PATH="$(SYSTEM_PATH)" bash tools/check_wheel.sh
check-wheel: deps
	$(WHEEL_CHECK)
