"""A slow pure-Python stand-in with vicinor's API, to exercise the harness
when the extension is not built. Its figures mean nothing and the table says
so whenever it is in use."""

from __future__ import annotations

import csv
import io
import math
import os

import msgpack
from scipy.spatial import cKDTree

DEG_TO_RAD = math.pi / 180.0


def _point(lat: float, lon: float) -> tuple[float, float, float]:
    lat_r, lon_r = lat * DEG_TO_RAD, lon * DEG_TO_RAD
    return (math.cos(lat_r) * math.cos(lon_r), math.cos(lat_r) * math.sin(lon_r), math.sin(lat_r))


class ReverseGeocoder:
    def __init__(self, csv_text: str, value_sep: str = ",", drop_coordinates: bool = False):
        if drop_coordinates:
            raise NotImplementedError("the stand-in keeps coordinates")
        lines = csv_text.split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        if not lines:
            raise RuntimeError("missing first line in CSV")
        self._text = csv_text
        self._value_sep = value_sep
        self._lines = lines[1:]
        self._columns = next(csv.reader([lines[0]], delimiter=value_sep))
        records = csv.reader(io.StringIO("\n".join(self._lines)), delimiter=value_sep)
        points = [_point(float(record[0]), float(record[1])) for record in records]
        self._tree = cKDTree(points or [(0.0, 0.0, 0.0)], leafsize=32)

    def get_nearest_as_string(self, lat: float, lon: float) -> str:
        _, index = self._tree.query(_point(lat, lon))
        return self._lines[index]

    def get_nearest_as_dict(self, lat: float, lon: float) -> dict[str, str]:
        fields = next(csv.reader([self.get_nearest_as_string(lat, lon)],
                                 delimiter=self._value_sep))
        return dict(zip(self._columns, fields))

    def save(self, path) -> None:
        with open(os.fspath(path), "wb") as file:
            file.write(msgpack.packb([self._text, self._value_sep]))

    @staticmethod
    def load(path) -> ReverseGeocoder:
        with open(os.fspath(path), "rb") as file:
            text, value_sep = msgpack.unpackb(file.read())
        return ReverseGeocoder(text, value_sep)
