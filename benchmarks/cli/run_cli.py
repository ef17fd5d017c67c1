"""Times the `vicinor` command against its peers, side by side in one run:
a single lookup from a cold interpreter against `python -c pass`, and
`vicinor batch` over CSVs of coordinates (on 1 and 2 threads, CSV and JSON
lines) against the same job written with the csv module and cKDTree, and
with pandas read_csv + nearest_rows + to_csv. Each contender runs once per
round in a rotating order; medians, and ratios from the same run.

    python benchmarks/cli/run_cli.py [--rounds 5] [--rows 1000000] [--shapes ...]
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
TABLE = HERE.parent.parent / "data" / "world-cities.csv.gz"
VICINOR = str(Path(sys.executable).with_name("vicinor"))


def timed(command: list[str]) -> tuple[float, float, int]:
    """Wall seconds, CPU seconds (user + system, every thread) and peak RSS
    (KiB) of one run of the command."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"failed: {' '.join(command)}")
    return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def write_points(path: Path, rows: int, shape: str) -> None:
    """Half uniform on the sphere, half near real places, as GPS data is.
    Shapes: "lat,lon,id" (plain, LF) and "id,lat,lon,name" (a name
    column, one name in ten quoted with a separator and quotes in it,
    CRLF line ends)."""
    rng = random.Random(16)
    import gzip
    with gzip.open(TABLE, "rt") as file:
        next(file)
        places = [tuple(map(float, line.split(",", 2)[:2])) for line in file]
    words = ["Springfield", "Oak", "Hill", "North", "Saint-Étienne", "Mill", "Lake", "Port"]
    with open(path, "w", newline="") as out:
        out.write("lat,lon,id\n" if shape == "lat,lon,id" else "id,lat,lon,name\r\n")
        for i in range(rows):
            if i % 2:
                lat, lon = rng.choice(places)
                lat, lon = lat + rng.uniform(-0.05, 0.05), lon + rng.uniform(-0.05, 0.05)
            else:
                lat, lon = rng.uniform(-90, 90), rng.uniform(-180, 180)
            if shape == "lat,lon,id":
                out.write(f"{lat:.6f},{lon:.6f},{i}\n")
            else:
                name = f"{rng.choice(words)} {rng.choice(words)}"
                if i % 10 == 0:
                    name = f'"{name}, "" sector"""'
                out.write(f"{i},{lat:.6f},{lon:.6f},{name}\r\n")


SHAPES = {"lat,lon,id": (0, 1), "id,lat,lon,name": (1, 2)}


def measure(contenders: dict[str, list[str]],
            rounds: int) -> dict[str, tuple[float, float, int]]:
    """Median wall and CPU seconds and the largest peak RSS of each contender."""
    runs: dict[str, list[tuple[float, float, int]]] = {name: [] for name in contenders}
    names = list(contenders)
    for round_number in range(rounds):
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            runs[name].append(timed(contenders[name]))
    return {name: (statistics.median(run[0] for run in runs[name]),
                   statistics.median(run[1] for run in runs[name]),
                   max(run[2] for run in runs[name])) for name in names}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--rows", type=int, nargs="+", default=[250_000, 1_000_000])
    parser.add_argument("--shapes", nargs="+", choices=list(SHAPES), default=list(SHAPES))
    args = parser.parse_args()

    # On a shared machine the wall clock also counts waiting for a core;
    # CPU time does not, so both are shown.
    print("| Workload | Contender | median wall | median CPU | peak RSS |")
    print("|---|---|---|---|---|")
    startup = measure({"python -c pass": [sys.executable, "-c", "pass"],
                       "vicinor 48.8566 2.3522": [VICINOR, "48.8566", "2.3522"]}, args.rounds * 3)
    for name, (seconds, cpu, peak) in startup.items():
        print(f"| single lookup, cold start | `{name}` | {seconds * 1000:.0f} ms | "
              f"{cpu * 1000:.0f} ms | {peak / 1024:.0f} MiB |")
    with tempfile.TemporaryDirectory(prefix="vicinor-cli-bench-") as folder:
        for rows in args.rows:
            for shape in args.shapes:
                lat_at, lon_at = SHAPES[shape]
                points = Path(folder) / "points.csv"
                write_points(points, rows, shape)
                out = str(Path(folder) / "out.csv")
                batch = [VICINOR, "batch", str(points), "-o", out, "--lat-column", str(lat_at),
                         "--lon-column", str(lon_at)]
                results = measure({
                    "vicinor batch, 2 threads": batch + ["--threads", "2"],
                    "vicinor batch, 1 thread": batch + ["--threads", "1"],
                    "vicinor batch --format jsonl, 2 threads":
                        batch + ["--threads", "2", "--format", "jsonl"],
                    "csv + cKDTree": [sys.executable, str(HERE / "csv_ckdtree_batch.py"),
                                      str(TABLE), str(points), out, str(lat_at), str(lon_at)],
                    "pandas + nearest_rows": [sys.executable, str(HERE / "pandas_batch.py"),
                                              str(points), out, str(lat_at), str(lon_at)],
                }, args.rounds)
                workload = f"batch, {rows:,} rows `{shape}`"
                for name, (seconds, cpu, peak) in results.items():
                    print(f"| {workload} | {name} | {seconds:.2f} s | {cpu:.2f} s | "
                          f"{peak / 1024:.0f} MiB |")
                for label, (top, bottom) in {
                    "csv + cKDTree ÷ vicinor": ("csv + cKDTree", "vicinor batch, 2 threads"),
                    "pandas ÷ vicinor": ("pandas + nearest_rows", "vicinor batch, 2 threads"),
                    "1 thread ÷ 2 threads": ("vicinor batch, 1 thread", "vicinor batch, 2 threads"),
                    "jsonl ÷ csv": ("vicinor batch --format jsonl, 2 threads",
                                    "vicinor batch, 2 threads"),
                }.items():
                    a, b = results[top], results[bottom]
                    print(f"| {workload} | {label} | {a[0] / b[0]:.2f}x | {a[1] / b[1]:.2f}x | |",
                          flush=True)
    beyond = startup["vicinor 48.8566 2.3522"][0] - startup["python -c pass"][0]
    print(f"\nsingle lookup beyond a bare interpreter start: {beyond * 1000:.0f} ms (wall)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
