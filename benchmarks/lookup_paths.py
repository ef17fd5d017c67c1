"""CPU time of each lookup path on the world table, for judging a change of
the lookup code side by side with the build before it: string, dict and
distance lookups from a Python loop over 100,000 points, and nearest_rows
over 1,000,000 points on one thread (half uniform on the sphere, half
within 0.05 degrees of a place, random order). Prints one JSON line of
nanoseconds per point, the median of 3 passes.

    .venv/bin/python benchmarks/stop_safety/compare.py --rounds 7 \\
        $PWD/benchmarks/lookup_paths.py BUILD_BEFORE BUILD_AFTER
"""
import gzip
import json
import statistics
import time
from pathlib import Path

import numpy as np
import vicinor

TABLE = Path(__file__).resolve().parents[1] / "data" / "world-cities.csv.gz"
SINGLE = 100_000
BATCH = 1_000_000
PASSES = 3


def query_points(geocoder, rng, count):
    half = count // 2
    uniform = rng.normal(size=(half, 3))
    uniform /= np.linalg.norm(uniform, axis=1)[:, None]
    lats = [np.degrees(np.arcsin(uniform[:, 2]))]
    lons = [np.degrees(np.arctan2(uniform[:, 1], uniform[:, 0]))]
    places = rng.integers(0, geocoder.row_count(), count - half)
    lats.append(np.array(geocoder.column("lat"), float)[places]
                + rng.uniform(-0.05, 0.05, count - half))
    lons.append(np.array(geocoder.column("lon"), float)[places]
                + rng.uniform(-0.05, 0.05, count - half))
    order = rng.permutation(count)
    return np.concatenate(lats)[order], np.concatenate(lons)[order]


def per_point(run, count):
    times = []
    for _ in range(PASSES):
        start = time.process_time()
        run()
        times.append((time.process_time() - start) / count * 1e9)
    return round(statistics.median(times), 1)


def main():
    with gzip.open(TABLE, "rt", encoding="utf-8", newline="") as table:
        geocoder = vicinor.ReverseGeocoder(table.read())
    lats, lons = query_points(geocoder, np.random.default_rng(1), BATCH)
    single = list(zip(lats[:SINGLE].tolist(), lons[:SINGLE].tolist()))
    geocoder.get_nearest_as_string(0.0, 0.0)  # lookup aids made outside the timing

    def loop(method):
        def run():
            for lat, lon in single:
                method(lat, lon)
        return run

    figures = {
        "as_string": per_point(loop(geocoder.get_nearest_as_string), SINGLE),
        "as_dict": per_point(loop(geocoder.get_nearest_as_dict), SINGLE),
        "with_distance": per_point(loop(geocoder.get_nearest_with_distance), SINGLE),
        "nearest_rows": per_point(lambda: geocoder.nearest_rows(lats, lons, threads=1), BATCH),
    }
    print(json.dumps(figures))


if __name__ == "__main__":
    main()
