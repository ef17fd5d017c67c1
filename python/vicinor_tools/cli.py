"""The `vicinor` command: one lookup, `build` and `batch`.

Every failure a user can cause ends as one line on standard error and a
non-zero exit status, never a traceback."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Callable, Sequence
from typing import TextIO

import vicinor

from . import _neighbours
from ._failures import PROG, CommandError, about, one_line, run_command, writing
from ._border_command import add_by_border_option, border_fields
from ._tables import from_csv
from ._version import __version__
from ._world import world

def add_source_options(parser: argparse.ArgumentParser) -> None:
    source = parser.add_argument_group("places (default: the bundled world cities table)")
    exclusive = source.add_mutually_exclusive_group()
    exclusive.add_argument("--table", metavar="FILE",
                           help="a CSV table of places, plain or gzip (latitude and "
                                "longitude in its first two columns)")
    exclusive.add_argument("--index", metavar="FILE",
                           help="a geocoder saved by `vicinor build`")
    source.add_argument("--sep", default=",", metavar="CHAR",
                        help="value separator of --table (default: comma)")
    source.add_argument("--drop-coordinates", action="store_true",
                        help="leave the table's own coordinate columns out of the answers")
    source.add_argument("--min-population", type=population, metavar="N",
                        help="only the bundled places of at least N people: towns "
                             "rather than their districts (see the README for what "
                             "each N answers)")


def open_geocoder(args: argparse.Namespace) -> vicinor.ReverseGeocoder:
    """The geocoder the options name."""
    if args.min_population is not None and (args.table is not None or args.index is not None):
        raise CommandError("--min-population applies to the bundled table only")
    try:
        if args.table is not None:
            return from_csv(args.table, value_sep=args.sep,
                            drop_coordinates=args.drop_coordinates)
        if args.index is not None:
            return vicinor.ReverseGeocoder.load(args.index)
        return world(args.min_population)
    except OSError as error:
        raise CommandError(f"cannot read {error.filename}: {error.strerror}") from None
    except (RuntimeError, ValueError) as error:
        raise CommandError(about(args.table or args.index or "the bundled world geocoder",
                                 error)) from None


def number(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(text)
    return value


def population(text: str) -> int:
    value = int(text)
    if value < 0:
        raise ValueError(text)
    return value


def degrees(what: str, limit: float) -> Callable[[str], float]:
    """An argument type: a number of degrees within ±limit."""
    def convert(text: str) -> float:
        value = number(text)
        if not -limit <= value <= limit:
            raise argparse.ArgumentTypeError(
                f"{what} must be between -{limit:g} and {limit:g} degrees, got {text}")
        return value
    convert.__name__ = "number"  # argparse names the type by it in its own messages
    return convert


# Lookup -------------------------------------------------------------------

def lookup_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="The nearest place to a latitude and longitude (degrees), "
                    "by default among the world's cities and towns.",
        epilog="other commands: `vicinor build FILE.csv -o FILE.vgc` saves a geocoder; "
               "`vicinor batch FILE` geocodes a CSV of coordinates "
               "(see `vicinor build --help`, `vicinor batch --help`). "
               "Place data (c) GeoNames (geonames.org), CC BY 4.0.")
    parser.add_argument("lat", type=degrees("latitude", 90),
                        help="latitude in degrees, e.g. 48.8566")
    parser.add_argument("lon", type=degrees("longitude", 360),
                        help="longitude in degrees, e.g. 2.3522 (0 to 360 also)")
    parser.add_argument("--format", choices=("text", "json"), default="text",
                        help="text for people (default) or one JSON object")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    _neighbours.add_neighbour_options(parser)
    add_by_border_option(parser)
    add_source_options(parser)
    return parser


def nearest_fields(geocoder: vicinor.ReverseGeocoder,
                   lat: float, lon: float) -> dict[str, str | float]:
    """The nearest row's fields in column order (the bundled table's carry
    region and country names and population), and the distance in km."""
    row = geocoder.get_nearest_as_dict(lat, lon)
    found = geocoder.get_nearest_with_distance(lat, lon)
    assert found is not None  # no max_km: always a row (or an error)
    return place_fields(geocoder, row, found[1])


def place_fields(geocoder: vicinor.ReverseGeocoder, row: dict[str, str],
                 km: float) -> dict[str, str | float]:
    fields: dict[str, str | float] = {}
    for column in geocoder.columns():
        fields[column] = row[column]
    # A table's own distance_km column keeps its name, as in `batch`.
    distance = "distance_km"
    while distance in fields:
        distance = "place_" + distance
    fields[distance] = round(km, 3)
    return fields


def write_text_answer(fields: dict[str, str | float], out: TextIO) -> None:
    width = max(len(name) for name in fields)
    for name, value in fields.items():
        out.write(f"{name:<{width}}  {value}\n")


def run_lookup(argv: Sequence[str]) -> int:
    parser = lookup_parser()
    args = parser.parse_args(argv)
    _neighbours.check_options(parser, args)
    geocoder = open_geocoder(args)
    try:
        geocoder = _neighbours.apply_where(geocoder, args.where)
        bundled = args.table is None and args.index is None
        if _neighbours.wants_neighbours(args):
            _neighbours.run_neighbours(args, geocoder, sys.stdout, bundled)
            return 0
        if args.by_border:
            fields = border_fields(geocoder, bundled, args.lat, args.lon, place_fields)
        else:
            fields = nearest_fields(geocoder, args.lat, args.lon)
    except _neighbours.NeighbourError as error:
        raise CommandError(str(error)) from None
    except (RuntimeError, ValueError) as error:
        raise CommandError(one_line(error)) from None
    with writing("standard output"):
        if args.format == "json":
            sys.stdout.write(json.dumps(fields, ensure_ascii=False) + "\n")
        else:
            write_text_answer(fields, sys.stdout)
    return 0


# Build --------------------------------------------------------------------

def run_build(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(
        prog=f"{PROG} build",
        description="Builds a geocoder from a CSV table and saves it, for "
                    "quick loading with --index.")
    parser.add_argument("table", metavar="FILE.csv",
                        help="CSV table of places, plain or gzip")
    parser.add_argument("-o", "--output", required=True, metavar="FILE.vgc",
                        help="where to save the geocoder")
    parser.add_argument("--sep", default=",", metavar="CHAR",
                        help="value separator (default: comma)")
    parser.add_argument("--drop-coordinates", action="store_true",
                        help="leave the coordinate columns out of the answers")
    args = parser.parse_args(argv)
    refuse_output_over_input(args.table, args.output)
    try:
        geocoder = from_csv(args.table, value_sep=args.sep,
                            drop_coordinates=args.drop_coordinates)
    except OSError as error:
        raise CommandError(f"cannot read {error.filename}: {error.strerror}") from None
    except (RuntimeError, ValueError) as error:
        raise CommandError(f"{args.table}: {one_line(error)}") from None
    try:
        geocoder.save(args.output)  # whole or not at all: save writes beside, then renames
    except RuntimeError as error:
        raise CommandError(f"cannot save {args.output}: {one_line(error)}") from None
    return 0


def refuse_output_over_input(table: str, output: str) -> None:
    """The same file by any path (a link, another spelling) is refused: saving
    would replace the table with the geocoder."""
    try:
        same = os.path.samefile(table, output)
    except (OSError, ValueError):
        return  # no such output yet, or the table fails later with its own message
    if same:
        raise CommandError(f"{output}: is the input table; save the geocoder elsewhere")


# Batch --------------------------------------------------------------------

def run_batch(argv: Sequence[str]) -> int:
    from . import _batch

    parser = argparse.ArgumentParser(
        prog=f"{PROG} batch",
        description="Geocodes a CSV of coordinates: every input row is written back "
                    "with the nearest place's columns and distance_km appended. The "
                    "coordinate columns are found by their header names (lat, latitude, "
                    "y; lon, lng, long, longitude, x) unless named. CR, LF and CR LF all "
                    "end rows; quoted fields may hold line breaks; a row may be at most "
                    f"{_batch.ROW_LIMIT >> 20} MiB long.")
    parser.add_argument("input", metavar="FILE", help="CSV file of coordinates, or - for "
                                                      "standard input")
    parser.add_argument("-o", "--output", metavar="OUT", default="-",
                        help="where to write (default: standard output); a file is "
                             "replaced only when the run succeeds")
    parser.add_argument("--lat-column", metavar="COLUMN",
                        help="latitude column, by header name or 0-based number")
    parser.add_argument("--lon-column", metavar="COLUMN",
                        help="longitude column, by header name or 0-based number")
    parser.add_argument("--no-header", action="store_true",
                        help="the file has no header line (give both columns as numbers)")
    parser.add_argument("--input-sep", default=",", metavar="CHAR",
                        help="value separator of the input, also used in the output "
                             "(default: comma)")
    parser.add_argument("--on-error", choices=("fail", "skip"), default="fail",
                        help="a bad row (wrong field count, a coordinate that is not a "
                             "number or out of range) ends the run (fail, default), or is "
                             "written without a place and counted (skip)")
    parser.add_argument("--max-km", type=number, metavar="KM",
                        help="leave the place columns empty where the nearest place is "
                             "farther (distance_km still says how far)")
    parser.add_argument("--format", choices=("csv", "jsonl"), default="csv",
                        help="CSV (default) or one JSON object per line")
    parser.add_argument("--threads", type=int, metavar="N",
                        help="threads for the lookups (default: every core)")
    parser.add_argument("-k", type=int, metavar="N",
                        help="write the N nearest places, one output row each (nearest "
                             "first) with a rank column from 1 before the place columns; "
                             "with --max-km, ranks farther away have empty place columns "
                             "and their distance_km; a table of fewer than N places gives "
                             "fewer rows")
    parser.add_argument("--chunk-rows", type=int, default=_batch.DEFAULT_CHUNK_ROWS,
                        metavar="N", help=argparse.SUPPRESS)
    _neighbours.add_where_option(parser)
    parser.add_argument("--by-border", action="store_true",
                        help="append point_country, the ISO code of the country the point "
                             "lies in (bundled country borders; empty at sea); with the "
                             "bundled table the place is the nearest within that country "
                             "(else the nearest overall; with -k, the N nearest) and "
                             "within_country says which")
    add_source_options(parser)
    # None when not given, so that options that cannot apply are refused.
    parser.set_defaults(sep=None)
    args = parser.parse_args(argv)
    _neighbours.check_options(parser, args)
    if args.max_km is not None and args.max_km < 0:
        parser.error("--max-km must not be negative")
    if not 1 <= args.chunk_rows <= _batch.MAX_CHUNK_ROWS:
        parser.error(f"--chunk-rows must be from 1 to {_batch.MAX_CHUNK_ROWS}")
    if args.k is not None and not 1 <= args.k <= _batch.MAX_NEIGHBOURS:
        parser.error(f"-k must be from 1 to {_batch.MAX_NEIGHBOURS}")
    if args.threads is not None and not 1 <= args.threads <= 1024:
        parser.error("--threads must be from 1 to 1024")
    if len(args.input_sep) != 1 or not args.input_sep.isascii() or args.input_sep in "\r\n\"":
        parser.error("--input-sep must be one ASCII character other than a quote or line break")
    if args.table is None and (args.sep is not None or args.drop_coordinates):
        parser.error("--sep and --drop-coordinates apply to --table only")
    args.sep = "," if args.sep is None else args.sep
    options = _batch.BatchOptions(
        lat_column=args.lat_column, lon_column=args.lon_column, header=not args.no_header,
        sep=args.input_sep, max_km=args.max_km, output_format=args.format,
        skip_bad=args.on_error == "skip", threads=args.threads, chunk_rows=args.chunk_rows,
        neighbours=args.k or 0, by_border=args.by_border,
        within_country=args.by_border and args.table is None and args.index is None)
    geocoder = open_geocoder(args)
    try:
        geocoder = _neighbours.apply_where(geocoder, args.where)
        summary = _batch.geocode_file(geocoder, args.input, args.output, options)
    except (_batch.BatchError, _neighbours.NeighbourError) as error:
        raise CommandError(str(error)) from None
    if summary.skipped:
        sys.stderr.write(f"{PROG}: {summary.skipped} of {summary.rows} rows could not be "
                         f"geocoded and have no place (first: {summary.first_skipped})\n")
    return 0


COMMANDS = {"build": run_build, "batch": run_batch}


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    command = COMMANDS.get(arguments[0]) if arguments else None
    if command is not None:
        return run_command(lambda: command(arguments[1:]))
    return run_command(lambda: run_lookup(arguments))
