"""Hostile and extreme tables: each one builds and then answers exactly as a
brute force over the same points does, or fails with its own message."""

import random
import re

import numpy as np
import pytest

from robust_support import BruteForce, ReverseGeocoder, answered_rows, run_isolated, table_with_row_ids


def sphere_queries(rng, count):
    """Uniform over the sphere's surface, not over the lat/lon rectangle."""
    lats = np.degrees(np.arcsin(rng.uniform(-1, 1, count)))
    return lats.tolist(), rng.uniform(-180, 180, count).tolist()


def check_table(places, rng, random_queries=300, exact_queries=200):
    """Builds the table and checks random queries, queries at stored places
    and queries a hair away from them against the brute force."""
    geocoder = ReverseGeocoder(table_with_row_ids(places))
    lats, lons = sphere_queries(rng, random_queries)
    for lat, lon in rng.choice(np.array(places, dtype=object), exact_queries):
        lats += [float(lat), float(lat) + 1e-9]
        lons += [float(lon), float(lon) - 1e-9]
    lats, lons = np.array(lats), np.array(lons)
    keep = np.isfinite(lats) & np.isfinite(lons)
    lats, lons = lats[keep].tolist(), lons[keep].tolist()
    rows = answered_rows(geocoder, lats, lons)
    BruteForce([lat for lat, _ in places], [lon for _, lon in places]).check(rows, lats, lons)
    return geocoder


def shuffled(items, seed):
    items = list(items)
    random.Random(seed).shuffle(items)
    return items


LAYOUTS = {
    "one-degree grid": [(lat, lon) for lat in range(-90, 91) for lon in range(-180, 181)],
    "one meridian": [(round(lat, 4), 0) for lat in np.random.default_rng(1).uniform(-90, 90, 20_000)],
    "equator": [(0, round(lon, 4)) for lon in np.random.default_rng(2).uniform(-180, 180, 20_000)],
    "both poles, every longitude": [(pole, lon / 4) for pole in (90, -90) for lon in range(-720, 721)]
    + [(lat, 0) for lat in range(-89, 90)],
    "identical groups of up to 3000": shuffled(
        [
            (lat, lon)
            for g, (lat, lon) in enumerate(zip(range(-60, 60, 3), range(-170, 170, 8)))
            for _ in range(75 * g % 3001 + 1)
        ],
        seed=3,
    ),
    "a cluster a nanodegree wide": [(10 + k * 1e-9, 20 - k * 1e-9) for k in range(5000)],
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_degenerate_layouts_answer_like_brute_force(layout):
    check_table(LAYOUTS[layout], np.random.default_rng(len(layout)))


def test_a_hundred_thousand_copies_of_one_place_answer_with_the_first():
    places = [(48.8566, 2.3522)] * 100_000 + [(-33.9, 151.2), (48.8566, 2.3522)]
    geocoder = check_table(places, np.random.default_rng(4), exact_queries=20)
    assert geocoder.get_nearest_as_dict(48.8566, 2.3522)["row"] == "0"
    assert geocoder.get_nearest_as_string(-40, 150) == "-33.9,151.2,100000"


def test_non_finite_coordinates_build_and_never_answer():
    rng = np.random.default_rng(5)
    non_finite = ["nan", "NaN", "-nan", "+nAn", "inf", "-inf", "INF", "-Infinity", "+infinity", "1e400", "-1e400"]
    places = []
    for i in range(3000):
        lat, lon = round(rng.uniform(-90, 90), 3), round(rng.uniform(-180, 180), 3)
        if i % 3 == 0:
            bad = non_finite[i % len(non_finite)]
            places.append((bad, lon) if i % 2 else (lat, bad))
        else:
            places.append((lat, lon))
    geocoder = check_table(places, rng)
    for lat, lon in [(90, 0), (-90, 0), (0, 180), (0, -180)]:
        found = geocoder.get_nearest_as_dict(lat, lon)
        assert found["lat"] not in non_finite and found["lon"] not in non_finite


@pytest.mark.parametrize("coordinate", ["nan", "inf", "-1e400"])
def test_a_table_of_only_non_finite_places_refuses_lookups(coordinate):
    geocoder = ReverseGeocoder(f"lat,lon\n{coordinate},1\n2,{coordinate}\n")
    with pytest.raises(RuntimeError):
        geocoder.get_nearest_as_string(0, 0)
    with pytest.raises(RuntimeError):
        geocoder.get_nearest_as_dict(0, 0)


HALFWAY_ABOVE_ONE = "1.00000000000000011102230246251565404236316680908203125"  # 1 + 2**-53, exactly


@pytest.mark.parametrize(
    "text",
    [
        HALFWAY_ABOVE_ONE + "0" * 245,  # a tie, padded: rounds to even, 1.0
        HALFWAY_ABOVE_ONE + "0" * 244 + "1",  # just above the tie: rounds up
        "0." + "0" * 290 + "123456789",
        "-" + "9" * 300,
        "+" + "1" * 150 + "." + "2" * 150 + "e-140",
        "0." + "0" * 400 + "1",  # underflows to zero, which is not an error
    ],
)
def test_three_hundred_digit_coordinates_round_to_the_nearest_double(text):
    # Row 0 holds the long texts, row 1 their correctly rounded values: the
    # same point, so a query there answers with row 0 only when the long
    # texts were read to exactly that double.
    lat, lon = float(text), float(text) / 7
    geocoder = ReverseGeocoder(f"lat,lon,row\n{text},{lon!r},0\n{lat!r},{lon!r},1\n5,5,2\n")
    assert geocoder.get_nearest_as_string(lat, lon) == f"{text},{lon!r},0"


@pytest.mark.parametrize("text", ["1e99999999999999999999", "-1E+400"])
def test_overflowing_exponents_become_infinities_not_errors(text):
    geocoder = ReverseGeocoder(f"lat,lon,row\n{text},0,0\n1,1,1\n")
    assert geocoder.get_nearest_as_string(1e300, 0) == "1,1,1"


def test_multibyte_text_and_byte_order_mark_come_back_byte_for_byte(tmp_path):
    names = ["Zürich", "東京都", "😀 emoji 🇯🇵", "e\u0301 combined", '"quoted, ünïcode"', "\u200bzero width"]
    rows = [f"{i},{-i},{name}" for i, name in enumerate(names)]
    geocoder = ReverseGeocoder("\ufefflat,lon,name\n" + "\n".join(rows))
    saved = tmp_path / "unicode"
    geocoder.save(saved)
    for candidate in (geocoder, ReverseGeocoder.load(saved)):
        for i, name in enumerate(names):
            assert candidate.get_nearest_as_string(i, -i) == rows[i]
            assert candidate.get_nearest_as_dict(i, -i) == {"lat": str(i), "lon": str(-i), "name": name.strip('"')}
    dropped = ReverseGeocoder("\ufefflat;lon;name\n" + "\n".join(rows).replace(",", ";"), ";", True)
    assert dropped.get_nearest_as_string(2, -2) == names[2]
    assert dropped.get_nearest_as_dict(4, -4) == {"name": '"quoted; ünïcode"'.strip('"')}


def test_a_byte_order_mark_starting_any_line_is_not_part_of_its_first_field():
    geocoder = ReverseGeocoder("lat,lon,name\n\ufeff1.5,2,a\n")
    assert geocoder.get_nearest_as_string(1.5, 2) == "\ufeff1.5,2,a"
    assert geocoder.get_nearest_as_dict(1.5, 2)["lat"] == "1.5"


# Rows the geocoder wrote itself hold U+FEFF only as field text: it comes
# back as stored, also from a loaded file, and a field of nothing else is a
# field like any other.
@pytest.mark.parametrize("name", ["\ufeffabc", "\ufeff", "\ufeff\ufeff", "\ufeff\"q\""])
@pytest.mark.parametrize("more", [False, True])
def test_a_byte_order_mark_in_a_kept_first_field_stays_with_drop_coordinates(tmp_path, name, more):
    header, extra = ("lat,lon,name,more", ",m") if more else ("lat,lon,name", "")
    quoted = '"' + name.replace('"', '""') + '"' if '"' in name else name
    geocoder = ReverseGeocoder(f"{header}\n1,2,{quoted}{extra}\n5,6,x{extra}\n", drop_coordinates=True)
    saved = tmp_path / "dropped"
    geocoder.save(saved)
    expected = {"name": name, "more": "m"} if more else {"name": name}
    for candidate in (geocoder, ReverseGeocoder.load(saved)):
        assert candidate.get_nearest_as_dict(1, 2) == expected
        assert candidate.get_nearest_as_string(1, 2) == quoted + extra
        assert candidate.get_nearest_as_dict(5, 6)["name"] == "x"


@pytest.mark.parametrize(
    "text, row, as_string, name",
    [
        ("lat,lon,name\r\n1,2,a\r\n3,4,b\r\n", (3, 4), "3,4,b", "b"),
        ("lat,lon,name\r\n1,2,a\n3,4,b\r\n", (1, 2), "1,2,a", "a"),
        ("lat,lon,name\n1,2,a\n3,4,b", (3, 4), "3,4,b", "b"),
        ("lat,lon,name\n1,2,a\n3,4,b\r", (3, 4), "3,4,b\r", "b"),  # a final lone CR stays in the row
        ("lat,lon,name\n1,2,a\r9,9,z\n", (9, 9), "1,2,a\r9,9,z", "a"),  # a lone CR ends the record
        ("lat,lon,name\r\n1,2,a\r\n\r\n", (1, 2), "1,2,a", "a"),  # the blank last line is skipped
    ],
)
def test_line_endings(text, row, as_string, name):
    geocoder = ReverseGeocoder(text)
    assert geocoder.get_nearest_as_string(*row) == as_string
    assert geocoder.get_nearest_as_dict(*row)["name"] == name
    assert ReverseGeocoder(text, drop_coordinates=True).get_nearest_as_string(*row) == name


def test_lone_cr_line_ends_leave_only_the_header():
    geocoder = ReverseGeocoder("lat,lon,name\r1,2,a\r3,4,b\r")
    with pytest.raises(RuntimeError):
        geocoder.get_nearest_as_string(1, 2)


def test_ten_thousand_columns():
    columns = [f"c{i}" for i in range(9998)]
    rows = [[str(i), str(2 * i)] + [f"{i}-{j}" for j in range(9998)] for i in range(20)]
    text = ",".join(["lat", "lon"] + columns) + "\n" + "\n".join(",".join(row) for row in rows) + "\n"
    found = ReverseGeocoder(text).get_nearest_as_dict(7, 14)
    assert found == dict(zip(["lat", "lon"] + columns, rows[7]))
    dropped = ReverseGeocoder(text, drop_coordinates=True)
    assert dropped.get_nearest_as_string(19, 38) == ",".join(rows[19][2:])
    assert len(dropped.get_nearest_as_dict(19, 38)) == 9998
    broken = text + ",".join(rows[0][:-1]) + "\n"
    with pytest.raises(RuntimeError) as raised:
        ReverseGeocoder(broken)
    assert str(raised.value) == "column mismatch: header (line 0) has 10000 values, line 21 has 9999 values"


def test_a_one_megabyte_field_with_quotes_and_separators(tmp_path):
    content = ('ab,"ü"\r' * 150_000)[: 1 << 20]
    quoted = '"' + content.replace('"', '""') + '"'
    text = f"lat,lon,name,tail\n1,2,{quoted},end\n3,4,small,end\n"
    geocoder = ReverseGeocoder(text)
    assert geocoder.get_nearest_as_string(1, 2) == f"1,2,{quoted},end"
    assert geocoder.get_nearest_as_dict(1, 2) == {"lat": "1", "lon": "2", "name": content, "tail": "end"}
    dropped = ReverseGeocoder(text, drop_coordinates=True)
    dropped.save(tmp_path / "big-field")
    assert ReverseGeocoder.load(tmp_path / "big-field").get_nearest_as_dict(1, 2) == {"name": content, "tail": "end"}


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "missing first line in CSV"),
        ("\n", "Internal error - failed to parse CSV line"),
        ("\ufeff\nx", "Internal error - failed to parse CSV line"),
        ("lat,lon\n1,2\n\n3,4\n", "Internal error - failed to parse CSV line"),
        ("lat,lon\n1,2\n\r\n3,4\n", "Internal error - failed to parse CSV line"),
        ("lat,lon,name\n1,2,a\n3,4,b\n5,6\n", "column mismatch: header (line 0) has 3 values, line 3 has 2 values"),
        ("lat,lon\n1,\n", "cannot parse float from empty string"),
        ('lat,lon\n"",1\n', "cannot parse float from empty string"),
        ("lat,lon\n1, 2\n", "invalid float literal"),
    ]
    + [
        (f"lat,lon\n0,0\n{bad},1\n", "invalid float literal")
        for bad in ["0x10", "1_000", "１", "1e", "e5", ".", "+", "--1", "1.2.3", "nanx", "infin", "1 ", "\u00a01", "1d0"]
    ],
)
def test_broken_tables_fail_with_their_message(text, message):
    with pytest.raises(RuntimeError) as raised:
        ReverseGeocoder(text)
    assert str(raised.value) == message


@pytest.mark.parametrize("text", ["+.5", "5.", "-.5e-3", "1E+2", "-0", "000123.4500", "Infinity", "-iNf"])
def test_unusual_but_valid_numbers_build(text):
    ReverseGeocoder(f"lat,lon\n{text},{text}\n0,0\n").get_nearest_as_string(1, 1)


def damage(data, rng):
    """A few bit flips, hostile markers, cuts and insertions."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        at, kind = rng.randrange(len(data)), rng.random()
        if kind < 0.5:
            data[at] ^= 1 << rng.randrange(8)
        elif kind < 0.7:
            data[at] = rng.choice([0xC1, 0xDD, 0xDB, 0xC6, 0xDF, 0xC9, 0xCF, 0xD3, 0xCA, 0x00, 0x7F, 0xFF])
        elif kind < 0.85:
            del data[at : at + rng.randint(1, 16)]
        else:
            data[at:at] = rng.randbytes(rng.randint(1, 8))
    return bytes(data)


def test_damaged_saved_files_are_refused_or_answer_safely(tmp_path):
    # A damaged file may load (a flipped coordinate is still a coordinate),
    # but then each lookup answers or raises RuntimeError: never a panic,
    # another exception or a crash.
    rows = [f'{i * 4.5 - 88},{i * 9.25 - 179},"name {i}, ü",{i}' for i in range(40)]
    good_path = tmp_path / "good"
    ReverseGeocoder("lat,lon,name,row\n" + "\n".join(rows) + "\n").save(good_path)
    good = good_path.read_bytes()
    rng = random.Random(8)
    outcomes = {"refused": 0, "loaded": 0, "answered": 0, "lookup refused": 0}
    for attempt in range(3000):
        data = damage(good, rng)
        path = tmp_path / f"damaged-{attempt}"
        path.write_bytes(data)
        try:
            try:
                loaded = ReverseGeocoder.load(path)
            except RuntimeError:
                outcomes["refused"] += 1
                continue
            outcomes["loaded"] += 1
            for lat, lon in [(0, 0), (89.9, 179.9), (-45, -100)]:
                for lookup in (loaded.get_nearest_as_string, loaded.get_nearest_as_dict):
                    try:
                        lookup(lat, lon)
                        outcomes["answered"] += 1
                    except RuntimeError:
                        outcomes["lookup refused"] += 1
        except BaseException as failure:  # noqa: B036 - a panic is what this looks for
            pytest.fail(f"{type(failure).__name__}: {failure}\nfile: {data.hex()}")
    assert min(outcomes["refused"], outcomes["loaded"], outcomes["answered"]) > 100, outcomes


KNOWN_FAILURES = re.compile(
    r"missing first line in CSV|Internal error - failed to parse CSV line|cannot parse float from empty string"
    r"|invalid float literal|CSV got out of sync"
    r"|column mismatch: header \(line 0\) has \d+ values, line \d+ has \d+ values"
    r"|CSV error: found record with \d+ fields, but the previous record has \d+ fields"
    r"|line \d+ has no longitude: a row needs at least 2 values, found 1"
)


def test_random_garbage_builds_or_fails_with_a_known_message():
    # Every outcome other than a geocoder or one of the construction
    # messages (a crash, a panic, another exception) is a fault.
    rng = random.Random(6)
    alphabet = ["1", "2", ".", "-", "e", "n", "a", "i", "f", ",", ";", '"', "\r", "\n", "\n", " ", "\ufeff", "é", "x"]
    outcomes = {"built": 0, "failed": 0}
    for _ in range(4000):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 40)))
        if rng.random() < 0.5:
            text = "lat,lon,name\n" + text
        separator = rng.choice([",", ";", '"'])
        try:
            geocoder = ReverseGeocoder(text, separator, rng.random() < 0.3)
        except RuntimeError as failure:
            assert KNOWN_FAILURES.fullmatch(str(failure)), (text, separator, str(failure))
            outcomes["failed"] += 1
            continue
        outcomes["built"] += 1
        for lat, lon in [(0, 0), (90, 180), (-45.5, 12)]:
            try:
                geocoder.get_nearest_as_string(lat, lon)
                geocoder.get_nearest_as_dict(lat, lon)
            except RuntimeError:
                pass  # no row can answer (none stored, or only NaN places)
    assert min(outcomes.values()) > 100, outcomes


@pytest.mark.slow
def test_three_million_rows_build_lean_and_answer_like_brute_force():
    measured = run_isolated(
        """
        import ctypes, gc, time
        import numpy as np

        rows = 3_000_000
        rng = np.random.default_rng(7)
        lats = np.round(rng.uniform(-90, 90, rows), 5).tolist()
        lons = np.round(rng.uniform(-180, 180, rows), 5).tolist()
        text = "lat,lon,name,row\\n" + "".join(
            f"{lat!r},{lon!r},a synthetic place in the robustness world,{i}\\n"
            for i, (lat, lon) in enumerate(zip(lats, lons))
        )
        gc.collect()
        ctypes.CDLL(None).malloc_trim(0)
        reset_peak_rss()
        before = memory_status()
        started = time.monotonic()
        geocoder = ReverseGeocoder(text)
        seconds = time.monotonic() - started
        peak = memory_status()["VmHWM"]
        # Freed working memory may sit in the allocator's pools; hand it back
        # so that what stays resident is what the geocoder really keeps.
        ctypes.CDLL(None).malloc_trim(0)
        after = memory_status()

        qlats = np.degrees(np.arcsin(rng.uniform(-1, 1, 60))).tolist() + lats[:: rows // 40]
        qlons = rng.uniform(-180, 180, 60).tolist() + lons[:: rows // 40]
        BruteForce(lats, lons).check(answered_rows(geocoder, qlats, qlons), qlats, qlons)
        report({"text": len(text), "rows": rows, "seconds": seconds,
                "peak": peak - before["VmRSS"], "kept": after["VmRSS"] - before["VmRSS"]})
        """
    )
    assert measured["text"] > 200_000_000
    # What the geocoder keeps: its text, one slice per row and the tree.
    assert measured["kept"] <= measured["text"] + 64 * measured["rows"], measured
    # While building, the points and the tree's working order are alive too.
    assert measured["peak"] <= measured["text"] + 128 * measured["rows"], measured
