"""Builds the saved geocoder of the bundled world table when the wheel is
built, with the extension just compiled (its directory comes first on
sys.path).

    python scripts/build_world_index.py MODULE_DIR TABLE.csv.gz OUT
"""

from __future__ import annotations

import gzip
import sys


def main() -> int:
    module_dir, table, out = sys.argv[1:]
    sys.path.insert(0, module_dir)
    import vicinor

    with gzip.open(table, "rb") as file:
        text = file.read().decode("utf-8")
    vicinor.ReverseGeocoder(text).save(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
