"""The two lookups as the host sees them: shapes of the answers and their errors."""

import pytest

from conftest import ReverseGeocoder, make_table


def test_string_and_dict_of_the_same_row():
    geocoder = ReverseGeocoder("lat,lon,name\n10,20,Alpha\n")
    assert geocoder.get_nearest_as_string(10, 20) == "10,20,Alpha"
    assert geocoder.get_nearest_as_dict(10, 20) == {"lat": "10", "lon": "20", "name": "Alpha"}
    dropped = ReverseGeocoder("lat,lon,name\n10,20,Alpha\n", drop_coordinates=True)
    assert dropped.get_nearest_as_string(10, 20) == "Alpha"
    assert dropped.get_nearest_as_dict(10, 20) == {"name": "Alpha"}


def test_the_nearest_row_answers():
    geocoder = ReverseGeocoder(make_table([(48.85, 2.35, "Paris"), (51.5, -0.12, "London"), (-33.9, 151.2, "Sydney")]))
    assert geocoder.get_nearest_as_dict(49, 2)["name"] == "Paris"
    assert geocoder.get_nearest_as_dict(52, 0)["name"] == "London"
    assert geocoder.get_nearest_as_dict(-30, 150)["name"] == "Sydney"


def test_quoted_fields_come_back_quoted_as_text_and_unquoted_in_the_dict():
    geocoder = ReverseGeocoder('lat,lon,name\n1,2,"a ""b"", c"\n')
    assert geocoder.get_nearest_as_string(1, 2) == '1,2,"a ""b"", c"'
    assert geocoder.get_nearest_as_dict(1, 2)["name"] == 'a "b", c'


def test_values_are_the_field_texts_unchanged():
    geocoder = ReverseGeocoder("lat,lon,code,label\n1.50,+2,007, spaced \n")
    assert geocoder.get_nearest_as_dict(1.5, 2) == {"lat": "1.50", "lon": "+2", "code": "007", "label": " spaced "}


def test_a_repeated_column_name_keeps_its_rightmost_value():
    geocoder = ReverseGeocoder("lat,lon,name,name,other\n1,2,first,second,x\n")
    assert geocoder.get_nearest_as_dict(1, 2) == {"lat": "1", "lon": "2", "name": "second", "other": "x"}


def test_dicts_are_new_and_keys_are_shared_across_calls():
    geocoder = ReverseGeocoder("lat,lon,name\n1,2,a\n")
    first = geocoder.get_nearest_as_dict(1, 2)
    second = geocoder.get_nearest_as_dict(1, 2)
    assert first == second and first is not second
    first["name"] = "changed"
    assert geocoder.get_nearest_as_dict(1, 2)["name"] == "a"
    assert [key for key in first][0] is [key for key in second][0]


def test_identical_places_answer_with_the_earliest_row():
    geocoder = ReverseGeocoder(make_table([(5, 5, "first"), (5, 5, "second"), (5, 5, "third")]))
    assert geocoder.get_nearest_as_dict(5, 5)["name"] == "first"
    assert geocoder.get_nearest_as_dict(5.1, 5)["name"] == "first"


def test_a_final_line_ending_in_a_lone_cr_keeps_it():
    geocoder = ReverseGeocoder("lat,lon,name\n1,2,a\r")
    assert geocoder.get_nearest_as_string(1, 2) == "1,2,a\r"


def test_non_ascii_rows_decode_exactly():
    rows = [(0, 0, "São Paulo"), (0, 90, "Ελλάδα"), (0, 180, "𝄞 clef"), (45, 45, "ascii")]
    geocoder = ReverseGeocoder(make_table(rows))
    for lat, lon, name in rows:
        assert geocoder.get_nearest_as_string(lat, lon) == f"{lat},{lon},{name}"
        assert geocoder.get_nearest_as_dict(lat, lon)["name"] == name


def test_a_geocoder_without_rows_raises_runtime_error_on_lookup():
    for geocoder in (ReverseGeocoder("lat,lon,name\n"), ReverseGeocoder("lat,lon,name", drop_coordinates=True)):
        for lookup in (geocoder.get_nearest_as_string, geocoder.get_nearest_as_dict):
            with pytest.raises(RuntimeError) as raised:
                lookup(0, 0)
            assert str(raised.value)  # the core's own explanation


def test_out_of_range_but_finite_coordinates_still_answer():
    geocoder = ReverseGeocoder(make_table([(10, 20, "a"), (-10, -20, "b")]))
    assert geocoder.get_nearest_as_dict(10, 20 + 360)["name"] == "a"
    assert geocoder.get_nearest_as_dict(1e300, -1e300)["name"] in {"a", "b"}

