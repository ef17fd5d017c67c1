"""Resident memory of a built geocoder, one fresh interpreter per tool and
round, against a budget of the text size plus 64 bytes per row and against
reverse_geocoder holding the same table."""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

from .context import Context
from .measure import Contender, interleave
from .report import Figure, Row, Target, at_least_faster

BYTES_PER_ROW_BUDGET = 64
HARNESS_PARENT = Path(__file__).resolve().parents[1]

TOOLS = {
    "vicinor": "vicinor",
    "reverse_geocoder": "reverse_geocoder (mode=1)",
    "ckdtree": "csv rows + scipy cKDTree",
    "reverse_geocode": "reverse-geocode",
}


def measure_in_child(context: Context, tool: str) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(HARNESS_PARENT), *context.extra_path, env.get("PYTHONPATH", "")])
    command = [sys.executable, "-m", "harness.memory_child", tool, str(context.table.path)]
    if context.standin:
        command.append("--standin")
    completed = subprocess.run(command, capture_output=True, text=True, env=env)
    if completed.returncode != 0:
        raise RuntimeError(completed.stderr.strip().splitlines()[-1] if completed.stderr
                           else f"exit status {completed.returncode}")
    return json.loads(completed.stdout)


def run(context: Context) -> list[Row]:
    retained: dict[str, list[float]] = {tool: [] for tool in TOOLS}
    peak_reset = []

    def contender(tool: str) -> Contender:
        def run_once() -> float:
            figures = measure_in_child(context, tool)
            retained[tool].append(figures["retained"])
            peak_reset.append(figures["peak_reset"])
            return figures["peak"]
        return Contender(TOOLS[tool], run_once)

    context.log("memory:")
    samples = interleave([contender(tool) for tool in TOOLS], context.rounds, context.log,
                         warmup=False)
    context.note_failures(samples)
    if not all(peak_reset):
        context.notes.append("memory: the peak could not be reset after reading the input; "
                             "peaks include it")

    def note(tool: str) -> str:
        kept = retained[tool]
        return f"retained {statistics.median(kept) / 2**20:.1f} MiB" if kept else ""

    mine = Figure.of(samples[TOOLS["vicinor"]], "B")
    table = context.table
    budget = table.size_bytes + BYTES_PER_ROW_BUDGET * table.row_count
    subject = "peak RSS of a built geocoder"
    rows = [
        Row("memory", subject, mine, "budget: text + 64 B/row", Figure(budget, "B"),
            Target(f"≤ {budget / 2**20:.1f} MiB", max_value=budget),
            "vicinor " + note("vicinor")),
        Row("memory", subject, mine, TOOLS["reverse_geocoder"],
            Figure.of(samples[TOOLS["reverse_geocoder"]], "B"), at_least_faster(5),
            note("reverse_geocoder")),
        Row("memory", subject, mine, TOOLS["ckdtree"], Figure.of(samples[TOOLS["ckdtree"]], "B"),
            None, note("ckdtree")),
        Row("memory", subject, mine, TOOLS["reverse_geocode"],
            Figure.of(samples[TOOLS["reverse_geocode"]], "B"), None, note("reverse_geocode")),
    ]
    return rows
