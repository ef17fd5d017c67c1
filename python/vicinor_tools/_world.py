"""The bundled world cities table (place data (c) GeoNames, CC BY 4.0)."""

from __future__ import annotations

import functools
import os
from typing import TYPE_CHECKING, Literal, overload

import vicinor

if TYPE_CHECKING:
    from ._borders import WorldByBorder

# Saved when the wheel is built: loading it is several times quicker than
# parsing the compressed table, which keeps a one-off lookup short.
# (os.path, not pathlib: a one-off lookup should not pay for importing it.)
WORLD_INDEX = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "world.vgc")

WORLD_COLUMNS = ("lat", "lon", "name", "country", "admin1", "admin2")


@functools.cache
def _world() -> vicinor.ReverseGeocoder:
    return vicinor.ReverseGeocoder.load(WORLD_INDEX)


@overload
def world(*, by_border: Literal[False] = False) -> vicinor.ReverseGeocoder: ...
@overload
def world(*, by_border: Literal[True]) -> WorldByBorder: ...


def world(*, by_border: bool = False) -> vicinor.ReverseGeocoder | WorldByBorder:
    """The geocoder of the bundled world cities table, loaded on the first
    call and shared by every later one (geocoders never change).

    With by_border=True, the same table answering the nearest place within
    the country a point lies in (`WorldByBorder.nearest`), from the bundled
    country borders."""
    if not by_border:
        return _world()
    from ._borders import world_by_border  # numpy and the borders only when asked for
    return world_by_border(_world())
