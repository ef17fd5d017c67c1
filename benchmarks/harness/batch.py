"""Whole columns at once: nearest_rows over a million points against
pykdtree's batch query and a C++ loop of nanoflann single queries (degree
conversion included everywhere), on one thread and two, in random order
and presorted along a space-filling curve; its memory beyond the results;
and pickling against construction."""

from __future__ import annotations

import json
import os
import pickle
import random
import subprocess
import sys

from . import dataset, peers
from .context import Context, deferred_failure
from .measure import Contender, interleave, seconds
from .report import Figure, Row, Target, at_least_faster

ROWS_1 = "vicinor nearest_rows, threads=1"
ROWS_2 = "vicinor nearest_rows, threads=2"
ROWS_1_SORTED = "vicinor nearest_rows, threads=1, presorted"
PYKDTREE = "pykdtree KDTree.query of all points, one thread"
PYKDTREE_SORTED = "pykdtree KDTree.query, presorted"
NANOFLANN = "C++ loop of nanoflann single queries"
NANOFLANN_SORTED = "C++ loop of nanoflann single queries, presorted"
DUMPS = "pickle.dumps(geocoder)"
LOADS = "pickle.loads"
CONSTRUCT = "ReverseGeocoder(csv)"

BATCH_QUERIES = 1_000_000
SHUFFLE_SEED = 7

# Peak resident memory of one nearest_rows call above what the process held
# before it, less the two result arrays, per point. Run in a fresh process so
# that nothing else has touched the peak since it was reset.
MEMORY_CHILD = r"""
import sys
import numpy as np
import vicinor

def status(field):
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(field):
                return int(line.split()[1]) * 1024

geocoder = vicinor.ReverseGeocoder(open(sys.argv[1], encoding="utf-8").read())
points = np.load(sys.argv[2])
lats, lons = points["lats"], points["lons"]
geocoder.nearest_rows(lats[:1000], lons[:1000])  # lookup aids, numpy, threads
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # resets the peak to the current resident size
before = status("VmRSS:")
rows, km = geocoder.nearest_rows(lats, lons, threads=int(sys.argv[3]))
print((status("VmHWM:") - before - rows.nbytes - km.nbytes) / len(lats))
"""


def curve_order(np, xyz):
    """Positions sorted along a Morton curve of the unit-sphere points, the
    way consecutive points of a GPS track lie near each other."""
    cells = np.clip(((xyz + 1.0) * 512).astype(np.int64), 0, 1023)
    key = np.zeros(len(xyz), dtype=np.int64)
    for bit in range(10):
        for axis in range(3):
            key |= ((cells[:, axis] >> bit) & 1) << (3 * bit + axis)
    return np.argsort(key, kind="stable")


def nanoflann_ns_per_point(context: Context, path, count: int) -> float:
    completed = subprocess.run(
        [str(context.nanoflann_exe), str(context.table.path), "--repeat", "1", "--warmup", "0",
         "--clock", context.clock, "--queries", str(path)],
        capture_output=True, text=True, check=True)
    report = json.loads(completed.stdout)
    if "query_ns" not in report:
        raise RuntimeError("nanoflann_build has no query mode; rebuild the tools")
    return report["query_ns"][0] / count


def memory_per_point(context: Context, points_path, threads: int) -> float:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(context.extra_path))
    completed = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, str(context.table.path), str(points_path),
         str(threads)], capture_output=True, text=True, check=True, env=env)
    return float(completed.stdout.strip())


def run(context: Context) -> list[Row]:
    import numpy as np

    if context.standin:
        context.notes.append("batch lookups are not measured on the stand-in")
        return []
    text = context.table.text
    geocoder_class = context.vicinor.ReverseGeocoder
    geocoder = geocoder_class(text)
    queries = dataset.make_queries(dataset.place_coordinates(text), BATCH_QUERIES)
    random.Random(SHUFFLE_SEED).shuffle(queries)
    lats = np.array([lat for lat, _ in queries])
    lons = np.array([lon for _, lon in queries])
    order = curve_order(np, peers.unit_sphere(lats, lons))
    sorted_lats, sorted_lons = lats[order], lons[order]
    count = len(lats)

    points_path = context.work_dir / "batch-points.npz"
    np.savez(points_path, lats=lats, lons=lons)
    query_files = {}
    for name, (a, b) in {"random": (lats, lons), "sorted": (sorted_lats, sorted_lons)}.items():
        query_files[name] = context.work_dir / f"batch-{name}.f64"
        np.column_stack((a, b)).astype(np.float64).tofile(query_files[name])

    rows, _ = geocoder.nearest_rows(lats, lons)
    sample = range(0, count, max(1, count // 2000))
    same = sum(geocoder.row_text(rows[i]) == geocoder.get_nearest_as_string(lats[i], lons[i])
               for i in sample)
    context.notes.append(f"nearest_rows answers like single lookups for {same} of "
                         f"{len(sample)} sampled points")

    def batch(a, b, threads):
        return lambda: seconds(lambda: geocoder.nearest_rows(a, b, threads=threads)) * 1e9 / count

    try:
        tree, _ = peers.build_pykdtree(text)

        def pykdtree(a, b):
            return lambda: seconds(lambda: tree.query(peers.unit_sphere(a, b))) * 1e9 / count
        pykd = Contender(PYKDTREE, pykdtree(lats, lons))
        pykd_sorted = Contender(PYKDTREE_SORTED, pykdtree(sorted_lats, sorted_lons))
    except Exception as exc:
        pykd = Contender(PYKDTREE, deferred_failure(exc))
        pykd_sorted = Contender(PYKDTREE_SORTED, deferred_failure(exc))

    data = pickle.dumps(geocoder)
    contenders = [
        Contender(ROWS_1, batch(lats, lons, 1)),
        Contender(ROWS_2, batch(lats, lons, 2)),
        Contender(ROWS_1_SORTED, batch(sorted_lats, sorted_lons, 1)),
        pykd,
        pykd_sorted,
        Contender(NANOFLANN, lambda: nanoflann_ns_per_point(context, query_files["random"],
                                                            count)),
        Contender(NANOFLANN_SORTED, lambda: nanoflann_ns_per_point(
            context, query_files["sorted"], count)),
        Contender(DUMPS, lambda: seconds(lambda: pickle.dumps(geocoder))),
        Contender(LOADS, lambda: seconds(lambda: pickle.loads(data))),
        Contender(CONSTRUCT, lambda: seconds(lambda: geocoder_class(text))),
    ]
    context.log("batch lookups and pickling:")
    samples = interleave(contenders, context.rounds, context.log)
    memory = {threads: Contender(f"memory, threads={threads}",
                                 lambda t=threads: memory_per_point(context, points_path, t))
              for threads in (1, 2)}
    memory_samples = interleave(list(memory.values()), 1, context.log, warmup=False)
    context.note_failures(samples | memory_samples)

    def ns(name):
        return Figure.of(samples[name], "ns")

    def seconds_of(name):
        return Figure.of(samples[name], "s")

    per_point = f"{count:,} points; ns per point"
    rows = [
        Row("batch", "nearest_rows, 1 thread", ns(ROWS_1), PYKDTREE, ns(PYKDTREE),
            at_least_faster(5), per_point),
        Row("batch", "nearest_rows, 1 thread", ns(ROWS_1), NANOFLANN, ns(NANOFLANN),
            at_least_faster(1), per_point + "; timed inside the program"),
        Row("batch", "nearest_rows, 2 threads", ns(ROWS_2), ROWS_1, ns(ROWS_1),
            at_least_faster(1.8), per_point),
        Row("batch", "nearest_rows, 1 thread, presorted", ns(ROWS_1_SORTED), PYKDTREE_SORTED,
            ns(PYKDTREE_SORTED), None, per_point),
        Row("batch", "nearest_rows, 1 thread, presorted", ns(ROWS_1_SORTED), NANOFLANN_SORTED,
            ns(NANOFLANN_SORTED), None, per_point + "; timed inside the program"),
    ]
    for threads, contender in memory.items():
        rows.append(Row("batch", f"memory per point beyond the results, {threads} thread(s)",
                        Figure.of(memory_samples[contender.name], "B/point"), "—", None,
                        Target("≤ 16 B/point", max_value=16.0), "peak RSS growth, one call"))
    rows += [
        Row("pickling", "pickle.dumps", seconds_of(DUMPS), CONSTRUCT, seconds_of(CONSTRUCT),
            at_least_faster(3)),
        Row("pickling", "pickle.loads", seconds_of(LOADS), CONSTRUCT, seconds_of(CONSTRUCT),
            at_least_faster(3), f"{len(data) / 1e6:.1f} MB pickle"),
    ]
    return rows
