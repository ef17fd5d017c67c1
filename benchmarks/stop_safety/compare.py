"""Runs one of the scripts here against several builds of vicinor, rounds
interleaved so that the machine's drift hits every build alike, and prints
the median of every figure per build.

    python benchmarks/stop_safety/compare.py --rounds 5 gil_stalls.py BUILD_DIR...
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent


def medians(results):
    first = results[0]
    if isinstance(first, list):
        return [medians([r[i] for r in results]) for i in range(len(first))]
    if isinstance(first, dict):
        return {key: medians([r[key] for r in results]) for key in first}
    if isinstance(first, (int, float)):
        return round(statistics.median(results), 2)
    return first


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("script")
    parser.add_argument("builds", nargs="+")
    parser.add_argument("--", dest="rest", nargs=argparse.REMAINDER, default=[])
    args, extra = parser.parse_known_args()
    results = {build: [] for build in args.builds}
    for round_number in range(args.rounds):
        order = args.builds[round_number % len(args.builds):] + args.builds[:round_number % len(args.builds)]
        for build in order:
            env = dict(os.environ, PYTHONPATH=os.path.abspath(build))
            done = subprocess.run([sys.executable, "-P", str(HERE / args.script), *extra],
                                  env=env, capture_output=True, text=True, check=True)
            results[build].append(json.loads(done.stdout.strip().splitlines()[-1]))
    for build, runs in results.items():
        print(build, json.dumps(medians(runs)))


if __name__ == "__main__":
    main()
