"""Timing helpers shared by the bench_*.py modules.

A case times our function and its anchors in one process, round-robin, so
that drift of the machine (other load, clock changes) hits all of them alike.
Every contender is first called once and its output checked against ours;
then its inner loop count is calibrated so that one sample lasts long enough
for perf_counter_ns, and the median of the samples is reported per call.
A contender may name a setup step (for example refilling an input that the
call consumes): it runs before every call, outside the timed span.
"""

from __future__ import annotations

import functools
import gc
import itertools
import math
import sys
import time
from dataclasses import asdict, dataclass, field
from typing import Any, Callable

import numpy as np


@dataclass(frozen=True)
class TimingPlan:
    """How long to measure: the same sizes run in full and quick mode, only repeats shrink."""

    quick: bool
    # One sample (inner loop) lasts at least this long.
    sample_ns: int
    # Time spent on the repeats of one case, over all contenders; the
    # repeat count is derived from it and clamped to [min_repeats, max_repeats].
    case_budget_ns: int
    min_repeats: int
    max_repeats: int

    @classmethod
    def full(cls) -> TimingPlan:
        return cls(quick=False, sample_ns=2_000_000, case_budget_ns=1_500_000_000,
                   min_repeats=5, max_repeats=25)

    @classmethod
    def smoke(cls) -> TimingPlan:
        return cls(quick=True, sample_ns=500_000, case_budget_ns=100_000_000,
                   min_repeats=1, max_repeats=5)

    def repeats_for(self, round_ns: float) -> int:
        wanted = self.case_budget_ns // max(round_ns, 1)
        return int(min(self.max_repeats, max(self.min_repeats, wanted)))


@dataclass
class Contender:
    """One function under test: a display name and a call with fixed arguments."""

    name: str
    func: Callable[..., Any]
    args: tuple = ()
    kwargs: dict = field(default_factory=dict)
    # Runs before every call, untimed; such calls are timed one by one.
    setup: Callable[[], Any] | None = None

    def bound(self) -> Callable[[], Any]:
        # functools.partial calls from C, so the per-call overhead added to
        # tiny cases is smaller than a lambda's and the same for everyone.
        return functools.partial(self.func, *self.args, **self.kwargs)

    def sampler(self) -> Callable[[int], float]:
        """Nanoseconds per call over `inner` calls, setup left out."""
        call, setup = self.bound(), self.setup
        if setup is None:
            return functools.partial(_per_call_ns, call)

        def sample(inner: int) -> float:
            clock, total = time.perf_counter_ns, 0
            for _ in itertools.repeat(None, inner):
                setup()
                start = clock()
                call()
                total += clock() - start
            return total / inner

        return sample


@dataclass
class Timing:
    name: str
    median_ns: float
    min_ns: float
    inner_loops: int
    samples_ns: list[float]
    # anchor time / our time; None for our own row.
    ratio: float | None = None


@dataclass
class CaseResult:
    case: str
    size: str
    params: dict[str, Any]
    ours: Timing
    anchors: list[Timing]
    # Short description of the data shown in the table (for example the hit rate).
    data: str = ""


@dataclass
class Group:
    """A table of cases, usually one per bench module or per function family."""

    title: str
    cases: list[CaseResult] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    # One row per case with a column per anchor, rather than a row per anchor.
    wide: bool = False
    # The anchor shown as the cheapest pass over the same data: its column gives our time as a
    # multiple of it.
    floor: str | None = None

    def to_json(self) -> dict[str, Any]:
        return asdict(self)


def _per_call_ns(call: Callable[[], Any], inner: int) -> float:
    loop = itertools.repeat(None, inner)
    start = time.perf_counter_ns()
    for _ in loop:
        call()
    return (time.perf_counter_ns() - start) / inner


def _calibrate(sample: Callable[[int], float], first_call_ns: float, sample_ns: int) -> tuple[int, float]:
    """Inner loop count for one sample of at least sample_ns; also warms the call up."""
    inner, per_call = 1, first_call_ns
    while inner * per_call < sample_ns:
        inner = max(inner * 2, math.ceil(sample_ns / max(per_call, 1.0)))
        per_call = sample(inner)
    return inner, per_call


def outputs_equal(ours: Any, anchor: Any) -> bool:
    """Default agreement check: same shape and values once turned into NumPy arrays."""
    ours, anchor = np.asarray(ours), np.asarray(anchor)
    return ours.shape == anchor.shape and bool(np.array_equal(ours, anchor))


def compare(case: str, size: str, ours: Contender, anchors: list[Contender], plan: TimingPlan,
            *, params: dict[str, Any] | None = None, data: str = "",
            agree: Callable[[Any, Any], bool] = outputs_equal) -> CaseResult:
    """Check that every anchor agrees with ours, then time all of them side by side."""
    contenders = [ours, *anchors]
    calls = [c.bound() for c in contenders]
    samplers = [c.sampler() for c in contenders]

    # The checking call doubles as the first warm-up and the first estimate.
    first_ns = []
    expected = None
    for contender, call in zip(contenders, calls):
        if contender.setup is not None:
            contender.setup()
        start = time.perf_counter_ns()
        output = call()
        first_ns.append(time.perf_counter_ns() - start)
        if expected is None:
            expected = output
        elif not agree(expected, output):
            raise AssertionError(f"{case} {size}: {contender.name} disagrees with {ours.name}")
        del output
    del expected

    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        calibrated = [_calibrate(sample, ns, plan.sample_ns) for sample, ns in zip(samplers, first_ns)]
        inner = [n for n, _ in calibrated]
        repeats = plan.repeats_for(sum(n * per_call for n, per_call in calibrated))
        samples: list[list[float]] = [[] for _ in calls]
        for _ in range(repeats):
            for sample, n, out in zip(samplers, inner, samples):
                out.append(sample(n))
    finally:
        if gc_was_enabled:
            gc.enable()

    timings = [Timing(name=c.name, median_ns=float(np.median(s)), min_ns=min(s), inner_loops=n,
                      samples_ns=s)
               for c, n, s in zip(contenders, inner, samples)]
    our_timing, anchor_timings = timings[0], timings[1:]
    for timing in anchor_timings:
        timing.ratio = timing.median_ns / our_timing.median_ns
    print(f"  {case} {size}: {repeats} repeats, ours {format_ns(our_timing.median_ns)}", file=sys.stderr)
    return CaseResult(case=case, size=size, params=params or {}, ours=our_timing, anchors=anchor_timings,
                      data=data)


def format_ns(ns: float) -> str:
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.0f} ns"


def format_ratio(ratio: float) -> str:
    return f"{ratio:.2f}x" if ratio < 10 else f"{ratio:.1f}x"


def size_label(count: int) -> str:
    """100 stays 100; 1000 becomes 10^3, so the table reads like the case list."""
    exponent = round(math.log10(count)) if count > 0 else 0
    if count >= 1000 and 10 ** exponent == count:
        return f"10^{exponent}"
    return str(count)
