#!/usr/bin/env python3
"""Put miniaudio.h into DIR, taken from the pinned miniaudio 1.71 source release on PyPI.

Used by CMakeLists.txt when no system header is installed.  Idempotent: once
DIR holds the header of this release, it does nothing.  The release archive
is checked against its known SHA-256 before anything is taken out of it.

    python tools/fetch_miniaudio.py DIR
"""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

VERSION = "1.71"
SDIST = f"miniaudio-{VERSION}.tar.gz"
SDIST_SHA256 = "ff51e2887bb673e2e757752b586b3dc924d59aa5fbcae9bbc45f4a111bd3262b"
MEMBER = f"miniaudio-{VERSION}/miniaudio/miniaudio.h"
MARKER = ".miniaudio-sdist-sha256"


class FetchError(Exception):
    pass


def _sha256(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def _download(into: Path) -> Path:
    # Only the miniaudio archive itself must be a source release; its build
    # requirements (pip prepares its metadata) may come as wheels, which saves
    # building setuptools and friends from source.
    cmd = [sys.executable, "-m", "pip", "download", "--disable-pip-version-check",
           "--quiet", "--no-binary", "miniaudio", "--no-deps", f"miniaudio=={VERSION}",
           "-d", str(into)]
    result = subprocess.run(cmd, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        last = (result.stderr.strip().splitlines() or ["(no output)"])[-1]
        raise FetchError(f"pip download of miniaudio=={VERSION} failed: {last}")
    sdist = into / SDIST
    if not sdist.is_file():
        raise FetchError(f"pip download did not produce {SDIST}")
    return sdist


def fetch(dest: Path) -> Path:
    header = dest / "miniaudio.h"
    marker = dest / MARKER
    if header.is_file() and marker.is_file() and marker.read_text().strip() == SDIST_SHA256:
        return header
    dest.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="miniaudio-") as tmp:
        sdist = _download(Path(tmp))
        actual = _sha256(sdist)
        if actual != SDIST_SHA256:
            raise FetchError(f"{SDIST} has sha256 {actual}, expected {SDIST_SHA256}")
        with tarfile.open(sdist, "r:gz") as archive:
            try:
                source = archive.extractfile(MEMBER)
            except KeyError:
                source = None
            if source is None:
                raise FetchError(f"{SDIST} has no {MEMBER}")
            # Written under a temporary name and renamed, so a concurrent or
            # interrupted run never leaves a truncated header behind.
            fd, partial = tempfile.mkstemp(prefix=".miniaudio.h.", dir=dest)
            os.fchmod(fd, 0o644)
            with os.fdopen(fd, "wb") as out:
                out.write(source.read())
            os.replace(partial, header)
    marker.write_text(SDIST_SHA256 + "\n")
    return header


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print("usage: fetch_miniaudio.py DIR", file=sys.stderr)
        return 2
    try:
        print(fetch(Path(argv[1]).resolve()))
    except (FetchError, OSError, tarfile.TarError) as exc:
        print(f"fetch_miniaudio: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
