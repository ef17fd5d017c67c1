"""nearest_rows on one thread against two, wall-clock medians of 7
interleaved rounds over 1,000,000 points (half uniform on the sphere, half
within 0.05 degrees of a place, random order) on the world table. Run it on
an otherwise idle machine: its figure is the scaling, not a speed.

    .venv/bin/python -P benchmarks/batch_threads.py
"""
import gzip
import statistics
import time
from pathlib import Path

import numpy as np
import vicinor

TABLE = Path(__file__).resolve().parents[1] / "data" / "world-cities.csv.gz"
POINTS = 1_000_000
ROUNDS = 7


def query_points(geocoder, rng):
    half = POINTS // 2
    uniform = rng.normal(size=(half, 3))
    uniform /= np.linalg.norm(uniform, axis=1)[:, None]
    lats = [np.degrees(np.arcsin(uniform[:, 2]))]
    lons = [np.degrees(np.arctan2(uniform[:, 1], uniform[:, 0]))]
    places = rng.integers(0, geocoder.row_count(), half)
    lats.append(np.array(geocoder.column("lat"), float)[places] + rng.uniform(-0.05, 0.05, half))
    lons.append(np.array(geocoder.column("lon"), float)[places] + rng.uniform(-0.05, 0.05, half))
    order = rng.permutation(POINTS)
    return np.concatenate(lats)[order], np.concatenate(lons)[order]


def main():
    with gzip.open(TABLE, "rt", encoding="utf-8", newline="") as table:
        geocoder = vicinor.ReverseGeocoder(table.read())
    lats, lons = query_points(geocoder, np.random.default_rng(1))
    geocoder.nearest_rows(lats[:1000], lons[:1000])  # lookup aids prepared outside the timing
    seconds = {1: [], 2: []}
    for _ in range(ROUNDS):
        for threads in seconds:
            started = time.perf_counter()
            geocoder.nearest_rows(lats, lons, threads=threads)
            seconds[threads].append(time.perf_counter() - started)
    one, two = (statistics.median(seconds[threads]) for threads in (1, 2))
    print(f"1 thread {one * 1e9 / POINTS:.0f} ns a point, 2 threads {two * 1e9 / POINTS:.0f} ns "
          f"a point, speed-up {one / two:.2f}x")


if __name__ == "__main__":
    main()
