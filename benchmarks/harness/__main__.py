"""Runs the benchmark suite and prints one Markdown table.

    python -m harness [--rounds N] [--only construction,lookups,persistence,memory,batch]
                      [--queries N] [--peer-queries N] [--standin]

Expects `vicinor` and `vicinor_floor` importable (benchmarks/run.sh sets the
path) and the nanoflann_build program in --tools-dir.
"""

from __future__ import annotations

import argparse
import datetime
import importlib
import json
import os
import platform
import subprocess
import sys
import tempfile
from pathlib import Path

from . import batch, construction, dataset, lookups, measure, memory, persistence, report
from .context import Context

WORKLOADS = {
    "construction": construction.run,
    "lookups": lookups.run,
    "persistence": persistence.run,
    "memory": memory.run,
    "batch": batch.run,
}
RESULTS_DIR = dataset.REPO / "benchmarks" / "results"


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m harness", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds (median)")
    parser.add_argument("--queries", type=int, default=100_000,
                        help="queries for vicinor and the floor")
    parser.add_argument("--peer-queries", type=int, default=10_000,
                        help="prefix of the queries that the slower peers answer")
    parser.add_argument("--only", default=",".join(WORKLOADS),
                        help="comma-separated workloads to run")
    parser.add_argument("--clock", choices=sorted(measure.CLOCKS), default="wall",
                        help="wall-clock time, or this process's CPU time (steadier on a "
                             "busy machine)")
    parser.add_argument("--table", type=Path, default=dataset.DEFAULT_TABLE)
    parser.add_argument("--tools-dir", type=Path, default=dataset.REPO / "build" / "bench-tools",
                        help="where nanoflann_build and the floor module were built")
    parser.add_argument("--results-dir", type=Path, default=RESULTS_DIR)
    parser.add_argument("--standin", action="store_true",
                        help="use the pure-Python stand-in instead of vicinor (harness check)")
    args = parser.parse_args(argv)
    unknown = set(args.only.split(",")) - set(WORKLOADS)
    if unknown:
        parser.error(f"unknown workloads: {', '.join(sorted(unknown))}")
    if args.rounds < 1 or args.queries < 1 or args.peer_queries < 1:
        parser.error("--rounds, --queries and --peer-queries must be positive")
    return args


def import_vicinor(standin: bool):
    if standin:
        from . import standin as module
        return module
    module = importlib.import_module("vicinor")
    if not hasattr(module, "ReverseGeocoder"):
        raise SystemExit(f"{module.__file__} has no ReverseGeocoder yet; "
                         "build it, or pass --standin to check the harness")
    return module


def import_floor(tools_dir: Path):
    sys.path.insert(0, os.fspath(tools_dir))
    try:
        return importlib.import_module("vicinor_floor")
    except ImportError:
        return None


def environment(args: argparse.Namespace, module, table: dataset.Table) -> list[str]:
    try:
        revision = subprocess.run(["git", "-C", os.fspath(dataset.REPO), "rev-parse", "--short",
                                   "HEAD"], capture_output=True, text=True).stdout.strip()
    except OSError:
        revision = "unknown"
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            cpu = next(line.split(":", 1)[1].strip() for line in cpuinfo
                       if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    source = "pure-Python STAND-IN (figures are not vicinor's)" if args.standin \
        else getattr(module, "__file__", "vicinor")
    return [
        f"- date: {datetime.datetime.now(datetime.UTC).strftime('%Y-%m-%d %H:%M UTC')}, "
        f"commit {revision or 'unknown'} (plus the working tree)",
        f"- machine: {cpu}, {os.cpu_count()} cores; Python {platform.python_version()}",
        f"- vicinor: {source}",
        f"- table: {table.row_count:,} rows, {table.size_bytes / 1e6:.1f} MB of text; "
        f"queries: {args.queries:,} (half uniform on the sphere, half within "
        f"{dataset.NEAR_RADIUS_DEGREES} degrees of a place, seed {dataset.QUERY_SEED}); "
        f"slower peers answer the first {min(args.peer_queries, args.queries):,}",
        f"- times: {'wall-clock' if args.clock == 'wall' else 'CPU time of the process'}; "
        f"median of {args.rounds} interleaved rounds; ratio = peer ÷ vicinor "
        "(above 1: vicinor is faster or smaller)",
    ]


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    measure.use_clock(args.clock)
    module = import_vicinor(args.standin)
    with tempfile.TemporaryDirectory(prefix="vicinor-bench-") as scratch:
        markdown, records = run_workloads(args, module, Path(scratch))
    print(markdown)

    args.results_dir.mkdir(parents=True, exist_ok=True)
    stamp = datetime.datetime.now(datetime.UTC).strftime("%Y%m%d-%H%M%S")
    (args.results_dir / f"results-{stamp}.md").write_text(markdown, encoding="utf-8")
    (args.results_dir / "latest.md").write_text(markdown, encoding="utf-8")
    (args.results_dir / f"results-{stamp}.json").write_text(json.dumps(records, indent=2),
                                                             encoding="utf-8")
    return 0


def run_workloads(args: argparse.Namespace, module, work_dir: Path) -> tuple[str, list[dict]]:
    table = dataset.decompress_table(args.table, work_dir)
    queries = dataset.make_queries(dataset.place_coordinates(table.text), args.queries)
    context = Context(
        table=table, vicinor=module, floor=import_floor(args.tools_dir),
        nanoflann_exe=args.tools_dir / "nanoflann_build", work_dir=work_dir,
        queries=queries, peer_query_count=min(args.peer_queries, args.queries),
        rounds=args.rounds, standin=args.standin, clock=args.clock,
        extra_path=[p for p in sys.path if p and Path(p).is_dir()],
    )

    rows: list[report.Row] = []
    for name in args.only.split(","):
        rows.extend(WORKLOADS[name](context))

    lines = ["# vicinor benchmarks", "", *environment(args, module, table), "",
             report.render_table(rows), "", f"**{report.summary(rows)}**", ""]
    lines += [f"- {note}" for note in context.notes]
    return "\n".join(lines) + "\n", [report.row_record(row) for row in rows]


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
