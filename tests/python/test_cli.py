"""The `vicinor` command driven as a user drives it: in subprocesses, on
the bundled data and on tables of its own."""

import csv
import gzip
import io
import json
import os
import pty
import random
import select
import subprocess
import sys
from pathlib import Path

import pytest

import vicinor
import vicinor_tools

from conftest import running_under_sanitizer

COMMAND = str(Path(sys.executable).with_name("vicinor"))
# The command is Python around the extension's calls, which the in-process
# tests cover under the sanitizer; its subprocesses would only add the
# interpreter's own leak reports.
pytestmark = pytest.mark.skipif(running_under_sanitizer(),
                                reason="subprocesses are not run under the sanitizer")
needs_batch = pytest.mark.skipif(not hasattr(vicinor.ReverseGeocoder, "nearest_rows"),
                                 reason="this build of vicinor has no batch lookups")


def run(*args, stdin=None, check=True):
    done = subprocess.run([COMMAND, *args], input=stdin, capture_output=True, text=True,
                          timeout=300)
    if check:
        assert done.returncode == 0, done.stderr
    return done


@pytest.fixture(scope="module")
def small_table(tmp_path_factory):
    """A gzip table with a quoted field and a column the world table lacks."""
    path = tmp_path_factory.mktemp("tables") / "towns.csv.gz"
    text = 'lat,lon,name,population\n10,20,"Alpha, North",100\n-10,-20,Beta,200\n'
    path.write_bytes(gzip.compress(text.encode()))
    return path


@needs_batch
def test_single_lookup_on_the_bundled_table():
    answer = run("48.8566", "2.3522").stdout
    assert "Paris" in answer and "France" in answer and "FR" in answer
    fields = json.loads(run("48.8566", "2.3522", "--format", "json").stdout)
    expected = vicinor_tools.world().get_nearest_as_dict(48.8566, 2.3522)
    assert {k: fields[k] for k in expected} == expected
    assert fields["country_name"] == "France"
    assert 0 <= fields["distance_km"] < 2
    # Negative coordinates are numbers, not options; python -m runs the same.
    south = subprocess.run([sys.executable, "-m", "vicinor_tools", "-33.8688", "151.2093",
                            "--format", "json"], capture_output=True, text=True, check=True)
    assert json.loads(south.stdout)["country"] == "AU"


@needs_batch
def test_min_population_answers_the_town_not_its_district():
    district = json.loads(run("35.6762", "139.6503", "--format", "json").stdout)
    town = json.loads(run("35.6762", "139.6503", "--format", "json",
                          "--min-population", "1000000").stdout)
    assert (district["name"], town["name"]) == ("Eifuku", "Tokyo")
    assert int(town["population"]) >= 1_000_000 and town["admin1"] == "Tokyo"
    placed = run("batch", "-", "--min-population", "1000000", "--format", "jsonl",
                 stdin="lat,lon\n35.6762,139.6503\n").stdout
    assert json.loads(placed)["name"] == "Tokyo"


@needs_batch
def test_table_index_and_build_give_the_same_answers(small_table, tmp_path):
    index = tmp_path / "towns.vgc"
    run("build", str(small_table), "-o", str(index))
    from_table = json.loads(run("9", "21", "--format", "json", "--table", str(small_table)).stdout)
    from_index = json.loads(run("9", "21", "--format", "json", "--index", str(index)).stdout)
    assert from_table == from_index
    assert from_table["name"] == "Alpha, North" and "country_name" not in from_table
    dropped = json.loads(run("-9", "-21", "--format", "json", "--drop-coordinates",
                             "--table", str(small_table)).stdout)
    assert set(dropped) == {"name", "population", "distance_km"}


def write_points(count, seed=16):
    rng = random.Random(seed)
    out = io.StringIO()
    out.write("id,latitude,longitude\n")
    for i in range(count):
        out.write(f"{i},{rng.uniform(-90, 90):.6f},{rng.uniform(-180, 180):.6f}\n")
    return out.getvalue()


@needs_batch
def test_batch_through_a_pipe_matches_single_lookups():
    text = write_points(100_000)
    done = run("batch", "-", "--lat-column", "latitude", "--lon-column", "2", stdin=text)
    assert done.stderr == ""  # no progress bar into a pipe
    geocoder = vicinor_tools.world()
    columns = geocoder.columns()
    rows = list(csv.reader(io.StringIO(done.stdout)))
    assert rows[0] == ["id", "latitude", "longitude",
                       *columns, "distance_km"]
    inputs = list(csv.reader(io.StringIO(text)))[1:]
    assert len(rows) - 1 == len(inputs)
    for i, (given, written) in enumerate(zip(inputs, rows[1:])):
        assert written[:3] == given
        lat, lon = float(given[1]), float(given[2])
        expected = geocoder.get_nearest_as_dict(lat, lon)
        assert dict(zip(columns, written[3:-1])) == expected
        if i % 100 == 0:
            _, km = geocoder.get_nearest_with_distance(lat, lon)
            assert float(written[-1]) == pytest.approx(km, abs=5e-4)


@needs_batch
def test_batch_max_km_and_jsonl(small_table, tmp_path):
    points = tmp_path / "points.csv"
    points.write_text('where,lat,lon\n"near, alpha",10.01,20\nfar,60,60\n\n')
    out = tmp_path / "out.jsonl"
    run("batch", str(points), "-o", str(out), "--table", str(small_table), "--lat-column",
        "lat", "--lon-column", "lon", "--max-km", "100", "--format", "jsonl")
    near, far = [json.loads(line) for line in out.read_text().splitlines()]
    # Names the input already has are given a prefix instead of repeated.
    assert near["where"] == "near, alpha" and near["place_lat"] == "10"
    assert near["name"] == "Alpha, North" and near["distance_km"] < 2
    assert far["name"] is None and far["distance_km"] > 100
    as_csv = run("batch", str(points), "--table", str(small_table), "--lat-column", "1",
                 "--lon-column", "2", "--max-km", "100").stdout
    assert as_csv.splitlines()[1:] == ['"near, alpha",10.01,20,10,20,"Alpha, North",100,1.112',
                                       f"far,60,60,,,,,{far['distance_km']:.3f}"]
    # A table with no columns left to append adds the distance alone.
    bare = tmp_path / "bare.csv"
    bare.write_text("lat,lon\n10,20\n")
    alone = run("batch", str(points), "--table", str(bare), "--drop-coordinates",
                "--lat-column", "lat", "--lon-column", "lon").stdout
    assert alone.splitlines()[:2] == ["where,lat,lon,distance_km", '"near, alpha",10.01,20,1.112']


@pytest.mark.parametrize("args, stdin, message", [
    (["batch", "/no/such.csv"], None, "cannot open /no/such.csv: No such file or directory"),
    (["--table", "/no/such.csv", "1", "2"], None, "cannot read /no/such.csv"),
    (["batch", "-", "--lat-column", "height"], "lat,lon\n1,2\n",
     "no latitude column named 'height' among the header's columns 'lat', 'lon'"),
    (["batch", "-", "--lon-column", "7"], "lat,lon\n1,2\n",
     "the longitude column 7 is beyond the 2 columns"),
    (["batch", "-"], "lat,lon\n1,2\n3,north\n", "line 3: longitude 'north' is not a number"),
    (["batch", "-"], "lat,lon\n1,2\nnan,2\n", "line 3: latitude 'nan' is outside [-90, 90]"),
    (["batch", "-"], "lat,lon\n1\n", "line 2: 1 fields where the header has 2"),
    (["batch", "-"], "", "standard input: no header line"),
    (["--index", "/etc/hostname", "1", "2"], None, "/etc/hostname: "),
    (["--index", "/etc/hostname", "--min-population", "5", "1", "2"], None,
     "--min-population applies to the bundled table only"),
    (["--min-population", "10000000000", "1", "2"], None,
     "no place of the bundled table has a population of at least 10000000000"),
], ids=["missing-input", "missing-table", "unknown-column", "column-beyond", "not-a-number",
        "not-finite", "short-row", "empty", "not-an-index", "population-of-own-table",
        "population-beyond-all"])
def test_bad_input_is_one_line_and_a_failure(args, stdin, message):
    done = run(*args, stdin=stdin, check=False)
    assert done.returncode == 1
    assert message in done.stderr
    assert len(done.stderr.splitlines()) == 1 and done.stderr.startswith("vicinor: ")


def test_bad_arguments_are_usage_errors():
    done = run("north", "2", check=False)
    assert done.returncode == 2 and "Traceback" not in done.stderr
    assert "argument lat: invalid number value: 'north'" in done.stderr


@needs_batch
def test_progress_bar_only_on_a_terminal(tmp_path):
    points = tmp_path / "points.csv"
    points.write_text(write_points(20_000))
    out = tmp_path / "out.csv"
    pid, terminal = pty.fork()
    if pid == 0:  # the child: standard error is the pseudo-terminal
        os.execv(COMMAND, [COMMAND, "batch", str(points), "-o", str(out), "--chunk-rows", "1000",
                           "--lat-column", "latitude", "--lon-column", "longitude"])
    shown = b""
    while True:
        ready, _, _ = select.select([terminal], [], [], 60)
        try:
            data = os.read(terminal, 4096) if ready else b""
        except OSError:  # the child closed the terminal
            data = b""
        if not data:
            break
        shown += data
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert b"20.0k/20.0k" in shown and b"rows/s" in shown
    assert run("batch", str(points), "-o", str(out), "--lat-column", "latitude",
               "--lon-column", "longitude").stderr == ""
