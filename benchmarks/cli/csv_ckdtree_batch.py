"""The peer of `vicinor batch`: the same job with Python's csv module and
scipy's cKDTree (read, convert, query, write), in chunks and on every core.

    python csv_ckdtree_batch.py TABLE.csv.gz INPUT.csv OUTPUT.csv [LAT_COLUMN LON_COLUMN]

The coordinate columns are 0-based indices, by default 0 and 1.
"""

from __future__ import annotations

import csv
import gzip
import itertools
import sys

import numpy as np
from scipy.spatial import cKDTree

EARTH_RADIUS_KM = 6371.0088
CHUNK_ROWS = 1 << 16


def unit_vectors(lats: np.ndarray, lons: np.ndarray) -> np.ndarray:
    lat, lon = np.radians(lats), np.radians(lons)
    return np.column_stack((np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)))


def main() -> int:
    table_path, input_path, output_path = sys.argv[1:4]
    lat_at, lon_at = map(int, sys.argv[4:6]) if len(sys.argv) > 4 else (0, 1)
    with gzip.open(table_path, "rt", encoding="utf-8", newline="") as file:
        reader = csv.reader(file)
        columns = next(reader)
        places = list(reader)
    coordinates = np.array([(float(row[0]), float(row[1])) for row in places])
    tree = cKDTree(unit_vectors(coordinates[:, 0], coordinates[:, 1]), leafsize=32)

    with open(input_path, newline="", encoding="utf-8") as source, \
            open(output_path, "w", newline="", encoding="utf-8") as target:
        reader = csv.reader(source)
        writer = csv.writer(target, lineterminator="\n")
        writer.writerow(next(reader) + columns + ["distance_km"])
        while chunk := list(itertools.islice(reader, CHUNK_ROWS)):
            lats = np.array([float(row[lat_at]) for row in chunk])
            lons = np.array([float(row[lon_at]) for row in chunk])
            chord, nearest = tree.query(unit_vectors(lats, lons), workers=-1)
            km = 2 * EARTH_RADIUS_KM * np.arcsin(np.minimum(chord / 2, 1.0))
            writer.writerows(row + places[i] + [f"{d:.3f}"]
                             for row, i, d in zip(chunk, nearest.tolist(), km.tolist()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
