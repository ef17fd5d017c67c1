"""Rows of the results table and their Markdown rendering.

The ratio column is always "peer ÷ vicinor" of the measured figure, where a
smaller figure is better (time, ns per call, bytes): above 1, vicinor wins.
A target is a bound on that ratio; "within 1.5x" of a peer is a ratio of
at least 1/1.5. Rows against a fixed budget (save throughput, memory) carry
the budget in the peer columns instead.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from .measure import Samples


@dataclass(frozen=True)
class Figure:
    value: float | None
    unit: str  # "s", "ns", "B", "MB/s"
    error: str | None = None

    @classmethod
    def of(cls, samples: Samples, unit: str, scale: float = 1.0) -> Figure:
        median = samples.median
        return cls(None if median is None else median * scale, unit, samples.error)

    def render(self) -> str:
        if self.error is not None:
            return "failed"
        if self.value is None:
            return "n/a"
        return format_value(self.value, self.unit)


def format_value(value: float, unit: str) -> str:
    if unit == "s":
        return f"{value * 1e3:.1f} ms" if value < 10 else f"{value:.2f} s"
    if unit == "ns":
        return f"{value:,.0f} ns" if value >= 100 else f"{value:.1f} ns"
    if unit == "B":
        return f"{value / 2**20:.1f} MiB"
    if unit == "MB/s":
        return f"{value:,.0f} MB/s"
    return f"{value:g} {unit}"


@dataclass(frozen=True)
class Target:
    """A bound on peer ÷ vicinor (`min_ratio`), or on vicinor's own figure
    (`max_value` / `min_value`) for budgets."""

    text: str
    min_ratio: float | None = None
    max_value: float | None = None
    min_value: float | None = None

    def met(self, vicinor: float | None, ratio: float | None) -> bool | None:
        if self.min_ratio is not None:
            return None if ratio is None else ratio >= self.min_ratio
        if vicinor is None:
            return None
        if self.max_value is not None:
            return vicinor <= self.max_value
        if self.min_value is not None:
            return vicinor >= self.min_value
        return None


def at_least_faster(factor: float) -> Target:
    return Target(f"≥ {factor:g}x", min_ratio=factor)


def within(factor: float) -> Target:
    return Target(f"≥ {1 / factor:.2f}x (within {factor:g}x)", min_ratio=1 / factor)


@dataclass(frozen=True)
class Row:
    workload: str
    subject: str  # what of vicinor is measured
    vicinor: Figure
    peer_name: str
    peer: Figure | None
    target: Target | None = None
    note: str = ""

    @property
    def ratio(self) -> float | None:
        if self.peer is None or self.peer.value is None or self.vicinor.value is None:
            return None
        if self.vicinor.value <= 0 or math.isnan(self.vicinor.value):
            return None
        return self.peer.value / self.vicinor.value

    @property
    def met(self) -> bool | None:
        if self.target is None:
            return None
        return self.target.met(self.vicinor.value, self.ratio)


HEADER = ("| Workload | vicinor | median | Peer | peer median | peer ÷ vicinor "
          "| Target | Met |\n|---|---|---|---|---|---|---|---|")


def render_row(row: Row) -> str:
    comparable = row.peer is not None and row.peer.unit == row.vicinor.unit
    ratio = f"{row.ratio:.3g}x" if comparable and row.ratio is not None else "—"
    peer = "—" if row.peer is None else row.peer.render()
    if row.target is None:
        verdict = ""
    else:
        verdict = {True: "yes", False: "**no**", None: "unknown"}[row.met]
    peer_name = row.peer_name + (f"; *{row.note}*" if row.note else "")
    cells = [row.workload, row.subject, row.vicinor.render(), peer_name, peer, ratio,
             "—" if row.target is None else row.target.text, verdict]
    return "| " + " | ".join(cell.replace("|", "\\|") for cell in cells) + " |"


def render_table(rows: list[Row]) -> str:
    return "\n".join([HEADER, *(render_row(row) for row in rows)])


def summary(rows: list[Row]) -> str:
    judged = [row for row in rows if row.target is not None]
    met = sum(1 for row in judged if row.met)
    return f"{met} of {len(judged)} targets met"


def row_record(row: Row) -> dict:
    """A row as plain data, for the JSON results file."""
    def figure(value: Figure | None):
        return None if value is None else {"value": value.value, "unit": value.unit,
                                           "error": value.error}
    return {"workload": row.workload, "subject": row.subject, "vicinor": figure(row.vicinor),
            "peer": row.peer_name, "peer_figure": figure(row.peer), "ratio": row.ratio,
            "target": None if row.target is None else row.target.text, "met": row.met,
            "note": row.note}
