"""The `vicinor` command: one lookup, `build` and `batch`.

Every failure a user can cause ends as one line on standard error and a
non-zero exit status, never a traceback."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Sequence
from typing import NoReturn, TextIO

import vicinor

from ._border_command import add_by_border_option, border_fields
from ._countries import country_name
from ._tables import from_csv
from ._world import world

PROG = "vicinor"
EXIT_FAILURE = 1
EXIT_USAGE = 2


class CommandError(Exception):
    """A failure to report as one line, without a traceback."""


def one_line(error: BaseException) -> str:
    """The message of an error on one line: vicinor's "Caused by:" chain is
    folded into it, the causes separated by colons."""
    text = str(error) or type(error).__name__
    head, _, causes = text.partition("\n\nCaused by:")
    parts = [head.strip()]
    for line in causes.splitlines():
        line = line.strip()
        # Numbered causes read "0: message".
        index, sep, rest = line.partition(": ")
        parts.append(rest if sep and index.isdigit() else line)
    return ": ".join(" ".join(part.split()) for part in parts if part)


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


def open_geocoder(args: argparse.Namespace) -> tuple[vicinor.ReverseGeocoder, bool]:
    """The geocoder the options name, and whether it is the bundled one."""
    try:
        if args.table is not None:
            return from_csv(args.table, value_sep=args.sep,
                            drop_coordinates=args.drop_coordinates), False
        if args.index is not None:
            return vicinor.ReverseGeocoder.load(args.index), False
        return world(), True
    except OSError as error:
        raise CommandError(f"cannot read {error.filename}: {error.strerror}") from None
    except (RuntimeError, ValueError) as error:
        name = args.table or args.index or "the bundled world geocoder"
        raise CommandError(f"{name}: {one_line(error)}") from None


def number(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(text)
    return value


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
    parser.add_argument("lat", type=number, help="latitude in degrees, e.g. 48.8566")
    parser.add_argument("lon", type=number, help="longitude in degrees, e.g. 2.3522")
    parser.add_argument("--format", choices=("text", "json"), default="text",
                        help="text for people (default) or one JSON object")
    add_by_border_option(parser)
    add_source_options(parser)
    return parser


def nearest_fields(geocoder: vicinor.ReverseGeocoder, bundled: bool,
                   lat: float, lon: float) -> dict[str, str | float]:
    """The nearest row's fields in column order, with the country's name
    beside its code for the bundled table, and the distance in km."""
    row = geocoder.get_nearest_as_dict(lat, lon)
    found = geocoder.get_nearest_with_distance(lat, lon)
    assert found is not None  # no max_km: always a row (or an error)
    return place_fields(geocoder, bundled, row, found[1])


def place_fields(geocoder: vicinor.ReverseGeocoder, bundled: bool, row: dict[str, str],
                 km: float) -> dict[str, str | float]:
    fields: dict[str, str | float] = {}
    for column in geocoder.columns():
        fields[column] = row[column]
        if bundled and column == "country":
            name = country_name(row[column])
            if name is not None:
                fields["country_name"] = name
    fields["distance_km"] = round(km, 3)
    return fields


def write_text_answer(fields: dict[str, str | float], out: TextIO) -> None:
    width = max(len(name) for name in fields)
    for name, value in fields.items():
        out.write(f"{name:<{width}}  {value}\n")


def run_lookup(argv: Sequence[str]) -> int:
    args = lookup_parser().parse_args(argv)
    geocoder, bundled = open_geocoder(args)
    try:
        if args.by_border:
            fields = border_fields(geocoder, bundled, args.lat, args.lon, place_fields)
        else:
            fields = nearest_fields(geocoder, bundled, args.lat, args.lon)
    except RuntimeError as error:
        raise CommandError(one_line(error)) from None
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
    try:
        geocoder = from_csv(args.table, value_sep=args.sep,
                            drop_coordinates=args.drop_coordinates)
    except OSError as error:
        raise CommandError(f"cannot read {error.filename}: {error.strerror}") from None
    except (RuntimeError, ValueError) as error:
        raise CommandError(f"{args.table}: {one_line(error)}") from None
    try:
        geocoder.save(args.output)
    except RuntimeError as error:
        raise CommandError(f"cannot save {args.output}: {one_line(error)}") from None
    return 0


# Batch --------------------------------------------------------------------

def run_batch(argv: Sequence[str]) -> int:
    from . import _batch  # numpy and tqdm only when batch work is asked for

    parser = argparse.ArgumentParser(
        prog=f"{PROG} batch",
        description="Geocodes a CSV of coordinates: every input row is written back "
                    "with the nearest place's columns and distance_km appended. The "
                    "first line is the header; one line is one row.")
    parser.add_argument("input", metavar="FILE", help="CSV file of coordinates, or - for "
                                                      "standard input")
    parser.add_argument("-o", "--output", metavar="OUT", default="-",
                        help="where to write (default: standard output)")
    parser.add_argument("--lat-column", default="0", metavar="COLUMN",
                        help="latitude column, by name or 0-based index (default: 0)")
    parser.add_argument("--lon-column", default="1", metavar="COLUMN",
                        help="longitude column, by name or 0-based index (default: 1)")
    parser.add_argument("--max-km", type=number, metavar="KM",
                        help="leave the place columns empty where the nearest place is "
                             "farther (distance_km still says how far)")
    parser.add_argument("--format", choices=("csv", "jsonl"), default="csv",
                        help="CSV (default) or one JSON object per line")
    parser.add_argument("--threads", type=int, metavar="N",
                        help="threads for the lookups (default: every core for large chunks)")
    parser.add_argument("--chunk-rows", type=int, default=_batch.DEFAULT_CHUNK_ROWS,
                        metavar="N", help=argparse.SUPPRESS)
    add_source_options(parser)
    args = parser.parse_args(argv)
    if args.max_km is not None and args.max_km < 0:
        parser.error("--max-km must not be negative")
    if args.chunk_rows < 1 or (args.threads is not None and args.threads < 1):
        parser.error("--threads and --chunk-rows must be at least 1")
    geocoder, _ = open_geocoder(args)
    try:
        _batch.geocode_file(geocoder, args.input, args.output, lat_column=args.lat_column,
                            lon_column=args.lon_column, max_km=args.max_km,
                            output_format=args.format, threads=args.threads,
                            chunk_rows=args.chunk_rows)
    except _batch.BatchError as error:
        raise CommandError(str(error)) from None
    except (RuntimeError, ValueError) as error:  # refused by the lookups themselves
        raise CommandError(one_line(error)) from None
    except OSError as error:
        if error.filename is None:
            raise
        raise CommandError(f"cannot open {error.filename}: {error.strerror}") from None
    return 0


COMMANDS = {"build": run_build, "batch": run_batch}


def fail(message: str, status: int = EXIT_FAILURE) -> NoReturn:
    sys.stderr.write(f"{PROG}: {message}\n")
    sys.exit(status)


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    command = COMMANDS.get(arguments[0]) if arguments else None
    try:
        if command is not None:
            return command(arguments[1:])
        return run_lookup(arguments)
    except CommandError as error:
        fail(str(error))
    except KeyboardInterrupt:
        fail("interrupted", 130)
    except BrokenPipeError:
        # The reader went away (`vicinor batch big.csv | head`): not an
        # error. Standard output is pointed at nothing so that the
        # interpreter's final flush does not complain again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILURE
    except OSError as error:
        fail(one_line(error))
