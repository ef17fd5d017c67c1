"""`vicinor batch` driven in subprocesses: output row by row against the
lookups, columns by name, checked rows, and files never lost or cut."""

import csv
import io
import json
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

import vicinor

from conftest import running_under_sanitizer

COMMAND = str(Path(sys.executable).with_name("vicinor"))
pytestmark = pytest.mark.skipif(running_under_sanitizer(),
                                reason="subprocesses are not run under the sanitizer")

# Place fields that need quoting in any dialect, and a repeated name.
TABLE = ('lat,lon,name,note,name\n'
         + "".join(f'{lat},{lon},"P{i}, ""q""",{"a;b" if i % 3 else "t\tab"},n{i}\n'
                   for i, (lat, lon) in enumerate((la, lo) for la in range(-80, 81, 20)
                                                  for lo in range(-180, 180, 30))))


@pytest.fixture(scope="module")
def table(tmp_path_factory):
    path = tmp_path_factory.mktemp("table") / "places.csv"
    path.write_text(TABLE)
    return path


@pytest.fixture(scope="module")
def geocoder():
    return vicinor.ReverseGeocoder(TABLE)


def batch(*args, stdin=None, check=True):
    done = subprocess.run([COMMAND, "batch", *map(str, args)], input=stdin, capture_output=True,
                          timeout=300)
    if check:
        assert done.returncode == 0, done.stderr
    assert b"Traceback" not in done.stderr
    return done


def make_points(count, sep, endings, seed=1):
    """Rows id, note, lat, lon whose notes hold the separator, quotes and
    line breaks; rows end as `endings` cycles. Returns the text and the
    fields of every row."""
    rng = random.Random(seed)
    rows = []
    for i in range(count):
        note = rng.choice(["plain", f"a{sep}b", 'say "hi"', "two\nlines", "cr\rinside", ""])
        rows.append([f"id{i}", note, f"{rng.uniform(-90, 90):.5f}", f"{rng.uniform(-360, 360):.4f}"])
    out = io.StringIO()
    # A CR LF terminator makes the writer quote fields holding a CR too.
    writer = csv.writer(out, delimiter=sep, lineterminator="\r\n")
    text = sep.join(["id", "note", "Latitude", "LNG"])
    for at, row in enumerate(rows):
        out.seek(0)
        out.truncate()
        writer.writerow(row)
        text += endings[at % len(endings)] + out.getvalue()[:-2]
    return text + endings[0], rows


def expected_places(geocoder, rows):
    lats = [float(row[2]) for row in rows]
    lons = [float(row[3]) for row in rows]
    nearest, km = geocoder.nearest_rows(lats, lons)
    places = [next(csv.reader([geocoder.row_text(int(row))])) for row in nearest]
    return places, [f"{value:.3f}" for value in km]


@pytest.mark.parametrize("sep, endings, bom, chunk_rows, output_format", [
    (",", ["\n"], False, 65536, "csv"),
    (",", ["\r\n"], True, 1, "csv"),
    (";", ["\r"], False, 7, "csv"),
    ("\t", ["\n", "\r\n", "\r"], True, 3, "csv"),
    (",", ["\r\n", "\n"], False, 5, "jsonl"),
    (";", ["\r"], True, 65536, "jsonl"),
])
def test_rows_come_back_with_the_place_single_lookups_give(table, geocoder, tmp_path, sep,
                                                           endings, bom, chunk_rows,
                                                           output_format):
    text, rows = make_points(300, sep, endings)
    source = tmp_path / "points.csv"
    source.write_bytes((b"\xef\xbb\xbf" if bom else b"") + text.encode())
    out = tmp_path / "out"
    batch(source, "-o", out, "--table", table, "--input-sep", sep, "--chunk-rows", chunk_rows,
          "--format", output_format, "--threads", 2)
    places, km = expected_places(geocoder, rows)
    written = out.read_bytes().decode()
    assert "\r\n" not in written.replace('"\r\n', "").replace("\r\n\"", "")
    if output_format == "csv":
        got = list(csv.reader(io.StringIO(written, newline=""), delimiter=sep))
        # Appended names stay distinct, the table's repeated one included.
        assert got[0] == ["id", "note", "Latitude", "LNG", "lat", "lon", "name", "place_note",
                          "place_name", "distance_km"]
        assert got[1:] == [row + place + [d] for row, place, d in zip(rows, places, km)]
    else:
        lines = written.splitlines()
        assert len(lines) == len(rows)
        for line, row, place, d in zip(lines, rows, places, km):
            record = json.loads(line)
            assert list(record) == ["id", "note", "Latitude", "LNG", "lat", "lon", "name",
                                    "place_note", "place_name", "distance_km"]
            values = list(record.values())
            assert values == row + place + [float(d)]


@pytest.mark.parametrize("header, options, message", [
    ("id,a,b", [], "no latitude column among the header's columns 'id', 'a', 'b'; "
                   "name one with --lat-column"),
    ("lat,Latitude,lon", [], "several latitude columns ('lat', 'Latitude')"),
    ("lat,lon", ["--lat-column", "lat", "--lon-column", "lat"],
     "the latitude and the longitude are the same column ('lat')"),
    ("lat,lon", ["--lat-column", "height"], "no latitude column named 'height'"),
    ("lat,lon", ["--lon-column", "7"], "the longitude column 7 is beyond the 2 columns"),
    ("1,2", ["--no-header"], "with --no-header, give --lat-column and --lon-column"),
])
def test_columns_are_found_by_name_never_guessed(table, header, options, message):
    done = batch("-", "--table", table, *options, stdin=f"{header}\n1,2,3\n".encode(),
                 check=False)
    assert done.returncode == 1
    assert message in done.stderr.decode()
    assert done.stdout == b""


@pytest.mark.parametrize("header, options, lat_at, lon_at", [
    ("lon,lat,id", [], 1, 0),
    ("ID,LATITUDE,Longitude", [], 1, 2),
    ("a,b,c", ["--lat-column", "c", "--lon-column", "0"], 2, 0),
    (None, ["--no-header", "--lat-column", "2", "--lon-column", "0"], 2, 0),
])
def test_named_and_numbered_columns_are_the_ones_used(table, geocoder, header, options, lat_at,
                                                      lon_at):
    row = ["48.5", "-20.25", "77.75"]
    text = ("" if header is None else header + "\n") + ",".join(row) + "\n"
    done = batch("-", "--table", table, *options, stdin=text.encode())
    lines = done.stdout.decode().splitlines()
    _, km = expected_places(geocoder, [[0, 0, row[lat_at], row[lon_at]]])
    assert lines[-1].endswith("," + km[0])
    assert len(lines) == (1 if header is None else 2)


BAD_ROWS = [
    ("9,1,2\n9,1\n", "line 3: 2 fields where the header has 3"),
    ("9,1,2,3\n", "line 2: 4 fields where the header has 3"),
    ("9,1_0,2\n", "line 2: latitude '1_0' is not a number"),
    ("9,\uff11,2\n", "line 2: latitude '\uff11' is not a number"),
    ("9,91,2\n", "line 2: latitude '91' is outside [-90, 90]"),
    ("9,1,-361\n", "line 2: longitude '-361' is outside [-360, 360]"),
    ('9,"1\n2",3\n9,1,2\n', "line 2: latitude '1\n2' is not a number"),
]


@pytest.mark.parametrize("rows, message", BAD_ROWS)
def test_a_bad_row_fails_naming_file_line_and_value(table, tmp_path, rows, message):
    source = tmp_path / "in.csv"
    source.write_text("id,lat,lon\n" + rows)
    done = batch(source, "--table", table, check=False)
    assert done.returncode == 1
    assert f"{source}, {message}" in done.stderr.decode()


@pytest.mark.parametrize("rows, message", BAD_ROWS)
def test_skipped_bad_rows_keep_their_columns_and_are_counted(table, tmp_path, rows, message):
    source = tmp_path / "in.csv"
    source.write_text("id,lat,lon\n0,5,5\n" + rows + "1,6,6\n")
    done = batch(source, "--table", table, "--on-error", "skip")
    got = list(csv.reader(io.StringIO(done.stdout.decode(), newline="")))
    width = len(got[0])
    assert got[1][-1] != "" and got[-1][-1] != ""
    bad = [row for row in got[1:] if row[-1] == ""]
    assert len(bad) == 1 and bad[0][-6:] == [""] * 6
    assert len(bad[0]) >= width  # a short row is padded
    stderr = done.stderr.decode()
    assert f"1 of {len(got) - 1} rows could not be geocoded" in stderr
    assert message.split(": ", 1)[1] in stderr


def test_bare_cr_and_mixed_endings_end_rows(table):
    done = batch("-", "--table", table, stdin=b"lat,lon,n\r48.85,2.35,a\r35.68,139.65,b\r\n1,2,c")
    got = list(csv.reader(io.StringIO(done.stdout.decode(), newline="")))
    assert [row[2] for row in got[1:]] == ["a", "b", "c"]
    assert b"\r" not in done.stdout


@pytest.mark.parametrize("text, header, rows", [
    (b"lat,lon\n1,2\n3,4\n", True, 2),
    (b"lat,lon\r1,2\r3,4\r", True, 2),
    (b"lat,lon\r\n1,2\r\n3,4\r\n", True, 2),
    (b"lat,lon\r1,2\n3,4\r\n5,6", True, 3),
    (b"1,2\r3,4", False, 2),
    (b"", True, 0),
])
def test_the_progress_total_counts_rows_as_the_reader_ends_them(tmp_path, monkeypatch, text,
                                                                header, rows):
    from vicinor_tools import _batch

    path = tmp_path / "points.csv"
    path.write_bytes(text)
    for read_bytes in (1, 2, 3, 1 << 20):  # a CR LF may be cut between reads
        monkeypatch.setattr(_batch, "BLOCK_BYTES", read_bytes)
        assert _batch.count_rows(str(path), header) == rows


def test_output_is_refused_when_it_is_the_input(table, tmp_path):
    source = tmp_path / "in.csv"
    source.write_text("lat,lon\n1,2\n")
    link = tmp_path / "link.csv"
    link.symlink_to(source)
    for target in (source, link, tmp_path / "." / "in.csv"):
        done = batch(source, "-o", target, "--table", table, check=False)
        assert done.returncode == 1
        assert "is the input file" in done.stderr.decode()
        assert source.read_text() == "lat,lon\n1,2\n"
    with open(source, "ab") as appended:
        done = subprocess.run([COMMAND, "batch", str(source), "--table", str(table)],
                              stdout=appended, stderr=subprocess.PIPE, timeout=60)
    assert done.returncode == 1 and source.read_text() == "lat,lon\n1,2\n"
    with open(source, "rb") as given:
        done = subprocess.run([COMMAND, "batch", "-", "-o", str(link), "--table", str(table)],
                              stdin=given, stderr=subprocess.PIPE, timeout=60)
    assert done.returncode == 1 and source.read_text() == "lat,lon\n1,2\n"


@pytest.mark.parametrize("rows, options", [
    ("1,2\n" * 50 + "1,x\n", ["--chunk-rows", "1"]),   # fails after blocks were written
    ("1,2\n", ["--lat-column", "nothing"]),             # a usage error
    ("1,2\n", ["--index", "/no/such.vgc"]),
])
def test_a_failed_run_leaves_an_existing_output_as_it_was(table, tmp_path, rows, options):
    source = tmp_path / "in.csv"
    source.write_text("lat,lon\n" + rows)
    out = tmp_path / "out.csv"
    out.write_text("precious\n")
    done = batch(source, "-o", out, *(["--table", table] if "--index" not in options else []),
                 *options, check=False)
    assert done.returncode == 1
    assert out.read_text() == "precious\n"
    assert sorted(path.name for path in tmp_path.iterdir()) == ["in.csv", "out.csv"]


def test_write_errors_name_the_file(table):
    done = batch("-", "-o", "/dev/full", "--table", table, stdin=b"lat,lon\n1,2\n", check=False)
    assert done.returncode == 1
    assert "cannot write /dev/full: " in done.stderr.decode()
    done = batch("-", "-o", "/no/such/dir/out.csv", "--table", table, stdin=b"lat,lon\n1,2\n",
                 check=False)
    assert "cannot write /no/such/dir/out.csv: " in done.stderr.decode()


@pytest.mark.parametrize("redirect, message", [
    ("<&-", "standard input is closed"),
    (">&-", "standard output is closed"),
])
def test_closed_standard_streams_are_one_line(table, redirect, message):
    done = subprocess.run(f"'{COMMAND}' batch - --table '{table}' {redirect}", shell=True,
                          stderr=subprocess.PIPE,
                          input=None if redirect == "<&-" else b"lat,lon\n1,2\n", timeout=60)
    assert done.returncode == 1
    assert message in done.stderr.decode() and "Traceback" not in done.stderr.decode()


@pytest.mark.parametrize("options, message", [
    (["--sep", ";"], "--sep and --drop-coordinates apply to --table only"),
    (["--index", "x.vgc", "--drop-coordinates"], "apply to --table only"),
    (["--chunk-rows", "10000000000"], "--chunk-rows must be from 1 to"),
    (["--input-sep", '"'], "--input-sep must be one ASCII character"),
])
def test_options_that_cannot_apply_are_refused(options, message):
    done = batch("-", *options, stdin=b"lat,lon\n1,2\n", check=False)
    assert done.returncode == 2
    assert message in done.stderr.decode()


def test_a_row_beyond_the_limit_is_refused_in_bounded_memory(table, tmp_path):
    source = tmp_path / "long.csv"
    with open(source, "wb") as file:
        file.write(b"lat,lon,note\n1,2,x\n1,2,")
        file.write(b"y" * (40 << 20))
        file.write(b"\n")
    # Measured from a small process: a child's peak counts its parent's
    # memory at the fork, and this test process may be large.
    measure = ("import resource, subprocess, sys\n"
               "done = subprocess.run(sys.argv[1:], capture_output=True)\n"
               "sys.stderr.buffer.write(done.stderr)\n"
               "print(done.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    done = subprocess.run([sys.executable, "-c", measure, COMMAND, "batch", str(source),
                           "--table", str(table)], capture_output=True, timeout=120)
    status, peak_kib = map(int, done.stdout.split())
    assert status == 1
    assert f"{source}, line 3: a row longer than 16 MiB" in done.stderr.decode()
    assert peak_kib < 150 << 10
