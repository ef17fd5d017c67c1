"""Verdicts and rendering of the results table."""

import pytest

from harness.measure import Samples
from harness.report import (Figure, Row, Target, at_least_faster, render_row, render_table,
                            row_record, summary, within)


def timed_row(mine: float, peer: float, target: Target | None) -> Row:
    return Row("w", "subject", Figure(mine, "s"), "peer", Figure(peer, "s"), target)


@pytest.mark.parametrize(("mine", "peer", "target", "met"), [
    (1.0, 10.0, at_least_faster(10), True),     # exactly on the bound counts
    (1.0, 9.99, at_least_faster(10), False),
    (1.5, 1.0, within(1.5), True),              # 1.5x slower is still within 1.5x
    (1.51, 1.0, within(1.5), False),
    (0.5, 1.0, within(3), True),                # faster than the floor is fine too
])
def test_ratio_targets_compare_peer_over_vicinor(mine, peer, target, met):
    assert timed_row(mine, peer, target).met is met


def test_budget_targets_judge_vicinor_alone():
    budget = Target("≤ 10 B", max_value=10)
    assert Row("m", "s", Figure(10, "B"), "budget", Figure(10, "B"), budget).met is True
    assert Row("m", "s", Figure(11, "B"), "budget", Figure(10, "B"), budget).met is False
    throughput = Target("≥ 300 MB/s", min_value=300)
    assert Row("save", "s", Figure(299, "MB/s"), "—", None, throughput).met is False
    assert Row("save", "s", Figure(300, "MB/s"), "—", None, throughput).met is True


def test_failed_peer_is_shown_as_failed_not_as_a_verdict():
    failed = Samples("peer", error="ImportError: no module")
    row = Row("w", "s", Figure(1.0, "s"), "peer", Figure.of(failed, "s"), at_least_faster(2))
    assert row.ratio is None and row.met is None
    cells = render_row(row).split(" | ")
    assert "failed" in cells and "unknown |" in cells[-1]


def test_failed_vicinor_leaves_every_verdict_open():
    broken = Figure.of(Samples("vicinor", error="RuntimeError: boom"), "s")
    row = Row("w", "s", broken, "peer", Figure(2.0, "s"), at_least_faster(2))
    assert row.met is None
    assert row.vicinor.render() == "failed"


def test_medians_drive_the_figures():
    figure = Figure.of(Samples("x", values=[3.0, 1.0, 100.0]), "s")
    assert figure.value == 3.0


def test_rendering():
    rows = [timed_row(0.05, 0.6, at_least_faster(10)),
            timed_row(0.05, 0.03, within(1.5)),
            Row("w", "a|b", Figure(120.0, "ns"), "p", Figure(2.0, "ns"))]
    table = render_table(rows).splitlines()
    assert len(table) == 2 + len(rows)
    assert "| 50.0 ms |" in table[2] and "| 12x |" in table[2] and "| yes |" in table[2]
    assert "**no**" in table[3]
    assert "a\\|b" in table[4]  # a pipe in a cell must not split the row
    assert summary(rows) == "1 of 2 targets met"
    assert row_record(rows[0])["met"] is True


def test_ratio_is_left_out_between_different_units():
    row = Row("m", "s", Figure(100.0, "B"), "budget", Figure(5.0, "MB/s"))
    assert "| — |" in render_row(row)
