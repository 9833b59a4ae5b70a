"""A fake clock for tail_guid in a child interpreter.

tail_guid reads the C runtime's time(), which no Python-level patch reaches: the child preloads a
tiny library whose time() reports the seconds given in FAKE_CLOCK_SECONDS.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

SOURCE = r"""
#include <stdlib.h>
#include <time.h>
time_t time(time_t *out) {
    const char *text = getenv("FAKE_CLOCK_SECONDS");
    time_t now = text ? (time_t)strtoll(text, NULL, 10) : 0;
    if (out) *out = now;
    return now;
}
"""


def build(folder: Path) -> Path | None:
    """Compiles the preloadable library into `folder`; None without a C compiler."""
    compiler = shutil.which("cc")
    if compiler is None:
        return None
    source = folder / "fake_clock.c"
    source.write_text(SOURCE)
    library = folder / "libfake_clock.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
    return library


def run_python(library: Path, seconds: int, code: str) -> str:
    """Runs `code` in a child interpreter whose clock reads `seconds`; returns its standard output."""
    # Whatever is preloaded already (a sanitizer runtime, say) must stay first.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD", ""), str(library)]))
    env = {**os.environ, "LD_PRELOAD": preload, "FAKE_CLOCK_SECONDS": str(seconds)}
    done = subprocess.run([sys.executable, "-P", "-c", code], env=env, capture_output=True, text=True, check=True)
    return done.stdout
