"""k nearest and rows within a distance, against pykdtree and scipy's
cKDTree, side by side in one run on one thread each (medians of
interleaved repeats, as ratios). Every tool's time includes the conversion
of degrees to points on the unit sphere; cKDTree's radius time includes
turning its lists into the same compressed arrays rows_within returns.

Usage: OMP_NUM_THREADS=1 python benchmarks/neighbours/neighbour_speed.py
           [--points N] [--radius-points N] [--repeats N]

Tables: the bundled world table, and a derived table of a different density
(every world place copied four times with small offsets, a fixed seed).
Queries: half near places (within about 5 km), half uniform on the sphere.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

os.environ.setdefault("OMP_NUM_THREADS", "1")  # pykdtree's threads, before it loads

import numpy as np
from pykdtree.kdtree import KDTree
from scipy.spatial import cKDTree

import vicinor

sys.path.insert(0, str(Path(__file__).resolve().parent))
from subset_speed import dense_text, world_text  # noqa: E402

EARTH_RADIUS_KM = 6371.0088


def coordinates(text: str) -> tuple[np.ndarray, np.ndarray]:
    lines = [line for line in text.split("\n")[1:] if line]
    lat = np.array([float(line.split(",", 2)[0]) for line in lines])
    lon = np.array([float(line.split(",", 2)[1]) for line in lines])
    return lat, lon


def to_points(lat: np.ndarray, lon: np.ndarray) -> np.ndarray:
    lat_r, lon_r = np.radians(lat), np.radians(lon)
    c = np.cos(lat_r)
    return np.column_stack((c * np.cos(lon_r), c * np.sin(lon_r), np.sin(lat_r)))


def mixed_queries(lat: np.ndarray, lon: np.ndarray, count: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(20240601)
    near = count // 2
    pick = rng.integers(0, len(lat), near)
    q_lat = np.concatenate((np.clip(lat[pick] + rng.normal(0, 0.05, near), -90, 90),
                            np.degrees(np.arcsin(rng.uniform(-1, 1, count - near)))))
    q_lon = np.concatenate(((lon[pick] + rng.normal(0, 0.05, near) + 180) % 360 - 180,
                            rng.uniform(-180, 180, count - near)))
    order = rng.permutation(count)
    return q_lat[order], q_lon[order]


def medians(tasks: dict[str, object], repeats: int) -> dict[str, float]:
    times: dict[str, list[float]] = {name: [] for name in tasks}
    for _ in range(repeats):
        for name, task in tasks.items():
            start = time.perf_counter()
            task()  # type: ignore[operator]
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def ckdtree_within(tree: cKDTree, lat: np.ndarray, lon: np.ndarray, km: float):
    chord = 2.0 * np.sin(km / EARTH_RADIUS_KM / 2.0)
    lists = tree.query_ball_point(to_points(lat, lon), chord, return_sorted=True, workers=1)
    counts = np.fromiter((len(found) for found in lists), dtype=np.int64, count=len(lists))
    offsets = np.zeros(len(lists) + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    rows = np.concatenate([np.asarray(found, dtype=np.int64) for found in lists])
    return offsets, rows


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--radius-points", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    world = world_text()
    print("| table | workload | points | vicinor s | pykdtree s | cKDTree s |"
          " pykdtree / vicinor | cKDTree / vicinor |")
    print("|---|---|---|---|---|---|---|---|")
    for name, text in {"world": world, "world x4 jittered": dense_text(world)}.items():
        geocoder = vicinor.ReverseGeocoder(text)
        lat, lon = coordinates(text)
        points = to_points(lat, lon)
        pyk, ckd = KDTree(points), cKDTree(points)
        q_lat, q_lon = mixed_queries(lat, lon, args.points)
        geocoder.nearest_rows(q_lat[:10], q_lon[:10], k=10)  # lookup aids made outside timing
        m = medians({
            "vicinor": lambda: geocoder.nearest_rows(q_lat, q_lon, k=10, threads=1),
            "pykdtree": lambda: pyk.query(to_points(q_lat, q_lon), k=10),
            "cKDTree": lambda: ckd.query(to_points(q_lat, q_lon), k=10, workers=1),
        }, args.repeats)
        print(f"| {name} | k=10 | {args.points} | {m['vicinor']:.3f} | {m['pykdtree']:.3f} |"
              f" {m['cKDTree']:.3f} | {m['pykdtree'] / m['vicinor']:.2f} |"
              f" {m['cKDTree'] / m['vicinor']:.2f} |")
        r_lat, r_lon = q_lat[: args.radius_points], q_lon[: args.radius_points]
        for km in (10.0, 50.0):
            m = medians({
                "vicinor": lambda: geocoder.rows_within(r_lat, r_lon, km, threads=1),
                "cKDTree": lambda: ckdtree_within(ckd, r_lat, r_lon, km),
            }, args.repeats)
            print(f"| {name} | within {km:g} km | {len(r_lat)} | {m['vicinor']:.3f} | - |"
                  f" {m['cKDTree']:.3f} | - | {m['cKDTree'] / m['vicinor']:.2f} |")


if __name__ == "__main__":
    main()
