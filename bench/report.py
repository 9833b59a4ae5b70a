"""Benchmark report: our native functions against their NumPy and pandas anchors.

Every bench_*.py module in this folder is run in name order. A module exposes
`run(plan: timing.TimingPlan) -> list[timing.Group]` and imports its native
module at the top as `import norvale.cython.<name>`, so that a module whose
native part is not built yet is reported as skipped.

Progress goes to stderr; stdout gets the Markdown tables (ready for the
README), and --json gets every number, samples included.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import platform
import sys
from pathlib import Path
from types import ModuleType
from typing import Any

BENCH_DIR = Path(__file__).resolve().parent
# Run with -P so that the source tree never shadows the installed package;
# appending keeps site-packages ahead of this folder for every other import.
sys.path.append(str(BENCH_DIR))

# OpenBLAS worker threads spin after start-up and steal the second core of a small machine from
# the timed calls; nothing timed here uses BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

from timing import Group, TimingPlan, format_ns, format_ratio  # noqa: E402

NATIVE_PACKAGE = "norvale.cython."


class NotBuilt(Exception):
    pass


# Run on their own: bench_postgres.py starts database servers (make bench-postgres).
STANDALONE = {"bench_postgres"}


def discover(selected: list[str]) -> list[Path]:
    paths = sorted(p for p in BENCH_DIR.glob("bench_*.py") if p.stem not in STANDALONE)
    if selected:
        paths = [p for p in paths if any(word in p.stem for word in selected)]
    return paths


def load(path: Path) -> ModuleType:
    import_spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(import_spec)
    # Registered before running it, as a normal import would (dataclasses need it).
    sys.modules[path.stem] = module
    try:
        import_spec.loader.exec_module(module)
    except ImportError as error:
        del sys.modules[path.stem]
        if error.name and error.name.startswith(NATIVE_PACKAGE):
            raise NotBuilt(str(error)) from error
        raise
    return module


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def cpu_flags() -> list[str]:
    """The vector and bit-manipulation extensions that the kernels choose among, as the processor reports them."""
    wanted = ["avx2", "bmi2", "avx512f", "avx512bw", "avx512dq", "avx512vl"]
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("flags"):
                    present = set(line.split(":", 1)[1].split())
                    return [flag for flag in wanted if flag in present]
    except OSError:
        pass
    return []


def describe_machine() -> dict[str, Any]:
    return {
        "cpu": cpu_model(),
        "cpu_flags": cpu_flags(),
        "logical_cpus": os.cpu_count(),
        "platform": platform.platform(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "pandas": pd.__version__,
        # Other work on a shared machine shows here and explains noisy numbers.
        "load_average_at_start": os.getloadavg(),
    }


def wide_table(group: Group) -> list[str]:
    """A row per case: our time, then each anchor's time and ratio, the floor's as our multiple of it."""
    with_data = any(case.data for case in group.cases)
    names: list[str] = []
    for case in group.cases:
        names += [a.name for a in case.anchors if a.name not in names]
    header = ["case", "size", *(["data"] if with_data else []), "ours", *names]
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    for case in group.cases:
        by_name = {a.name: a for a in case.anchors}
        cells = [f"`{case.case}`", case.size, *([case.data] if with_data else []), format_ns(case.ours.median_ns)]
        for name in names:
            anchor = by_name.get(name)
            if anchor is None:
                cells.append("")
            elif name == group.floor:
                cells.append(f"{format_ns(anchor.median_ns)} (ours: {format_ratio(1 / anchor.ratio)})")
            else:
                cells.append(f"{format_ns(anchor.median_ns)} ({format_ratio(anchor.ratio)})")
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def markdown_table(group: Group) -> list[str]:
    if group.wide:
        return wide_table(group)
    with_data = any(case.data for case in group.cases)
    header = ["case", "size", *(["data"] if with_data else []), "ours", "anchor", "anchor time",
              "ratio (anchor/ours)"]
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    for case in group.cases:
        for index, anchor in enumerate(case.anchors):
            # Case, size and our time only on the first row of each case.
            first = index == 0
            cells = [f"`{case.case}`" if first else "", case.size if first else ""]
            if with_data:
                cells.append(case.data if first else "")
            cells += [format_ns(case.ours.median_ns) if first else "", anchor.name,
                      format_ns(anchor.median_ns), format_ratio(anchor.ratio)]
            lines.append("| " + " | ".join(cells) + " |")
    return lines


def render(machine: dict[str, Any], plan: TimingPlan, groups: list[Group],
           skipped: dict[str, str]) -> str:
    lines = [
        f"Machine: {machine['cpu']} ({', '.join(machine.get('cpu_flags', [])) or 'no AVX2'}), "
        f"{machine['logical_cpus']} logical CPUs; "
        f"Python {machine['python']}, NumPy {machine['numpy']}, pandas {machine['pandas']}; "
        f"load average at start {machine['load_average_at_start'][0]:.2f}.",
        "Times are medians per call; ratio = anchor time / our time (above 1: ours is faster)."
        + (" Quick run: few repeats." if plan.quick else ""),
    ]
    for group in groups:
        lines += ["", f"### {group.title}", "", *markdown_table(group)]
        if group.notes:
            lines += ["", *(f"- {note}" for note in group.notes)]
    if skipped:
        lines += ["", "Skipped (native module not built):"]
        lines += [f"- {name}: {reason}" for name, reason in skipped.items()]
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("modules", nargs="*", metavar="MODULE",
                        help="run only bench modules whose name contains one of these words "
                             "(for example member_mask)")
    parser.add_argument("--json", type=Path, metavar="FILE", help="write all numbers to FILE")
    parser.add_argument("--quick", action="store_true",
                        help="few repeats (same sizes) for a fast smoke run")
    args = parser.parse_args(argv)

    paths = discover(args.modules)
    if not paths:
        parser.error(f"no bench module matches {' '.join(args.modules)}")
    plan = TimingPlan.smoke() if args.quick else TimingPlan.full()
    machine = describe_machine()

    groups: list[Group] = []
    modules_json: list[dict[str, Any]] = []
    skipped: dict[str, str] = {}
    for path in paths:
        print(f"{path.stem}:", file=sys.stderr)
        try:
            module = load(path)
        except NotBuilt as reason:
            skipped[path.stem] = str(reason)
            modules_json.append({"module": path.stem, "status": "skipped", "reason": str(reason)})
            print(f"  skipped: {reason}", file=sys.stderr)
            continue
        module_groups = module.run(plan)
        groups += module_groups
        modules_json.append({"module": path.stem, "status": "ok",
                             "groups": [g.to_json() for g in module_groups]})

    print(render(machine, plan, groups, skipped))
    if args.json:
        report = {"machine": machine, "plan": vars(plan), "modules": modules_json}
        args.json.write_text(json.dumps(report, indent=1) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
