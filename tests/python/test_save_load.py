"""Saving and loading through the host: paths, file errors and round trips."""

import os
import pathlib
import random

import pytest

from conftest import ReverseGeocoder, make_table

TABLE = make_table([(10, 20, "Alpha"), (-5, 3, '"Be,ta"'), (60.1, -150.5, "Gamma")])


@pytest.fixture
def geocoder():
    return ReverseGeocoder(TABLE)


def test_round_trip_answers_identically(tmp_path):
    rng = random.Random(7)
    rows = [(rng.uniform(-90, 90), rng.uniform(-180, 180), f"place {i}") for i in range(500)]
    original = ReverseGeocoder(make_table(rows))
    path = tmp_path / "places.vicinor"
    assert original.save(path) is None
    loaded = ReverseGeocoder.load(path)
    for _ in range(300):
        lat, lon = rng.uniform(-90, 90), rng.uniform(-180, 180)
        assert loaded.get_nearest_as_string(lat, lon) == original.get_nearest_as_string(lat, lon)
        assert loaded.get_nearest_as_dict(lat, lon) == original.get_nearest_as_dict(lat, lon)


def test_dropped_and_semicolon_geocoders_round_trip(tmp_path):
    original = ReverseGeocoder(TABLE.replace(",", ";"), ";", True)
    original.save(str(tmp_path / "g"))
    loaded = ReverseGeocoder.load(str(tmp_path / "g"))
    assert loaded.get_nearest_as_string(-5, 3) == original.get_nearest_as_string(-5, 3)
    assert loaded.get_nearest_as_dict(-5, 3) == original.get_nearest_as_dict(-5, 3)


def test_saved_file_starts_with_the_record_marker(geocoder, tmp_path):
    path = tmp_path / "g"
    geocoder.save(path)
    assert path.read_bytes()[:1] == b"\x95"


def test_path_likes_str_and_keyword_all_work(geocoder, tmp_path):
    class PathLike:
        def __fspath__(self):
            return str(tmp_path / "via-protocol")

    geocoder.save(path=PathLike())
    assert ReverseGeocoder.load(path=pathlib.Path(tmp_path / "via-protocol")).get_nearest_as_string(10, 20) == "10,20,Alpha"


def test_a_surrogate_escaped_name_reaches_the_same_file(geocoder, tmp_path):
    # os.listdir gives undecodable names back as lone surrogates; they must
    # name the very file they came from.
    raw = os.fsencode(str(tmp_path)) + b"/caf\xe9"
    text = os.fsdecode(raw)
    geocoder.save(text)
    assert os.path.exists(raw)
    assert ReverseGeocoder.load(text).get_nearest_as_string(10, 20) == "10,20,Alpha"


def test_a_str_that_names_no_byte_path_is_refused(geocoder, tmp_path):
    with pytest.raises(UnicodeEncodeError):
        geocoder.save(str(tmp_path) + "/\ud800")
    assert os.listdir(tmp_path) == []


def test_an_embedded_nul_touches_no_file(geocoder, tmp_path):
    with pytest.raises(RuntimeError) as raised:
        geocoder.save(str(tmp_path / "a\0b"))
    assert str(raised.value) == "strings passed to WinAPI cannot contain NULs"
    assert os.listdir(tmp_path) == []


def test_loading_a_missing_file(tmp_path):
    with pytest.raises(RuntimeError) as raised:
        ReverseGeocoder.load(tmp_path / "missing")
    assert str(raised.value) == "No such file or directory (os error 2)"


def test_saving_into_a_missing_folder(geocoder, tmp_path):
    with pytest.raises(RuntimeError, match=r"\(os error 2\)$"):
        geocoder.save(tmp_path / "no" / "such" / "folder")


def test_loading_an_empty_file_shows_the_cause(tmp_path):
    path = tmp_path / "empty"
    path.write_bytes(b"")
    with pytest.raises(RuntimeError) as raised:
        ReverseGeocoder.load(path)
    assert str(raised.value) == (
        "IO error while reading marker: failed to fill whole buffer\n\nCaused by:\n    failed to fill whole buffer"
    )


def test_loading_a_truncated_file_fails_cleanly(geocoder, tmp_path):
    path = tmp_path / "g"
    geocoder.save(path)
    data = path.read_bytes()
    for cut in (1, 5, len(data) // 2, len(data) - 1):
        path.write_bytes(data[:cut])
        with pytest.raises(RuntimeError, match="^IO error while reading"):
            ReverseGeocoder.load(path)


def test_trailing_bytes_after_the_record_are_ignored(geocoder, tmp_path):
    path = tmp_path / "g"
    geocoder.save(path)
    with open(path, "ab") as file:
        file.write(b"\xc1 trailing garbage")
    assert ReverseGeocoder.load(path).get_nearest_as_dict(60, -150)["name"] == "Gamma"


def test_saving_a_small_geocoder_over_a_large_file_loads_the_small_one(tmp_path):
    path = tmp_path / "g"
    rows = [(i % 90, i % 180, f"row{i}") for i in range(300)]
    ReverseGeocoder(make_table(rows)).save(path)
    ReverseGeocoder("lat,lon,name\n1,1,only\n").save(path)
    assert ReverseGeocoder.load(path).get_nearest_as_string(50, 50) == "1,1,only"


def test_a_damaged_file_is_refused_at_load(geocoder, tmp_path):
    path = tmp_path / "g"
    geocoder.save(path)
    data = bytearray(path.read_bytes())
    data[0] = 0x94  # the record now announces four fields
    path.write_bytes(bytes(data))
    with pytest.raises(RuntimeError, match="^invalid length 4, expected struct ReverseGeocoder with 5 elements"):
        ReverseGeocoder.load(path)


def test_an_empty_geocoder_round_trips_and_still_refuses_lookups(tmp_path):
    path = tmp_path / "g"
    ReverseGeocoder("lat,lon,name\n").save(path)
    loaded = ReverseGeocoder.load(path)
    with pytest.raises(RuntimeError):
        loaded.get_nearest_as_string(0, 0)


def test_a_record_whose_tree_and_rows_disagree_never_answers(geocoder, tmp_path):
    msgpack = pytest.importorskip("msgpack")
    path = tmp_path / "g"
    geocoder.save(path)
    record = msgpack.unpackb(path.read_bytes())
    del record[3][-1]  # the tree still names the last row
    path.write_bytes(msgpack.packb(record))
    with pytest.raises(RuntimeError) as raised:
        ReverseGeocoder.load(path).get_nearest_as_string(60.1, -150.5)
    assert str(raised.value)


def shorten_first_row(record):
    record[3][0][1] -= 2


def separator(character):
    def change(record):
        record[1] = character
    return change


@pytest.mark.parametrize(
    "damage, message",
    [
        (shorten_first_row, "invalid saved geocoder: row 0 (offset 13, length 9) does not start and end where lines do"),
        (separator("é"), "invalid saved geocoder: its value separator cannot read the table: "
         "Value separator must by an ASII character (got 233)"),
        (separator("😀"), "invalid saved geocoder: its value separator cannot read the table: "
         "Value separator must by an ASII character (got 128512)"),
        (separator("\n"), "invalid saved geocoder: its value separator cannot read the table: "
         "Value separator must not be a line break (got 10)"),
    ],
    ids=["short-row", "e-acute", "emoji", "line-feed"],
)
def test_a_record_lookups_would_misread_is_refused_at_load(geocoder, tmp_path, damage, message):
    msgpack = pytest.importorskip("msgpack")
    record = msgpack.unpackb(geocoder.to_bytes())
    damage(record)
    data = msgpack.packb(record)
    path = tmp_path / "g"
    path.write_bytes(data)
    for load in (lambda: ReverseGeocoder.load(path), lambda: ReverseGeocoder.from_bytes(data)):
        with pytest.raises(RuntimeError) as raised:
            load()
        assert str(raised.value) == message
