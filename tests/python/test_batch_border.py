"""`vicinor batch --by-border` in subprocesses: point_country against
country_of, and with the bundled table the place against
world(by_border=True), row by row."""

import csv
import io
import json
import random

import numpy as np
import pytest

import vicinor
import vicinor_tools

from test_batch_command import batch, pytestmark  # noqa: F401 (the sanitizer skip)
from test_batch_neighbours import TABLE

# Eastern Algeria, Montana, the sea, across the antimeridian, Lesotho, and
# random points (longitudes beyond 180 included).
BORDER_POINTS = [("28.85", "8.44"), ("48.95", "-113.9"), ("0", "-30"), ("-17.8", "178.1"),
                 ("-17.8", "-181.9"), ("-29.6", "28.2"), ("-85", "10")]


def points(count, seed=8):
    rng = random.Random(seed)
    return BORDER_POINTS + [(f"{rng.uniform(-90, 90):.4f}", f"{rng.uniform(-200, 200):.4f}")
                            for _ in range(count)]


def read_output(text, output_format):
    """Rows of str as the CSV would hold them (JSON nulls empty, booleans
    lower case) and the header."""
    if output_format == "csv":
        got = list(csv.reader(io.StringIO(text, newline="")))
        return got[0], got[1:]
    records = [json.loads(line) for line in text.splitlines()]
    shown = [["" if v is None else str(v).lower() if isinstance(v, bool) else
              v if isinstance(v, str) else f"{v:.3f}" for v in record.values()]
             for record in records]
    return list(records[0]), shown


@pytest.mark.parametrize("bundled, max_km, chunk_rows, output_format", [
    (False, None, 65536, "csv"),
    (False, 800.0, 7, "jsonl"),
    (True, None, 5, "csv"),
    (True, 300.0, 65536, "jsonl"),
])
def test_rows_get_the_country_they_lie_in(tmp_path, bundled, max_km, chunk_rows, output_format):
    coordinates = points(80)
    source = tmp_path / "points.csv"
    source.write_text("id,lat,lon\n" + "".join(f"i{n},{lat},{lon}\n"
                                               for n, (lat, lon) in enumerate(coordinates)))
    table = tmp_path / "table.csv"
    table.write_text(TABLE)
    options = ([] if bundled else ["--table", table]) + ([] if max_km is None else
                                                         ["--max-km", max_km])
    done = batch(source, "--by-border", "--chunk-rows", chunk_rows, "--threads", 2,
                 "--format", output_format, *options)
    header, got = read_output(done.stdout.decode(), output_format)

    lats = np.array([float(lat) for lat, _ in coordinates])
    lons = np.array([float(lon) for _, lon in coordinates])
    countries = vicinor_tools.country_of(lats, lons)
    if bundled:
        world = vicinor_tools.world(by_border=True)
        geocoder = world.geocoder
        rows, km, _, within = world.nearest_rows(lats, lons)
        extras = [[code, str(bool(inside)).lower()] for code, inside in zip(countries, within)]
        assert header[-2:] == ["point_country", "within_country"]
        assert within[:2].all() and not within[2]  # Algeria, Montana; the sea
    else:
        geocoder = vicinor.ReverseGeocoder(TABLE)
        rows, km = geocoder.nearest_rows(lats, lons)
        extras = [[code] for code in countries]
        assert header[-2:] == ["distance_km", "point_country"]
    assert list(countries[:3]) == ["DZ", "US", ""]
    width = len(geocoder.columns())
    want = []
    for n, ((lat, lon), row, d, extra) in enumerate(zip(coordinates, rows, km, extras)):
        beyond = max_km is not None and d > max_km
        place = [""] * width if beyond else next(csv.reader([geocoder.row_text(int(row))]))
        want.append([f"i{n}", lat, lon] + place + [f"{d:.3f}"] + extra)
    assert got == want


@pytest.mark.parametrize("output_format", ["csv", "jsonl"])
def test_a_skipped_bad_row_has_no_country(tmp_path, output_format):
    table = tmp_path / "table.csv"
    table.write_text(TABLE)
    done = batch("-", "--by-border", "--table", table, "--on-error", "skip", "--format",
                 output_format, stdin=b"id,lat,lon\na,28.85,8.44\nb,north,1\n")
    _, got = read_output(done.stdout.decode(), output_format)
    assert got[0][-1] == "DZ"
    assert got[1][3:] == [""] * (len(got[1]) - 3)


@pytest.mark.parametrize("bundled", [True, False])
def test_k_nearest_by_border_are_the_single_lookups_ones(tmp_path, bundled):
    from vicinor_tools._border_command import border_neighbours

    coordinates = points(30) + [("41.9029", "12.4534")]  # the Vatican: one place
    source = tmp_path / "points.csv"
    source.write_text("id,lat,lon\n" + "".join(f"i{n},{lat},{lon}\n"
                                               for n, (lat, lon) in enumerate(coordinates)))
    table = tmp_path / "table.csv"
    table.write_text(TABLE)
    done = batch(source, "-k", 3, "--by-border", "--chunk-rows", 4, "--threads", 2,
                 *([] if bundled else ["--table", table]))
    header, got = read_output(done.stdout.decode(), "csv")
    geocoder = vicinor_tools.world() if bundled else vicinor.ReverseGeocoder(TABLE)

    def k_nearest(searched):
        rows, km = searched.nearest_rows([lat], [lon], k=3)
        return [(int(r), float(d)) for r, d in zip(rows[0], km[0]) if r >= 0]

    want = []
    for n, (lat_text, lon_text) in enumerate(coordinates):
        lat, lon = float(lat_text), float(lon_text)
        found, border = border_neighbours(geocoder, bundled, lat, lon, k_nearest)
        extra = [border["point_country"]] + ([str(border["within_country"]).lower()]
                                             if bundled else [])
        for rank, (row, km) in enumerate(found, start=1):
            place = next(csv.reader([geocoder.row_text(row)]))
            want.append([f"i{n}", lat_text, lon_text, str(rank)] + place + [f"{km:.3f}"] + extra)
    assert got == want
