"""Conveniences around the vicinor extension module: the bundled world
geocoder, geocoders from table files, country names, geocoders over the rows
whose fields match (`where`), and the `vicinor`
command (`python -m vicinor_tools`)."""

from typing import TYPE_CHECKING, Any

from ._countries import country_name
from ._filters import matching_rows, where
from ._tables import from_csv, read_table_text
from ._version import __version__
from ._world import WORLD_COLUMNS, world

__all__ = ["WORLD_COLUMNS", "BorderAnswer", "WorldByBorder", "__version__", "country_name",
           "country_of", "from_csv", "matching_rows", "read_table_text", "where", "world"]

if TYPE_CHECKING:
    from ._borders import BorderAnswer, WorldByBorder, country_of
else:
    def __getattr__(name: str) -> Any:
        # numpy and the borders load only when asked for: a one-off lookup
        # of the command should not pay for them.
        if name in ("BorderAnswer", "WorldByBorder", "country_of"):
            from . import _borders
            return getattr(_borders, name)
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
