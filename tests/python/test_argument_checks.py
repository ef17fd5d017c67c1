"""The batch and distance lookups refuse coordinates that cannot be places
(swapped columns, unit mistakes) and values that are not real numbers,
naming the argument and the first bad index; the four original lookups keep
their looser conversion."""

from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from conftest import ReverseGeocoder, make_table


@pytest.fixture(scope="module")
def geocoder():
    return ReverseGeocoder(make_table([(1, 2, "a"), (-40, 350, "b")]))


BIG = 10**400
BIG_SHOWN = str(BIG)[:57] + "..."


@pytest.mark.parametrize(
    "lats, lons, message",
    [
        ([0.0, 91.0], [0.0, 0.0], "lats[1]: latitude must be between -90 and 90 degrees, got 91.0"),
        ([1000.0], [0.0], "lats[0]: latitude must be between -90 and 90 degrees, got 1000.0"),
        ([-1e308], [0.0], "lats[0]: latitude must be between -90 and 90 degrees, got -1e+308"),
        ([0.0], [-360.5], "lons[0]: longitude must be between -360 and 360 degrees, got -360.5"),
        ([0.0, float("nan")], [0.0, 0.0], "lats[1]: latitude must be a finite number, got nan"),
        ([BIG], [0.0], f"lats[0]: latitude must be between -90 and 90 degrees, got {BIG_SHOWN}"),
    ],
)
def test_nearest_rows_refuses_coordinates_out_of_range(geocoder, lats, lons, message):
    with pytest.raises(ValueError) as raised:
        geocoder.nearest_rows(lats, lons)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "lats, fragment",
    [
        (np.array(["2020-01-01"], dtype="datetime64[D]"), "argument 'lats': must hold real numbers, got an array of datetime64[D]"),
        (np.array([1 + 2j]), "argument 'lats': must hold real numbers, got an array of complex128"),
        (np.ma.array([1.0], mask=[True]), "argument 'lats': must hold real numbers, got a masked array"),
        (bytearray(1), "argument 'lats': must hold real numbers, got bytearray"),
        (["1.5"], "argument 'lats': must hold real numbers, got an array of <U3"),
        (np.array([None], dtype=object), "lats[0]: must be a real number, got None"),
        (np.array([np.complex128(1)], dtype=object), "lats[0]: must be a real number, got np.complex128"),
    ],
)
def test_nearest_rows_refuses_what_is_not_real_numbers(geocoder, lats, fragment):
    with pytest.raises(TypeError) as raised:
        geocoder.nearest_rows(lats, [1.0])
    assert str(raised.value).startswith(fragment)


@pytest.mark.parametrize(
    "lats, lons",
    [
        ([True], np.array([2], dtype=np.int32)),
        (np.array([1], dtype=np.uint8), [2.0]),
        (np.array([Decimal(1)], dtype=object), np.array([Fraction(2)], dtype=object)),
        ([1.0], [2.0 - 360.0]),
    ],
)
def test_nearest_rows_converts_real_numbers(geocoder, lats, lons):
    rows, _ = geocoder.nearest_rows(lats, lons)
    assert rows.tolist() == [0]


@pytest.mark.parametrize(
    "keywords, error, message",
    [
        ({"threads": 10**30}, ValueError, "argument 'threads': must be from 1 to 1024, got " + str(10**30)),
        ({"threads": 10**9}, ValueError, "argument 'threads': must be from 1 to 1024, got 1000000000"),
        ({"max_km": 10**400}, ValueError, "argument 'max_km': int too large to convert to float"),
        ({"max_km": -1e-300}, ValueError, "argument 'max_km': must be a distance in kilometres of at least 0, got -1e-300"),
        ({"max_km": "1"}, TypeError, "argument 'max_km': must be real number, not str"),
    ],
)
def test_nearest_rows_names_the_bad_keyword(geocoder, keywords, error, message):
    with pytest.raises(error) as raised:
        geocoder.nearest_rows([1.0], [2.0], **keywords)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ((91, 0), ValueError, "argument 'lat': latitude must be between -90 and 90 degrees, got 91.0"),
        ((0, 361.0), ValueError, "argument 'lon': longitude must be between -360 and 360 degrees, got 361.0"),
        ((BIG, 0), ValueError, f"argument 'lat': latitude must be between -90 and 90 degrees, got {BIG_SHOWN}"),
        ((float("inf"), 0), ValueError, "argument 'lat': latitude must be a finite number, got inf"),
        (("1", 0), TypeError, "argument 'lat': must be a real number, got '1'"),
        ((0, 1j), TypeError, "argument 'lon': must be a real number, got 1j"),
        ((0, 0, BIG), ValueError, "argument 'max_km': int too large to convert to float"),
    ],
)
def test_distance_lookup_names_the_bad_argument(geocoder, arguments, error, message):
    with pytest.raises(error) as raised:
        geocoder.get_nearest_with_distance(*arguments)
    assert str(raised.value) == message


def test_the_original_lookups_keep_their_conversion(geocoder):
    assert geocoder.get_nearest_as_string(91, 2) == "1,2,a"
    with pytest.raises(OverflowError):
        geocoder.get_nearest_as_string(BIG, 0)
