"""Runs one workload a given number of times, for instruction counting.

    python callgrind_driver.py WORKLOAD COUNT CSV_PATH SAVED_PATH

The set-up depends only on the workload, never on COUNT, so the difference
between a run with COUNT and a run with 0 is the cost of COUNT operations.
Workloads: construct, load, as_string, as_dict, with_distance, floor_string, floor_dict.
"""

from __future__ import annotations

import sys
from pathlib import Path

from harness.dataset import make_queries, place_coordinates

QUERY_POOL = 20_000


def main(argv: list[str]) -> int:
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 64
    workload, count, csv_path, saved_path = argv[0], int(argv[1]), argv[2], argv[3]
    import vicinor

    if workload == "construct":
        text = Path(csv_path).read_text(encoding="utf-8")
        for _ in range(count):
            vicinor.ReverseGeocoder(text)
        return 0
    if workload == "load":
        for _ in range(count):
            vicinor.ReverseGeocoder.load(saved_path)
        return 0

    if count > QUERY_POOL:
        raise SystemExit(f"at most {QUERY_POOL} lookups")
    text = Path(csv_path).read_text(encoding="utf-8")
    queries = make_queries(place_coordinates(text), QUERY_POOL)[:count]
    geocoder = vicinor.ReverseGeocoder.load(saved_path)
    # The first lookup also prepares the geocoder's lookup aids: part of the
    # set-up, not of any one lookup.
    geocoder.get_nearest_as_string(0.0, 0.0)
    if workload.startswith("floor_"):
        import vicinor_floor
        function = vicinor_floor.as_string if workload == "floor_string" else vicinor_floor.as_dict
    elif workload == "as_string":
        function = geocoder.get_nearest_as_string
    elif workload == "as_dict":
        function = geocoder.get_nearest_as_dict
    elif workload == "with_distance":
        function = geocoder.get_nearest_with_distance
    else:
        raise SystemExit(f"unknown workload {workload!r}")
    for lat, lon in queries:
        function(lat, lon)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
