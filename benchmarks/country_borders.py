"""Countries of points: vicinor_tools.country_of on one thread against
shapely 2's vectorised STRtree.query(points, predicate="within") over the
same polygons (prepared), and against a nearest_rows batch over the world
table, interleaved in one run, wall-clock medians, over three point sets:

  mixed     half uniform on the sphere, half within 0.5 degrees of a place
  uniform   uniform on the sphere (mostly sea)
  border    within 1 km of a border

Then loading the borders in fresh processes (median of 9) and the resident
memory they add.

    .venv/bin/python -P benchmarks/country_borders.py [--points N] [--rounds N]
"""
import argparse
import json
import statistics
import subprocess
import sys
import time

import numpy as np
import shapely

import vicinor_tools
from vicinor_tools import _borders

LOAD_CHILD = """
import json, time, resource
def rss():
    with open('/proc/self/status') as status:
        return next(int(l.split()[1]) for l in status if l.startswith('VmRSS:')) * 1024
import vicinor, numpy
from vicinor_tools import _borders
before = rss()
start = time.perf_counter()
cpu = time.process_time()
_borders._borders()
print(json.dumps({"seconds": time.perf_counter() - start, "cpu": time.process_time() - cpu,
                  "bytes": rss() - before}))
"""


def shapely_polygons():
    borders, codes = _borders._borders()
    country, hole, first, count, lons, lats = borders.rings()
    shapes, owners = [], []
    for ring in range(len(country)):
        end = first[ring] + count[ring] + 1
        points = np.column_stack((lons[first[ring]:end], lats[first[ring]:end]))
        if hole[ring]:
            shapes[-1][1].append(points)
        else:
            shapes.append((points, []))
            owners.append(codes[country[ring]])
    polygons = [shapely.Polygon(shell, holes) for shell, holes in shapes]
    shapely.prepare(polygons)
    return shapely.STRtree(polygons), np.array(owners)


def shapely_country_of(tree, owners, lats, lons):
    points, found = tree.query(shapely.points(lons, lats), predicate="within")
    answer = np.full(len(lats), "", dtype=owners.dtype)
    answer[points] = owners[found]
    return answer


def point_sets(count, rng, tree):
    half = count // 2
    world = vicinor_tools.world()
    place_lats = np.array(world.column("lat"), float)
    place_lons = np.array(world.column("lon"), float)

    def uniform(n):
        return np.degrees(np.arcsin(rng.uniform(-1, 1, n))), rng.uniform(-180, 180, n)

    places = rng.integers(0, len(place_lats), half)
    lats, lons = uniform(count - half)
    mixed = (np.concatenate([lats, np.clip(place_lats[places] + rng.uniform(-.5, .5, half),
                                           -90, 90)]),
             np.concatenate([lons, (place_lons[places] + rng.uniform(-.5, .5, half) + 180)
                             % 360 - 180]))
    edges = np.concatenate([np.asarray(ring.coords) for shape in tree.geometries
                            for ring in [shape.exterior, *shape.interiors]])
    pick = rng.integers(0, len(edges) - 1, count)
    along = edges[pick] + rng.uniform(0, 1, (count, 1)) * (edges[pick + 1] - edges[pick])
    km = rng.uniform(-1, 1, (count, 2)) / 111.2
    border = (np.clip(along[:, 1] + km[:, 0], -90, 90), (along[:, 0] + km[:, 1] + 180) % 360 - 180)
    return {"mixed": mixed, "uniform": uniform(count), "border": border}


def timed(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    tree, owners = shapely_polygons()
    world = vicinor_tools.world()
    rng = np.random.default_rng(29)
    sets = point_sets(args.points, rng, tree)
    world.nearest_rows([0.0], [0.0])  # lookup aids prepared outside the timing
    print(f"{args.points:,} points, {args.rounds} interleaved rounds, medians (seconds)")
    print(f"{'points':<9} {'country_of':>11} {'shapely':>9} {'nearest_rows':>13} "
          f"{'shapely/ours':>13} {'ours/nearest':>13}")
    for name, (lats, lons) in sets.items():
        ours = shapely_country_of(tree, owners, lats[:20000], lons[:20000])
        mismatch = (ours != vicinor_tools.country_of(lats[:20000], lons[:20000])).sum()
        times = {"ours": [], "shapely": [], "nearest": []}
        for _ in range(args.rounds):
            times["ours"].append(timed(lambda: vicinor_tools.country_of(lats, lons, threads=1)))
            times["shapely"].append(timed(lambda: shapely_country_of(tree, owners, lats, lons)))
            times["nearest"].append(timed(lambda: world.nearest_rows(lats, lons, threads=1)))
        median = {key: statistics.median(value) for key, value in times.items()}
        print(f"{name:<9} {median['ours']:>11.3f} {median['shapely']:>9.3f} "
              f"{median['nearest']:>13.3f} {median['shapely'] / median['ours']:>13.1f} "
              f"{median['ours'] / median['nearest']:>13.2f}"
              + (f"   ({mismatch} of 20,000 in overlapping polygons answer another of"
                 " their countries)" if mismatch else ""))

    loads = [json.loads(subprocess.run([sys.executable, "-P", "-c", LOAD_CHILD],
                                       capture_output=True, text=True, check=True).stdout)
             for _ in range(9)]
    print(f"loading the borders in a fresh process: "
          f"{statistics.median(l['seconds'] for l in loads) * 1e3:.1f} ms wall, "
          f"{statistics.median(l['cpu'] for l in loads) * 1e3:.1f} ms CPU (median of 9); "
          f"resident memory added {statistics.median(l['bytes'] for l in loads) / 2**20:.1f} MB")


if __name__ == "__main__":
    main()
