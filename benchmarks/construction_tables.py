"""Construction over a family of tables, not only the world table: how the
constructor's time depends on how coordinates coincide and on size.

    benchmarks/construction_tables.sh [--rounds 3] [--only family,scale]
        [--scale-rows 1000000,2000000,...] [--work-dir DIR]

Family: tables derived from the world table (as shipped; coordinates rounded
to 2, 3 and 4 decimals; random 80% subsets; longitudes shifted by +7.3
degrees; subsets by country), the places table and its subsets by
population, and synthetic ones (a 1-degree grid, clustered points, a million
points drawn around the world's places). For each: vicinor's constructor,
the C++ from_chars + nanoflann parse and build of the same file, and the
`csv` module + scipy cKDTree, interleaved in rounds, CPU time, medians.

Scale: points drawn uniformly on the sphere (full precision) and drawn in
degrees (5 decimals), at sizes around the powers of two where stem arrays
double. Each table is written once (not timed); each vicinor build runs in a
fresh interpreter, with cKDTree over the same points in the same process.
"""

from __future__ import annotations

import argparse
import csv
import gzip
import json
import math
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from harness import peers  # noqa: E402

WORLD = HERE.parent / "data" / "world-cities.csv.gz"
PLACES = HERE.parent / "data" / "world-places.csv.gz"
SCALE_ROWS = [1_000_000, 2_000_000, 4_000_000, 4_200_000, 8_400_000, 16_000_000]


def world_rows() -> tuple[str, list[list[str]]]:
    lines = gzip.decompress(WORLD.read_bytes()).decode("utf-8").splitlines()
    return lines[0], [line.split(",", 2) for line in lines[1:]]


def places_by_population() -> tuple[str, list[tuple[str, int]]]:
    """The places table's header and its lines, each with its population."""
    lines = gzip.decompress(PLACES.read_bytes()).decode("utf-8").splitlines()
    column = next(csv.reader([lines[0]])).index("population")
    return lines[0], [(line, int(fields[column] or 0))
                      for line, fields in zip(lines[1:], csv.reader(lines[1:]))]


def table_text(header: str, rows) -> str:
    return header + "\n" + "".join(f"{lat},{lon},{rest}\n" for lat, lon, rest in rows)


def family_tables() -> dict[str, str]:
    header, rows = world_rows()
    tables = {"world": table_text(header, rows)}
    for decimals in (4, 3, 2):
        tables[f"rounded to {decimals} decimals"] = table_text(
            header, ((f"{float(a):.{decimals}f}", f"{float(o):.{decimals}f}", r) for a, o, r in rows))
    for seed in (1, 2):
        rng = random.Random(seed)
        tables[f"random 80%, seed {seed}"] = table_text(header, (row for row in rows if rng.random() < 0.8))
    tables["longitudes +7.3"] = table_text(
        header, ((a, f"{(float(o) + 187.3) % 360.0 - 180.0:.5f}", r) for a, o, r in rows))
    grid = ((str(lat), str(lon), f"g{lat}_{lon}") for lat in range(-90, 91) for lon in range(-180, 180))
    tables["1-degree grid"] = table_text("lat,lon,name", grid)
    rng = random.Random(3)
    centres = [(rng.uniform(-60, 70), rng.uniform(-180, 180)) for _ in range(300)]
    clustered = []
    for k in range(171_075):
        lat, lon = centres[k % len(centres)]
        clustered.append((f"{lat + rng.gauss(0, 0.3):.5f}", f"{lon + rng.gauss(0, 0.3):.5f}", f"c{k}"))
    tables["clustered (300 centres, 0.3 deg)"] = table_text("lat,lon,name", clustered)
    rng = random.Random(4)
    around = []
    for k in range(1_000_000):
        lat, lon, _ = rows[rng.randrange(len(rows))]
        around.append((f"{max(-90.0, min(90.0, float(lat) + rng.uniform(-0.2, 0.2))):.5f}",
                       f"{float(lon) + rng.uniform(-0.2, 0.2):.5f}", f"a{k}"))
    tables["1M around the world's places"] = table_text("lat,lon,name", around)
    # Densities of real subsets: one dense country, a continent's worth of
    # countries, and a small 2-decimal table as a new user's postcode
    # centroids would be.
    tables["US only"] = table_text(header, (row for row in rows if row[2].split(",")[1] == "US"))
    europe = {"IT", "FR", "DE", "ES", "GB", "PL", "NL", "BE", "CH", "AT", "PT", "CZ", "SE"}
    tables["13 European countries"] = table_text(
        header, (row for row in rows if row[2].split(",")[1] in europe))
    # A gazetteer of every populated place, whose old entries sit on a grid
    # of arc minutes, and its subsets by population.
    places_header, places = places_by_population()
    tables["world places"] = "\n".join([places_header] + [line for line, _ in places]) + "\n"
    for least in (1_000, 15_000):
        tables[f"places of {least:,}+ people"] = "\n".join(
            [places_header] + [line for line, people in places if people >= least]) + "\n"
    rng = random.Random(5)
    sample = rng.sample(rows, 50_000)
    tables["50,000 at 2 decimals"] = table_text(
        header, ((f"{float(a):.2f}", f"{float(o):.2f}", r) for a, o, r in sample))
    return tables


def cpu_seconds(action) -> float:
    start = time.process_time_ns()
    action()
    return (time.process_time_ns() - start) / 1e9


def nanoflann_seconds(exe: Path, path: Path) -> float:
    done = subprocess.run([str(exe), str(path), "--repeat", "1", "--warmup", "0", "--clock", "cpu"],
                          capture_output=True, text=True, check=True)
    return json.loads(done.stdout)["build_ns"][0] / 1e9


def run_family(args, work: Path) -> list[str]:
    import vicinor

    lines = ["| table | rows | vicinor | nanoflann | ratio vicinor/nanoflann | csv + cKDTree | "
             "ratio cKDTree/vicinor | vicinor ns/row |",
             "|---|---|---|---|---|---|---|---|"]
    for name, text in family_tables().items():
        path = work / "table.csv"
        path.write_text(text)
        rows = text.count("\n") - 1
        samples: dict[str, list[float]] = {"v": [], "n": [], "c": []}
        runs = {"v": lambda: cpu_seconds(lambda: vicinor.ReverseGeocoder(text)),
                "n": lambda: nanoflann_seconds(args.nanoflann, path),
                "c": lambda: cpu_seconds(lambda: peers.build_ckdtree(text))}
        for round_index in range(args.rounds):
            order = list(runs)[round_index % 3:] + list(runs)[:round_index % 3]
            for key in order:
                samples[key].append(runs[key]())
        v, n, c = (statistics.median(samples[k]) for k in "vnc")
        line = (f"| {name} | {rows:,} | {v * 1e3:.0f} ms | {n * 1e3:.0f} ms | {v / n:.2f} | "
                f"{c * 1e3:.0f} ms | {c / v:.1f} | {v * 1e9 / rows:.0f} |")
        print(line, file=sys.stderr, flush=True)
        lines.append(line)
    return lines


# Runs in a fresh interpreter: the text is read first, then only the
# constructor is timed; cKDTree then builds over the same points.
CHILD = r"""
import json, resource, sys, time
import numpy as np
from scipy.spatial import cKDTree
import vicinor
text = open(sys.argv[1], encoding="utf-8").read()
start = time.process_time_ns()
g = vicinor.ReverseGeocoder(text)
vicinor_s = (time.process_time_ns() - start) / 1e9
del g
peak_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
data = np.loadtxt(sys.argv[1], delimiter=",", skiprows=1, usecols=(0, 1))
lat, lon = np.radians(data[:, 0]), np.radians(data[:, 1])
points = np.column_stack((np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)))
start = time.process_time_ns()
cKDTree(points, leafsize=32)
ckd_s = (time.process_time_ns() - start) / 1e9
print(json.dumps({"vicinor": vicinor_s, "ckdtree": ckd_s, "peak_kb": peak_kb, "text": len(text)}))
"""


def scale_table(path: Path, rows: int, kind: str) -> None:
    if path.exists():
        return
    rng = random.Random(rows)
    with path.open("w") as out:
        out.write("lat,lon,name\n")
        for k in range(rows):
            if kind == "sphere":
                lat = math.degrees(math.asin(rng.uniform(-1.0, 1.0)))
                out.write(f"{lat!r},{rng.uniform(-180.0, 180.0)!r},p{k}\n")
            else:
                out.write(f"{rng.uniform(-90, 90):.5f},{rng.uniform(-180, 180):.5f},p{k}\n")


def run_scale(args, work: Path) -> list[str]:
    lines = ["| points | rows | vicinor | ns/row | cKDTree build | ratio cKDTree/vicinor | "
             "peak RSS - text, bytes/row |", "|---|---|---|---|---|---|---|"]
    for kind in ("sphere", "degrees 5 decimals"):
        for rows in args.scale_rows:
            path = work / f"scale-{kind.split()[0]}-{rows}.csv"
            scale_table(path, rows, kind.split()[0])
            runs = [json.loads(subprocess.run([sys.executable, "-c", CHILD, str(path)], check=True,
                                              capture_output=True, text=True).stdout)
                    for _ in range(args.scale_rounds)]
            v = statistics.median(r["vicinor"] for r in runs)
            c = statistics.median(r["ckdtree"] for r in runs)
            extra = (runs[0]["peak_kb"] * 1024 - runs[0]["text"]) / rows
            line = (f"| {kind} | {rows:,} | {v:.2f} s | {v * 1e9 / rows:.0f} | {c:.2f} s | "
                    f"{c / v:.2f} | {extra:.0f} |")
            print(line, file=sys.stderr, flush=True)
            lines.append(line)
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--scale-rounds", type=int, default=1)
    parser.add_argument("--only", default="family,scale")
    parser.add_argument("--scale-rows", default=",".join(map(str, SCALE_ROWS)))
    parser.add_argument("--nanoflann", type=Path, required=True)
    parser.add_argument("--work-dir", type=Path, default=None)
    args = parser.parse_args()
    args.scale_rows = [int(float(r)) for r in args.scale_rows.split(",")]
    work = args.work_dir or Path(tempfile.mkdtemp(prefix="vicinor-construction-"))
    work.mkdir(parents=True, exist_ok=True)
    output = []
    if "family" in args.only:
        output += ["CPU time, median of %d interleaved rounds" % args.rounds, ""] + run_family(args, work)
    if "scale" in args.only:
        output += ["", "CPU time, fresh interpreter per build, median of %d" % args.scale_rounds, ""]
        output += run_scale(args, work)
    print("\n".join(output))


if __name__ == "__main__":
    main()
