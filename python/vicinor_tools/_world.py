"""The bundled world table (place data (c) GeoNames, CC BY 4.0)."""

from __future__ import annotations

import array
import functools
import os
import sys
import threading
from typing import TYPE_CHECKING, Literal, overload

import vicinor

if TYPE_CHECKING:
    from ._borders import WorldByBorder

# Saved when the wheel is built: loading it is several times quicker than
# parsing the compressed table, which keeps a one-off lookup short.
# (os.path, not pathlib: a one-off lookup should not pay for importing it.)
WORLD_INDEX = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "world.vgc")
# Its rows' populations, saved with it: reading them is far quicker than
# the population column's text.
WORLD_POPULATIONS = os.path.join(os.path.dirname(WORLD_INDEX), "world.population")

WORLD_COLUMNS = ("lat", "lon", "name", "country", "country_name", "admin1", "admin2",
                 "admin1_code", "admin2_code", "population", "timezone", "geonames_id")

_by_threshold: dict[int, vicinor.ReverseGeocoder] = {}
_by_threshold_lock = threading.Lock()


@overload
def world(min_population: int | None = None, *,
          by_border: Literal[False] = False) -> vicinor.ReverseGeocoder: ...
@overload
def world(min_population: int | None = None, *, by_border: Literal[True]) -> WorldByBorder: ...


def world(min_population: int | None = None, *,
          by_border: bool = False) -> vicinor.ReverseGeocoder | WorldByBorder:
    """The geocoder of the bundled world table, loaded on the first call and
    shared by every later one (geocoders never change).

    With `min_population`, a geocoder over only the places of at least that
    many people, so that a point in a city answers the city rather than its
    district; places of unknown population count as 0. Each threshold is
    made once per process.

    With by_border=True, the same places answering the nearest place within
    the country a point lies in (`WorldByBorder.nearest`), from the bundled
    country borders."""
    places = _places(min_population)
    if not by_border:
        return places
    from ._borders import world_by_border  # numpy and the borders only when asked for
    return world_by_border(places)


def _places(min_population: int | None) -> vicinor.ReverseGeocoder:
    if min_population is None:
        return _bundled()
    if isinstance(min_population, bool) or not isinstance(min_population, int):
        raise TypeError(f"min_population must be an int or None, not "
                        f"{type(min_population).__name__}")
    if min_population <= 0:
        return _bundled()
    with _by_threshold_lock:
        geocoder = _by_threshold.get(min_population)
        if geocoder is None:
            geocoder = _at_least(_bundled(), min_population)
            _by_threshold[min_population] = geocoder
        return geocoder


@functools.cache
def _bundled() -> vicinor.ReverseGeocoder:
    return vicinor.ReverseGeocoder.load(WORLD_INDEX)


def _populations(bundled: vicinor.ReverseGeocoder) -> array.array[int] | list[int]:
    populations = array.array("I")
    try:
        with open(WORLD_POPULATIONS, "rb") as file:
            populations.frombytes(file.read())
    except (OSError, ValueError):
        pass
    if len(populations) != bundled.row_count():  # missing or not this index's
        return [int(people or 0) for people in bundled.column("population")]
    if sys.byteorder == "big":
        populations.byteswap()
    return populations


def _at_least(bundled: vicinor.ReverseGeocoder, min_population: int) -> vicinor.ReverseGeocoder:
    rows = [row for row, people in enumerate(_populations(bundled)) if people >= min_population]
    if not rows:
        raise ValueError(f"no place of the bundled table has a population of at least "
                         f"{min_population}")
    subset = getattr(bundled, "subset", None)
    if subset is not None:
        # An int64 buffer, so that no numpy needs importing for it.
        return subset(array.array("q", rows))  # type: ignore[no-any-return]
    # Without subsets, the kept rows' own text makes the same table.
    lines = [",".join(bundled.columns()), *map(bundled.row_text, rows), ""]
    return vicinor.ReverseGeocoder("\n".join(lines))
