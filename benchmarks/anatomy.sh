#!/usr/bin/env bash
# The anatomy of one lookup in C++: CPU time per query through successively
# more of a lookup, over the whole query set and over a small repeated set
# (cache-warm), plus the cost of one dependent memory access over as much
# memory as lookups read. Prints a Markdown table.
#
#   benchmarks/anatomy.sh [--rounds N]
#
# Environment: BENCH_ANATOMY_DIR (build folder, default build/bench-anatomy).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BENCH_ANATOMY_DIR:-$repo/build/bench-anatomy}"

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVICINOR_BUILD_PYTHON=OFF \
  -DVICINOR_BUILD_BENCHMARKS=ON >/dev/null
ninja -C "$build" -j2 lookup_anatomy >&2

work="$(mktemp -d -t vicinor-anatomy-XXXXXX)"
trap 'rm -rf "$work"' EXIT
gzip -dc "$repo/data/world-cities.csv.gz" >"$work/world-cities.csv"
"$build/lookup_anatomy" "$work/world-cities.csv" "$@"
