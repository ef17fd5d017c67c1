"""subset(rows): exactly the geocoder built from a table of the chosen rows,
made without reading text again."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import ReverseGeocoder


def table_lines(n, seed, duplicated=False):
    rng = np.random.default_rng(seed)
    lats = rng.uniform(-90, 90, n)
    lons = rng.uniform(-180, 180, n)
    if duplicated and n:  # shared points move splits and leave leaves part full
        lats[::2] = lats[0]
        lons[::2] = lons[0]
    return [f"{float(lat)!r},{float(lon)!r},\"p {i}\"" for i, (lat, lon) in enumerate(zip(lats, lons))]


def own_text(header, lines, rows, end="\n"):
    """The table of the chosen rows that a caller would write."""
    return header + end + "".join(lines[r] + "\n" for r in rows)


@settings(max_examples=40, deadline=None)
@given(
    n=st.integers(0, 150),
    seed=st.integers(0, 2**32 - 1),
    share=st.floats(0, 1),
    duplicated=st.booleans(),
    drop=st.booleans(),
    crlf=st.booleans(),
)
def test_subset_is_the_geocoder_of_its_own_text(n, seed, share, duplicated, drop, crlf):
    end = "\r\n" if crlf else "\n"
    lines = table_lines(n, seed, duplicated)
    full = ReverseGeocoder("lat,lon,name" + end + end.join(lines) + end, drop_coordinates=drop)
    mask = np.random.default_rng(seed).random(n) < share
    rows = np.flatnonzero(mask)
    expected = ReverseGeocoder(own_text("lat,lon,name", lines, rows, end), drop_coordinates=drop)
    if drop and duplicated:
        # Many copies of a place: the tree may keep some only once, and a
        # rewrite without coordinates cannot tell where the others lie.
        try:
            subset = full.subset(mask)
        except RuntimeError as error:
            assert "has no point in the index and no coordinates" in str(error)
            return
        assert subset.to_bytes() == expected.to_bytes()
        return
    assert full.subset(mask).to_bytes() == expected.to_bytes()
    assert full.subset(rows.tolist()).to_bytes() == expected.to_bytes()


@pytest.mark.parametrize("drop", [False, True])
def test_subset_rows_map_back_and_answer_like_a_table_of_them(drop):
    lines = table_lines(300, 3)
    full = ReverseGeocoder("lat,lon,name\n" + "\n".join(lines), drop_coordinates=drop)
    rows = np.arange(0, 300, 7)
    part = full.subset(rows)
    assert part.row_count() == len(rows)
    assert [part.row_text(i) for i in range(len(rows))] == [full.row_text(r) for r in rows]
    lats = np.random.default_rng(5).uniform(-90, 90, 200)
    lons = np.random.default_rng(6).uniform(-180, 180, 200)
    found, km = part.nearest_rows(lats, lons)
    # The nearest of the chosen rows, by brute force over them.
    lat_r = np.radians([float(lines[r].split(",")[0]) for r in rows])
    lon_r = np.radians([float(lines[r].split(",")[1]) for r in rows])
    q_lat, q_lon = np.radians(lats)[:, None], np.radians(lons)[:, None]
    hav = np.sin((lat_r - q_lat) / 2) ** 2 + np.cos(q_lat) * np.cos(lat_r) * np.sin((lon_r - q_lon) / 2) ** 2
    assert np.array_equal(found, hav.argmin(axis=1))


@pytest.mark.parametrize(
    ("text", "rows", "own"),
    [
        # A final line's lone CR is dropped once an LF follows, as in any table.
        ("lat,lon,name\n1,2,a\n3,4,b\r", [1], "lat,lon,name\n3,4,b\r\n"),
        # The tree keeps no point with a NaN coordinate: it is read back from the row.
        ("lat,lon,name\nnan,2,a\n3,inf,b\n5,6,c\n", [0, 1], "lat,lon,name\nnan,2,a\n3,inf,b\n"),
        # Forty copies of one place: the tree keeps the first copy only.
        ("lat,lon,name\n" + "0,-0.0,x\n" * 40 + "1,1,y\n", [5, 40], "lat,lon,name\n0,-0.0,x\n1,1,y\n"),
    ],
)
def test_subset_of_rows_the_index_holds_unusually(text, rows, own):
    assert ReverseGeocoder(text).subset(rows).to_bytes() == ReverseGeocoder(own).to_bytes()


def test_subset_of_a_subset_and_of_a_loaded_geocoder():
    lines = table_lines(100, 9)
    full = ReverseGeocoder("lat,lon,name\n" + "\n".join(lines) + "\n")
    loaded = ReverseGeocoder.from_bytes(full.to_bytes())
    twice = full.subset(np.arange(0, 100, 2)).subset([1, 4, 9])
    assert twice.to_bytes() == loaded.subset([2, 8, 18]).to_bytes()


@pytest.mark.parametrize(
    ("rows", "error", "text"),
    [
        ([0, 3], IndexError, r"rows\[1\] = 3 is out of range: the geocoder holds 3 rows"),
        ([-1], IndexError, r"rows\[0\] = -1 is out of range"),
        ([1, 1], ValueError, r"must be strictly ascending, but rows\[1\] = 1 follows 1"),
        ([2, 0], ValueError, "strictly ascending"),
        ([True, False], ValueError, r"a mask must have one entry per row \(3\), got 2"),
        ([0.5], TypeError, "must be row numbers or a boolean mask"),
        ([[0, 1]], ValueError, "one-dimensional"),
    ],
)
def test_subset_refuses_rows_it_cannot_take(rows, error, text):
    full = ReverseGeocoder("lat,lon,name\n1,2,a\n3,4,b\n5,6,c\n")
    with pytest.raises(error, match=text):
        full.subset(rows)


def test_empty_subset_is_a_header_only_table():
    full = ReverseGeocoder("lat,lon,name\n1,2,a\n")
    empty = full.subset([])
    assert empty.row_count() == 0
    assert empty.to_bytes() == ReverseGeocoder("lat,lon,name\n").to_bytes()


def test_where_is_the_subset_of_the_matching_rows():
    import vicinor_tools

    full = ReverseGeocoder("lat,lon,name,kind\n1,2,a,x\n3,4,b,y\n5,6,c,x\n7,8,d,x\n")
    assert vicinor_tools.matching_rows(full, {"kind": "x", "name": "c"}).tolist() == [2]
    expected = ReverseGeocoder("lat,lon,name,kind\n1,2,a,x\n5,6,c,x\n7,8,d,x\n")
    assert vicinor_tools.where(full, kind="x").to_bytes() == expected.to_bytes()
    assert vicinor_tools.where(full, {"kind": "x"}, name="d").row_text(0) == "7,8,d,x"
    with pytest.raises(KeyError):
        vicinor_tools.where(full, colour="red")
