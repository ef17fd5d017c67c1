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

    def check(self, rows, lats, lons, pairs_per_chunk=4_000_000):
        """Asserts that each row answers its query: stored with a point, at
        the minimum distance, and the earliest of its identical places."""
        rows = np.asarray(rows)
        queries = unit_points(lats, lons)
        assert self.answerable[rows].all(), f"rows without a point answered: {rows[~self.answerable[rows]]}"
        chunk = max(1, pairs_per_chunk // max(1, len(self.points)))
        for start in range(0, len(queries), chunk):
            block = queries[start : start + chunk]
            distances = chord_distances(self.points[None, :, :], block[:, None, :])
            distances[:, ~self.answerable] = np.inf
            for i, (row, row_distances) in enumerate(zip(rows[start : start + chunk], distances)):
                q = start + i
                best = row_distances.min()
                assert row_distances[row] == best, (
                    f"query {q} ({lats[q]}, {lons[q]}): row {row} at {row_distances[row]!r}, but the minimum is {best!r}"
                )
                # Identical places are at equal distances, so the earliest
                # copy is among the ties.
                ties = np.flatnonzero(row_distances == best)
                copies = ties[(self.points[ties] == self.points[row]).all(axis=1)]
                assert copies[0] == row, f"query {q}: row {row} answered, but row {copies[0]} is the same place"


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


class CapIndex:
    """Exact nearest-answer checks for many queries over a large table.

    A place strictly closer to a query than its answer lies inside the
    spherical cap around the query whose angular radius belongs to the
    answer's chord distance. The stored places are sorted into latitude and
    longitude cells of several sizes; each query scans only the cells under
    the cap's bounding box, at the size that spans a few cells. The check
    stays exact (a small margin covers rounding) while comparing a few
    hundred places per query instead of the whole table."""

    SIDES = [2.0**k for k in range(-7, 7)]  # cell sides in degrees
    MARGIN = 1e-5  # degrees; far above the rounding of any angle here

    def __init__(self, lats, lons):
        lats, lons = np.asarray(lats, float), np.asarray(lons, float)
        assert (np.abs(lats) <= 90).all() and (np.abs(lons) <= 180).all(), "only tables of ordinary coordinates"
        self.points = unit_points(lats, lons)
        self.first_copy = first_copies(self.points)
        self.levels = []
        for side in self.SIDES:
            rows_n, cols_n = int(np.ceil(180 / side)) + 1, int(np.ceil(360 / side)) + 1
            keys = self._cells(lats + 90, side, rows_n) * cols_n + self._cells(lons + 180, side, cols_n)
            order = np.argsort(keys, kind="stable")
            self.levels.append((side, rows_n, cols_n, keys[order], order))

    @staticmethod
    def _cells(degrees, side, count):
        return np.clip(np.floor(degrees / side), 0, count - 1).astype(np.int64)

    def check(self, rows, queries, pairs_per_chunk=2_000_000):
        """Asserts for every query that its answer row is at the minimum
        distance and is the earliest of its identical places; returns how
        many candidate pairs were compared."""
        rows = np.asarray(rows)
        answered = chord_distances(self.points[rows], queries)
        later_copies = np.flatnonzero(self.first_copy[rows] != rows)
        assert not len(later_copies), f"query {later_copies[0]}: row {rows[later_copies[0]]} is a later copy"

        radius = np.degrees(2 * np.arcsin(np.minimum(np.sqrt(answered) / 2, 1))) * (1 + 1e-9) + self.MARGIN
        lat = np.degrees(np.arctan2(queries[:, 2], np.hypot(queries[:, 0], queries[:, 1])))
        lon = np.degrees(np.arctan2(queries[:, 1], queries[:, 0]))
        # Longitudes a cap can reach; all of them when it holds a pole.
        with np.errstate(divide="ignore", invalid="ignore"):
            ratio = np.sin(np.radians(radius)) / np.cos(np.radians(lat))
            reach = np.degrees(np.arcsin(np.minimum(ratio, 1))) * (1 + 1e-9) + self.MARGIN
        full_circle = (lat + radius >= 90) | (lat - radius <= -90) | ~(ratio < 1)
        south, north = np.maximum(lat - radius, -90), np.minimum(lat + radius, 90)
        west = (lon - reach + 180) % 360 - 180
        east = west + 2 * reach

        level_of = np.minimum(np.searchsorted(self.SIDES, radius / 4), len(self.SIDES) - 1)
        compared = 0
        for level, (side, rows_n, cols_n, sorted_keys, order) in enumerate(self.levels):
            members = np.flatnonzero(level_of == level)
            if not len(members):
                continue
            first_row = self._cells(south[members] + 90, side, rows_n)
            last_row = self._cells(north[members] + 90, side, rows_n)
            full = full_circle[members]
            # Column ranges: up to the antimeridian, and on past it.
            spans = [
                (np.where(full, 0, self._cells(west[members] + 180, side, cols_n)),
                 np.where(full, cols_n - 1, self._cells(np.minimum(east[members], 180) + 180, side, cols_n))),
                (np.zeros(len(members), np.int64),
                 np.where(full | (east[members] <= 180), -1, self._cells(east[members] - 180, side, cols_n))),
            ]
            starts, counts, owners = [], [], []
            for step in range(int((last_row - first_row).max()) + 1):
                row = first_row + step
                for low, high in spans:
                    use = (row <= last_row) & (high >= low)
                    begin = np.searchsorted(sorted_keys, (row * cols_n + low)[use], "left")
                    starts.append(begin)
                    counts.append(np.searchsorted(sorted_keys, (row * cols_n + high)[use], "right") - begin)
                    owners.append(members[use])
            starts, counts, owners = map(np.concatenate, (starts, counts, owners))
            compared += self._compare(rows, queries, answered, starts, counts, owners, order, pairs_per_chunk)
        return compared

    def _compare(self, rows, queries, answered, starts, counts, owners, order, pairs_per_chunk):
        ends = np.cumsum(counts)
        chunk_ends = np.searchsorted(ends, np.arange(pairs_per_chunk, ends[-1] + pairs_per_chunk, pairs_per_chunk), "right")
        best = np.full(len(queries), np.inf)
        first = 0
        for last in np.unique(np.append(chunk_ends, len(counts))):
            if last <= first:
                continue
            c = counts[first:last]
            offsets = np.arange(c.sum()) - np.repeat(np.cumsum(c) - c, c)
            candidates = order[np.repeat(starts[first:last], c) + offsets]
            owner = np.repeat(owners[first:last], c)
            distances = chord_distances(self.points[candidates], queries[owner])
            closer = np.flatnonzero(distances < answered[owner])
            assert not len(closer), (
                f"query {owner[closer[0]]}: row {rows[owner[closer[0]]]} at {answered[owner[closer[0]]]!r}, "
                f"but row {candidates[closer[0]]} is at {distances[closer[0]]!r}"
            )
            np.minimum.at(best, owner, distances)
            first = last
        # The answer itself lies in the cap, so each query must have met it:
        # otherwise the cells scanned were the wrong ones.
        touched = np.unique(owners)
        assert (best[touched] == answered[touched]).all(), "the cell scan missed an answer"
        return int(counts.sum())
