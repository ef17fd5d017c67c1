"""The batch command's compiled helpers called in process (and so under the
sanitizer): argument checks, blocks on several threads at once, and a
file that a failing iterable must leave as it was."""

import array
import struct
from concurrent.futures import ThreadPoolExecutor

import pytest

import vicinor

G = vicinor.ReverseGeocoder
TABLE = "lat,lon,name\n" + "".join(f"{la},{lo},p{la}_{lo}\n" for la in range(-80, 81, 10)
                                   for lo in range(-180, 180, 15))
OPTIONS = (",", ["id", "lat", "lon"], 1, 2, None, False, False, 0, [])
BORDER = OPTIONS[:-1] + ([("point_country", False), ("within_country", True)],)


@pytest.fixture(scope="module")
def geocoder():
    return G(TABLE)


@pytest.mark.parametrize("call, error", [
    (lambda g: g._geocode_csv_block(b"", 1, ("é",) + OPTIONS[1:], False), ValueError),
    (lambda g: g._geocode_csv_block(b"", -1, OPTIONS, False), ValueError),
    (lambda g: g._geocode_csv_block(b"", 1, (",", ("a", "b"), 0, 1, None, False, False, 0, []), False),
     TypeError),
    (lambda g: g._geocode_csv_block(b"", 1, (",", ["a", 2], 0, 1, None, False, False, 0, []), False),
     TypeError),
    (lambda g: g._geocode_csv_block(b"", 1, (",", ["a", "b"], 0, 2, None, False, False, 0, []), False),
     ValueError),
    (lambda g: g._geocode_csv_block(b"", 1, (",", ["a", "b"], 0, 1, -1.0, False, False, 0, []), False),
     ValueError),
    # Supplied answers of different lengths, or rows without distances.
    (lambda g: g._geocode_csv_block(b"1,2,3\n", 2, BORDER, False,
                                    (b"\0" * 8, b"\0" * 16, ["", "true"])), ValueError),
    (lambda g: g._geocode_csv_block(b"1,2,3\n", 2, BORDER, False, (b"\0" * 8, None, [])),
     ValueError),
    (lambda g: g._geocode_csv_block(b"1,2,3\n", 2, BORDER, False, (None, None, ["x"])),
     ValueError),
    (lambda g: g._geocode_csv_block(b"1,2,3\n", 2, BORDER, False), RuntimeError),
    # With neighbours, a rank short, or a point short of its ranks.
    (lambda g: g._geocode_csv_block(b"1,2,3\n", 2, BORDER[:-2] + (2, BORDER[-1]), False,
                                    (b"\0" * 24, b"\0" * 24, ["", "true"])), ValueError),
    (lambda g: g._geocode_csv_block(b"1,2,3\n4,5,6\n", 2, BORDER[:-2] + (2, BORDER[-1]), False,
                                    (b"\0" * 16, b"\0" * 16, ["", "true"])), RuntimeError),
    (lambda g: g._geocode_csv_block(b"1,2,3\n", 2, BORDER, False,
                                    (struct.pack("=q", 10**9), b"\0" * 8, ["", "true"])),
     RuntimeError),
    (lambda g: g._geocode_csv_block(b"", 1, OPTIONS[:-1] + ([("a", "b", "c")],), False), TypeError),
    (lambda g: G._cut_csv_rows(b"a\n", ",", True, -1, 10, 10), ValueError),
    (lambda g: G._read_csv_record(b"\xff,a\n", ","), ValueError),
])
def test_bad_arguments_raise(geocoder, call, error):
    with pytest.raises(error):
        call(geocoder)


def test_blocks_on_threads_give_what_they_give_alone(geocoder):
    blocks = [b"".join(b"%d,%d.5,%d.25\r\n" % (i, (i * 7 + k) % 170 - 85, (i * 13) % 700 - 350)
                       for i in range(k, k + 500)) for k in range(0, 8000, 500)]
    alone = [geocoder._geocode_csv_block(block, 2, OPTIONS, False) for block in blocks]
    with ThreadPoolExecutor(4) as pool:
        together = list(pool.map(lambda b: geocoder._geocode_csv_block(b, 2, OPTIONS, False),
                                 blocks))
    assert together == alone
    assert all(result[1] == 500 and result[3] is None for result in alone)


def test_cut_and_record_read_buffers_of_any_kind():
    data = bytearray(b'a,"b\nc"\r\nd,e\r')
    assert G._cut_csv_rows(memoryview(data), ",", False, 10, 100, 100) == (9, 2, 1, None)
    assert G._cut_csv_rows(data, ",", True, 10, 100, 100) == (len(data), 3, 2, None)
    assert G._read_csv_record(data, ",") == ["a", "b\nc"]


def test_a_failing_iterable_leaves_the_file_as_it_was(tmp_path):
    target = tmp_path / "out.csv"
    target.write_bytes(b"old\n")

    def chunks():
        yield b"new, partial"
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        G._write_file(target, chunks())
    assert target.read_bytes() == b"old\n"
    assert [path.name for path in tmp_path.iterdir()] == ["out.csv"]
    G._write_file(target, iter([b"new\n", memoryview(b"rows\n")]))
    assert target.read_bytes() == b"new\nrows\n"


def test_supplied_answers_of_an_empty_block_write_only_the_header(geocoder):
    # Empty arrays may have no address: nothing may be copied from them.
    empty = (array.array("q"), array.array("d"), [])
    output, rows, skipped, bad = geocoder._geocode_csv_block(b"", 1, BORDER, True, empty)
    assert output == b"id,lat,lon,place_lat,place_lon,name,distance_km,point_country,within_country\n"
    assert (rows, skipped, bad) == (0, 0, None)
