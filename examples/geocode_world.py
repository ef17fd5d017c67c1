"""Reverse geocoding with the bundled world table.

Builds a geocoder from data/world-places.csv.gz (or another table), looks up
a few well-known places, measures lookup speed, then saves the geocoder,
loads it back and checks that the loaded copy gives the same answers.
Exits with status 1 if it does not.
"""

from __future__ import annotations

import argparse
import gzip
import pathlib
import random
import sys
import tempfile
import time

import vicinor

REPO = pathlib.Path(__file__).resolve().parent.parent
DEFAULT_DATA = REPO / "data" / "world-places.csv.gz"

# (label, latitude, longitude)
LANDMARKS = [
    ("Eiffel Tower", 48.8584, 2.2945),
    ("Shibuya crossing, Tokyo", 35.6595, 139.7005),
    ("Times Square, New York", 40.7580, -73.9855),
    ("Sydney Opera House", -33.8568, 151.2153),
    ("Nairobi", -1.2921, 36.8219),
    ("Reykjavik", 64.1466, -21.9426),
    ("Null Island (0, 0)", 0.0, 0.0),
    ("Antimeridian, Fiji", -17.0, 179.99),
    ("North Pole", 90.0, 0.0),
]


def read_table(path: pathlib.Path) -> str:
    if path.suffix == ".gz":
        with gzip.open(path, "rt", encoding="utf-8", newline="") as f:
            return f.read()
    return path.read_text(encoding="utf-8")


def count_rows(text: str) -> int:
    lines = text.split("\n")
    if lines and lines[-1] in ("", "\r"):
        lines.pop()
    return max(len(lines) - 1, 0)


def random_points(count: int, seed: int) -> list[tuple[float, float]]:
    rng = random.Random(seed)
    return [(rng.uniform(-90.0, 90.0), rng.uniform(-180.0, 180.0)) for _ in range(count)]


def in_column_order(row: dict[str, str], columns: list[str]) -> dict[str, str]:
    # The dict's own key order is unspecified; the header order reads better.
    return {name: row[name] for name in columns if name in row}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=pathlib.Path, default=DEFAULT_DATA,
                        help="CSV table, plain or .gz (default: the bundled world table)")
    parser.add_argument("--sep", default=",", help="value separator (default: comma)")
    parser.add_argument("--drop-coordinates", action="store_true",
                        help="leave the lat and lon columns out of the answers")
    parser.add_argument("--queries", type=int, default=100_000,
                        help="random lookups for the speed figures (default: 100000)")
    args = parser.parse_args()

    print(f"vicinor from {vicinor.__file__}")
    if not hasattr(vicinor, "ReverseGeocoder"):
        print("this build of vicinor has no ReverseGeocoder yet", file=sys.stderr)
        return 1

    text = read_table(args.data)
    rows = count_rows(text)
    header = text.split("\n", 1)[0].lstrip("\ufeff").rstrip("\r").split(args.sep)
    columns = header[2:] if args.drop_coordinates else header
    print(f"table: {args.data.name}, {len(text.encode('utf-8')):,} bytes, {rows:,} rows")

    start = time.perf_counter()
    geocoder = vicinor.ReverseGeocoder(text, value_sep=args.sep,
                                       drop_coordinates=args.drop_coordinates)
    build_seconds = time.perf_counter() - start
    print(f"built in {build_seconds:.3f} s")
    del text

    print()
    for label, lat, lon in LANDMARKS:
        as_string = geocoder.get_nearest_as_string(lat, lon)
        as_dict = geocoder.get_nearest_as_dict(lat, lon)
        print(f"{label} ({lat}, {lon})")
        print(f"  string: {as_string}")
        print(f"  dict:   {in_column_order(as_dict, columns)}")

    points = random_points(args.queries, seed=2024)
    if points:
        print()
        for name, lookup in (("string", geocoder.get_nearest_as_string),
                             ("dict", geocoder.get_nearest_as_dict)):
            start = time.perf_counter()
            for lat, lon in points:
                lookup(lat, lon)
            seconds = time.perf_counter() - start
            print(f"{len(points):,} {name} lookups in {seconds:.3f} s "
                  f"({len(points) / seconds:,.0f} per second)")

    with tempfile.TemporaryDirectory(prefix="vicinor-") as folder:
        path = pathlib.Path(folder) / "world.geocoder"
        start = time.perf_counter()
        geocoder.save(path)
        save_seconds = time.perf_counter() - start
        start = time.perf_counter()
        loaded = vicinor.ReverseGeocoder.load(path)
        load_seconds = time.perf_counter() - start
        print()
        print(f"saved {path.stat().st_size:,} bytes in {save_seconds:.3f} s, "
              f"loaded in {load_seconds:.3f} s")

    checks = [(lat, lon) for _, lat, lon in LANDMARKS] + random_points(1_000, seed=7)
    disagreements = 0
    for lat, lon in checks:
        if (loaded.get_nearest_as_string(lat, lon) != geocoder.get_nearest_as_string(lat, lon)
                or loaded.get_nearest_as_dict(lat, lon) != geocoder.get_nearest_as_dict(lat, lon)):
            disagreements += 1
            print(f"loaded copy disagrees at ({lat}, {lon})", file=sys.stderr)
    if disagreements:
        print(f"{disagreements} of {len(checks)} lookups differ after save and load",
              file=sys.stderr)
        return 1
    print(f"loaded copy agrees on all {len(checks):,} checked lookups")
    return 0


if __name__ == "__main__":
    sys.exit(main())
