"""`vicinor batch` on inputs of every shape: its whole-block reading and
writing must give, byte for byte, what reading and writing one row at a
time with the csv module and single lookups gives."""

import csv
import io
import random
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, strategies as st

import vicinor
import vicinor_tools
from vicinor_tools import _batch

from conftest import running_under_sanitizer

COMMAND = str(Path(sys.executable).with_name("vicinor"))
pytestmark = [
    pytest.mark.skipif(running_under_sanitizer(),
                       reason="subprocesses are not run under the sanitizer"),
    pytest.mark.skipif(not hasattr(vicinor.ReverseGeocoder, "nearest_rows"),
                       reason="this build of vicinor has no batch lookups"),
]

# Fields that need quoting, quotes inside unquoted fields, non-ASCII text,
# an empty field, and a repeated column name.
TABLE = ('lat,lon,name,note,name\n'
         '10,20,"Alpha, North",plain,first\n'
         '-10,-20,Beta,"say ""hi""",second\n'
         '45,7,Ça va,a"b,third\n'
         '0,0,Zero,,fourth\n'
         '-60,120,"line\rbreak",x,fifth\n')


def expected_output(text, lat_at, lon_at, geocoder):
    """One row at a time: the csv module to read, single lookups, and the
    appended fields quoted as the csv module quotes them."""
    lines = [line for line in text.replace("\r\n", "\n").split("\n")[1:] if line]
    out = []
    columns = geocoder.columns()  # a repeated name gives its rightmost field
    for line in lines:
        fields = next(csv.reader([line]))
        text, km = geocoder.get_nearest_with_distance(float(fields[lat_at]),
                                                      float(fields[lon_at]))
        place = geocoder.row_dict(ROW_OF_TEXT[id(geocoder)][text])
        buffer = io.StringIO()
        csv.writer(buffer, lineterminator="").writerow([place[name] for name in columns])
        out.append(f"{line},{buffer.getvalue()},{km:.3f}\n")
    return "".join(out)


ROW_OF_TEXT = {}


def make_geocoder(table_text):
    geocoder = vicinor.ReverseGeocoder(table_text)
    ROW_OF_TEXT[id(geocoder)] = {geocoder.row_text(row): row
                                 for row in range(geocoder.row_count())}
    return geocoder


def points(count, shape, seed):
    """Input text of one shape; returns (text, lat column, lon column)."""
    rng = random.Random(seed)
    newline = "\r\n" if shape == "crlf-quoted" else "\n"
    rows = []
    for i in range(count):
        lat, lon = f"{rng.uniform(-90, 90):.6f}", f"{rng.uniform(-180, 180):.5f}"
        if shape == "two-columns":
            rows.append(f"{lat},{lon}")
        elif shape == "crlf-quoted":  # longitude first, names sometimes quoted
            name = f'"Saint-{i}, ""Q"""' if i % 7 == 0 else f"Ville{i}"
            rows.append(f"{i},{lon},{lat},{name}")
        else:  # ragged rows, a stray quote mid-field, non-ASCII, spaces
            extra = ",x" * (i % 4)
            stray = 'a"b' if i % 5 == 0 else ""
            if i % 11 == 0:  # Python's float reads these; numpy's reader does not
                lat = "1_0.5" if i % 2 else "\u0663"
            rows.append(f"{i}{stray},{lat}, {lon} ,Zürich{extra}")
    header = {"two-columns": "lat,lon", "crlf-quoted": "id,lon,lat,name",
              "ragged": "id,lat,lon,name"}[shape]
    columns = {"two-columns": (0, 1), "crlf-quoted": (2, 1), "ragged": (1, 2)}[shape]
    return newline.join([header, *rows]) + newline, *columns


@pytest.mark.parametrize("shape", ["two-columns", "crlf-quoted", "ragged"])
@pytest.mark.parametrize("chunk_rows", [7, 100_000])
def test_every_shape_matches_row_at_a_time(tmp_path, shape, chunk_rows):
    geocoder = make_geocoder(TABLE)
    table = tmp_path / "table.csv"
    table.write_text(TABLE)
    text, lat_at, lon_at = points(3000, shape, seed=len(shape))
    done = subprocess.run([COMMAND, "batch", "-", "--table", str(table), "--lat-column",
                           str(lat_at), "--lon-column", str(lon_at), "--chunk-rows",
                           str(chunk_rows)], input=text.encode(), capture_output=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    body = done.stdout.decode().split("\n", 1)[1]
    assert body == expected_output(text, lat_at, lon_at, geocoder)


@pytest.mark.parametrize("body, message", [
    ('1,2\n"3,4\n5,6\n', "line 3: unexpected end of data"),
    ('1,2\n"3"x,4\n', "line 3: ',' expected after '\"'"),
    ("1,2\n3,1_000x\n", "line 3: coordinate '1_000x' is not a number"),
    ("1,2\n3,4\n5\n", "line 4: 1 fields, no column 1"),
    ('1,2\n"3",inf\n', "line 3: coordinates must be finite numbers"),
])
def test_bad_rows_among_good_ones_are_named(body, message):
    done = subprocess.run([COMMAND, "batch", "-"], input=("lat,lon\n" + body).encode(),
                          capture_output=True, timeout=300)
    assert done.returncode == 1
    assert message in done.stderr.decode()


def test_place_texts_are_the_same_made_one_by_one_or_all_at_once():
    geocoder = make_geocoder(TABLE)
    names = list(geocoder.columns())
    rows = np.arange(geocoder.row_count() + 1, dtype=np.int64)
    one_by_one = [_batch.PlaceColumns(geocoder, names).csv_texts(rows[i:i + 1])[0]
                  for i in range(len(rows))]
    at_once = _batch.PlaceColumns(geocoder, names)
    at_once.make_all()
    assert at_once.csv_texts(rows) == one_by_one
    assert one_by_one[0] == ',10,20,first,plain,first,'  # the rightmost "name"
    assert one_by_one[-1] == "," * 6


SPECIAL_DISTANCES = [0.0, -0.0, 0.0005, 0.0015, 0.0625, 1.0005, 9.9995, 999.9995, 20037.5,
                     1e-9, 0.00049999999, 123456.7895, 5e11, 1e13, 1e300, 0.1, 0.7,
                     float("nan"), float("inf")]


@given(st.lists(st.one_of(st.floats(min_value=0, max_value=25_000),
                          st.integers(0, 25_000_000).map(lambda m: m / 1000),
                          st.integers(0, 50_000_000).map(lambda m: (2 * m + 1) / 2000),
                          st.sampled_from(SPECIAL_DISTANCES)), max_size=50))
def test_distance_texts_equal_percent_formatting(distances):
    km = np.array(distances, dtype=np.float64)
    assert _batch.distance_texts(km) == ["%.3f\n" % value for value in distances]
