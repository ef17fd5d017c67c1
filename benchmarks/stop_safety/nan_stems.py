"""Time of a load and of lookups on a hostile saved file: a 3-row table whose
tree claims 2^22 stems, all NaN. Prints one JSON line.

    python benchmarks/stop_safety/nan_stems.py [--stems-log2 22] [--lookups 20]
"""

import argparse
import json
import math
import os
import statistics
import tempfile
import time

import msgpack

import vicinor


def hostile_file(path, stems_log2):
    geocoder = vicinor.ReverseGeocoder("lat,lon,name\n1,2,a\n3,4,b\n5,6,c\n")
    geocoder.save(path)
    with open(path, "rb") as saved:
        record = msgpack.unpackb(saved.read(), raw=True, strict_map_key=False)
    record[4][1] = [math.nan] * (1 << stems_log2)
    with open(path, "wb") as saved:
        saved.write(msgpack.packb(record, use_bin_type=False))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stems-log2", type=int, default=22)
    parser.add_argument("--lookups", type=int, default=20)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "nan-stems.bin")
        hostile_file(path, args.stems_log2)
        started = time.perf_counter()
        geocoder = vicinor.ReverseGeocoder.load(path)
        load = time.perf_counter() - started
        times = []
        for i in range(args.lookups):
            started = time.perf_counter()
            geocoder.get_nearest_as_string(i % 7, i % 5)
            times.append(time.perf_counter() - started)
        size = os.path.getsize(path)
    print(json.dumps({"file_mb": size / 1e6, "load_ms": load * 1e3, "first_lookup_us": times[0] * 1e6,
                      "median_lookup_us": statistics.median(times[1:] or times) * 1e6}))


if __name__ == "__main__":
    main()
