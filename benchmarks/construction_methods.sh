#!/usr/bin/env bash
# The packed construction on the permutation, on ranks, and as it chooses,
# over tables derived from the bundled ones (see construction_methods.py).
#
#   benchmarks/construction_methods.sh [--rounds 5]
#
# Environment: BENCH_ANATOMY_DIR (build folder, default build/bench-anatomy).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BENCH_ANATOMY_DIR:-$repo/build/bench-anatomy}"
source "$repo/benchmarks/settings.sh"

cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVICINOR_BUILD_PYTHON=OFF \
  -DVICINOR_BUILD_BENCHMARKS=ON >/dev/null
ninja -C "$build" -j2 build_anatomy >&2
exec "$python_host" "$repo/benchmarks/construction_methods.py" --anatomy "$build/build_anatomy" "$@"
