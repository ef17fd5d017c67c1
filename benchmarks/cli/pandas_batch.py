"""A peer of `vicinor batch`: pandas read_csv, vicinor's own nearest_rows
and to_csv, in chunks, on the bundled world geocoder.

    python pandas_batch.py INPUT.csv OUTPUT.csv LAT_COLUMN LON_COLUMN

The coordinate columns are 0-based indices.
"""

from __future__ import annotations

import sys

import numpy as np
import pandas as pd

import vicinor_tools

CHUNK_ROWS = 1 << 16


def main() -> int:
    input_path, output_path = sys.argv[1:3]
    lat_at, lon_at = map(int, sys.argv[3:5])
    geocoder = vicinor_tools.world()
    columns = geocoder.columns()
    places = {name: np.array(geocoder.column(name), dtype=object) for name in columns}
    with open(output_path, "w", newline="", encoding="utf-8") as target:
        chunks = pd.read_csv(input_path, dtype=str, keep_default_na=False, chunksize=CHUNK_ROWS)
        for number, chunk in enumerate(chunks):
            rows, km = geocoder.nearest_rows(chunk.iloc[:, lat_at].astype(float).to_numpy(),
                                             chunk.iloc[:, lon_at].astype(float).to_numpy())
            for name in columns:
                chunk["place_" + name if name in chunk else name] = places[name][rows]
            chunk["distance_km"] = km
            chunk.to_csv(target, header=number == 0, index=False, float_format="%.3f",
                         lineterminator="\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
