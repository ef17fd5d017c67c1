"""The harness end to end, on the stand-in and a small table."""

import json
import os
import subprocess
import sys

import pytest

from conftest import BENCHMARKS, TOOLS_BUILD


def run_harness(*args, cwd=BENCHMARKS):
    env = dict(os.environ, PYTHONPATH=str(BENCHMARKS),
               OMP_NUM_THREADS="1")
    return subprocess.run([sys.executable, "-m", "harness", *map(str, args)], cwd=cwd,
                          env=env, capture_output=True, text=True, timeout=600)


def test_full_run_on_the_standin_writes_one_table(small_table_gz, tmp_path):
    results = tmp_path / "results"
    completed = run_harness("--standin", "--rounds", 2, "--queries", 40, "--peer-queries", 10,
                            "--table", small_table_gz, "--tools-dir", TOOLS_BUILD,
                            "--results-dir", results)
    assert completed.returncode == 0, completed.stderr
    markdown = (results / "latest.md").read_text(encoding="utf-8")
    assert completed.stdout.strip() == markdown.strip()
    assert "STAND-IN" in markdown  # stand-in figures must never pass for vicinor's
    table = [line for line in markdown.splitlines() if line.startswith("| ")]
    workloads = {line.split(" | ")[0].removeprefix("| ") for line in table[1:]}
    assert workloads == {"construction", "single lookup", "load", "save", "memory"}
    assert "nearest row, of 40 queries: vicinor 40, reverse_geocoder" in markdown
    (records_file,) = results.glob("results-*.json")
    records = json.loads(records_file.read_text(encoding="utf-8"))
    assert len(records) == len(table) - 1
    vicinor_failures = [r for r in records if r["vicinor"]["error"]]
    assert vicinor_failures == []


def test_unknown_workload_is_refused():
    completed = run_harness("--only", "lookups,speed")
    assert completed.returncode == 2
    assert "unknown workloads: speed" in completed.stderr


@pytest.mark.parametrize("option", ["--rounds", "--queries", "--peer-queries"])
def test_counts_must_be_positive(option):
    assert run_harness(option, 0).returncode == 2


def test_a_missing_peer_is_shown_as_failed_and_the_run_goes_on(small_table_gz, tmp_path):
    results = tmp_path / "results"
    empty_tools = tmp_path / "no-tools"  # neither the nanoflann program nor the floor
    empty_tools.mkdir()
    completed = run_harness("--standin", "--rounds", 1, "--queries", 20, "--peer-queries", 10,
                            "--only", "construction,lookups", "--table", small_table_gz,
                            "--tools-dir", empty_tools, "--results-dir", results,
                            cwd=tmp_path)
    assert completed.returncode == 0, completed.stderr
    markdown = (results / "latest.md").read_text(encoding="utf-8")
    nanoflann_row = next(line for line in markdown.splitlines() if "nanoflann" in line)
    assert "| failed |" in nanoflann_row and nanoflann_row.endswith("| unknown |")
    assert "C++ from_chars + nanoflann(leaf 32) failed: FileNotFoundError" in markdown
