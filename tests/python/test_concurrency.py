"""Many host threads on one geocoder at once: every thread gets the answers
one thread gets, and saving and loading from several threads give the same
files and the same geocoders."""

import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from robust_support import ReverseGeocoder

THREADS = 8


def place_table(seed, rows):
    rng = np.random.default_rng(seed)
    lats, lons = rng.uniform(-90, 90, rows).round(4), rng.uniform(-180, 180, rows).round(4)
    places = enumerate(zip(lats.tolist(), lons.tolist()))
    lines = [f'{lat!r},{lon!r},"place {i}, seed {seed}",{i % 7}' for i, (lat, lon) in places]
    return "lat,lon,name,class\n" + "\n".join(lines) + "\n"


QUERIES = [(float(lat), float(lon)) for lat, lon in np.random.default_rng(99).uniform((-90, -180), (90, 180), (1500, 2))]


def answers(geocoder, queries=QUERIES):
    return [(geocoder.get_nearest_as_string(lat, lon), geocoder.get_nearest_as_dict(lat, lon)) for lat, lon in queries]


@pytest.fixture(autouse=True)
def frequent_thread_switches():
    # Switch threads as often as the interpreter allows, so that calls from
    # different threads interleave as finely as they ever can.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_together(*jobs):
    """Runs the jobs on their own threads, released at the same moment;
    returns their results in order and re-raises the first failure."""
    start = threading.Barrier(len(jobs))

    def released(job):
        start.wait()
        return job()

    with ThreadPoolExecutor(len(jobs)) as pool:
        futures = [pool.submit(released, job) for job in jobs]
        return [future.result(timeout=300) for future in futures]


@pytest.fixture(scope="module")
def geocoder():
    return ReverseGeocoder(place_table(1, 20_000))


def test_threads_looking_up_and_building_get_single_thread_answers(geocoder):
    expected = answers(geocoder)
    other_tables = [place_table(seed, 3000) for seed in range(2, 4)]
    other_expected = [answers(ReverseGeocoder(text), QUERIES[:100]) for text in other_tables]

    def look_up(shift):
        # Each thread walks the queries from a different starting point.
        order = list(range(shift, len(QUERIES))) + list(range(shift))
        got = answers(geocoder, [QUERIES[i] for i in order])
        return [got[order.index(i)] for i in range(len(QUERIES))]

    def build(index):
        return [answers(ReverseGeocoder(other_tables[index]), QUERIES[:100]) for _ in range(5)]

    results = run_together(*[lambda s=s: look_up(s * 97) for s in range(THREADS)], lambda: build(0), lambda: build(1))
    for got in results[:THREADS]:
        assert got == expected
    for index, rounds in enumerate(results[THREADS:]):
        assert all(got == other_expected[index] for got in rounds)


class Reentrant:
    """A coordinate whose conversion runs lookups of its own (on the same
    geocoder) and lets other threads run in between."""

    def __init__(self, geocoder, value):
        self.geocoder, self.value = geocoder, value

    def __float__(self):
        self.inner = self.geocoder.get_nearest_as_dict(-self.value, self.value)
        time.sleep(0)
        return self.value


def test_lookups_nested_in_argument_conversion_keep_their_own_rows(geocoder):
    def nested(lat):
        coordinate = Reentrant(geocoder, lat)
        outer = geocoder.get_nearest_as_dict(coordinate, -lat)
        return outer, coordinate.inner

    lats = [float(lat) for lat in np.linspace(-80, 80, THREADS)]
    results = run_together(*[lambda lat=lat: [nested(lat) for _ in range(200)] for lat in lats])
    for lat, rounds in zip(lats, results):
        assert all(outer == geocoder.get_nearest_as_dict(lat, -lat) for outer, _ in rounds)
        assert all(inner == geocoder.get_nearest_as_dict(-lat, lat) for _, inner in rounds)


def test_saves_from_many_threads_write_identical_files(geocoder, tmp_path):
    reference = tmp_path / "reference"
    geocoder.save(reference)

    def save(index):
        for round_ in range(3):
            geocoder.save(tmp_path / f"copy-{index}-{round_}")
            geocoder.save(tmp_path / "shared")
        return index

    run_together(*[lambda i=i: save(i) for i in range(THREADS)])
    expected = reference.read_bytes()
    saved = [path for path in tmp_path.iterdir() if path.name != "reference"]
    assert len(saved) == THREADS * 3 + 1
    for path in saved:
        assert path.read_bytes() == expected, path.name


def test_loads_from_many_threads_while_saving(geocoder, tmp_path):
    path = tmp_path / "saved"
    geocoder.save(path)
    expected = answers(geocoder, QUERIES[:300])

    def load():
        return [answers(ReverseGeocoder.load(path), QUERIES[:300]) for _ in range(2)]

    def save_elsewhere():
        for round_ in range(4):
            geocoder.save(tmp_path / f"other-{round_}")

    results = run_together(*[load for _ in range(THREADS)], save_elsewhere)
    for rounds in results[:THREADS]:
        assert all(got == expected for got in rounds)
