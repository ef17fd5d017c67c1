"""Batch geocoding of a CSV of coordinates, streamed in chunks so that
memory stays flat whatever the input's length.

One physical line is one row (as in vicinor's own tables, a quoted field
cannot span lines), so every row is written back exactly as it came."""

from __future__ import annotations

import array
import collections
import contextlib
import csv
import io
import json
import math
import operator
import os
import sys
from collections.abc import Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from typing import IO, Any

import numpy as np

import vicinor

DEFAULT_CHUNK_ROWS = 1 << 16
# Blocks are read by size; this turns a row count into one.
TYPICAL_LINE_CHARS = 32
SEP = ","


class BatchError(Exception):
    """Bad input, reported as one line (with its line number where it has one)."""


def quote(field: str) -> str:
    if SEP in field or '"' in field or "\n" in field or "\r" in field:
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


def read_blocks(stream: IO[str], block_chars: int) -> Iterator[str]:
    """The rest of the stream in blocks of whole lines, each block ending
    in a line feed (one is added after a last line that lacks it)."""
    pending: list[str] = []
    while data := stream.read(block_chars):
        cut = data.rfind("\n") + 1
        if cut == 0:  # a line longer than a block: keep collecting it
            pending.append(data)
            continue
        pending.append(data[:cut])
        yield "".join(pending)
        pending = [data[cut:]] if cut < len(data) else []
    if pending:
        yield "".join(pending) + "\n"


class PlaceColumns:
    """The nearest place's appended fields for each geocoder row, made once
    per row on first use; row -1 (beyond max_km) has them empty."""

    def __init__(self, geocoder: vicinor.ReverseGeocoder, names: list[str]) -> None:
        self.geocoder = geocoder
        self.names = names
        self.beyond = geocoder.row_count()
        # Indexed by row; the extra last entry stands for "no row". Each
        # text has a separator on both sides, ready to go between a line
        # and its distance. Held in numpy so that a whole block's texts are
        # picked in one indexing.
        self.texts = np.empty(self.beyond + 1, dtype=object)
        self.texts[self.beyond] = SEP * (len(names) + 1)
        self.made = np.zeros(self.beyond + 1, dtype=bool)
        self.made[self.beyond] = True
        self.wanted = 0

    def csv_texts(self, rows: Any) -> list[str]:
        """The appended fields of each row as CSV text, rows (an int64
        array) given with -1 already replaced by self.beyond."""
        new = np.unique(rows[~self.made[rows]])
        # Once a fair share of the table is wanted, making every row's text
        # in whole-column steps is cheaper than going on row by row.
        self.wanted += len(new)
        if len(new) and self.wanted > self.beyond // 8:
            self.make_all()
        else:
            for row in new.tolist():
                fields = self.geocoder.row_dict(row)
                self.texts[row] = self.row_text([fields[name] for name in self.names])
            self.made[new] = True
        return self.texts[rows].tolist()  # type: ignore[no-any-return]

    def row_text(self, values: list[str]) -> str:
        text = SEP.join(values)
        # Quoting is rare: only rows whose fields hold a separator, a
        # quote or a line break get it, field by field.
        if '"' in text or "\n" in text or "\r" in text or text.count(SEP) != len(values) - 1:
            text = SEP.join(map(quote, values))
        return SEP + text + SEP if values else SEP

    def make_all(self) -> None:
        """Every row's text at once, column by column: when a block needs
        many of them, this is far cheaper than one row at a time."""
        columns = [self.geocoder.column(name) for name in self.names]
        if not columns:
            self.texts[:self.beyond] = SEP
        else:
            for at, column in enumerate(columns):
                # Only a column holding some special character is quoted,
                # and then field by field.
                joined = "".join(column)
                if SEP in joined or '"' in joined or "\n" in joined or "\r" in joined:
                    columns[at] = list(map(quote, column))
            # Empty first and last fields put a separator on both sides.
            blank = [""] * self.beyond
            self.texts[:self.beyond] = list(map(SEP.join, zip(blank, *columns, blank)))
        self.made[:] = True

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

    def __init__(self, input_path: str) -> None:
        self.bar: Any = None
        if sys.stderr.isatty():
            total = count_lines(input_path) if input_path != "-" else None
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
    into output_path ("-": standard output); returns the rows written.
    chunk_rows is roughly how many rows one lookup call takes."""
    source = "standard input" if input_path == "-" else input_path
    place_names = list(geocoder.columns())
    progress = Progress(input_path)
    written = 0
    try:
        with open_input(input_path) as stream, open_output(output_path) as out:
            try:
                header_line = stream.readline().rstrip("\r\n")
                if not header_line:
                    raise BatchError(f"{source}: no header line")
                header = split_line(header_line, 1, source)
                lat_at = column_index(header, lat_column, "latitude", source)
                lon_at = column_index(header, lon_column, "longitude", source)
                appended = output_names(header, place_names)
                if output_format == "csv":
                    out.write(header_line + SEP + SEP.join(quote(n) for n in appended) + "\n")
                writer = ChunkWriter(out, output_format, header, appended,
                                     PlaceColumns(geocoder, place_names))
                written = pipeline(geocoder, stream, writer, progress, len(header), lat_at,
                                   lon_at, source, max_km, threads, chunk_rows)
            except UnicodeDecodeError as error:
                raise BatchError(f"{source}: not UTF-8 text ({error.reason})") from None
    finally:
        progress.close()
    return written


def pipeline(geocoder: vicinor.ReverseGeocoder, stream: IO[str], writer: ChunkWriter,
             progress: Progress, width: int, lat_at: int, lon_at: int, source: str,
             max_km: float | None, threads: int | None, chunk_rows: int) -> int:
    """Reads, looks up and writes block after block. A block's lookups run
    in a worker thread (they release the GIL) while this thread writes the
    block before and reads the block after; at most two blocks are held."""
    written = 0
    in_flight: collections.deque[tuple[int, list[str], Future[Any]]] = collections.deque()

    def finish() -> int:
        first_line, lines, lookup = in_flight.popleft()
        try:
            nearest, km = lookup.result()
        except ValueError:
            # The quick path let a non-finite coordinate through; the exact
            # reading names its line (the error is the lookup's otherwise).
            parse_lines(lines, first_line, lat_at, lon_at, source)
            raise
        writer.write(lines, nearest, km)
        progress.update(len(lines))
        return len(lines)

    with ThreadPoolExecutor(max_workers=1) as lookups:
        try:
            line_number = 2
            for block in read_blocks(stream, chunk_rows * TYPICAL_LINE_CHARS):
                lines, lats, lons = parse_block(block, line_number, width, lat_at, lon_at,
                                                source)
                if lines:
                    in_flight.append((line_number, lines, lookups.submit(
                        geocoder.nearest_rows, lats, lons, max_km=max_km, threads=threads)))
                line_number += block.count("\n")
                if len(in_flight) == 2:
                    written += finish()
            while in_flight:
                written += finish()
        finally:
            for _, _, lookup in in_flight:
                lookup.cancel()
    return written


Coordinates = tuple[list[str], Any, Any]


def parse_block(block: str, first_line: int, width: int, lat_at: int, lon_at: int,
                source: str) -> Coordinates:
    """The block's rows (terminators removed) and their coordinates as
    float64 buffers, which the batch lookup reads in place.

    Blocks without blank lines or stray carriage returns are read in a few
    whole-block calls; anything else, or any failure, goes through the
    line-by-line reading, which also finds the line to blame."""
    if "\r" in block:
        block = block.replace("\r\n", "\n")
    lines = block.split("\n")
    lines.pop()  # after the block's final line feed
    # Non-finite values pass here but are refused by the lookup, whereupon
    # the block is read again line by line to name the line.
    if "\r" not in block and "\n\n" not in block and not block.startswith("\n"):
        try:
            coordinates = read_coordinates(block, lines, lat_at, lon_at)
        except (csv.Error, ValueError, IndexError):
            coordinates = None
        if coordinates is not None:
            return lines, coordinates[0], coordinates[1]
    return parse_lines(lines, first_line, lat_at, lon_at, source)


def read_coordinates(block: str, lines: list[str], lat_at: int,
                     lon_at: int) -> tuple[Any, Any] | None:
    """Both coordinate columns of a block without blank lines or carriage
    returns, or None where the rows do not come out one per line. Lines
    without quotes (split at every separator) go through numpy's text
    reader, those with quotes through the csv module's C reader, as strict
    as the line-by-line reading; each in one call."""
    quoted: Any = ()
    if '"' in block:
        data = np.frombuffer(block.encode(), dtype=np.uint8)
        quoted = np.unique(np.searchsorted(np.flatnonzero(data == ord("\n")),
                                           np.flatnonzero(data == ord('"'))))
    lats = np.empty(len(lines))
    lons = np.empty(len(lines))
    plain: Any = lines
    if len(quoted):
        every = np.empty(len(lines), dtype=object)
        every[:] = lines
        plain_at = np.ones(len(lines), dtype=bool)
        plain_at[quoted] = False
        plain = every[plain_at].tolist()
        rows = list(csv.reader(every[quoted].tolist(), strict=True))
        # An unclosed quote joins lines into one row.
        if len(rows) != len(quoted):
            return None
        lats[quoted] = np.fromiter(map(float, map(operator.itemgetter(lat_at), rows)),
                                   dtype=np.float64, count=len(rows))
        lons[quoted] = np.fromiter(map(float, map(operator.itemgetter(lon_at), rows)),
                                   dtype=np.float64, count=len(rows))
    if plain:
        both = np.loadtxt(plain, dtype=np.float64, delimiter=SEP, comments=None,
                          usecols=(lat_at, lon_at), ndmin=2, encoding=None)
        if len(both) != len(plain):
            return None
        if len(quoted):
            lats[plain_at] = both[:, 0]
            lons[plain_at] = both[:, 1]
        else:
            lats[:] = both[:, 0]
            lons[:] = both[:, 1]
    return lats, lons


def parse_lines(block_lines: list[str], first_line: int, lat_at: int, lon_at: int,
                source: str) -> Coordinates:
    lines: list[str] = []
    lats = array.array("d")
    lons = array.array("d")
    needed = max(lat_at, lon_at)
    for offset, line in enumerate(block_lines):
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


def distance_texts(km: Any) -> list[str]:
    """"%.3f\n" of every distance in a float64 array, digit by digit in
    whole-array steps rather than one formatting per row.

    Scaling by 1000 rounds, so a value whose scaled fraction lies within
    that error of a half could round the other way than the exact decimal
    rounding of "%.3f"; those (and negative, huge or non-finite values)
    are formatted by "%" itself."""
    count = len(km)
    scaled = km * 1000.0
    with np.errstate(invalid="ignore"):
        doubtful = ((np.abs(scaled - np.floor(scaled) - 0.5) < 1e-6) | ~(km < 1e9)
                    | np.signbit(km))
    millis = np.rint(np.where(doubtful, 0.0, scaled)).astype(np.int64)
    whole, fraction = np.divmod(millis, 1000)
    digits = len(str(int(whole.max()))) if count else 1
    width = digits + 5  # digits, point, three decimals, line feed
    # Right-aligned, leading zeros included.
    chars = np.empty((count, width), dtype=np.uint32)
    chars[:, -1] = ord("\n")
    for column in (-2, -3, -4):
        fraction, digit = np.divmod(fraction, 10)
        chars[:, column] = digit + ord("0")
    chars[:, -5] = ord(".")
    rest = whole
    for column in range(-6, -6 - digits, -1):
        rest, digit = np.divmod(rest, 10)
        chars[:, column] = digit + ord("0")
    # A row's text is the right end of its row of chars, as long as its
    # integer digits allow: rows of one length are cut out together.
    lengths = np.ones(count, dtype=np.int8)
    for place in range(1, digits):
        lengths += whole >= 10 ** place
    made = np.empty(count, dtype=object)
    for length in range(1, digits + 1):
        chosen = np.flatnonzero(lengths == length)
        if len(chosen):
            cut = np.ascontiguousarray(chars[chosen, width - length - 5:])
            made[chosen] = cut.view(f"U{length + 5}").ravel()
    texts: list[str] = made.tolist()
    for index in np.flatnonzero(doubtful).tolist():
        texts[index] = "%.3f\n" % km[index]
    return texts


class ChunkWriter:
    def __init__(self, out: IO[str], output_format: str, header: list[str],
                 appended: list[str], places: PlaceColumns) -> None:
        self.out = out
        self.jsonl = output_format == "jsonl"
        self.header = header
        self.appended = appended
        self.places = places

    def write(self, lines: list[str], rows: Any, km: Any) -> None:
        """Writes the rows back with their places; rows and km are the
        arrays of the batch lookup."""
        if self.jsonl:
            self.write_jsonl(lines, rows.tolist(), km.tolist())
            return
        rows[rows < 0] = self.places.beyond
        # One join of line, place, distance, line, ... for the whole block.
        parts: list[str] = [""] * (3 * len(lines))
        parts[0::3] = lines
        parts[1::3] = self.places.csv_texts(rows)
        parts[2::3] = distance_texts(km)
        self.out.write("".join(parts))

    def write_jsonl(self, lines: list[str], rows: list[int], km: list[float]) -> None:
        parts = []
        width = len(self.header)
        for line, row, dist in zip(lines, rows, km):
            values: list[str | None] = list(split_line(line, 0, ""))
            # A short row's missing fields are null; extra ones are dropped.
            values += [None] * (width - len(values))
            record: dict[str, str | float | None] = dict(zip(self.header, values))
            record.update(zip(self.appended, self.places.values(row)))
            record[self.appended[-1]] = round(dist, 3)
            parts.append(json.dumps(record, ensure_ascii=False))
        self.out.write("\n".join(parts) + "\n")
