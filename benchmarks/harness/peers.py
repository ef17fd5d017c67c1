"""The peers: each builds its index from the same table and answers one
point per call, converting degrees itself, as a script using it would.

Every builder takes what it needs prepared ahead (see `prepare_*`) so that
only the library's own work is timed.
"""

from __future__ import annotations

import csv
import gzip
import io
import json
import math
import os
from collections.abc import Callable
from pathlib import Path

DEG_TO_RAD = math.pi / 180.0
LEAF_SIZE = 32

Lookup = Callable[[float, float], object]


def read_rows(text: str):
    """The Python `csv` module's reading of the table, and the unit-sphere
    points of its rows: the common first half of every numpy-based peer."""
    import numpy as np

    reader = csv.reader(io.StringIO(text))
    next(reader)
    rows = list(reader)
    lat = np.fromiter((float(row[0]) for row in rows), dtype=np.float64, count=len(rows))
    lon = np.fromiter((float(row[1]) for row in rows), dtype=np.float64, count=len(rows))
    return rows, lat, lon


def unit_sphere(lat, lon):
    import numpy as np

    lat_r = lat * DEG_TO_RAD
    lon_r = lon * DEG_TO_RAD
    cos_lat = np.cos(lat_r)
    return np.column_stack((cos_lat * np.cos(lon_r), cos_lat * np.sin(lon_r), np.sin(lat_r)))


def build_ckdtree(text: str):
    from scipy.spatial import cKDTree

    rows, lat, lon = read_rows(text)
    return cKDTree(unit_sphere(lat, lon), leafsize=LEAF_SIZE), rows


def build_pykdtree(text: str):
    from pykdtree.kdtree import KDTree

    rows, lat, lon = read_rows(text)
    return KDTree(unit_sphere(lat, lon), leafsize=LEAF_SIZE), rows


def build_balltree(text: str):
    import numpy as np
    from sklearn.neighbors import BallTree

    rows, lat, lon = read_rows(text)
    radians = np.column_stack((lat, lon)) * DEG_TO_RAD
    return BallTree(radians, leaf_size=LEAF_SIZE, metric="haversine"), rows


def ckdtree_lookup(built) -> Lookup:
    tree, rows = built
    query, cos, sin = tree.query, math.cos, math.sin

    def nearest(lat: float, lon: float):
        lat_r, lon_r = lat * DEG_TO_RAD, lon * DEG_TO_RAD
        cos_lat = cos(lat_r)
        _, index = query((cos_lat * cos(lon_r), cos_lat * sin(lon_r), sin(lat_r)))
        return rows[index]

    return nearest


def pykdtree_lookup(built) -> Lookup:
    import numpy as np

    tree, rows = built
    query, array, cos, sin = tree.query, np.array, math.cos, math.sin

    def nearest(lat: float, lon: float):
        lat_r, lon_r = lat * DEG_TO_RAD, lon * DEG_TO_RAD
        cos_lat = cos(lat_r)
        _, index = query(array([[cos_lat * cos(lon_r), cos_lat * sin(lon_r), sin(lat_r)]]))
        return rows[index[0]]

    return nearest


def balltree_lookup(built) -> Lookup:
    tree, rows = built
    query = tree.query

    def nearest(lat: float, lon: float):
        _, index = query([[lat * DEG_TO_RAD, lon * DEG_TO_RAD]])
        return rows[index[0][0]]

    return nearest


# reverse_geocoder reads its own column order: lat,lon,name,admin1,admin2,cc.
def prepare_reverse_geocoder(text: str) -> str:
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["lat", "lon", "name", "admin1", "admin2", "cc"])
    reader = csv.reader(io.StringIO(text))
    next(reader)
    for lat, lon, name, country, admin1, admin2 in reader:
        writer.writerow([lat, lon, name, admin1, admin2, country])
    return out.getvalue()


def build_reverse_geocoder(prepared: str):
    """Single-process mode over our table. The module hands out one cached
    instance per process, so the class behind its factory is called directly
    to build a fresh one every time."""
    import reverse_geocoder

    geocoder_class = _class_behind_singleton(reverse_geocoder.RGeocoder)
    return geocoder_class(mode=1, verbose=False, stream=io.StringIO(prepared))


def _class_behind_singleton(factory):
    if isinstance(factory, type):
        return factory
    for cell in factory.__closure__ or ():
        if isinstance(cell.cell_contents, type):
            return cell.cell_contents
    raise RuntimeError("cannot find the geocoder class behind reverse_geocoder.RGeocoder")


def reverse_geocoder_lookup(geocoder) -> Lookup:
    query = geocoder.query
    return lambda lat, lon: query([(lat, lon)])[0]


# reverse-geocode reads a gzipped JSON list of places; its loader takes a
# file name, so our table is written in that form ahead of timing.
def prepare_reverse_geocode(text: str, work_dir: Path) -> Path:
    places = []
    reader = csv.reader(io.StringIO(text))
    next(reader)
    for lat, lon, name, country, admin1, admin2 in reader:
        place = {"country_code": country, "city": name, "latitude": float(lat),
                 "longitude": float(lon), "population": 0, "state": admin1}
        if admin2:
            place["county"] = admin2
        places.append(place)
    path = work_dir / "reverse-geocode-table.json.gz"
    path.write_bytes(gzip.compress(json.dumps(places).encode("utf-8"), compresslevel=1))
    return path


def build_reverse_geocode(prepared: Path):
    import reverse_geocode

    countries = Path(reverse_geocode.__file__).with_name("countries.csv")
    data_class = reverse_geocode.GeocodeData
    instances = getattr(type(data_class), "_instances", None)
    if isinstance(instances, dict):  # a caching metaclass would return the old one
        instances.clear()
    return data_class(min_population=0, geocode_filename=os.fspath(prepared),
                      country_filename=os.fspath(countries))


def reverse_geocode_lookup(data) -> Lookup:
    query = data.query
    return lambda lat, lon: query([(lat, lon)])[0]
