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



def _model_dict(columns, fields):
    """What the dict lookup must give: names paired with fields in column
    order, so a repeated name keeps its rightmost value."""
    return dict(zip(columns, fields))


def test_plain_and_quoted_rows_give_the_same_dicts():
    # Plain rows are split without the record reader; quoting every field
    # sends the same values through the reader. Both must agree with the model.
    import random

    rng = random.Random(7)
    pieces = ["a", "Z", "7", " ", "é", "漢", "𝄞", "-", "."]
    for sep in [",", ";", "\t", "|"]:
        for width in [1, 3, 6, 70]:
            columns = ["lat", "lon"] + [rng.choice(["name", "code", f"c{i}"]) for i in range(width)]
            rows = []
            for k in range(40):
                fields = ["".join(rng.choice(pieces) for _ in range(rng.randrange(0, 9))) for _ in range(width)]
                rows.append((str(k - 20), str(3 * k - 60), fields))
            plain = sep.join(columns) + "\n" + "".join(sep.join([lat, lon, *fields]) + "\n" for lat, lon, fields in rows)
            quoted = sep.join(columns) + "\n" + "".join(
                sep.join([lat, lon, *(f'"{field}"' for field in fields)]) + "\n" for lat, lon, fields in rows
            )
            plain_geocoder = ReverseGeocoder(plain, value_sep=sep)
            quoted_geocoder = ReverseGeocoder(quoted, value_sep=sep)
            for lat, lon, fields in rows:
                expected = _model_dict(columns, [lat, lon, *fields])
                assert plain_geocoder.get_nearest_as_dict(float(lat), float(lon)) == expected
                assert quoted_geocoder.get_nearest_as_dict(float(lat), float(lon)) == expected


def test_a_loaded_row_with_fewer_fields_than_columns_leaves_the_rest_out(tmp_path):
    msgpack = pytest.importorskip("msgpack")
    path = tmp_path / "g"
    ReverseGeocoder("lat,lon,name\n1,2,a\n").save(path)
    record = msgpack.unpackb(path.read_bytes())
    record[2].append("extra")
    path.write_bytes(msgpack.packb(record))
    assert ReverseGeocoder.load(path).get_nearest_as_dict(1, 2) == {"lat": "1", "lon": "2", "name": "a"}


def test_a_row_starting_with_a_byte_order_mark_reads_as_the_reader_reads_it():
    geocoder = ReverseGeocoder("lat,lon,name\n1,2,a\n\ufeff3,4,b\n")
    assert geocoder.get_nearest_as_string(3, 4) == "\ufeff3,4,b"
    assert geocoder.get_nearest_as_dict(3, 4) == {"lat": "3", "lon": "4", "name": "b"}


def test_short_values_stay_exact_when_many_share_a_cache():
    # Codes of two and three characters outnumber the slots kept for them,
    # and some differ only after a NUL: every lookup still gives its own row.
    import itertools

    letters = "abcdefghijklmnopqrstuvwxyz0123456789"
    codes = ["".join(pair) for pair in itertools.product(letters, repeat=2)]
    codes += [code + "x" for code in codes[:400]] + ["a\0b", "a\0c", "\0\0", "\0\0\0"]
    rows = [(i // 100 - 60, i % 100 * 3 - 150, code) for i, code in enumerate(codes)]
    geocoder = ReverseGeocoder(make_table(rows, header="lat,lon,code"))
    for _ in range(2):
        for lat, lon, code in rows:
            assert geocoder.get_nearest_as_dict(lat, lon) == {"lat": str(lat), "lon": str(lon), "code": code}
