#!/usr/bin/env bash
# Runs the benchmark suite against the peers and prints one Markdown table
# (also written to benchmarks/results/). Steps: install the peers into the
# virtualenv, build vicinor and the native helpers (floor module, nanoflann
# program), then run the harness. Options go to the harness, for example:
#
#   benchmarks/run.sh                      # everything, median of 5 rounds
#   benchmarks/run.sh --rounds 9 --only lookups
#   benchmarks/run.sh --clock cpu          # CPU time: steadier on a busy machine
#   benchmarks/run.sh --standin            # check the harness without vicinor
#
# Environment: VENV (default .venv), PYTHON_HOST (interpreter to build for),
# BENCH_SKIP_INSTALL=1 to skip pip, BENCH_SKIP_BUILD=1 to measure the builds
# as they are (while the sources are mid-change), BENCH_JOBS (default 2),
# BENCH_BUILD_DIR (where vicinor is built; default build/bench).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/settings.sh"

if [[ "${BENCH_SKIP_INSTALL:-0}" != 1 ]]; then
  echo "== installing the peers into $venv" >&2
  # One at a time: a peer that cannot be installed shows as failed in the
  # table instead of stopping the suite.
  for package in numpy msgpack scipy pykdtree scikit-learn reverse_geocoder reverse-geocode; do
    "$venv/bin/pip" install --quiet --disable-pip-version-check "$package" >&2 \
      || echo "warning: could not install $package" >&2
  done
fi

if [[ "${BENCH_SKIP_BUILD:-0}" != 1 ]]; then
  echo "== building vicinor in $vicinor_build" >&2
  cmake -S "$repo" -B "$vicinor_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$python_host" >/dev/null
  ninja -C "$vicinor_build" -j"$jobs" vicinor >&2

  echo "== building the floor module and the nanoflann program in $tools_build" >&2
  cmake -S "$repo/benchmarks" -B "$tools_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$python_host" >/dev/null
  ninja -C "$tools_build" -j"$jobs" >&2
fi

# pykdtree queries through OpenMP; idle worker threads spinning on a small
# shared machine would tax whoever runs next, so every contender gets one.
export OMP_NUM_THREADS=1
export PYTHONPATH="$vicinor_build:$tools_build:$repo/benchmarks${PYTHONPATH:+:$PYTHONPATH}"
cd "$repo/benchmarks"
exec "$venv/bin/python" -m harness --tools-dir "$tools_build" "$@"
