"""`vicinor batch -k N` in subprocesses: every input row's output rows
against nearest_rows(k=N), ties, --max-km and tables of fewer rows included."""

import csv
import io
import json
import random

import pytest

import vicinor

from test_batch_command import batch, pytestmark  # noqa: F401 (the sanitizer skip)

# Every point twice (ties broken by row number), and fields that need quoting.
TABLE = "lat,lon,name\n" + "".join(
    f'{lat},{lon},"P{i}, {copy}"\n'
    for i, (lat, lon) in enumerate((la, lo) for la in range(-60, 61, 30) for lo in (-170, 0, 90))
    for copy in "ab")


@pytest.fixture(scope="module")
def table(tmp_path_factory):
    path = tmp_path_factory.mktemp("table") / "places.csv"
    path.write_text(TABLE)
    return path


def points(count, seed=3):
    rng = random.Random(seed)
    # Some exactly on a place, whose copies tie at distance 0.
    return [(f"{rng.uniform(-90, 90):.4f}", f"{rng.uniform(-180, 180):.4f}") if i % 4 else
            (str(rng.choice((-60, 0, 30))), str(rng.choice((-170, 90))))
            for i in range(count)]


def expected_rows(geocoder, coordinates, k, max_km):
    """The appended columns nearest_rows(k=) gives each point: the ranks
    that exist, the place empty where it is beyond max_km."""
    lats = [float(lat) for lat, _ in coordinates]
    lons = [float(lon) for _, lon in coordinates]
    rows, km = geocoder.nearest_rows(lats, lons, k=k, max_km=max_km)
    rows, km = rows.reshape(len(lats), k), km.reshape(len(lats), k)
    width = len(geocoder.columns())
    expected = []
    for point_rows, point_km in zip(rows, km):
        ranks = []
        for rank, (row, d) in enumerate(zip(point_rows, point_km), start=1):
            if d == float("inf"):
                break
            place = next(csv.reader([geocoder.row_text(int(row))])) if row >= 0 else [""] * width
            ranks.append([str(rank)] + place + [f"{d:.3f}"])
        expected.append(ranks)
    return expected


@pytest.mark.parametrize("k, max_km, chunk_rows, output_format", [
    (1, None, 65536, "csv"),
    (3, None, 5, "csv"),
    (3, 1500.0, 7, "jsonl"),
    (4, 0.0, 65536, "csv"),
    (25, None, 3, "csv"),  # more than the table's 20 rows
    (25, 4000.0, 65536, "jsonl"),
])
def test_each_row_gets_the_k_nearest_ranked(table, tmp_path, k, max_km, chunk_rows,
                                            output_format):
    geocoder = vicinor.ReverseGeocoder(TABLE)
    coordinates = points(60)
    source = tmp_path / "points.csv"
    source.write_text("id,lat,lon\n" + "".join(f"i{n},{lat},{lon}\n"
                                               for n, (lat, lon) in enumerate(coordinates)))
    options = [] if max_km is None else ["--max-km", max_km]
    done = batch(source, "--table", table, "-k", k, "--chunk-rows", chunk_rows, "--threads", 2,
                 "--format", output_format, *options)
    expected = expected_rows(geocoder, coordinates, k, max_km)
    text = done.stdout.decode()
    names = ["id", "lat", "lon", "rank", "place_lat", "place_lon", "name", "distance_km"]
    if output_format == "csv":
        got = list(csv.reader(io.StringIO(text, newline="")))
        assert got[0] == names
        got = got[1:]
    else:
        records = [json.loads(line) for line in text.splitlines()]
        assert all(list(record) == names for record in records)
        got = [["" if v is None else v if isinstance(v, str) else
                str(v) if isinstance(v, int) else f"{v:.3f}" for v in record.values()]
               for record in records]
    want = [[f"i{n}", lat, lon] + ranked
            for n, ((lat, lon), ranks) in enumerate(zip(coordinates, expected))
            for ranked in ranks]
    assert got == want
    # Rank 1 is the single lookup's answer, ties included.
    single, _ = geocoder.nearest_rows([float(lat) for lat, _ in coordinates],
                                      [float(lon) for _, lon in coordinates])
    names = [next(csv.reader([geocoder.row_text(int(row))]))[2] for row in single]
    assert [row[6] for row in got if row[3] == "1" and row[6]] == \
        [name for name, ranks in zip(names, expected) if ranks[0][3]]


def test_a_skipped_bad_row_is_written_once_without_rank(table):
    done = batch("-", "--table", table, "-k", 3, "--on-error", "skip",
                 stdin=b"id,lat,lon\na,1,2\nb,91,2\nc,3,4\n")
    got = list(csv.reader(io.StringIO(done.stdout.decode(), newline="")))
    assert [row[0] for row in got[1:]] == ["a"] * 3 + ["b"] + ["c"] * 3
    assert got[4][3:] == [""] * 5
    assert "1 of 3 rows could not be geocoded" in done.stderr.decode()


@pytest.mark.parametrize("value", ["0", "-2", "10001"])
def test_a_count_out_of_range_is_refused(table, value):
    done = batch("-", "--table", table, "-k", value, stdin=b"lat,lon\n1,2\n", check=False)
    assert done.returncode == 2
    assert "vicinor batch: error: -k must be" in done.stderr.decode()
