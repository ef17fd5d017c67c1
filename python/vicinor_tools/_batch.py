"""Batch geocoding of a CSV of coordinates, streamed in chunks so that
memory stays flat whatever the input's length.

One physical line is one row (as in vicinor's own tables, a quoted field
cannot span lines), so every row is written back exactly as it came."""

from __future__ import annotations

import array
import contextlib
import csv
import io
import json
import math
import os
import sys
from collections.abc import Iterator
from typing import IO, Any

import vicinor

DEFAULT_CHUNK_ROWS = 1 << 16
SEP = ","


class BatchError(Exception):
    """Bad input, reported as one line (with its line number where it has one)."""


def quote(field: str) -> str:
    if any(special in field for special in ('"', SEP, "\n", "\r")):
        return '"' + field.replace('"', '""') + '"'
    return field


def column_index(header: list[str], wanted: str, what: str, source: str) -> int:
    """A column given by name, or by 0-based index when it is a number that
    names no column."""
    if wanted in header:
        return header.index(wanted)
    if wanted.isdigit():
        index = int(wanted)
        if index < len(header):
            return index
        raise BatchError(f"{source}: {what} column {index} is beyond the header's "
                         f"{len(header)} columns")
    raise BatchError(f"{source}: no {what} column named {wanted!r} "
                     f"(columns: {', '.join(header)})")


def split_line(line: str, line_number: int, source: str) -> list[str]:
    if '"' not in line:
        return line.split(SEP)
    try:
        return next(csv.reader([line], strict=True))
    except (csv.Error, StopIteration) as error:
        raise BatchError(f"{source}, line {line_number}: {error}") from None


def read_chunks(stream: IO[str], chunk_rows: int) -> Iterator[list[str]]:
    """Lists of at most chunk_rows lines, terminators removed, blank lines
    kept (they are skipped by the caller, which counts line numbers)."""
    chunk: list[str] = []
    for line in stream:
        chunk.append(line.rstrip("\r\n"))
        if len(chunk) == chunk_rows:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


class PlaceColumns:
    """The nearest place's appended fields for each geocoder row, made once
    per row on first use."""

    def __init__(self, geocoder: vicinor.ReverseGeocoder, names: list[str]) -> None:
        self.geocoder = geocoder
        self.names = names
        self.csv_cache: dict[int, str] = {}
        self.empty_csv = SEP * len(names)

    def csv_text(self, row: int) -> str:
        """The fields, each followed by the separator (so that a table with
        no columns left appends nothing but the distance)."""
        if row < 0:
            return self.empty_csv
        text = self.csv_cache.get(row)
        if text is None:
            fields = self.geocoder.row_dict(row)
            text = "".join(quote(fields[name]) + SEP for name in self.names)
            self.csv_cache[row] = text
        return text

    def values(self, row: int) -> list[str | None]:
        if row < 0:
            return [None] * len(self.names)
        fields = self.geocoder.row_dict(row)
        return [fields[name] for name in self.names]


def output_names(input_header: list[str], place_columns: list[str]) -> list[str]:
    """Appended column names; one the input already has gets "place_"
    before it, so that every name in the output is distinct."""
    taken = set(input_header)
    names = []
    for name in place_columns + ["distance_km"]:
        while name in taken:
            name = "place_" + name
        taken.add(name)
        names.append(name)
    return names


def count_lines(path: str) -> int | None:
    """Data lines of a regular file (for the progress bar's time left)."""
    try:
        if not os.path.isfile(path):
            return None
        with open(path, "rb") as file:
            count = sum(block.count(b"\n") for block in iter(lambda: file.read(1 << 20), b""))
            file.seek(-1, os.SEEK_END)
            if file.read(1) != b"\n":
                count += 1
        return max(count - 1, 0)
    except OSError:
        return None


@contextlib.contextmanager
def open_input(path: str) -> Iterator[IO[str]]:
    if path == "-":
        # utf-8-sig: a byte-order mark is not part of the first column's name.
        yield io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8-sig", newline="")
    else:
        with open(path, encoding="utf-8-sig", newline="") as file:
            yield file


@contextlib.contextmanager
def open_output(path: str) -> Iterator[IO[str]]:
    if path == "-":
        stream = io.TextIOWrapper(sys.stdout.buffer, encoding="utf-8", newline="",
                                  write_through=False)
        try:
            yield stream
        finally:
            stream.flush()
            stream.detach()
    else:
        with open(path, "w", encoding="utf-8", newline="") as file:
            yield file


class Progress:
    """A bar on standard error (rows, rows per second, time left) when it is
    a terminal; nothing otherwise, so logs and pipes stay clean."""

    def __init__(self, total: int | None) -> None:
        self.bar: Any = None
        if sys.stderr.isatty():
            from tqdm import tqdm
            try:
                sized = os.get_terminal_size(sys.stderr.fileno()).columns > 0
            except OSError:
                sized = False
            # A terminal that reports no size (a bare pseudo-terminal) would
            # get a bar of width zero, hidden below a screen of height zero.
            self.bar = tqdm(total=total, unit=" rows", unit_scale=True, file=sys.stderr,
                            dynamic_ncols=sized, ncols=None if sized else 80,
                            nrows=None if sized else 24)

    def update(self, rows: int) -> None:
        if self.bar is not None:
            self.bar.update(rows)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def geocode_file(geocoder: vicinor.ReverseGeocoder, input_path: str, output_path: str, *,
                 lat_column: str = "0", lon_column: str = "1", max_km: float | None = None,
                 output_format: str = "csv", threads: int | None = None,
                 chunk_rows: int = DEFAULT_CHUNK_ROWS) -> int:
    """Geocodes every row of the CSV at input_path ("-": standard input)
    into output_path ("-": standard output); returns the rows written."""
    source = "standard input" if input_path == "-" else input_path
    place_names = list(geocoder.columns())
    places = PlaceColumns(geocoder, place_names)
    progress = Progress(count_lines(input_path) if input_path != "-" else None)
    written = 0
    try:
        with open_input(input_path) as stream, open_output(output_path) as out:
            try:
                chunks = read_chunks(stream, chunk_rows)
                first = next(chunks, None)
                if not first or not first[0]:
                    raise BatchError(f"{source}: no header line")
                header = split_line(first[0], 1, source)
                lat_at = column_index(header, lat_column, "latitude", source)
                lon_at = column_index(header, lon_column, "longitude", source)
                appended = output_names(header, place_names)
                if output_format == "csv":
                    out.write(first[0] + SEP + SEP.join(quote(n) for n in appended) + "\n")
                writer = ChunkWriter(out, output_format, header, appended, places)
                line_number = 2
                pending = [first[1:]]
                for chunk in pending_then(pending, chunks):
                    rows = parse_chunk(chunk, line_number, lat_at, lon_at, source)
                    line_number += len(chunk)
                    if rows[0]:
                        nearest, km = geocoder.nearest_rows(rows[1], rows[2], max_km=max_km,
                                                            threads=threads)
                        writer.write(rows[0], nearest.tolist(), km.tolist())
                        written += len(rows[0])
                        progress.update(len(rows[0]))
            except UnicodeDecodeError as error:
                raise BatchError(f"{source}: not UTF-8 text ({error.reason})") from None
    finally:
        progress.close()
    return written


def pending_then(first: list[list[str]], rest: Iterator[list[str]]) -> Iterator[list[str]]:
    yield from first
    yield from rest


def parse_chunk(chunk: list[str], first_line: int, lat_at: int, lon_at: int,
                source: str) -> tuple[list[str], array.array[float], array.array[float]]:
    """The chunk's non-blank lines and their coordinates as float64 buffers,
    which the batch lookup reads in place."""
    lines: list[str] = []
    lats = array.array("d")
    lons = array.array("d")
    needed = max(lat_at, lon_at)
    for offset, line in enumerate(chunk):
        if not line:
            continue
        fields = split_line(line, first_line + offset, source)
        if len(fields) <= needed:
            raise BatchError(f"{source}, line {first_line + offset}: {len(fields)} fields, "
                             f"no column {needed}")
        try:
            lat = float(fields[lat_at])
            lon = float(fields[lon_at])
        except ValueError:
            bad = fields[lat_at] if not is_number(fields[lat_at]) else fields[lon_at]
            raise BatchError(f"{source}, line {first_line + offset}: coordinate {bad!r} "
                             f"is not a number") from None
        if not (math.isfinite(lat) and math.isfinite(lon)):
            raise BatchError(f"{source}, line {first_line + offset}: coordinates must be "
                             f"finite numbers (got {fields[lat_at]!r}, {fields[lon_at]!r})")
        lines.append(line)
        lats.append(lat)
        lons.append(lon)
    return lines, lats, lons


def is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


class ChunkWriter:
    def __init__(self, out: IO[str], output_format: str, header: list[str],
                 appended: list[str], places: PlaceColumns) -> None:
        self.out = out
        self.jsonl = output_format == "jsonl"
        self.header = header
        self.appended = appended
        self.places = places

    def write(self, lines: list[str], rows: list[int], km: list[float]) -> None:
        if self.jsonl:
            self.write_jsonl(lines, rows, km)
            return
        place = self.places.csv_text
        self.out.write("".join([f"{line}{SEP}{place(row)}{dist:.3f}\n"
                                for line, row, dist in zip(lines, rows, km)]))

    def write_jsonl(self, lines: list[str], rows: list[int], km: list[float]) -> None:
        parts = []
        width = len(self.header)
        for line, row, dist in zip(lines, rows, km):
            fields = split_line(line, 0, "")
            # A short row's missing fields are null; extra ones are dropped.
            values: list[str | None] = list(fields)
            values += [None] * (width - len(values))
            record: dict[str, str | float | None] = dict(zip(self.header, values))
            record.update(zip(self.appended, self.places.values(row)))
            record[self.appended[-1]] = round(dist, 3)
            parts.append(json.dumps(record, ensure_ascii=False))
        self.out.write("\n".join(parts) + "\n")
