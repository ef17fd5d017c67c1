"""Batch lookups over columns: the same answers as single lookups, ties
included, with great-circle distances, on any number of threads."""

import array
import gzip
import math
import pathlib

import numpy as np
import pandas
import pytest

from conftest import ReverseGeocoder, make_table

WORLD = pathlib.Path(__file__).resolve().parents[2] / "data" / "world-cities.csv.gz"
EARTH_RADIUS_KM = 6371.0088


def numbered(lines):
    """A row-number column makes every row's text unique, so equal texts
    mean equal rows even where places share coordinates."""
    return "".join(f"{line},{i}\n" for i, line in enumerate(lines))


@pytest.fixture(scope="module")
def world():
    lines = gzip.decompress(WORLD.read_bytes()).decode("utf-8").split("\n")[:-1]
    return ReverseGeocoder(lines[0] + ",row\n" + numbered(lines[1:]))


@pytest.fixture(scope="module")
def crowded():
    """Clustered places, every one of them stored three times."""
    rng = np.random.default_rng(7)
    lats = np.round(rng.uniform(-60, 60, 400), 2)
    lons = np.round(rng.uniform(-180, 180, 400), 2)
    lines = [f"{lat},{lon},p" for lat, lon in zip(lats, lons)] * 3
    return ReverseGeocoder("lat,lon,name,row\n" + numbered(lines))


def queries(geocoder, count, seed):
    """Half uniform on the sphere, a quarter near places, a quarter exactly
    at places (where stored copies tie)."""
    rng = np.random.default_rng(seed)
    half, quarter = count // 2, count // 4
    rows = rng.integers(0, geocoder.row_count(), count - half)
    lats = np.array([float(v) for v in geocoder.column("lat")])[rows]
    lons = np.array([float(v) for v in geocoder.column("lon")])[rows]
    lats[:quarter] += rng.normal(0, 0.05, quarter)
    lons[:quarter] += rng.normal(0, 0.05, quarter)
    return (np.concatenate([np.degrees(np.arcsin(rng.uniform(-1, 1, half))), lats]),
            np.concatenate([rng.uniform(-180, 180, half), lons]))


def haversine_km(lat1, lon1, lat2, lon2):
    p1, p2 = np.radians(lat1), np.radians(lat2)
    a = (np.sin((p2 - p1) / 2) ** 2
         + np.cos(p1) * np.cos(p2) * np.sin(np.radians(lon2 - lon1) / 2) ** 2)
    return 2 * EARTH_RADIUS_KM * np.arcsin(np.sqrt(a))


@pytest.mark.parametrize("table", ["world", "crowded"])
@pytest.mark.parametrize("threads", [1, 2, 4])
@pytest.mark.parametrize("max_km", [None, 25.0])
def test_batch_answers_are_single_lookups(request, table, threads, max_km):
    geocoder = request.getfixturevalue(table)
    lats, lons = queries(geocoder, 30_000, seed=threads)
    rows, km = geocoder.nearest_rows(lats, lons, max_km=max_km, threads=threads)
    assert rows.dtype == np.int64 and km.dtype == np.float64
    assert rows.shape == km.shape == lats.shape
    for i in range(0, len(lats), 7):
        single = geocoder.get_nearest_with_distance(lats[i], lons[i])
        assert km[i] == single[1]
        if max_km is not None and km[i] > max_km:
            assert rows[i] == -1
            assert geocoder.get_nearest_with_distance(lats[i], lons[i], max_km) is None
        else:
            assert geocoder.row_text(rows[i]) == single[0]
            assert geocoder.get_nearest_as_string(lats[i], lons[i]) == single[0]


def test_distances_are_great_circle_distances_to_the_row(world):
    lats, lons = queries(world, 20_000, seed=3)
    rows, km = world.nearest_rows(lats, lons)
    row_lats = np.array([float(v) for v in world.column("lat")])[rows]
    row_lons = np.array([float(v) for v in world.column("lon")])[rows]
    expected = haversine_km(lats, lons, row_lats, row_lons)
    np.testing.assert_allclose(km, expected, rtol=1e-9, atol=1e-6)
    # Antipodes: the longest distance, and no NaN from rounding past it.
    one = ReverseGeocoder(make_table([(0, 0, "a")]))
    _, far = one.nearest_rows([0.0, 90.0], [180.0, 0.0])
    np.testing.assert_allclose(far, [math.pi * EARTH_RADIUS_KM, math.pi / 2 * EARTH_RADIUS_KM])


def test_every_column_form_gives_the_same_answers(crowded):
    lats, lons = queries(crowded, 1_000, seed=5)
    expected = crowded.nearest_rows(lats, lons)
    wide_lats = np.repeat(lats, 2)  # a strided view, read in place
    forms = [
        (lats.tolist(), lons.tolist()),
        (wide_lats[::2], np.repeat(lons, 2)[::2]),
        (memoryview(array.array("d", lats)), array.array("d", lons)),
        (lats.astype(">f8"), pandas.Series(lons)),
        (tuple(lats), lons.astype(np.longdouble)),
    ]
    for form_lats, form_lons in forms:
        rows, km = crowded.nearest_rows(form_lats, form_lons)
        np.testing.assert_array_equal(rows, expected[0])
        np.testing.assert_array_equal(km, expected[1])
    rows, km = crowded.nearest_rows([], np.array([]))
    assert rows.shape == km.shape == (0,)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda g: g.nearest_rows([1.0, float("nan")], [2.0, 3.0]), ValueError,
         "lats[1]: latitude must be a finite number, got nan"),
        (lambda g: g.nearest_rows([1.0, 2.0, 3.0], [2.0, 3.0, -math.inf]), ValueError,
         "lons[2]: longitude must be a finite number, got -inf"),
        (lambda g: g.nearest_rows([1.0, 2.0], [2.0]), ValueError,
         "lats and lons differ in length (2 and 1): index 1 has no longitude"),
        (lambda g: g.nearest_rows([[1.0]], [[2.0]]), ValueError,
         "lats must be one-dimensional, got 2 dimensions"),
        (lambda g: g.nearest_rows(1.0, [2.0]), ValueError,
         "lats must be one-dimensional, got 0 dimensions"),
        (lambda g: g.nearest_rows([1.0], [2.0], max_km=float("nan")), ValueError,
         "argument 'max_km': must be a distance in kilometres of at least 0, got nan"),
        (lambda g: g.nearest_rows([1.0], [2.0], threads=0), ValueError,
         "argument 'threads': must be from 1 to 1024, got 0"),
        (lambda g: g.nearest_rows([1.0], [2.0], threads=1.5), TypeError,
         "argument 'threads': 'float' object cannot be interpreted as an integer"),
        (lambda g: g.nearest_rows([1.0], [2.0], 5.0), TypeError,
         "ReverseGeocoder.nearest_rows() takes 2 positional arguments but 3 were given"),
        (lambda g: g.nearest_rows([1.0]), TypeError,
         "ReverseGeocoder.nearest_rows() missing 1 required positional argument: 'lons'"),
        (lambda g: g.get_nearest_with_distance(1.0, 2.0, max_km=-1), ValueError,
         "argument 'max_km': must be a distance in kilometres of at least 0, got -1.0"),
        (lambda g: g.get_nearest_with_distance(1.0, float("inf")), ValueError,
         "argument 'lon': longitude must be a finite number, got inf"),
    ],
)
def test_bad_batch_input_is_refused(crowded, call, error, message):
    with pytest.raises(error) as raised:
        call(crowded)
    assert str(raised.value) == message


def test_an_empty_geocoder_fails_as_a_single_lookup_does():
    empty = ReverseGeocoder("lat,lon,name\n")
    with pytest.raises(RuntimeError) as single:
        empty.get_nearest_as_string(1.0, 2.0)
    for call in (lambda: empty.nearest_rows([1.0], [2.0]), lambda: empty.nearest_rows([], []),
                 lambda: empty.get_nearest_with_distance(1.0, 2.0)):
        with pytest.raises(RuntimeError) as batch:
            call()
        assert str(batch.value) == str(single.value)
