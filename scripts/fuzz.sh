#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/fuzz_*.cpp) with clang and runs each for
# a fixed time, starting from its committed seeds in fuzz/corpus/<name>/.
#
#   scripts/fuzz.sh 1800              each target for 30 minutes, 2 workers
#   scripts/fuzz.sh --merge 1800      ... then add new coverage to the seeds
#   scripts/fuzz.sh 60 csv load       only fuzz_csv and fuzz_load
#
# The working corpora grow in fuzz/corpus-work/ (not committed) unless
# --work-dir says otherwise; the committed seeds are only read. Crashes are
# written to <work-dir>/<name>/crashes/. Prints one "fuzz result:" line per
# target and exits non-zero when any target crashed or failed to build.
set -uo pipefail
source "$(dirname "$0")/common.sh"

usage() {
    sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
    cat <<'EOF'

options:
  --jobs N         fuzzing processes per target (default: 2 for runs of 5 minutes
                   or more, else 1)
  --build-dir DIR  clang build directory (default: <build prefix>fuzz)
  --work-dir DIR   working corpora and crashes (default: fuzz/corpus-work)
  --fresh          start each working corpus from the committed seeds only
  --merge          afterwards merge inputs that add coverage into fuzz/corpus/<name>
  --no-setup       do not check system packages
EOF
}

seconds=60
jobs=""
build_dir="${VICINOR_BUILD_PREFIX}fuzz"
work_dir="$VICINOR_ROOT/fuzz/corpus-work"
fresh=0
merge=0
setup=1
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --jobs) jobs=$2; shift 2 ;;
        --build-dir) build_dir=$2; shift 2 ;;
        --work-dir) work_dir=$2; shift 2 ;;
        --fresh) fresh=1; shift ;;
        --merge) merge=1; shift ;;
        --no-setup) setup=0; shift ;;
        -h | --help) usage; exit 0 ;;
        [0-9]*) seconds=$1; shift ;;
        -*) usage >&2; exit 2 ;;
        *) targets+=("fuzz_${1#fuzz_}"); shift ;;
    esac
done
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
build_dir=$(absolute "$build_dir")
work_dir=$(absolute "$work_dir")
if [ -z "$jobs" ]; then
    jobs=1
    [ "$seconds" -ge 300 ] && jobs=2
fi

[ "$setup" -eq 1 ] && ensure_system_packages "${VICINOR_FUZZ_SYSTEM_PACKAGES[@]}"

fuzz_cxx=${VICINOR_FUZZ_CXX:-}
if [ -z "$fuzz_cxx" ]; then
    if command -v clang++-16 >/dev/null 2>&1; then fuzz_cxx=clang++-16; else fuzz_cxx=clang++; fi
fi

if [ ${#targets[@]} -eq 0 ]; then
    for source in "$VICINOR_ROOT"/fuzz/fuzz_*.cpp; do
        [ -e "$source" ] && targets+=("$(basename "$source" .cpp)")
    done
fi
if [ ${#targets[@]} -eq 0 ]; then
    say "no fuzz targets in fuzz/"
    exit 0
fi

mkdir -p "$build_dir" "$work_dir"
build_log="$build_dir/fuzz-build.log"
say "building ${targets[*]} with $fuzz_cxx in $build_dir"
cmake -S "$VICINOR_ROOT" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$fuzz_cxx" -DVICINOR_FUZZ=ON -DVICINOR_BUILD_PYTHON=OFF \
    -DVICINOR_BUILD_TESTS=OFF >"$build_log" 2>&1
configured=$?
# One target at a time, so that an old binary left by a failed build is
# never taken for a test of the current sources.
built=()
for name in "${targets[@]}"; do
    if [ $configured -eq 0 ] && ninja -C "$build_dir" -j "$VICINOR_JOBS" "$name" >>"$build_log" 2>&1; then
        built+=("$name")
    fi
done
if [ ${#built[@]} -ne ${#targets[@]} ]; then
    say "fuzz build failed (log: $build_log); running the targets that built"
    grep -E 'error|Error' "$build_log" | head -n 20
fi

failures=0
for name in "${targets[@]}"; do
    binary="$build_dir/$name"
    if [[ " ${built[*]} " != *" $name "* ]]; then
        echo "fuzz result: $name BUILD-FAILED"
        failures=$((failures + 1))
        continue
    fi
    seeds="$VICINOR_ROOT/fuzz/corpus/${name#fuzz_}"
    target_dir="$work_dir/$name"
    corpus="$target_dir/corpus"
    crashes="$target_dir/crashes"
    [ "$fresh" -eq 1 ] && rm -rf "$target_dir"
    mkdir -p "$corpus" "$crashes"
    # Copied, so that libFuzzer's own corpus reduction never edits the seeds.
    [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null
    crashes_before=$(find "$crashes" -type f | wc -l)

    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
             -artifact_prefix="$crashes/")
    dictionary="$VICINOR_ROOT/fuzz/${name#fuzz_}.dict"
    [ -f "$dictionary" ] && options+=(-dict="$dictionary")
    [ "$jobs" -gt 1 ] && options+=(-jobs="$jobs" -workers="$jobs")

    say "fuzzing $name for ${seconds}s ($jobs job(s), $(find "$corpus" -type f | wc -l) inputs)"
    run_log="$target_dir/run.log"
    rm -f "$target_dir"/fuzz-*.log
    (cd "$target_dir" && "$binary" "${options[@]}" "$corpus") >"$run_log" 2>&1
    status=$?
    crashes_after=$(find "$crashes" -type f | wc -l)
    runs=$(cat "$run_log" "$target_dir"/fuzz-*.log 2>/dev/null |
        awk '/stat::number_of_executed_units/ { total += $2 } END { print total + 0 }')
    if [ $status -eq 0 ] && [ "$crashes_after" -eq "$crashes_before" ]; then
        echo "fuzz result: $name PASS ($runs runs, $(find "$corpus" -type f | wc -l) inputs)"
    else
        echo "fuzz result: $name FAIL (exit $status; log: $run_log)"
        # Without progress lines and ASan's shadow-memory map, so that the
        # report and its stack fit in the tail.
        cat "$run_log" "$target_dir"/fuzz-*.log 2>/dev/null |
            grep -v -E '^#[0-9]|^(=>|  )0x|^  [A-Za-z][A-Za-z -]*: ' | tail -n 40
        ls -t "$crashes" | head -n 5 |
            while read -r artifact; do echo "  reproduce: $binary $crashes/$artifact"; done
        failures=$((failures + 1))
    fi
    if [ "$merge" -eq 1 ]; then
        mkdir -p "$seeds"
        say "merging new coverage of $name into ${seeds#"$VICINOR_ROOT"/}"
        "$binary" -merge=1 "$seeds" "$corpus" >"$target_dir/merge.log" 2>&1 ||
            say "merge failed (log: $target_dir/merge.log)"
    fi
done

[ $failures -eq 0 ] || exit 1
exit 0
