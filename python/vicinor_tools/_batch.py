"""`vicinor batch`: geocoding a CSV of coordinates.

The compiled block geocoder reads, checks, geocodes and writes every row;
this module only finds the columns, reads the file in blocks of whole rows,
hands the blocks to threads, writes their output in order and shows
progress. Memory stays bounded whatever the file's length: a few blocks are
held at a time, and a row may be at most ROW_LIMIT bytes long."""

from __future__ import annotations

import collections
import contextlib
import dataclasses
import errno
import os
import stat
import sys
from collections.abc import Generator, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from typing import IO, Any

import vicinor

Geocoder = vicinor.ReverseGeocoder

# Blocks of 16,384 rows search as quickly as larger ones, and their output
# (a few MB even as JSON lines) times the blocks in flight keeps memory low.
DEFAULT_CHUNK_ROWS = 1 << 14
MAX_CHUNK_ROWS = 1 << 20
# A block's size after its first row, and how much is read at once.
BLOCK_BYTES = 1 << 20
# The longest row accepted, so that one endless line (or an unclosed
# quote) cannot take all memory.
ROW_LIMIT = 16 << 20
# The most neighbours -k writes per row: every one is an output row.
MAX_NEIGHBOURS = 10_000
LAT_NAMES = ("lat", "latitude", "y")
LON_NAMES = ("lon", "lng", "long", "longitude", "x")
BYTE_ORDER_MARK = b"\xef\xbb\xbf"


class BatchError(Exception):
    """Bad input or options, reported as one line naming the file (and the
    line, where there is one)."""


@dataclasses.dataclass
class BatchOptions:
    lat_column: str | None = None
    lon_column: str | None = None
    header: bool = True
    sep: str = ","
    max_km: float | None = None
    output_format: str = "csv"
    skip_bad: bool = False
    threads: int | None = None
    chunk_rows: int = DEFAULT_CHUNK_ROWS
    # 0: the nearest place; N: the N nearest, N output rows per input row.
    neighbours: int = 0
    # Adds point_country, the country each point lies in; with
    # within_country (the bundled table), the place is the nearest within
    # that country, and a within_country column says whether it is.
    by_border: bool = False
    within_country: bool = False


@dataclasses.dataclass
class Summary:
    rows: int = 0
    skipped: int = 0
    first_skipped: str | None = None


# Columns ------------------------------------------------------------------

def listed(header: list[str]) -> str:
    return ", ".join(repr(name) for name in header)


def named_column(header: list[str], wanted: str | None, names: tuple[str, ...], what: str,
                 option: str, source: str) -> int:
    """A coordinate column of a file with a header: the one the option
    names (exactly, else case-insensitively, else by 0-based number), or
    the one header name among `names`."""
    if wanted is None:
        found = [at for at, name in enumerate(header) if name.strip().lower() in names]
        if len(found) == 1:
            return found[0]
        problem = (f"several {what} columns ({listed([header[at] for at in found])})" if found
                   else f"no {what} column")
        raise BatchError(f"{source}: {problem} among the header's columns "
                         f"{listed(header)}; name one with {option}")
    for matches in ([at for at, name in enumerate(header) if name == wanted],
                    [at for at, name in enumerate(header) if name.lower() == wanted.lower()]):
        if len(matches) == 1:
            return matches[0]
        if matches:
            raise BatchError(f"{source}: several columns are named {wanted!r} "
                             f"(columns {listed(header)}); give {option} as a column number")
    if wanted.isdecimal() and wanted.isascii():
        return numbered_column(wanted, len(header), what, source)
    raise BatchError(f"{source}: no {what} column named {wanted!r} among the header's "
                     f"columns {listed(header)}; name one with {option}")


def numbered_column(wanted: str, width: int, what: str, source: str) -> int:
    if not (wanted.isdecimal() and wanted.isascii()):
        raise BatchError(f"{source}: without a header, the {what} column is a number from 0, "
                         f"got {wanted!r}")
    at = int(wanted)
    if at >= width:
        raise BatchError(f"{source}: the {what} column {at} is beyond the {width} columns")
    return at


def find_columns(fields: list[str], options: BatchOptions, source: str) -> tuple[int, int]:
    if options.header:
        lat = named_column(fields, options.lat_column, LAT_NAMES, "latitude", "--lat-column",
                           source)
        lon = named_column(fields, options.lon_column, LON_NAMES, "longitude", "--lon-column",
                           source)
    else:
        if options.lat_column is None or options.lon_column is None:
            raise BatchError(f"{source}: with --no-header, give --lat-column and --lon-column "
                             f"as column numbers (from 0)")
        lat = numbered_column(options.lat_column, len(fields), "latitude", source)
        lon = numbered_column(options.lon_column, len(fields), "longitude", source)
    if lat == lon:
        raise BatchError(f"{source}: the latitude and the longitude are the same column "
                         f"({fields[lat]!r}); give --lat-column and --lon-column")
    return lat, lon


# Reading ------------------------------------------------------------------

class BlockReader:
    """The file in blocks of whole rows (the compiled cutter finds where
    rows end, quoted line breaks included), with the line each begins on."""

    def __init__(self, stream: IO[bytes], sep: str, source: str) -> None:
        self.stream = stream
        self.sep = sep
        self.source = source
        self.buffer = bytearray()
        self.start = 0
        self.line = 1
        self.eof = False
        self.first_read = True

    def fill(self) -> None:
        data = self.stream.read(BLOCK_BYTES)
        if not data:
            self.eof = True
            return
        if self.first_read:
            self.first_read = False
            # Not part of the first column's name.
            if data.startswith(BYTE_ORDER_MARK):
                data = data[len(BYTE_ORDER_MARK):]
        del self.buffer[:self.start]
        self.start = 0
        self.buffer += data

    def next_block(self, max_rows: int, take: bool = True) -> tuple[bytes, int] | None:
        """Up to max_rows whole rows and the line they begin on; None at
        the end. take=False leaves them to be read again."""
        while True:
            if not self.eof and len(self.buffer) - self.start < BLOCK_BYTES:
                self.fill()
                continue
            with memoryview(self.buffer) as whole, whole[self.start:] as view:
                consumed, lines, rows, too_long = Geocoder._cut_csv_rows(
                    view, self.sep, self.eof, max_rows, BLOCK_BYTES, ROW_LIMIT)
                if too_long is not None:
                    raise BatchError(f"{self.source}, line {self.line + too_long}: a row longer "
                                     f"than {ROW_LIMIT >> 20} MiB, the limit (an unclosed "
                                     f"quote?)")
                block = bytes(view[:consumed]) if rows else b""
            first_line = self.line
            if rows and not take:
                return block, first_line
            # Blank lines before an unfinished row are used up as well.
            self.start += consumed
            self.line += lines
            if rows:
                return block, first_line
            if self.eof:
                return None
            self.fill()


# Writing ------------------------------------------------------------------

def default_threads() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def geocoded_blocks(geocoder: Geocoder, reader: BlockReader, block_options: tuple[Any, ...],
                    options: BatchOptions, header_line: int, progress: Progress,
                    summary: Summary) -> Generator[bytes, None, None]:
    """The output, block by block in input order. Blocks are geocoded on
    `threads` threads (without the GIL) while this one reads and writes;
    at most threads + 1 are held."""
    source = reader.source
    threads = options.threads or default_threads()

    def finish(geocoded: Future[Any] | tuple[Any, ...]) -> bytes:
        try:
            result = geocoded.result() if isinstance(geocoded, Future) else geocoded
            output, rows, skipped, bad = result
        except RuntimeError as error:  # refused by the geocoder itself
            from ._failures import one_line
            raise BatchError(f"{source}: {one_line(error)}") from None
        if bad is not None and not options.skip_bad:
            raise BatchError(f"{source}, line {bad[0]}: {bad[1]}")
        if bad is not None and summary.first_skipped is None:
            summary.first_skipped = f"line {bad[0]}: {bad[1]}"
        summary.rows += rows
        summary.skipped += skipped
        progress.update(rows)
        return output  # type: ignore[no-any-return]

    geocode_block = (Geocoder._geocode_csv_block if not options.by_border  # unbound
                     else border_block_geocoder(geocoder, options))
    # The header line alone, from a block without rows.
    yield finish(geocode_block(geocoder, b"", header_line, block_options,
                               options.header and options.output_format == "csv"))
    in_flight: collections.deque[Future[Any]] = collections.deque()
    with ThreadPoolExecutor(max_workers=threads) as pool:
        try:
            while (got := reader.next_block(block_rows(options))) is not None:
                block, first_line = got
                in_flight.append(pool.submit(geocode_block, geocoder, block, first_line,
                                             block_options, False))
                if len(in_flight) > threads:
                    yield finish(in_flight.popleft())
            while in_flight:
                yield finish(in_flight.popleft())
        finally:
            for future in in_flight:
                future.cancel()


def border_block_geocoder(geocoder: Geocoder, options: BatchOptions) -> Any:
    """_geocode_csv_block with the border columns: the block's coordinates
    are read first, their countries (and, within_country, their places)
    found here, and handed to the block geocoder to write."""
    import numpy as np

    from ._borders import country_of, world_by_border

    world = world_by_border(geocoder) if options.within_country else None

    def geocode(geocoder: Geocoder, block: bytes, first_line: int,
                block_options: tuple[Any, ...], with_header: bool) -> Any:
        lat_bytes, lon_bytes = geocoder._csv_block_coordinates(block, first_line, block_options)
        lats = np.frombuffer(lat_bytes, dtype=np.float64)
        lons = np.frombuffer(lon_bytes, dtype=np.float64)
        supplied: tuple[Any, Any, list[str]]
        if world is None:
            supplied = (None, None, country_of(lats, lons, threads=1).tolist())
        else:
            rows, km, countries, within = world.nearest_rows(lats, lons, threads=1,
                                                             k=options.neighbours or None)
            extras = [text for code, inside in zip(countries.tolist(), within.tolist())
                      for text in (code, "true" if inside else "false")]
            supplied = (rows, km, extras)
        return geocoder._geocode_csv_block(block, first_line, block_options, with_header,
                                           supplied)

    return geocode


def extra_columns(options: BatchOptions) -> list[tuple[str, bool]]:
    if not options.by_border:
        return []
    return [("point_country", False)] + ([("within_country", True)]
                                         if options.within_country else [])


def block_rows(options: BatchOptions) -> int:
    """Input rows per block: with N neighbours a block holds N answers and
    output rows per input row, so it takes fewer rows to stay as small."""
    return max(1, options.chunk_rows // max(1, options.neighbours))


def refuse_same_file(input_path: str, output_path: str) -> None:
    """Writing the input while it is read would destroy it (or, appended
    to, never end): refused through any path, link or redirection."""
    def identity(path: str, stream: Any) -> os.stat_result | None:
        try:
            if path != "-":
                return os.stat(path)
            return os.fstat(stream.fileno()) if stream is not None else None
        except (OSError, ValueError):
            return None  # no output file yet, or a stream without a file

    read = identity(input_path, sys.stdin)
    written = identity(output_path, sys.stdout)
    if read is None or written is None or not os.path.samestat(read, written):
        return
    # Pipes and terminals are no files to lose.
    if not stat.S_ISREG(read.st_mode):
        return
    where = "standard output" if output_path == "-" else output_path
    source = "standard input" if input_path == "-" else input_path
    raise BatchError(f"{where} is the input file {source}: choose another output")


@contextlib.contextmanager
def open_input(path: str) -> Iterator[IO[bytes]]:
    if path == "-":
        if sys.stdin is None:
            raise BatchError("standard input is closed")
        yield sys.stdin.buffer
        return
    try:
        file = open(path, "rb")
    except OSError as error:
        raise BatchError(f"cannot open {path}: {error.strerror}") from None
    with file:
        yield file


def write_stdout(chunks: Iterator[bytes]) -> None:
    if sys.stdout is None:
        raise BatchError("standard output is closed")
    out = sys.stdout.buffer
    try:
        for chunk in chunks:
            out.write(chunk)
        out.flush()
    except BrokenPipeError:
        raise
    except OSError as error:
        raise BatchError(f"cannot write standard output: {error.strerror}") from None


def write_file(path: str, chunks: Iterator[bytes]) -> None:
    try:
        Geocoder._write_file(path, chunks)
    except (RuntimeError, ValueError) as error:
        # A pipe named as the output (/dev/stdout, a FIFO) whose reader went
        # away ends the run as standard output's would.
        if str(error).endswith(f"(os error {errno.EPIPE})"):
            raise BrokenPipeError(errno.EPIPE, os.strerror(errno.EPIPE), path) from None
        from ._failures import one_line
        raise BatchError(f"cannot write {path}: {one_line(error)}") from None


class Progress:
    """A bar on standard error (rows, rows per second, time left) when it is
    a terminal; nothing otherwise, so logs and pipes stay clean."""

    def __init__(self, input_path: str, header: bool) -> None:
        self.bar: Any = None
        if sys.stderr is not None and sys.stderr.isatty():
            total = count_rows(input_path, header) if input_path != "-" else None
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


def count_rows(path: str, header: bool) -> int | None:
    """Data rows of a regular file, for the progress bar's time left: CR,
    LF and CR LF each end a row, as the reader ends them, and a last row
    may go unended. Quoted line breaks count as well: it is an estimate,
    made without parsing."""
    try:
        if not os.path.isfile(path):
            return None
        ends = 0
        last = b""
        with open(path, "rb") as file:
            for block in iter(lambda: file.read(BLOCK_BYTES), b""):
                ends += block.count(b"\n")
                if b"\r" in block:
                    ends += block.count(b"\r") - block.count(b"\r\n")
                if last == b"\r" and block.startswith(b"\n"):
                    ends -= 1  # a CR LF cut between two reads
                last = block[-1:]
        if last not in (b"", b"\r", b"\n"):
            ends += 1
        return max(ends - int(header), 0)
    except OSError:
        return None


def geocode_file(geocoder: Geocoder, input_path: str, output_path: str,
                 options: BatchOptions) -> Summary:
    """Geocodes every row of the CSV at input_path ("-": standard input)
    into output_path ("-": standard output). Nothing is written before the
    header and the options are found sound, and a file output appears
    whole or not at all."""
    source = "standard input" if input_path == "-" else input_path
    refuse_same_file(input_path, output_path)
    summary = Summary()
    with open_input(input_path) as stream:
        reader = BlockReader(stream, options.sep, source)
        try:
            first = reader.next_block(1, take=options.header)
            if first is None:
                raise BatchError(f"{source}: no header line" if options.header
                                 else f"{source}: no rows")
            try:
                fields = Geocoder._read_csv_record(first[0], options.sep)
            except ValueError as error:
                raise BatchError(f"{source}, line {first[1]}: {error}") from None
        except OSError as error:
            raise BatchError(f"cannot read {source}: {error.strerror}") from None
        lat, lon = find_columns(fields, options, source)
        header = fields if options.header else [f"column_{at}" for at in range(len(fields))]
        block_options = (options.sep, header, lat, lon, options.max_km,
                         options.output_format == "jsonl", options.skip_bad, options.neighbours,
                         extra_columns(options))
        progress = Progress(input_path, options.header)
        try:
            chunks = geocoded_blocks(geocoder, reader, block_options, options,
                                     reader.line, progress, summary)
            try:
                if output_path == "-":
                    write_stdout(chunks)
                else:
                    write_file(output_path, chunks)
            finally:
                chunks.close()
        except OSError as error:
            if isinstance(error, BrokenPipeError):
                raise
            raise BatchError(f"cannot read {source}: {error.strerror}") from None
        finally:
            progress.close()
    return summary
