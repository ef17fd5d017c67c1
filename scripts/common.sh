# Set-up shared by test.sh, run.sh and scripts/fuzz.sh: system packages, the
# Python 3.12 virtualenv, and installing vicinor into it. Sourced, not run.
# Every step checks first, so running it again on a ready machine is quick
# and needs no network.

VICINOR_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VICINOR_VENV="$VICINOR_ROOT/.venv"
VICINOR_PY="$VICINOR_VENV/bin/python"
# Build directories are "<prefix><stage>", so several checkouts or developers
# sharing one tree can keep theirs apart.
VICINOR_BUILD_PREFIX=${VICINOR_BUILD_PREFIX:-$VICINOR_ROOT/build/test-}
case "$VICINOR_BUILD_PREFIX" in
    /*) ;;
    *) VICINOR_BUILD_PREFIX="$VICINOR_ROOT/$VICINOR_BUILD_PREFIX" ;;
esac
VICINOR_JOBS=${VICINOR_JOBS:-2}

# The fuzz targets are built with clang 16 (libFuzzer ships with clang only).
# llvm-16 brings llvm-symbolizer, for readable crash reports.
VICINOR_FUZZ_SYSTEM_PACKAGES=(clang-16 libclang-rt-16-dev llvm-16 cmake ninja-build)
VICINOR_TEST_SYSTEM_PACKAGES=(g++ cmake ninja-build libgtest-dev "${VICINOR_FUZZ_SYSTEM_PACKAGES[@]}")
VICINOR_RUN_SYSTEM_PACKAGES=(g++ cmake ninja-build)
VICINOR_PYTHON_PACKAGES=(pytest hypothesis numpy msgpack scikit-build-core ninja "dask[distributed]"
    pandas pyarrow tqdm pycountry mypy pandas-stubs types-tqdm shapely)
VICINOR_PYTHON_MODULES="pytest, hypothesis, numpy, msgpack, scikit_build_core, ninja, dask, distributed, pandas, pyarrow, tqdm, pycountry, mypy, shapely"

say() { printf '==> %s\n' "$*"; }
die() {
    printf 'error: %s\n' "$*" >&2
    exit 1
}

# Runs a command with its output in a log, shown only when it fails, so
# that a set-up which works prints one line, not a package manager's dump.
quietly() {  # log command...
    local log=$1
    shift
    mkdir -p "$(dirname "$log")"
    if ! "$@" >"$log" 2>&1; then
        echo "---- $* failed; last lines of $log ----" >&2
        tail -n 40 "$log" >&2
        return 1
    fi
}

# Installs the Debian packages among "$@" that are missing; the package lists
# are refreshed once, and only when something has to be installed.
ensure_system_packages() {
    if ! command -v dpkg-query >/dev/null 2>&1; then
        say "no dpkg here: not checking system packages ($*)"
        return 0
    fi
    local missing=() package
    for package in "$@"; do
        if ! dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^ii'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local as_root=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null 2>&1 ||
            die "missing system packages (${missing[*]}) and not root; install them and retry"
        as_root=(sudo)
    fi
    say "installing system packages: ${missing[*]}"
    local log="${VICINOR_BUILD_PREFIX}logs/apt.log"
    quietly "$log" "${as_root[@]}" apt-get update -qq || die "apt-get update failed"
    quietly "$log" "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
        die "apt-get install ${missing[*]} failed"
}

venv_is_python312() {
    "$VICINOR_PY" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1
}

# .venv: a Python 3.12 virtualenv holding the test and build tools.
ensure_venv() {
    if ! venv_is_python312; then
        local interpreter
        interpreter=$("$VICINOR_ROOT/scripts/find-python.sh") || die "Python 3.12 is required"
        say "creating .venv with $interpreter"
        "$interpreter" -m venv --clear "$VICINOR_VENV" || die "could not create $VICINOR_VENV"
    fi
    if ! "$VICINOR_PY" -c "import $VICINOR_PYTHON_MODULES" >/dev/null 2>&1; then
        say "installing Python packages into .venv: ${VICINOR_PYTHON_PACKAGES[*]}"
        quietly "${VICINOR_BUILD_PREFIX}logs/pip-tools.log" "$VICINOR_PY" -m pip install \
            --disable-pip-version-check "${VICINOR_PYTHON_PACKAGES[@]}" || die "pip install failed"
    fi
}

# Builds the extension (Release, through pyproject.toml) in build directory
# $1 and installs it into .venv. The directory is ours, not pip's default, so
# other builds in the tree are not disturbed.
install_package() {
    CMAKE_BUILD_PARALLEL_LEVEL=$VICINOR_JOBS "$VICINOR_PY" -m pip install \
        --no-build-isolation --no-deps --disable-pip-version-check -v \
        -C build-dir="$1" "$VICINOR_ROOT"
}
