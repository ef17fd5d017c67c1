"""Rows chosen by their fields, and a geocoder over only those rows."""

from __future__ import annotations

from collections.abc import Mapping

import numpy as np
import numpy.typing as npt

import vicinor


def matching_rows(geocoder: vicinor.ReverseGeocoder, equals: Mapping[str, str]) -> npt.NDArray[np.int64]:
    """The row numbers, ascending, whose field of every named column equals its
    text exactly (no trimming, no case folding). KeyError for an unknown column."""
    mask = np.ones(geocoder.row_count(), dtype=bool)
    for column, text in equals.items():
        mask &= np.asarray(geocoder.column(column), dtype=object) == text
    return np.flatnonzero(mask).astype(np.int64)


def where(geocoder: vicinor.ReverseGeocoder, equals: Mapping[str, str] | None = None,
          **columns: str) -> vicinor.ReverseGeocoder:
    """A geocoder over the rows whose fields equal the given texts, e.g.
    ``where(world(), country="FR")`` or ``where(g, {"feature class": "P"})``.
    Its row i is row ``matching_rows(geocoder, ...)[i]`` of `geocoder`."""
    wanted = {**(equals or {}), **columns}
    return geocoder.subset(matching_rows(geocoder, wanted))
