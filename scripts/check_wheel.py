"""Checks a built wheel as users get it: the platform tag auditwheel finds for it, and its files.

    python scripts/check_wheel.py --at-most manylinux_2_28 dist/norvale_cython-*.whl

Fails (exit 1) when auditwheel's tag needs a newer glibc than the one named, or when the wheel
holds anything but the package's modules, stubs and metadata.
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
import zipfile
from fnmatch import fnmatch

ALLOWED = (
    "norvale/cython/__init__.py",
    "norvale/cython/*.cpython-*.so",
    "norvale/cython/*.pyi",
    "norvale/cython/py.typed",
    "norvale_cython-*.dist-info/*",
)


def glibc_of(tag: str) -> tuple[int, int]:
    match = re.fullmatch(r"manylinux_(\d+)_(\d+)(?:_\w+)?", tag)
    if not match:
        raise SystemExit(f"not a manylinux tag: {tag}")
    return int(match.group(1)), int(match.group(2))


def platform_tag(wheel: str) -> str:
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", wheel], capture_output=True, text=True)
    print(shown.stdout.strip())
    if shown.returncode != 0:
        raise SystemExit(f"auditwheel show failed:\n{shown.stderr}")
    match = re.search(r'platform tag:\s*"(manylinux_\d+_\d+)_', " ".join(shown.stdout.split()))
    if not match:
        raise SystemExit("auditwheel named no manylinux platform tag")
    return match.group(1)


def stray_files(wheel: str) -> list[str]:
    with zipfile.ZipFile(wheel) as archive:
        names = [name for name in archive.namelist() if not name.endswith("/")]
    return [name for name in names if not any(fnmatch(name, pattern) for pattern in ALLOWED)]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--at-most", required=True, help="the newest manylinux tag allowed, e.g. manylinux_2_28")
    parser.add_argument("wheel")
    args = parser.parse_args()
    failures = []
    tag = platform_tag(args.wheel)
    if glibc_of(tag) > glibc_of(args.at_most):
        failures.append(f"the wheel is {tag}, newer than {args.at_most}")
    if stray := stray_files(args.wheel):
        failures.append("files that do not belong in the wheel: " + ", ".join(stray))
    for failure in failures:
        print(f"check_wheel: {failure}", file=sys.stderr)
    if not failures:
        print(f"check_wheel: {tag} (at most {args.at_most}), only the package's own files")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
