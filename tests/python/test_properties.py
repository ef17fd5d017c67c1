"""Every lookup against brute force over random tables: the answer is a row
at the minimum chord distance, and among identical places the earliest."""

import math

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import ReverseGeocoder

DEG_TO_RAD = 0.017453292519943295
SETTINGS = settings(max_examples=50, deadline=None)


def to_point(lat, lon):
    # The libm functions the geocoder itself uses, so points agree exactly.
    lat_r, lon_r = lat * DEG_TO_RAD, lon * DEG_TO_RAD
    return (math.cos(lat_r) * math.cos(lon_r), math.cos(lat_r) * math.sin(lon_r), math.sin(lat_r))


def check_lookups(places, queries):
    text = "lat,lon,row\n" + "".join(f"{lat!r},{lon!r},{i}\n" for i, (lat, lon) in enumerate(places))
    geocoder = ReverseGeocoder(text)
    points = np.array([to_point(lat, lon) for lat, lon in places])
    for lat, lon in list(queries) + places[:20]:
        found = geocoder.get_nearest_as_dict(lat, lon)
        row = int(found["row"])
        assert geocoder.get_nearest_as_string(lat, lon) == f"{found['lat']},{found['lon']},{row}"
        query = np.array(to_point(lat, lon))
        distances = ((points - query) ** 2).sum(axis=1)
        assert distances[row] <= distances.min() * (1 + 1e-12) + 1e-300
        twins = [i for i, place in enumerate(places) if place == places[row]]
        assert row == twins[0], "identical places must answer with the earliest row"


latitudes = st.floats(-90, 90, allow_nan=False)
longitudes = st.floats(-180, 180, allow_nan=False)
coordinates = st.tuples(latitudes, longitudes)
queries = st.lists(coordinates, min_size=1, max_size=30)


@SETTINGS
@given(st.lists(coordinates, min_size=1, max_size=300, unique=True), queries)
def test_distinct_places(places, queries):
    check_lookups(places, queries)


grid = st.tuples(st.integers(-9, 9).map(lambda v: v * 10.0), st.integers(-18, 18).map(lambda v: v * 10.0))


@SETTINGS
@given(st.lists(grid, min_size=1, max_size=200), queries)
def test_places_snapped_to_a_coarse_grid(places, queries):
    check_lookups(places, queries)


@SETTINGS
@given(
    st.lists(st.tuples(coordinates, st.integers(1, 40)), min_size=1, max_size=8),
    st.randoms(use_true_random=False),
    queries,
)
def test_many_identical_places(groups, rng, queries):
    places = [place for place, copies in groups for _ in range(copies)]
    rng.shuffle(places)
    check_lookups(places, queries)


polar = st.tuples(st.one_of(st.floats(85, 90), st.floats(-90, -85)), longitudes)
antimeridian = st.tuples(latitudes, st.one_of(st.floats(175, 180), st.floats(-180, -175)))


@SETTINGS
@given(st.lists(st.one_of(polar, antimeridian), min_size=1, max_size=200), st.lists(st.one_of(polar, antimeridian), max_size=30))
def test_places_near_the_poles_and_the_antimeridian(places, queries):
    check_lookups(places, queries)
