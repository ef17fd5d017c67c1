"""The bundled world cities table (place data (c) GeoNames, CC BY 4.0)."""

from __future__ import annotations

import functools
import os

import vicinor

# Saved when the wheel is built: loading it is several times quicker than
# parsing the compressed table, which keeps a one-off lookup short.
# (os.path, not pathlib: a one-off lookup should not pay for importing it.)
WORLD_INDEX = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "world.vgc")

WORLD_COLUMNS = ("lat", "lon", "name", "country", "admin1", "admin2")


@functools.cache
def world() -> vicinor.ReverseGeocoder:
    """The geocoder of the bundled world cities table, loaded on the first
    call and shared by every later one (geocoders never change)."""
    return vicinor.ReverseGeocoder.load(WORLD_INDEX)
