"""subset(rows) against building from the subset's own text, and against
building the whole table, side by side in one run (medians of interleaved
repeats). Usage: python benchmarks/neighbours/subset_speed.py [--repeats N]

Tables: the bundled world table, and a derived table of a different density
(every world place copied four times with small offsets, a fixed seed)."""

from __future__ import annotations

import argparse
import gzip
import statistics
import time
from pathlib import Path

import numpy as np

import vicinor

WORLD = Path(__file__).resolve().parents[2] / "data" / "world-cities.csv.gz"


def world_text() -> str:
    with gzip.open(WORLD, "rt", encoding="utf-8", newline="") as f:
        return f.read()


def dense_text(world: str) -> str:
    """Four jittered copies of every place: 4x the rows, denser clusters."""
    lines = world.split("\n")
    header, rows = lines[0], [line for line in lines[1:] if line]
    rng = np.random.default_rng(7)
    out = [header]
    for copy in range(4):
        jitter = rng.normal(0.0, 0.05, size=(len(rows), 2))
        for row, (dlat, dlon) in zip(rows, jitter):
            lat, lon, rest = row.split(",", 2)
            out.append(f"{float(lat) + dlat:.5f},{float(lon) + dlon:.5f},{rest}")
    return "\n".join(out) + "\n"


def subset_text(text: str, rows: np.ndarray) -> str:
    lines = text.split("\n")
    return lines[0] + "\n" + "".join(lines[1 + r] + "\n" for r in rows)


def median_seconds(tasks: dict[str, object], repeats: int) -> dict[str, float]:
    times: dict[str, list[float]] = {name: [] for name in tasks}
    for _ in range(repeats):
        for name, task in tasks.items():  # interleaved: noise hits all alike
            start = time.perf_counter()
            task()  # type: ignore[operator]
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=15)
    args = parser.parse_args()
    world = world_text()
    tables = {"world": world, "world x4 jittered": dense_text(world)}
    print("| table | rows | share | full build ms | build from subset text ms | subset ms |"
          " subset / full | subset / from text |")
    print("|---|---|---|---|---|---|---|---|")
    for name, text in tables.items():
        geocoder = vicinor.ReverseGeocoder(text)
        n = geocoder.row_count()
        rng = np.random.default_rng(1)
        for share in (0.01, 0.1, 0.5):
            rows = np.sort(rng.choice(n, int(n * share), replace=False))
            own = subset_text(text, rows)
            assert geocoder.subset(rows).to_bytes() == vicinor.ReverseGeocoder(own).to_bytes()
            # The full build apart: between the others it would evict from
            # cache the geocoder a subset reads, which a server keeps warm.
            m = median_seconds({"full": lambda: vicinor.ReverseGeocoder(text)}, args.repeats)
            m |= median_seconds({
                "text": lambda: vicinor.ReverseGeocoder(own),
                "subset": lambda: geocoder.subset(rows),
            }, 3 * args.repeats)
            print(f"| {name} | {n} | {share:g} | {m['full'] * 1e3:.1f} | {m['text'] * 1e3:.2f} |"
                  f" {m['subset'] * 1e3:.2f} | {m['subset'] / m['full']:.3f} |"
                  f" {m['subset'] / m['text']:.2f} |")


if __name__ == "__main__":
    main()
