"""The floor module and the nanoflann program, built by run.sh into
build/bench-tools."""

import json
import subprocess

import pytest

from conftest import SMALL_TABLE, TOOLS_BUILD

NANOFLANN = TOOLS_BUILD / "nanoflann_build"


@pytest.fixture(scope="module")
def floor():
    return pytest.importorskip("vicinor_floor")


def test_floor_returns_new_results_of_lookup_size(floor):
    first, second = floor.as_string(48.85, 2.35), floor.as_string(48.85, 2.35)
    assert len(first.encode("utf-8")) == 45
    assert first == second and first is not second  # made anew, as a lookup must
    record = floor.as_dict(1.0, 2.0)
    assert len(record) == 6 and all(isinstance(v, str) for v in record.values())
    assert record is not floor.as_dict(1.0, 2.0)


def test_floor_converts_its_arguments_like_a_lookup(floor):
    assert floor.as_string(1, 2) == floor.as_string(1.0, 2.0)  # ints are floats here
    with pytest.raises(TypeError):
        floor.as_string("1", 2.0)
    with pytest.raises(TypeError):
        floor.as_dict(1.0, None)
    with pytest.raises(TypeError, match="exactly 2 arguments"):
        floor.as_string(1.0)
    with pytest.raises(TypeError):
        floor.as_dict(1.0, 2.0, 3.0)


def run_nanoflann(*args):
    if not NANOFLANN.exists():
        pytest.skip("nanoflann_build is not built")
    return subprocess.run([str(NANOFLANN), *map(str, args)], capture_output=True, text=True)


def test_nanoflann_reads_every_row_and_times_each_repeat(tmp_path):
    path = tmp_path / "small.csv"
    path.write_text(SMALL_TABLE, encoding="utf-8")
    for clock in ("wall", "cpu"):
        completed = run_nanoflann(path, "--repeat", 3, "--warmup", 0, "--clock", clock)
        assert completed.returncode == 0, completed.stderr
        report = json.loads(completed.stdout)
        assert report["rows"] == 7
        assert len(report["build_ns"]) == 3 and all(t > 0 for t in report["build_ns"])


def test_nanoflann_handles_a_header_only_table_and_a_missing_final_newline(tmp_path):
    header_only = tmp_path / "header.csv"
    header_only.write_text("lat,lon,name\n", encoding="utf-8")
    assert json.loads(run_nanoflann(header_only).stdout)["rows"] == 0
    unterminated = tmp_path / "unterminated.csv"
    unterminated.write_text("lat,lon\n1,2\n3,4", encoding="utf-8")
    assert json.loads(run_nanoflann(unterminated).stdout)["rows"] == 2


@pytest.mark.parametrize(("line", "number"), [
    ("1.5", 3),          # no longitude
    ("abc,2", 3),        # not a number
    ("1, 2", 3),         # from_chars takes no leading space
    ("", 3),             # a blank line inside the table
])
def test_nanoflann_refuses_rows_it_cannot_read(tmp_path, line, number):
    path = tmp_path / "bad.csv"
    path.write_text(f"lat,lon\n0,0\n{line}\n5,5\n", encoding="utf-8")
    completed = run_nanoflann(path)
    assert completed.returncode == 2
    assert f"line {number}:" in completed.stderr


def test_nanoflann_usage_errors(tmp_path):
    assert run_nanoflann().returncode == 64
    assert run_nanoflann(tmp_path / "x.csv", "--repeat", 0).returncode == 64
    assert run_nanoflann(tmp_path / "x.csv", "--clock", "sundial").returncode == 64
    assert run_nanoflann(tmp_path / "missing.csv").returncode == 1
