# Type information for the vicinor extension module.
from collections.abc import Buffer, Iterable, Sequence
from os import PathLike
from typing import SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = ["ReverseGeocoder"]

class ReverseGeocoder:
    def __new__(
        cls, csv: str, value_sep: str = ",", drop_coordinates: bool = False
    ) -> ReverseGeocoder: ...
    def get_nearest_as_string(self, lat: float, lon: float) -> str: ...
    def get_nearest_as_dict(self, lat: float, lon: float) -> dict[str, str]: ...
    def save(self, path: str | PathLike[str]) -> None: ...
    @staticmethod
    def load(path: str | PathLike[str]) -> ReverseGeocoder: ...
    def nearest_rows(
        self,
        lats: npt.ArrayLike | Sequence[SupportsFloat],
        lons: npt.ArrayLike | Sequence[SupportsFloat],
        *,
        max_km: float | None = None,
        threads: int | None = None,
        k: int = 1,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...
    def rows_within(
        self,
        lats: npt.ArrayLike | Sequence[SupportsFloat],
        lons: npt.ArrayLike | Sequence[SupportsFloat],
        km: float,
        *,
        threads: int | None = None,
        limit: int | None = None,
        start: int = 0,
        stop: int | None = None,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...
    def get_rows_within(
        self, lat: float, lon: float, km: float, *, limit: int | None = None
    ) -> list[tuple[int, float]]: ...
    def get_nearest_with_distance(
        self, lat: float, lon: float, max_km: float | None = None
    ) -> tuple[str, float] | None: ...
    def row_count(self) -> int: ...
    def columns(self) -> list[str]: ...
    def row_text(self, row: SupportsIndex) -> str: ...
    def row_dict(self, row: SupportsIndex) -> dict[str, str]: ...
    def column(self, name: str) -> list[str]: ...
    def subset(
        self, rows: npt.ArrayLike | Sequence[SupportsIndex] | Sequence[bool]
    ) -> ReverseGeocoder: ...
    def to_bytes(self) -> bytes: ...
    @staticmethod
    def from_bytes(data: Buffer) -> ReverseGeocoder: ...
    # For `vicinor batch` only.
    @staticmethod
    def _cut_csv_rows(data: Buffer, sep: str, final: bool, max_rows: int, max_bytes: int,
                      row_limit: int, /) -> tuple[int, int, int, int | None]: ...
    @staticmethod
    def _read_csv_record(data: Buffer, sep: str, /) -> list[str]: ...
    def _geocode_csv_block(
        self, data: Buffer, first_line: int,
        options: tuple[str, list[str], int, int, float | None, bool, bool, int,
                      list[tuple[str, bool]]],
        with_header: bool, supplied: tuple[Buffer | None, Buffer | None, list[str]] | None = None,
        /
    ) -> tuple[bytes, int, int, tuple[int, str] | None]: ...
    def _csv_block_coordinates(
        self, data: Buffer, first_line: int,
        options: tuple[str, list[str], int, int, float | None, bool, bool, int,
                      list[tuple[str, bool]]], /
    ) -> tuple[bytes, bytes]: ...
    @staticmethod
    def _write_file(path: str | PathLike[str], chunks: Iterable[Buffer], /) -> None: ...

# Internal to vicinor_tools (country_of, world(by_border=True)): not part of
# the module's public surface, and free to change with vicinor_tools.
class _CountryBorders:
    def __new__(cls, data: Buffer) -> _CountryBorders: ...
    def codes(self) -> tuple[str, ...]: ...
    def country_number(self, lat: SupportsFloat, lon: SupportsFloat) -> int: ...
    def country_numbers(
        self,
        lats: npt.ArrayLike | Sequence[SupportsFloat],
        lons: npt.ArrayLike | Sequence[SupportsFloat],
        threads: SupportsIndex | None = None,
    ) -> npt.NDArray[np.uint16]: ...
    def rings(
        self,
    ) -> tuple[
        npt.NDArray[np.uint16],
        npt.NDArray[np.bool_],
        npt.NDArray[np.uint32],
        npt.NDArray[np.uint32],
        npt.NDArray[np.float64],
        npt.NDArray[np.float64],
    ]: ...
