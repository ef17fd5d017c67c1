"""The bundled world-cities table against brute force: every answer is a
row at the exact minimum chord distance, and identical places answer with
their earliest row."""

import csv
import gzip
import pathlib
from types import SimpleNamespace

import numpy as np
import pytest

from robust_support import BruteForce, CapIndex, ReverseGeocoder, answered_rows, unit_points

WORLD = pathlib.Path(__file__).resolve().parents[2] / "data" / "world-cities.csv.gz"


@pytest.fixture(scope="module")
def world():
    lines = gzip.decompress(WORLD.read_bytes()).decode("utf-8").split("\n")
    assert lines[-1] == "" and len(lines) == 171_077
    header, rows = lines[0], lines[1:-1]
    # A row-number column maps every answer back to its row; no row ends
    # inside an open quote, so appending keeps every field as it was.
    text = header + ",row\n" + "".join(f"{line},{i}\n" for i, line in enumerate(rows))
    coordinates = [line.split(",", 2)[:2] for line in rows]
    lats = np.array([float(lat) for lat, _ in coordinates])
    lons = np.array([float(lon) for _, lon in coordinates])
    return SimpleNamespace(
        geocoder=ReverseGeocoder(text), header=header.split(","), rows=rows, lats=lats, lons=lons,
        cells=CapIndex(lats, lons),
    )


def world_queries(world, count, seed):
    """Uniform over the sphere, scattered around cities, exactly at cities,
    and crowded at the poles and the antimeridian."""
    rng = np.random.default_rng(seed)
    quarter = count // 4
    cities = rng.integers(0, len(world.rows), 2 * quarter)
    polar = rng.uniform(80, 90, quarter) * rng.choice([-1, 1], quarter)
    lats = np.concatenate([
        np.degrees(np.arcsin(rng.uniform(-1, 1, count - 3 * quarter))),
        world.lats[cities[:quarter]] + rng.normal(0, 0.5, quarter),
        world.lats[cities[quarter:]],
        np.where(rng.random(quarter) < 0.5, polar, rng.uniform(-90, 90, quarter)),
    ])
    lons = np.concatenate([
        rng.uniform(-180, 180, count - 3 * quarter),
        world.lons[cities[:quarter]] + rng.normal(0, 0.5, quarter),
        world.lons[cities[quarter:]],
        np.where(polar > 0, 1, -1) * rng.uniform(175, 180, quarter),
    ])
    return lats.tolist(), lons.tolist()


def check_world(world, lats, lons):
    rows = answered_rows(world.geocoder, lats, lons)
    return world.cells.check(rows, unit_points(lats, lons))


def test_fifty_thousand_queries_answer_at_the_minimum_distance(world):
    lats, lons = world_queries(world, 50_000, seed=1)
    compared = check_world(world, lats, lons)
    assert compared < 50_000 * 5_000, "the check should not have been a full brute force"
    # The same answers once more against every row, for a few hundred
    # queries: the pruned check above must not be what hides a fault.
    sample = slice(0, None, 160)
    lats, lons = lats[sample], lons[sample]
    BruteForce(world.lats, world.lons).check(answered_rows(world.geocoder, lats, lons), lats, lons)


def test_duplicated_places_answer_with_their_earliest_row(world):
    points = world.cells.points
    later = np.flatnonzero(world.cells.first_copy != np.arange(len(points)))
    assert len(later) >= 30, "the table is known to hold repeated coordinates"
    lats, lons = world.lats[later].tolist(), world.lons[later].tolist()
    rows = answered_rows(world.geocoder, lats, lons)
    assert (rows == world.cells.first_copy[later]).all()


def test_dict_answers_are_the_rows_fields(world):
    lats, lons = world_queries(world, 2000, seed=2)
    for lat, lon in zip(lats, lons):
        found = world.geocoder.get_nearest_as_dict(lat, lon)
        row = int(found["row"])
        assert found == dict(zip(world.header + ["row"], next(csv.reader([world.rows[row]])) + [str(row)]))


@pytest.mark.slow
def test_a_million_queries_answer_at_the_minimum_distance(world):
    for part in range(4):
        lats, lons = world_queries(world, 250_000, seed=10 + part)
        check_world(world, lats, lons)
