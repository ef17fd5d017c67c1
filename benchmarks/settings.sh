# Where the benchmark scripts find the interpreter and put their builds;
# sourced by run.sh, construction_tables.sh and callgrind.sh, so the three
# always measure the same builds.
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="${VENV:-$repo/.venv}"
python_host="${PYTHON_HOST:-/root/.pyenv/versions/3.12.1/bin/python3.12}"
jobs="${BENCH_JOBS:-2}"
vicinor_build="${BENCH_BUILD_DIR:-$repo/build/bench}"
tools_build="$repo/build/bench-tools"
