"""vicinor_tools as a library: tables from files, the bundled geocoder,
country names."""

import gzip

import pytest

import vicinor_tools

TABLE = b'lat,lon,name\r\n1,2,"A, a"\r\n-1,-2,B\r\n'


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
def test_from_csv_reads_plain_and_gzip_files_alike(tmp_path, compress):
    path = tmp_path / "table.csv"  # gzip is recognised by content, not by name
    path.write_bytes(gzip.compress(TABLE) if compress else TABLE)
    geocoder = vicinor_tools.from_csv(path)
    # Rows come back exactly as written, line endings aside.
    assert geocoder.get_nearest_as_string(1, 2) == '1,2,"A, a"'
    assert vicinor_tools.from_csv(str(path), drop_coordinates=True).get_nearest_as_dict(
        -1, -2) == {"name": "B"}


@pytest.mark.parametrize("content, error, message", [
    (None, FileNotFoundError, "No such file"),
    (gzip.compress(TABLE)[:-12], ValueError, "damaged gzip data"),
    (b"lat,lon,name\n1,2,\xff\n", ValueError, r"not UTF-8 text \(at byte 17\)"),
    (b"lat,lon\n1\n", RuntimeError, "column mismatch"),
], ids=["missing", "truncated-gzip", "not-utf8", "bad-table"])
def test_from_csv_errors(tmp_path, content, error, message):
    path = tmp_path / "table.csv"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(error, match=message):
        vicinor_tools.from_csv(path)


def test_world_is_loaded_once_and_names_countries():
    world = vicinor_tools.world()
    assert vicinor_tools.world() is world
    assert world.columns() == list(vicinor_tools.WORLD_COLUMNS)
    # Every row names its country as country_name() does.
    pairs = set(zip(world.column("country"), world.column("country_name")))
    assert {(code, vicinor_tools.country_name(code)) for code, _ in pairs} == pairs
    assert vicinor_tools.country_name("bo") == "Bolivia"
    assert vicinor_tools.country_name("ZZ") is None
