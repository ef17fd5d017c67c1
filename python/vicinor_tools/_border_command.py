"""`vicinor LAT LON --by-border`: the country the point lies in beside the
nearest place, and for the bundled table the nearest place within it."""

from __future__ import annotations

import argparse
from collections.abc import Callable

import vicinor

from ._countries import country_name

Fields = dict[str, str | float]
PlaceFields = Callable[[vicinor.ReverseGeocoder, dict[str, str], float], Fields]
Search = Callable[[vicinor.ReverseGeocoder], list[tuple[int, float]]]


def add_by_border_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--by-border", action="store_true",
                        help="also show the country the point lies in (bundled country "
                             "borders); with the bundled table, answer the nearest place "
                             "within that country (with -k or --within-km, only places "
                             "within it)")


def border_fields(geocoder: vicinor.ReverseGeocoder, bundled: bool, lat: float, lon: float,
                  place_fields: PlaceFields) -> Fields:
    """The place's fields (by `place_fields`), then point_country (the ISO
    code of the country the point lies in, "" for none) with its name, and
    for the bundled table whether the place lies in that country."""
    from ._borders import country_at, world_by_border  # numpy only when asked for

    if bundled:
        answer = world_by_border(geocoder).nearest(lat, lon)
        fields = place_fields(geocoder, geocoder.row_dict(answer.row), answer.km)
        return fields | country_fields(answer.country, answer.within_country)
    found = geocoder.get_nearest_with_distance(lat, lon)
    assert found is not None  # no max_km: always a row (or an error)
    fields = place_fields(geocoder, geocoder.get_nearest_as_dict(lat, lon), found[1])
    return fields | country_fields(country_at(lat, lon), None)


def border_neighbours(geocoder: vicinor.ReverseGeocoder, bundled: bool, lat: float, lon: float,
                      search: Search) -> tuple[list[tuple[int, float]], Fields]:
    """The rows and distances `search` finds, with the fields of the country
    the point lies in. For the bundled table they are searched among the
    places within that country (among all, when it lies in none or one
    without places), as the single place is; a table need not say where
    its rows lie, so all of its rows are searched."""
    from ._borders import country_at, world_by_border

    code = country_at(lat, lon)
    if not bundled:
        return search(geocoder), country_fields(code, None)
    searched, table_rows = world_by_border(geocoder).country_places(code)
    found = search(searched)
    if table_rows is not None:
        found = [(int(table_rows[row]), km) for row, km in found]
    return found, country_fields(code, table_rows is not None)


def country_fields(code: str, within_country: bool | None) -> Fields:
    """point_country, its name where it has one, and within_country unless
    None (a table other than the bundled one)."""
    fields: Fields = {"point_country": code}
    name = country_name(code) if code else None
    if name is not None:
        fields["point_country_name"] = name
    if within_country is not None:
        fields["within_country"] = within_country
    return fields
