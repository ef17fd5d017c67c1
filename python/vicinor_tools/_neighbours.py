"""The lookup command's neighbour options: `-k N` (the N nearest places),
`--within-km KM` (every place that near) and `--where COLUMN=VALUE` (only
the places whose field equals the text; repeatable)."""

from __future__ import annotations

import argparse
import json
import math
from typing import TextIO

import vicinor

from ._filters import matching_rows


class NeighbourError(Exception):
    """A failure to report as one line."""


def add_neighbour_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("more than the nearest place")
    choice = group.add_mutually_exclusive_group()
    choice.add_argument("-k", type=int, metavar="N",
                        help="the N nearest places, nearest first, with distances")
    choice.add_argument("--within-km", type=float, metavar="KM",
                        help="every place within KM kilometres, nearest first")
    group.add_argument("--where", action="append", default=[], metavar="COLUMN=VALUE",
                       help="only places whose COLUMN is exactly VALUE (repeatable: all must hold)")


def add_where_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--where", action="append", default=[], metavar="COLUMN=VALUE",
                        help="only places whose COLUMN is exactly VALUE (repeatable: all must hold)")


def check_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if getattr(args, "k", None) is not None and args.k < 1:
        parser.error("-k must be at least 1")
    within = getattr(args, "within_km", None)
    if within is not None and not (math.isfinite(within) and within >= 0):
        parser.error("--within-km must be a distance of at least 0")
    for condition in args.where:
        if "=" not in condition:
            parser.error(f"--where takes COLUMN=VALUE, got {condition!r}")


def apply_where(geocoder: vicinor.ReverseGeocoder,
                conditions: list[str]) -> vicinor.ReverseGeocoder:
    """The geocoder over the rows every condition holds for (all rows without any)."""
    if not conditions:
        return geocoder
    equals = dict(condition.split("=", 1) for condition in conditions)
    try:
        rows = matching_rows(geocoder, equals)
    except KeyError as error:
        known = ", ".join(geocoder.columns())
        raise NeighbourError(f"--where: no column {error.args[0]!r} (columns: {known})") from None
    if len(rows) == 0:
        raise NeighbourError("--where: no place matches " + " and ".join(conditions))
    return geocoder.subset(rows)


def wants_neighbours(args: argparse.Namespace) -> bool:
    return args.k is not None or args.within_km is not None


def row_fields(geocoder: vicinor.ReverseGeocoder, rank: int, row: int,
               km: float) -> dict[str, str | float | int]:
    values = geocoder.row_dict(row)
    fields: dict[str, str | float | int] = {"rank": rank}
    for column in geocoder.columns():
        fields[column] = values[column]
    fields["distance_km"] = round(km, 3)
    return fields


def write_table(records: list[dict[str, str | float | int]], out: TextIO) -> None:
    if not records:
        return
    names = list(records[0])
    widths = [max(len(name), *(len(str(record[name])) for record in records)) for name in names]
    out.write("  ".join(f"{name:<{width}}" for name, width in zip(names, widths)).rstrip() + "\n")
    for record in records:
        out.write("  ".join(f"{str(record[name]):<{width}}"
                            for name, width in zip(names, widths)).rstrip() + "\n")


def run_neighbours(args: argparse.Namespace, geocoder: vicinor.ReverseGeocoder,
                   out: TextIO, bundled: bool = False) -> None:
    """Writes the k nearest places, or those within the distance; with
    --by-border, each with the country the point lies in, and for the
    bundled table only places within it."""
    def search(searched: vicinor.ReverseGeocoder) -> list[tuple[int, float]]:
        if args.k is not None:
            rows, km = searched.nearest_rows([args.lat], [args.lon], k=args.k, threads=1)
            return [(int(r), float(d)) for r, d in zip(rows[0], km[0]) if r >= 0]
        return list(searched.get_rows_within(args.lat, args.lon, args.within_km))

    border: dict[str, str | float] = {}
    if getattr(args, "by_border", False):
        from ._border_command import border_neighbours
        found, border = border_neighbours(geocoder, bundled, args.lat, args.lon, search)
    else:
        found = search(geocoder)
    records = [row_fields(geocoder, rank, row, km) | border
               for rank, (row, km) in enumerate(found, start=1)]
    if args.format == "json":
        out.write(json.dumps(records, ensure_ascii=False) + "\n")
    else:
        write_table(records, out)
