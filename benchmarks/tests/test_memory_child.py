"""The memory probe, in its own interpreter as the suite runs it."""

import json
import os
import subprocess
import sys

from conftest import BENCHMARKS, SMALL_TABLE


def probe(*args):
    env = dict(os.environ, PYTHONPATH=str(BENCHMARKS))
    return subprocess.run([sys.executable, "-m", "harness.memory_child", *map(str, args)],
                          env=env, capture_output=True, text=True, timeout=300)


def test_probe_reports_peak_above_what_stays(tmp_path):
    table = tmp_path / "small.csv"
    # Enough rows that holding them shows in the resident set.
    rows = SMALL_TABLE.splitlines()[1:] * 20_000
    table.write_text("\n".join([SMALL_TABLE.splitlines()[0], *rows]) + "\n", encoding="utf-8")
    completed = probe("vicinor", table, "--standin")
    assert completed.returncode == 0, completed.stderr
    figures = json.loads(completed.stdout)
    assert figures["peak_reset"] is True  # Linux lets the high-water mark restart
    assert figures["peak"] >= figures["retained"] > 1_000_000


def test_probe_refuses_unknown_tools_and_bad_arguments(tmp_path):
    table = tmp_path / "small.csv"
    table.write_text(SMALL_TABLE, encoding="utf-8")
    assert probe("nosuchtool", table).returncode != 0
    assert probe("vicinor").returncode == 64
    assert probe("vicinor", table, "--verbose").returncode == 64
