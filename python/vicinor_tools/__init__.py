"""Conveniences around the vicinor extension module: the bundled world
geocoder, geocoders from table files, country names, geocoders over the rows
whose fields match (`where`), and the `vicinor`
command (`python -m vicinor_tools`)."""

from ._countries import country_name
from ._filters import matching_rows, where
from ._tables import from_csv, read_table_text
from ._version import __version__
from ._world import WORLD_COLUMNS, world

__all__ = ["WORLD_COLUMNS", "__version__", "country_name", "from_csv", "matching_rows",
           "read_table_text", "where", "world"]
