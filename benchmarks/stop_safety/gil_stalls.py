"""How long other threads stall while this thread builds, saves and loads the
world table: the longest gap between turns of a thread that only sleeps
0.5 ms at a time. Prints one JSON line of milliseconds.

    PYTHONPATH=<build dir> python benchmarks/stop_safety/gil_stalls.py
"""

import gzip
import json
import os
import pathlib
import tempfile
import threading
import time

import vicinor

TABLE = pathlib.Path(__file__).resolve().parents[2] / "data" / "world-cities.csv.gz"


def longest_stall(call):
    stamps, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0.0005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.05)
    started = time.perf_counter()
    result = call()
    ended = time.perf_counter()
    time.sleep(0.05)
    stop.set()
    ticker.join()
    inside = [s for s in stamps if s >= started - 0.01 and s <= ended + 0.05]
    gaps = [b - a for a, b in zip(inside, inside[1:])]
    return result, max(gaps) * 1e3, (ended - started) * 1e3


def main():
    text = gzip.decompress(TABLE.read_bytes()).decode("utf-8")
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "world.bin")
        geocoder, build_stall, build_time = longest_stall(lambda: vicinor.ReverseGeocoder(text))
        _, save_stall, save_time = longest_stall(lambda: geocoder.save(path))
        _, load_stall, load_time = longest_stall(lambda: vicinor.ReverseGeocoder.load(path))
    print(json.dumps({
        "construction": [build_stall, build_time],
        "save": [save_stall, save_time],
        "load": [load_stall, load_time],
    }))


if __name__ == "__main__":
    main()
