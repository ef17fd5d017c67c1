#!/usr/bin/env bash
# Construction over a family of tables and at scale, beside nanoflann and
# cKDTree (see construction_tables.py for what is measured). Builds vicinor
# and the nanoflann program as run.sh does; options go to the script:
#
#   benchmarks/construction_tables.sh --rounds 3 --only family
#   benchmarks/construction_tables.sh --only scale --scale-rows 1e6,4.2e6
#
# Environment: VENV, PYTHON_HOST, BENCH_SKIP_INSTALL, BENCH_SKIP_BUILD,
# BENCH_JOBS and BENCH_BUILD_DIR as for run.sh.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/settings.sh"

if [[ "${BENCH_SKIP_INSTALL:-0}" != 1 ]]; then
  "$venv/bin/pip" install --quiet --disable-pip-version-check numpy scipy >&2
fi
if [[ "${BENCH_SKIP_BUILD:-0}" != 1 ]]; then
  # The nanoflann peer is a header from the Debian package.
  (source "$repo/scripts/common.sh" && ensure_system_packages libnanoflann-dev)
  cmake -S "$repo" -B "$vicinor_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$python_host" >/dev/null
  ninja -C "$vicinor_build" -j"$jobs" vicinor >&2
  cmake -S "$repo/benchmarks" -B "$tools_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$python_host" >/dev/null
  ninja -C "$tools_build" -j"$jobs" nanoflann_build >&2
fi

export PYTHONPATH="$vicinor_build${PYTHONPATH:+:$PYTHONPATH}"
exec "$venv/bin/python" "$repo/benchmarks/construction_tables.py" \
  --nanoflann "$tools_build/nanoflann_build" "$@"
