"""The table and the queries every workload shares.

Queries are plain Python tuples made with the `random` module, so the
callgrind driver can make the very same points without numpy.
"""

from __future__ import annotations

import gzip
import math
import random
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
DEFAULT_TABLE = REPO / "data" / "world-cities.csv.gz"
QUERY_SEED = 20240601
NEAR_RADIUS_DEGREES = 0.05


@dataclass(frozen=True)
class Table:
    text: str
    path: Path  # the decompressed text on disk, for subprocesses

    @property
    def size_bytes(self) -> int:
        return len(self.text.encode("utf-8"))

    @property
    def row_count(self) -> int:
        return len(self.data_lines())

    def data_lines(self) -> list[str]:
        lines = self.text.split("\n")[1:]
        if lines and lines[-1] == "":
            lines.pop()
        return lines


def decompress_table(source: Path, work_dir: Path) -> Table:
    """Decompresses once, before any timing, and keeps a copy on disk."""
    text = gzip.decompress(source.read_bytes()).decode("utf-8")
    work_dir.mkdir(parents=True, exist_ok=True)
    path = work_dir / source.name.removesuffix(".gz")
    path.write_text(text, encoding="utf-8", newline="")
    return Table(text=text, path=path)


def place_coordinates(text: str) -> list[tuple[float, float]]:
    """Latitude and longitude of every data row (coordinates are never quoted here)."""
    coordinates = []
    for line in text.split("\n")[1:]:
        if line:
            lat, lon, _ = line.split(",", 2)
            coordinates.append((float(lat), float(lon)))
    return coordinates


def make_queries(places: list[tuple[float, float]], count: int,
                 seed: int = QUERY_SEED) -> list[tuple[float, float]]:
    """Alternates a point uniform on the sphere with one near a real place,
    so every prefix holds both kinds in equal share."""
    rng = random.Random(seed)
    queries = []
    for i in range(count):
        if i % 2 == 0 or not places:
            lat = math.degrees(math.asin(2.0 * rng.random() - 1.0))
            lon = 360.0 * rng.random() - 180.0
        else:
            place_lat, place_lon = places[rng.randrange(len(places))]
            lat = place_lat + rng.uniform(-NEAR_RADIUS_DEGREES, NEAR_RADIUS_DEGREES)
            lon = place_lon + rng.uniform(-NEAR_RADIUS_DEGREES, NEAR_RADIUS_DEGREES)
            lat = min(90.0, max(-90.0, lat))
        queries.append((lat, lon))
    return queries
