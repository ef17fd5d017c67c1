"""What every workload is handed: the table, the queries, the modules under
test and where the native helpers live."""

from __future__ import annotations

import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType

from .dataset import Table


@dataclass
class Context:
    table: Table
    vicinor: ModuleType
    floor: ModuleType | None
    nanoflann_exe: Path
    work_dir: Path
    queries: list[tuple[float, float]]
    peer_query_count: int
    rounds: int
    standin: bool = False
    clock: str = "wall"
    extra_path: list[str] = field(default_factory=list)  # for subprocesses
    notes: list[str] = field(default_factory=list)

    def log(self, message: str) -> None:
        print(message, file=sys.stderr, flush=True)

    def note_failures(self, samples: dict) -> None:
        for name, result in samples.items():
            if result.error is not None:
                self.notes.append(f"{name} failed: {result.error}")

    @property
    def peer_queries(self) -> list[tuple[float, float]]:
        return self.queries[: self.peer_query_count]


def deferred_failure(error: BaseException) -> Callable[[], float]:
    """A contender whose set-up already failed: it fails again when run, so
    the table shows it as failed instead of the suite stopping."""
    message = f"{type(error).__name__}: {error}"

    def run() -> float:
        raise RuntimeError(message)

    return run
