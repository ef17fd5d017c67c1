"""Construction time of two builds of the module, side by side: the world
table and a large table of random places, each build in a fresh interpreter,
the two builds alternating round by round. Prints medians and the ratio of
the second build to the first.

    python benchmarks/construction_builds.py BUILD_DIR_A BUILD_DIR_B
        [--rounds 7] [--rows 4000000]

A build directory is one holding the compiled module (vicinor*.so).
"""

from __future__ import annotations

import argparse
import gzip
import os
import random
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

WORLD = Path(__file__).resolve().parent.parent / "data" / "world-cities.csv.gz"

# Times the constructor alone, in CPU seconds of this thread: the table is
# read before the clock starts.
CHILD = """
import sys, time
import vicinor
text = open(sys.argv[1], encoding="utf-8").read()
start = time.thread_time()
vicinor.ReverseGeocoder(text)
print(time.thread_time() - start)
"""


def random_table(rows: int, path: Path) -> None:
    rng = random.Random(4)
    with open(path, "w", encoding="utf-8") as out:
        out.write("lat,lon,name\n")
        for i in range(rows):
            out.write(f"{rng.uniform(-90, 90):.5f},{rng.uniform(-180, 180):.5f},place {i}\n")


def build_seconds(build: str, table: Path) -> float:
    env = dict(os.environ, PYTHONPATH=build)
    done = subprocess.run([sys.executable, "-c", CHILD, str(table)], env=env, check=True,
                          capture_output=True, text=True)
    return float(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("builds", nargs=2)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--rows", type=int, default=4_000_000)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        world = Path(folder) / "world.csv"
        world.write_bytes(gzip.decompress(WORLD.read_bytes()))
        large = Path(folder) / "large.csv"
        random_table(options.rows, large)
        print(f"{'table':<24}{'A s':>10}{'B s':>10}{'B/A':>8}")
        for name, table in (("world", world), (f"{options.rows:,} random", large)):
            times: dict[str, list[float]] = {build: [] for build in options.builds}
            for round_number in range(options.rounds):
                # Alternate which build goes first, so drift favours neither.
                order = options.builds if round_number % 2 == 0 else options.builds[::-1]
                for build in order:
                    times[build].append(build_seconds(build, table))
            a, b = (statistics.median(times[build]) for build in options.builds)
            print(f"{name:<24}{a:>10.3f}{b:>10.3f}{b / a:>8.3f}", flush=True)


if __name__ == "__main__":
    main()
