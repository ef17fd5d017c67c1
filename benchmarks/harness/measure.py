"""Interleaved rounds: every contender runs once per round, so drift in the
machine's load hits all of them alike, and the median of each is reported."""

from __future__ import annotations

import gc
import statistics
import time
import traceback
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field


@dataclass
class Samples:
    name: str
    values: list[float] = field(default_factory=list)
    error: str | None = None

    @property
    def median(self) -> float | None:
        if self.error is not None or not self.values:
            return None
        return statistics.median(self.values)


@dataclass(frozen=True)
class Contender:
    """`run` performs one measurement and returns its figure (seconds,
    nanoseconds per call, bytes, ...). It may raise: the contender is then
    reported as failed and left out of later rounds."""

    name: str
    run: Callable[[], float]


def interleave(contenders: Sequence[Contender], rounds: int,
               progress: Callable[[str], None] | None = None,
               warmup: bool = True) -> dict[str, Samples]:
    results = {c.name: Samples(c.name) for c in contenders}
    if warmup:
        # Imports, first-touch page faults and lazy initialisation belong to
        # no round.
        for contender in contenders:
            _measure_into(results[contender.name], contender, progress)
            results[contender.name].values.clear()
    for round_index in range(rounds):
        # Rotating the order keeps any one contender from always running
        # right after the same neighbour (warm or cold caches, freed memory).
        shift = round_index % max(1, len(contenders))
        order = list(contenders[shift:]) + list(contenders[:shift])
        for contender in order:
            _measure_into(results[contender.name], contender, progress)
        if progress:
            progress(f"  round {round_index + 1}/{rounds} done")
    return results


def _measure_into(samples: Samples, contender: Contender,
                  progress: Callable[[str], None] | None) -> None:
    if samples.error is not None:
        return
    gc.collect()
    try:
        samples.values.append(float(contender.run()))
    except Exception as exc:  # a broken peer must not stop the suite
        samples.error = f"{type(exc).__name__}: {exc}"
        if progress:
            progress(f"  {contender.name} failed: {samples.error}\n"
                     + traceback.format_exc(limit=3))


# Wall-clock time is what users see; on a machine shared with other busy
# processes the CPU time of this process is far steadier, so either can be
# chosen for a run (`use_clock`).
CLOCKS = {"wall": time.perf_counter_ns, "cpu": time.process_time_ns}
_clock_ns = CLOCKS["wall"]


def use_clock(name: str) -> None:
    global _clock_ns
    _clock_ns = CLOCKS[name]


def seconds(action: Callable[[], object]) -> float:
    start = _clock_ns()
    result = action()
    elapsed = (_clock_ns() - start) / 1e9
    del result  # freeing what was built is not part of building it
    return elapsed


def ns_per_call(function: Callable[[float, float], object],
                points: Sequence[tuple[float, float]]) -> float:
    """One call per point from a plain Python loop, the way a script would
    ask; the loop's own cost is part of every contender's figure alike."""
    start = _clock_ns()
    for lat, lon in points:
        function(lat, lon)
    return (_clock_ns() - start) / len(points)
