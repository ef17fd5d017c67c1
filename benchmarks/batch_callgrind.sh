#!/usr/bin/env bash
# Instructions (callgrind Ir) of nearest_rows and get_nearest_with_distance
# per query, for one or more builds of the module side by side: the world
# geocoder, 200,000 random points in one nearest_rows call on one thread,
# and 20,000 get_nearest_with_distance calls; each run once with the queries
# and once without, the difference over the count is the cost of a query.
#
#   benchmarks/batch_callgrind.sh BUILD_DIR [BUILD_DIR ...]
#
# A build directory is one holding the compiled module (vicinor*.so).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/settings.sh"
# Dictionary layouts follow the hash seed, and with them the interpreter's
# instruction counts: a fixed seed keeps runs comparable.
export PYTHONHASHSEED=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/child.py" <<'EOF'
import gzip, sys
import numpy as np
import vicinor
world = vicinor.ReverseGeocoder(gzip.decompress(open(sys.argv[1], "rb").read()).decode())
kind, count = sys.argv[2], int(sys.argv[3])
rng = np.random.default_rng(7)
lats, lons = rng.uniform(-90, 90, count), rng.uniform(-180, 180, count)
if kind == "nearest_rows":
    world.nearest_rows(lats, lons, threads=1)
else:
    for lat, lon in zip(lats.tolist(), lons.tolist()):
        world.get_nearest_with_distance(lat, lon)
EOF

instructions() {  # build kind count
  PYTHONPATH="$1" valgrind --tool=callgrind --callgrind-out-file="$work/out" \
    "$venv/bin/python" "$work/child.py" "$repo/data/world-cities.csv.gz" "$2" "$3" 2>&1 |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

echo "| build | workload | Ir per query |"
echo "|---|---|---|"
for build in "$@"; do
  for workload in "nearest_rows 200000" "get_nearest_with_distance 20000"; do
    set -- $workload
    with=$(instructions "$build" "$1" "$2")
    without=$(instructions "$build" "$1" 0)
    echo "| $build | $1 | $(( (with - without) / $2 )) |"
  done
done
