"""k nearest rows and rows within a distance, against brute force over every
row: each row's point from its own coordinates, the squared chord summed as
the search sums it, and kilometres by the formula nearest_rows reports."""

import math

import numpy as np
import pytest

from conftest import ReverseGeocoder

EARTH_RADIUS_KM = 6371.0088


def point(lat, lon):
    # math's sin and cos are the C library's, as in the extension.
    lat_r, lon_r = lat * 0.017453292519943295, lon * 0.017453292519943295
    return (math.cos(lat_r) * math.cos(lon_r), math.cos(lat_r) * math.sin(lon_r), math.sin(lat_r))


def chord_to_km(squared):
    return EARTH_RADIUS_KM * (2.0 * math.asin(min(math.sqrt(squared) * 0.5, 1.0)))


def by_distance(coords, lat, lon):
    """(squared chord, row) of every row, nearest first, ties by row number."""
    q = point(lat, lon)
    found = []
    for row, (a, b) in enumerate(coords):
        p = point(a, b)
        dx, dy, dz = p[0] - q[0], p[1] - q[1], p[2] - q[2]
        found.append(((dx * dx + dy * dy) + dz * dz, row))
    return sorted(found)


def make_table(kind, seed=0):
    rng = np.random.default_rng(seed)
    if kind == "random":
        coords = list(zip(rng.uniform(-90, 90, 300), rng.uniform(-180, 180, 300)))
    elif kind == "duplicated":  # groups of up to 20 copies of a place
        places = list(zip(rng.uniform(-60, 60, 30), rng.uniform(-180, 180, 30)))
        coords = [places[i] for i in rng.integers(0, 30, 300)]
    elif kind == "crowded":  # 40 copies of a place: more than a leaf holds
        coords = list(zip(rng.uniform(-60, 60, 260), rng.uniform(-180, 180, 260)))
        coords[5:5] = [(12.5, -7.25)] * 40
    elif kind == "polar":
        coords = list(zip(rng.choice([-1, 1], 300) * rng.uniform(88, 90, 300),
                          rng.uniform(-180, 180, 300)))
    elif kind == "antimeridian":
        coords = list(zip(rng.uniform(-10, 10, 300), rng.choice([-1, 1], 300) * rng.uniform(179, 180, 300)))
    else:  # a table of 1 to 3 rows
        coords = list(zip(rng.uniform(-90, 90, kind), rng.uniform(-180, 180, kind)))
    coords = [(float(a), float(b)) for a, b in coords]
    text = "lat,lon\n" + "".join(f"{a!r},{b!r}\n" for a, b in coords)
    return ReverseGeocoder(text), coords


def queries(coords, seed=1):
    rng = np.random.default_rng(seed)
    lats = list(rng.uniform(-90, 90, 40)) + [a for a, _ in coords[:10]] + [90.0, -90.0, 0.0, 12.5]
    lons = list(rng.uniform(-180, 180, 40)) + [b for _, b in coords[:10]] + [0.0, 180.0, -180.0, -7.0]
    return np.array(lats), np.array(lons)


TABLES = ["random", "duplicated", "crowded", "polar", "antimeridian", 1, 2, 3]


@pytest.mark.parametrize("kind", TABLES)
@pytest.mark.parametrize("k", [2, 33, 400])
def test_k_nearest_are_the_nearest_by_distance_then_row(kind, k):
    geocoder, coords = make_table(kind)
    lats, lons = queries(coords)
    rows, km = geocoder.nearest_rows(lats, lons, k=k)
    single, _ = geocoder.nearest_rows(lats, lons)
    assert rows.shape == km.shape == (len(lats), k)
    assert np.array_equal(rows[:, 0], single)
    for i, (lat, lon) in enumerate(zip(lats, lons)):
        ranked = by_distance(coords, lat, lon)
        rest = [(d, r) for d, r in ranked if r != single[i]][: k - 1]
        first = next(d for d, r in ranked if r == single[i])
        assert first == ranked[0][0]
        expected = [(first, single[i])] + rest
        assert rows[i, : len(expected)].tolist() == [r for _, r in expected]
        assert km[i, : len(expected)].tolist() == [chord_to_km(d) for d, _ in expected]
        assert (rows[i, len(expected):] == -1).all() and np.isinf(km[i, len(expected):]).all()


def test_k_nearest_beyond_max_km_are_marked_but_measured():
    geocoder, coords = make_table("random")
    lats, lons = queries(coords)
    rows, km = geocoder.nearest_rows(lats, lons, k=5)
    capped, capped_km = geocoder.nearest_rows(lats, lons, k=5, max_km=1500)
    assert np.array_equal(capped_km, km)
    assert np.array_equal(capped, np.where(km > 1500, -1, rows))


@pytest.mark.parametrize("kind", TABLES)
@pytest.mark.parametrize("radius", [0.0, 500.0, 3000.0, 30000.0])
def test_rows_within_equal_brute_force(kind, radius):
    geocoder, coords = make_table(kind)
    lats, lons = queries(coords)
    offsets, rows, km = geocoder.rows_within(lats, lons, radius)
    assert offsets[0] == 0 and offsets[-1] == len(rows) == len(km)
    for i, (lat, lon) in enumerate(zip(lats, lons)):
        expected = [(chord_to_km(d), r) for d, r in by_distance(coords, lat, lon)]
        expected = [(x, r) for x, r in expected if x <= radius]
        got = slice(offsets[i], offsets[i + 1])
        assert rows[got].tolist() == [r for _, r in expected]
        assert km[got].tolist() == [x for x, _ in expected]


def test_a_radius_equal_to_a_rows_distance_takes_that_row():
    geocoder, coords = make_table("duplicated")
    lat, lon = 3.0, 4.0
    ranked = [(chord_to_km(d), r) for d, r in by_distance(coords, lat, lon)]
    edge = ranked[40][0]  # a whole group of copies lies at exactly this distance
    found = geocoder.get_rows_within(lat, lon, edge)
    assert found == [(r, x) for x, r in ranked if x <= edge]
    assert found[-1][1] == edge


def test_limit_chunks_and_the_one_point_form_agree_with_the_whole():
    geocoder, coords = make_table("random")
    lats, lons = queries(coords)
    offsets, rows, km = geocoder.rows_within(lats, lons, 4000.0, threads=3)
    limited = geocoder.rows_within(lats, lons, 4000.0, limit=3)
    chunk = geocoder.rows_within(lats, lons, 4000.0, start=10, stop=20)
    assert np.array_equal(chunk[0], offsets[10:21] - offsets[10])
    assert np.array_equal(chunk[1], rows[offsets[10]:offsets[20]])
    for i in range(len(lats)):
        whole = list(zip(rows[offsets[i]:offsets[i + 1]].tolist(), km[offsets[i]:offsets[i + 1]].tolist()))
        assert geocoder.get_rows_within(lats[i], lons[i], 4000.0) == whole
        part = slice(limited[0][i], limited[0][i + 1])
        assert list(zip(limited[1][part].tolist(), limited[2][part].tolist())) == whole[:3]


@pytest.mark.parametrize(
    ("call", "error", "text"),
    [
        (lambda g: g.nearest_rows([0.0], [0.0], k=0), ValueError, "argument 'k': must be at least 1"),
        (lambda g: g.rows_within([0.0], [0.0], -1.0), ValueError, "argument 'km'"),
        (lambda g: g.rows_within([0.0], [0.0], float("nan")), ValueError, "argument 'km'"),
        (lambda g: g.rows_within([0.0], [0.0], 1.0, limit=-1), ValueError, "argument 'limit'"),
        (lambda g: g.rows_within([0.0], [float("inf")], 1.0), ValueError, r"lons\[0\]"),
        (lambda g: g.rows_within([0.0], [0.0, 1.0], 1.0), ValueError, "differ in length"),
        (lambda g: g.get_rows_within(0.0, float("nan"), 1.0), ValueError, "longitude"),
    ],
)
def test_neighbour_arguments_are_checked(call, error, text):
    geocoder, _ = make_table(2)
    with pytest.raises(error, match=text):
        call(geocoder)
