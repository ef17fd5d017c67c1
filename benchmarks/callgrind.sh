#!/usr/bin/env bash
# Instruction counts (callgrind Ir) of the hot paths, free of wall-clock
# noise: construction from the CSV text (next to the C++ nanoflann parse and
# build of the same text), load of a saved geocoder, and one lookup of each
# kind next to the floor module's. Each workload runs twice
# under callgrind, with COUNT operations and with none; the difference over
# COUNT is the cost of one operation, interpreter start-up and set-up
# excluded. Prints a Markdown table, also written to benchmarks/results/.
#
#   benchmarks/callgrind.sh                 # all workloads
#   benchmarks/callgrind.sh as_string load  # some of them
#
# Expects the builds of run.sh (build/bench, build/bench-tools); builds them
# first. Environment: VENV, PYTHON_HOST, LOOKUPS (default 20000),
# BENCH_SKIP_BUILD=1 to count the builds as they are, BENCH_BUILD_DIR (where
# vicinor is built; default build/bench), BENCH_RESULTS_DIR.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/settings.sh"
lookups="${LOOKUPS:-20000}"
results="${BENCH_RESULTS_DIR:-$repo/benchmarks/results}"
workloads=("$@")
[[ ${#workloads[@]} -gt 0 ]] ||
  workloads=(construct nanoflann_build load as_string as_dict floor_string floor_dict)

if [[ "${BENCH_SKIP_BUILD:-0}" != 1 ]]; then
  cmake -S "$repo" -B "$vicinor_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$python_host" >/dev/null
  ninja -C "$vicinor_build" -j2 vicinor >&2
  cmake -S "$repo/benchmarks" -B "$tools_build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$python_host" >/dev/null
  ninja -C "$tools_build" -j2 >&2
fi

work="$(mktemp -d -t vicinor-callgrind-XXXXXX)"
trap 'rm -rf "$work"' EXIT
csv="$work/world-cities.csv"
saved="$work/world.vicinor"
gzip -dc "$repo/data/world-cities.csv.gz" >"$csv"

export PYTHONPATH="$vicinor_build:$tools_build:$repo/benchmarks"
export PYTHONHASHSEED=0   # the same dict layouts in both runs of a pair
"$venv/bin/python" -c "
import sys, vicinor
vicinor.ReverseGeocoder(open(sys.argv[1], encoding='utf-8').read()).save(sys.argv[2])
" "$csv" "$saved"

# Total Ir of one run of WORKLOAD with COUNT operations. The nanoflann
# program builds at least once, so both of its runs build one more time.
instructions() {
  local workload="$1" count="$2" log="$work/$1-$2.log"
  local command=("$venv/bin/python" "$repo/benchmarks/callgrind_driver.py"
                 "$workload" "$count" "$csv" "$saved")
  if [[ "$workload" == nanoflann_build ]]; then
    command=("$tools_build/nanoflann_build" "$csv" --warmup 0 --repeat "$((count + 1))")
  fi
  valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.$workload-$count.out" \
    "${command[@]}" 2>"$log" >/dev/null || { cat "$log" >&2; return 1; }
  sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$log"
}

count_for() {
  case "$1" in
    construct | nanoflann_build) echo 1 ;;
    load) echo 3 ;;
    *) echo "$lookups" ;;
  esac
}

mkdir -p "$results"
table="$results/callgrind-$(date -u +%Y%m%d-%H%M%S).md"
{
  echo "| Workload | operations | Ir per operation |"
  echo "|---|---|---|"
} >"$table"
for workload in "${workloads[@]}"; do
  count="$(count_for "$workload")"
  echo "== $workload: $count operations, then none" >&2
  with="$(instructions "$workload" "$count")"
  without="$(instructions "$workload" 0)"
  per_op=$(( (with - without) / count ))
  printf '| %s | %s | %s |\n' "$workload" "$count" "$per_op" >>"$table"
done
cp "$table" "$results/callgrind-latest.md"
cat "$table"
