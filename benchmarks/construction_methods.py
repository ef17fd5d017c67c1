"""The two ways the packed construction finds its splits, side by side on a
family of tables derived from the bundled ones: on the permutation and on
ranks (`build_anatomy --method`), plus what the construction chooses by
itself. CPU time of the packed construction alone, medians of interleaved
rounds; every method must give the same packed layout, or give up on the
same tables.

    benchmarks/construction_methods.sh [--rounds 5]
"""
from __future__ import annotations

import argparse
import csv
import gzip
import json
import random
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
METHODS = ("permutation", "ranks", "choose")


def coordinates(name: str) -> list[tuple[float, float]]:
    with gzip.open(REPO / "data" / name, "rt", encoding="utf-8", newline="") as f:
        rows = csv.reader(f)
        next(rows)
        return [(float(r[0]), float(r[1])) for r in rows]


def tables() -> dict[str, list[tuple[float, float]]]:
    world = coordinates("world-cities.csv.gz")
    places = coordinates("world-places.csv.gz")
    rng = random.Random(27)
    family: dict[str, list[tuple[float, float]]] = {"world": world, "world places": places}
    for decimals in (4, 3, 2):
        family[f"world, {decimals} decimals"] = [(round(a, decimals), round(o, decimals))
                                                 for a, o in world]
    family["world places, 2 decimals"] = [(round(a, 2), round(o, 2)) for a, o in places]
    family["world places, 3 decimals"] = [(round(a, 3), round(o, 3)) for a, o in places]
    family["world 80%, 2 decimals"] = [(round(a, 2), round(o, 2)) for a, o in world
                                       if rng.random() < 0.8]
    family["world, 2 decimals, shifted"] = [(round(min(90.0, a * 0.999 + 0.37), 2),
                                             round(o + 0.123, 2)) for a, o in world]
    # Near where the two ways cost the same: some rows rounded, a subset.
    near = random.Random(30)
    family["world, 30% at 3 decimals"] = [(round(a, 3), round(o, 3)) if near.random() < 0.3 else (a, o)
                                          for a, o in world]
    family["world places 80%"] = [p for p in places if near.random() < 0.8]
    family["50,000 at 2 decimals"] = [(round(a, 2), round(o, 2)) for a, o in rng.sample(world, 50_000)]
    # The finest grid at which no cell holds more than 32 places: with more
    # copies of a point the construction never tries the packed layout.
    family["world places, 0.025 degree grid"] = [(round(a * 40) / 40, round(o * 40) / 40)
                                                for a, o in places]
    return family


def measure(exe: Path, path: Path, method: str) -> dict:
    done = subprocess.run([str(exe), str(path), "--rounds", "1", "--method", method],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--anatomy", type=Path, required=True)
    args = parser.parse_args()
    print("| table | rows | permutation | ranks | chosen | permutation ÷ ranks | chosen way | attempts |")
    print("|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory(prefix="vicinor-methods-") as work:
        for name, points in tables().items():
            path = Path(work) / "table.csv"
            path.write_text("lat,lon\n" + "".join(f"{a!r},{o!r}\n" for a, o in points))
            times: dict[str, list[float]] = {m: [] for m in METHODS}
            layouts, chosen, attempts = set(), None, 0
            for round_index in range(args.rounds):
                order = METHODS[round_index % 3:] + METHODS[:round_index % 3]
                for method in order:
                    result = measure(args.anatomy, path, method)
                    times[method].append(result["packed_ms"])
                    layouts.add(result["packed_layout"])
                    if method == "choose":
                        chosen, attempts = result["by_rank"], result["attempts"]
            if len(layouts) != 1:
                sys.exit(f"{name}: the methods gave different layouts")
            p, r, c = (statistics.median(times[m]) for m in METHODS)
            print(f"| {name} | {len(points):,} | {p:.1f} ms | {r:.1f} ms | {c:.1f} ms | {p / r:.2f} | "
                  f"{'ranks' if chosen else 'permutation'} | {attempts} |", flush=True)


if __name__ == "__main__":
    main()
