"""Geocoders from table files, plain or gzip-compressed."""

from __future__ import annotations

import gzip
import os
import zlib

import vicinor

GZIP_MAGIC = b"\x1f\x8b"

PathArg = str | os.PathLike[str]


def read_table_text(path: PathArg) -> str:
    """The text of a CSV table file, decompressed when it is gzip data
    (whatever the file is called). Line endings are kept as they are, since
    a geocoder's string answers give rows exactly as they stand.

    Raises OSError when the file cannot be read and ValueError when it is
    damaged gzip data or not UTF-8 text."""
    name = os.fspath(path)
    with open(name, "rb") as file:
        data = file.read()
    if data.startswith(GZIP_MAGIC):
        try:
            data = gzip.decompress(data)
        except (EOFError, zlib.error, gzip.BadGzipFile) as error:
            raise ValueError(f"{name}: damaged gzip data ({error})") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ValueError(f"{name}: not UTF-8 text (at byte {error.start})") from None


def from_csv(path: PathArg, value_sep: str = ",",
             drop_coordinates: bool = False) -> vicinor.ReverseGeocoder:
    """A geocoder over the CSV table in the file at `path` (plain or gzip).

    Errors are those of read_table_text, and RuntimeError from vicinor for
    a table it rejects."""
    text = read_table_text(path)
    return vicinor.ReverseGeocoder(text, value_sep=value_sep,
                                   drop_coordinates=drop_coordinates)
