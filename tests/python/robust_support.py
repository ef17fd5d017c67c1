"""Helpers for the robustness suites: exact brute-force answers to compare
lookups with, and child interpreters for tests that lower process limits or
measure memory."""

import json
import math
import os
import subprocess
import sys
import textwrap

import numpy as np

import vicinor

ReverseGeocoder = vicinor.ReverseGeocoder
DEG_TO_RAD = 0.017453292519943295
TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def under_sanitizer():
    """ASan reserves terabytes of address space and dies rather than failing
    an allocation, so address-space limits cannot be tested under it."""
    return "asan" in os.environ.get("LD_PRELOAD", "")


def unit_points(lats, lons):
    """Points as the geocoder makes them: one multiplication per angle, then
    the C library's sin and cos (the math module's, not numpy's own). An
    infinite or NaN angle gives a NaN point, as it does in the geocoder."""
    lat_r = np.asarray(lats, dtype=float) * DEG_TO_RAD
    lon_r = np.asarray(lons, dtype=float) * DEG_TO_RAD
    finite = np.isfinite(lat_r) & np.isfinite(lon_r)

    def libm(function, angles):
        values = np.full(len(angles), np.nan)
        values[finite] = np.fromiter(map(function, angles[finite].tolist()), float, int(finite.sum()))
        return values

    cos_lat = libm(math.cos, lat_r)
    return np.stack([cos_lat * libm(math.cos, lon_r), cos_lat * libm(math.sin, lon_r), libm(math.sin, lat_r)], axis=1)


def chord_distances(points, queries):
    """Squared chord distances pairwise by row, summed in the geocoder's
    order ((dx² + dy²) + dz²) so that equal answers compare equal."""
    d = points - queries
    return (d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1]) + d[..., 2] * d[..., 2]


def first_copies(points):
    """For every row, the earliest row whose point is identical (a NaN point
    is identical to nothing and maps to itself). -0.0 counts as 0.0."""
    result = np.arange(len(points))
    finite = np.flatnonzero(~np.isnan(points).any(axis=1))
    if len(finite):
        _, first, inverse = np.unique(points[finite] + 0.0, axis=0, return_index=True, return_inverse=True)
        result[finite] = finite[first[inverse.reshape(-1)]]
    return result


class BruteForce:
    """Every query against every stored point; for tables of up to a few
    million rows and a few thousand queries."""

    def __init__(self, lats, lons):
        self.points = unit_points(lats, lons)
        self.answerable = ~np.isnan(self.points).any(axis=1)
        self.first_copy = first_copies(self.points)

    def check(self, rows, lats, lons, pairs_per_chunk=4_000_000):
        """Asserts that each row answers its query: stored with a point, at
        the minimum distance, and the earliest of its identical places."""
        rows = np.asarray(rows)
        queries = unit_points(lats, lons)
        assert self.answerable[rows].all(), f"rows without a point answered: {rows[~self.answerable[rows]]}"
        assert (self.first_copy[rows] == rows).all(), "a later copy of an identical place answered"
        chunk = max(1, pairs_per_chunk // max(1, len(self.points)))
        for start in range(0, len(queries), chunk):
            block = queries[start : start + chunk]
            distances = chord_distances(self.points[None, :, :], block[:, None, :])
            distances[:, ~self.answerable] = np.inf
            best = distances.min(axis=1)
            got = distances[np.arange(len(block)), rows[start : start + chunk]]
            wrong = np.flatnonzero(got != best)
            assert not len(wrong), (
                f"query {start + wrong[0]} ({lats[start + wrong[0]]}, {lons[start + wrong[0]]}): "
                f"row {rows[start + wrong[0]]} at {got[wrong[0]]!r}, but the minimum is {best[wrong[0]]!r}"
            )


def table_with_row_ids(places, extra=""):
    """CSV text whose last column is the row number, so answers map back."""
    lines = [f"lat,lon,row{',x' if extra else ''}"]
    lines += [f"{lat},{lon},{i}{',' + extra if extra else ''}" for i, (lat, lon) in enumerate(places)]
    return "\n".join(lines) + "\n"


def answered_rows(geocoder, lats, lons):
    """Row numbers (last column) of the string answers to the queries."""
    lookup = geocoder.get_nearest_as_string
    return np.array([int(lookup(lat, lon).rpartition(",")[2]) for lat, lon in zip(lats, lons)])


def memory_status():
    """VmSize, VmRSS and VmHWM of this process, in bytes."""
    found = {}
    with open("/proc/self/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            if name in ("VmSize", "VmRSS", "VmHWM"):
                found[name] = int(value.split()[0]) * 1024
    return found


def reset_peak_rss():
    """Starts a new VmHWM measurement from the current resident size."""
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def run_isolated(body, timeout=600):
    """Runs `body` in a fresh interpreter that imports vicinor and this
    module; the child reports by calling `report(value)` once with anything
    JSON can carry, which is returned here."""
    prologue = textwrap.dedent(
        f"""
        import json, sys
        sys.path[:0] = [{os.path.dirname(vicinor.__file__)!r}, {TESTS_DIR!r}]
        from robust_support import *

        def report(value):
            print("\\nREPORT " + json.dumps(value), flush=True)
        """
    )
    completed = subprocess.run(
        [sys.executable, "-c", prologue + textwrap.dedent(body)],
        capture_output=True, text=True, timeout=timeout, check=False,
    )
    reports = [line for line in completed.stdout.splitlines() if line.startswith("REPORT ")]
    assert completed.returncode == 0 and reports, (
        f"child exited with {completed.returncode}\nstdout:\n{completed.stdout[-3000:]}\nstderr:\n{completed.stderr[-3000:]}"
    )
    return json.loads(reports[-1][len("REPORT "):])
