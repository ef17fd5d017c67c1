"""`vicinor LAT LON --by-border`: the country the point lies in beside the
nearest place, and for the bundled table the nearest place within it."""

from __future__ import annotations

import argparse
from collections.abc import Callable

import vicinor

from ._countries import country_name

Fields = dict[str, str | float]
PlaceFields = Callable[[vicinor.ReverseGeocoder, dict[str, str], float], Fields]


def add_by_border_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--by-border", action="store_true",
                        help="also show the country the point lies in (bundled country "
                             "borders); with the bundled table, answer the nearest place "
                             "within that country")


def border_fields(geocoder: vicinor.ReverseGeocoder, bundled: bool, lat: float, lon: float,
                  place_fields: PlaceFields) -> Fields:
    """The place's fields (by `place_fields`), then point_country (the ISO
    code of the country the point lies in, "" for none) with its name, and
    for the bundled table whether the place lies in that country."""
    from ._borders import country_at, world_by_border  # numpy only when asked for

    if bundled:
        answer = world_by_border(geocoder).nearest(lat, lon)
        code = answer.country
        fields = place_fields(geocoder, geocoder.row_dict(answer.row), answer.km)
    else:
        code = country_at(lat, lon)
        found = geocoder.get_nearest_with_distance(lat, lon)
        assert found is not None  # no max_km: always a row (or an error)
        fields = place_fields(geocoder, geocoder.get_nearest_as_dict(lat, lon), found[1])
    fields["point_country"] = code
    name = country_name(code) if code else None
    if name is not None:
        fields["point_country_name"] = name
    if bundled:
        fields["within_country"] = answer.within_country
    return fields
