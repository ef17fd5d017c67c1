"""The README's tour, run end to end: each step prints what it found.
Needs pandas (`pip install ".[pandas]"`).

    python examples/tour.py
"""

from __future__ import annotations

import pathlib
import subprocess
import sys
import tempfile

import numpy as np
import pandas as pd

import vicinor
import vicinor_tools


def main() -> int:
    # The command, on the bundled world cities table.
    subprocess.run(["vicinor", "48.8566", "2.3522"], check=True)

    # A geocoder from a CSV file of your own (plain or gzip): latitude and
    # longitude first, any other columns after them.
    folder = pathlib.Path(tempfile.mkdtemp(prefix="vicinor-tour-"))
    table = folder / "depots.csv"
    table.write_text("lat,lon,depot,city\n"
                     "52.52,13.405,D1,Berlin\n"
                     "48.137,11.575,D2,Munich\n"
                     "53.551,9.993,D3,Hamburg\n")
    depots = vicinor_tools.from_csv(table)

    # Lookups: the row as text, or as a dict of its fields.
    print(depots.get_nearest_as_string(52.4, 13.1))   # 52.52,13.405,D1,Berlin
    print(depots.get_nearest_as_dict(48.2, 11.6))     # {'lat': '48.137', ...}

    # With the distance in km, and None beyond a limit.
    found = depots.get_nearest_with_distance(50.11, 8.68)
    assert found is not None
    row, km = found
    print(f"{row} is {km:.0f} km away")
    print(depots.get_nearest_with_distance(50.11, 8.68, max_km=100))  # None

    # Save once, load quickly.
    depots.save(folder / "depots.vgc")
    depots = vicinor.ReverseGeocoder.load(folder / "depots.vgc")

    # Whole arrays at once, on every core.
    world = vicinor_tools.world()
    lats = np.array([48.8566, 35.6762, -33.8688])
    lons = np.array([2.3522, 139.6503, 151.2093])
    rows, distances = world.nearest_rows(lats, lons)
    print([world.row_dict(int(r))["name"] for r in rows], distances.round(1))

    # A pandas DataFrame: one batch call, then columns by row number.
    frame = pd.DataFrame({"lat": lats, "lon": lons})
    rows, distances = world.nearest_rows(frame["lat"].to_numpy(), frame["lon"].to_numpy())
    names, countries = world.column("name"), world.column("country")
    frame["place"] = [names[row] for row in rows]
    frame["country"] = [vicinor_tools.country_name(countries[row]) for row in rows]
    frame["km"] = distances
    print(frame)
    return 0


if __name__ == "__main__":
    sys.exit(main())
