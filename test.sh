#!/usr/bin/env bash
# The whole test suite, set-up included; safe to run again and again.
#
#   1. C++ unit tests, Release build (ctest)
#   2. C++ unit tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   3. the package installed into .venv with pip, then pytest tests/python
#   4. pytest again against the sanitized extension from stage 2
#   5. each libFuzzer target for a short run from its seed corpus
#
#   ./test.sh                  every stage (pytest tests marked slow left out)
#   ./test.sh --slow           also the slow pytest tests (3-million-row table,
#                              a million reference queries: many minutes)
#   ./test.sh --quick          stages 1 and 3 only
#   ./test.sh --only a,b       only the named stages (ctest-release, ctest-asan,
#                              pytest, pytest-asan, fuzz)
#   ./test.sh --fuzz-seconds N fuzz each target for N seconds (default 30)
#
# Every stage runs even when an earlier one failed. The last line is
# "N passed, N failed", summed over ctest tests, pytest tests and fuzz
# targets (a build or set-up failure counts as one failed test); the exit
# status is non-zero when anything failed. VICINOR_BUILD_PREFIX
# (default build/test-) and VICINOR_JOBS (default 2) are honoured.
set -uo pipefail
source "$(dirname "$0")/scripts/common.sh"
cd "$VICINOR_ROOT" || exit 1

stages="ctest-release,ctest-asan,pytest,pytest-asan,fuzz"
slow=0
fuzz_seconds=30
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) stages="ctest-release,pytest"; slow=0; shift ;;
        --slow) slow=1; shift ;;
        --no-slow) slow=0; shift ;;
        --only) stages=$2; shift 2 ;;
        --fuzz-seconds) fuzz_seconds=$2; shift 2 ;;
        -h | --help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "unknown option: $1 (see --help)" >&2; exit 2 ;;
    esac
done

log_dir="${VICINOR_BUILD_PREFIX}logs"
mkdir -p "$log_dir"
total_passed=0
total_failed=0
stage_lines=()
summary_printed=0
started=$SECONDS

print_summary() {
    [ $summary_printed -eq 1 ] && return
    summary_printed=1
    echo
    echo "==================== summary ($((SECONDS - started)) s) ===================="
    local line
    for line in "${stage_lines[@]}"; do echo "$line"; done
    echo "$total_passed passed, $total_failed failed"
}

wanted() { [[ ",$stages," == *",$1,"* ]]; }

# A set-up step that dies, or an interrupted run, still leaves the closing
# count behind.
phase="set-up"
on_exit() {
    if [ $summary_printed -eq 0 ]; then
        stage_lines+=("$phase: did not finish")
        total_failed=$((total_failed + 1))
        print_summary
    fi
}
trap on_exit EXIT

stage_started=$SECONDS
record() {  # stage passed failed [note]
    total_passed=$((total_passed + $2))
    total_failed=$((total_failed + $3))
    local verdict=ok
    [ "$3" -gt 0 ] && verdict=FAILED
    stage_lines+=("$(printf '%-14s %-7s %5d passed %4d failed %5d s  %s' "$1" "$verdict" "$2" "$3" \
        $((SECONDS - stage_started)) "${4:-}")")
    stage_started=$SECONDS
}

# Runs a command with its output in a log and, while it runs, prints a line
# a minute with the log's latest line (ninja's [n/total], pytest's [ n%],
# ctest's n/total), so a long stage is never silent.
run_logged() {  # log command...
    local log=$1
    shift
    # A script's background command starts with SIGINT and SIGQUIT ignored,
    # which its processes would inherit (and tests of interrupts would see):
    # the subshell puts them back.
    ( trap - INT QUIT; "$@" ) >"$log" 2>&1 &
    local pid=$! waited=0 latest
    while kill -0 "$pid" 2>/dev/null; do
        sleep 1
        waited=$((waited + 1))
        if [ $((waited % 60)) -eq 0 ]; then
            # A progress line if there is one (compiler warnings and
            # other chatter come between them), else whatever came last.
            latest=$(tail -c 20000 "$log" 2>/dev/null | tr '\r' '\n' | grep -v '^[[:space:]]*$' |
                grep -E '^\[[0-9]+/[0-9]+\]|^ *[0-9]+/[0-9]+ Test|\[ *[0-9]+%\]|^fuzz' | tail -n 1)
            [ -n "$latest" ] || latest=$(tail -n 1 "$log" 2>/dev/null)
            latest=$(printf '%s' "$latest" | cut -c 1-110)
            printf '    %3d min  %s\n' $((waited / 60)) "$latest"
        fi
    done
    wait "$pid"
}

show_tail() {  # log [lines]
    echo "---- last lines of $1 ----"
    tail -n "${2:-40}" "$1"
    echo "----"
}

# Configures and builds everything in a build directory, keeping going past
# broken targets so that one unfinished file does not hide the other tests.
configure_and_build() {  # dir cmake-args...
    local dir=$1
    shift
    # The native benchmark programs are built too, so they keep compiling.
    cmake -S "$VICINOR_ROOT" -B "$dir" -G Ninja -DVICINOR_BUILD_TESTS=ON \
        -DVICINOR_BUILD_BENCHMARKS=ON -DPython_EXECUTABLE="$VICINOR_PY" "$@" &&
        ninja -C "$dir" -k 0 -j "$VICINOR_JOBS"
}
build_tree() {  # dir log cmake-args...
    local dir=$1 log=$2
    shift 2
    run_logged "$log" configure_and_build "$dir" "$@"
}

run_ctest_stage() {  # name dir cmake-args...
    local name=$1 dir=$2
    shift 2
    say "stage: $name"
    phase=$name
    local build_log="$log_dir/${name}-build.log" test_log="$log_dir/${name}-ctest.log"
    local build_failed=0 note=""
    if ! build_tree "$dir" "$build_log" "$@"; then
        build_failed=1
        note="build failed: $build_log"
        echo "build failed"
        show_tail "$build_log"
    fi
    if [ ! -f "$dir/CTestTestfile.cmake" ]; then
        record "$name" 0 1 "$note"
        return
    fi
    run_logged "$test_log" ctest --test-dir "$dir" -j "$VICINOR_JOBS" --timeout 600 \
        --output-on-failure --no-tests=ignore
    local status=$?
    # "N% tests passed, F tests failed out of T", or without the failed
    # part when none failed.
    local failed=0 total=0 counts
    counts=$(sed -n 's/.* \([0-9][0-9]*\) tests\{0,1\} failed out of \([0-9][0-9]*\).*/\1 \2/p' "$test_log" | tail -n 1)
    if [ -n "$counts" ]; then
        read -r failed total <<<"$counts"
    else
        total=$(sed -n 's/.*tests passed out of \([0-9][0-9]*\).*/\1/p' "$test_log" | tail -n 1)
        total=${total:-0}
    fi
    if [ $status -ne 0 ] || [ "$failed" -gt 0 ]; then
        [ "$failed" -eq 0 ] && failed=1 && total=$((total + 1))
        show_tail "$test_log" 60
    fi
    echo "$((total - failed)) passed, $failed failed (log: $test_log)"
    record "$name" $((total - failed)) $((failed + build_failed)) "$note"
}

# Runs pytest with a JUnit report and counts from it. A crash or a leak
# report at exit (non-zero status with no failed test) counts as a failure.
run_pytest() {  # name log [VAR=value...] command...
    local name=$1 log=$2
    shift 2
    local junit="$log_dir/${name}-junit.xml"
    rm -f "$junit"
    run_logged "$log" env "$@" --junitxml="$junit" -p no:cacheprovider
    local status=$?
    local counts passed=0 failed=0
    if [ -f "$junit" ]; then
        counts=$("$VICINOR_PY" - "$junit" <<'EOF'
import sys
import xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
tests = failed = skipped = 0
for suite in suites:
    tests += int(suite.get("tests", 0))
    failed += int(suite.get("failures", 0)) + int(suite.get("errors", 0))
    skipped += int(suite.get("skipped", 0))
print(tests - failed - skipped, failed)
EOF
        ) && read -r passed failed <<<"$counts"
    fi
    # 5: nothing collected, which is not a failure while tests are written.
    if [ $status -ne 0 ] && [ $status -ne 5 ] && [ "$failed" -eq 0 ]; then
        failed=1
        echo "pytest exited with status $status"
    fi
    if [ "$failed" -gt 0 ]; then show_tail "$log" 60; fi
    echo "$passed passed, $failed failed (log: $log)"
    record "$name" "$passed" "$failed"
}

stage_python() {
    local name="pytest"
    say "stage: $name (pip install into .venv, then pytest tests/python)"
    phase=$name
    local install_log="$log_dir/${name}-install.log"
    # The Release build directory of stage 1: pip reconfigures it for the
    # extension alone and recompiles nothing of the core.
    if ! run_logged "$install_log" install_package "${VICINOR_BUILD_PREFIX}release"; then
        echo "pip install failed"
        show_tail "$install_log"
        record "$name" 0 1 "pip install failed: $install_log"
        return
    fi
    # -P: the working directory must not shadow the installed module.
    local selection=()
    [ $slow -eq 0 ] && selection=(-m "not slow")
    # The wheel test builds its wheel in the Release tree too.
    run_pytest "$name" "$log_dir/${name}.log" \
        VICINOR_WHEEL_BUILD_DIR="${VICINOR_BUILD_PREFIX}release" \
        "$VICINOR_PY" -P -m pytest "${selection[@]}" tests/python
}

# The extension built under ASan+UBSan in stage 2, loaded into the ordinary
# interpreter: the ASan runtime must be preloaded, and pymalloc is switched
# off so that ASan sees every object allocation. Leak detection stays on; the
# suppressions cover only CPython's own never-freed objects.
stage_python_sanitized() {
    local name="pytest-asan" dir="${VICINOR_BUILD_PREFIX}asan"
    say "stage: $name (tests/python against the sanitized extension)"
    phase=$name
    local module
    module=$(find "$dir" -maxdepth 1 -name 'vicinor*.so' 2>/dev/null | head -n 1)
    if [ -z "$module" ]; then
        echo "no sanitized extension in $dir (stage 2 build failed?)"
        record "$name" 0 1 "sanitized extension missing"
        return
    fi
    # libstdc++ is preloaded too: the interpreter does not link it, and ASan
    # must find the real __cxa_throw at start-up or the first C++ exception
    # thrown in the extension fails its interceptor.
    local preload
    preload="$(g++ -print-file-name=libasan.so) $(readlink -f "$(g++ -print-file-name=libstdc++.so)")"
    local sanitizer_env=(
        LD_PRELOAD="$preload"
        PYTHONMALLOC=malloc
        PYTHONPATH="$dir:$VICINOR_ROOT/scripts${PYTHONPATH:+:$PYTHONPATH}"
        # A failed allocation returns null (std::bad_alloc), as it does
        # without ASan, so out-of-memory handling is tested as shipped.
        ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:check_initialization_order=1
        LSAN_OPTIONS=suppressions="$VICINOR_ROOT/scripts/lsan-python.supp":print_suppressions=0
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    )
    local imported
    imported=$(env "${sanitizer_env[@]}" "$VICINOR_PY" -P -c \
        'import vicinor; print(vicinor.__file__)' 2>"$log_dir/${name}-import.log")
    if [ "$imported" != "$module" ]; then
        echo "the sanitized extension did not load (got: ${imported:-nothing})"
        show_tail "$log_dir/${name}-import.log"
        record "$name" 0 1 "import failed"
        return
    fi
    # Slow tests are left to the Release stage; the plugin lifts hypothesis
    # deadlines, which sanitizer overhead would otherwise break.
    run_pytest "$name" "$log_dir/${name}.log" "${sanitizer_env[@]}" \
        "$VICINOR_PY" -P -m pytest -p sanitized_pytest_plugin -m "not slow" tests/python
}

stage_fuzz() {
    local name="fuzz"
    say "stage: $name (${fuzz_seconds}s per target)"
    phase=$name
    local log="$log_dir/${name}.log"
    run_logged "$log" "$VICINOR_ROOT/scripts/fuzz.sh" --no-setup --fresh --jobs 1 \
        --build-dir "${VICINOR_BUILD_PREFIX}fuzz" --work-dir "${VICINOR_BUILD_PREFIX}fuzz-work" \
        "$fuzz_seconds"
    local status=$?
    grep '^fuzz result:' "$log"
    local passed failed
    passed=$(grep -c '^fuzz result: .* PASS' "$log")
    failed=$(grep -c '^fuzz result: .* \(FAIL\|BUILD-FAILED\)' "$log")
    if [ $status -ne 0 ]; then
        [ "$failed" -eq 0 ] && failed=1
        show_tail "$log" 60
    fi
    record "$name" "$passed" "$failed"
}

say "set-up"
if wanted fuzz || wanted ctest-asan || wanted pytest-asan; then
    ensure_system_packages "${VICINOR_TEST_SYSTEM_PACKAGES[@]}"
else
    ensure_system_packages "${VICINOR_RUN_SYSTEM_PACKAGES[@]}" libgtest-dev
fi
ensure_venv
stage_started=$SECONDS

if wanted ctest-release; then
    run_ctest_stage ctest-release "${VICINOR_BUILD_PREFIX}release" -DCMAKE_BUILD_TYPE=Release \
        -DVICINOR_BUILD_PYTHON=ON
fi
if wanted ctest-asan; then
    # -O1 with debug info: quicker to compile, readable sanitizer reports.
    # The extension is built here too, for the sanitized pytest stage.
    run_ctest_stage ctest-asan "${VICINOR_BUILD_PREFIX}asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DVICINOR_SANITIZE=ON -DVICINOR_BUILD_PYTHON=ON
fi
wanted pytest && stage_python
wanted pytest-asan && stage_python_sanitized
wanted fuzz && stage_fuzz
phase="summary"

print_summary
[ $total_failed -eq 0 ]
