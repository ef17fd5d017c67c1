"""Builds the saved geocoder of the bundled world table when the wheel is
built, with the extension just compiled (its directory comes first on
sys.path), and beside it the places' populations as little-endian 32-bit
integers in row order (0 where unknown), so that world(min_population)
picks its rows without reading every row's text.

    python scripts/build_world_index.py MODULE_DIR TABLE.csv.gz OUT.vgc OUT.population
"""

from __future__ import annotations

import array
import gzip
import os
import sys


def main() -> int:
    module_dir, table, out, populations_out = sys.argv[1:]
    sys.path.insert(0, module_dir)
    import vicinor

    with gzip.open(table, "rb") as file:
        text = file.read().decode("utf-8")
    geocoder = vicinor.ReverseGeocoder(text)
    geocoder.save(out)
    populations = array.array("I", (int(people or 0) for people in geocoder.column("population")))
    if sys.byteorder == "big":
        populations.byteswap()
    # Whole or not at all, as the index itself.
    with open(populations_out + ".tmp", "wb") as file:
        file.write(populations.tobytes())
    os.replace(populations_out + ".tmp", populations_out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
