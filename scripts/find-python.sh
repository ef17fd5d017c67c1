#!/usr/bin/env bash
# Prints the path of a CPython 3.12 interpreter, the one version the
# extension is built for. pyenv shims answer "python3.12" only when 3.12 is
# the selected version, so the pyenv install tree is searched as well.
set -uo pipefail

is_python312() {
    "$@" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1
}

real_path_of() {
    "$@" -c 'import sys; print(sys.executable)'
}

if is_python312 python3.12; then
    real_path_of python3.12
    exit 0
fi
if is_python312 env PYENV_VERSION=3.12.1 python3.12; then
    real_path_of env PYENV_VERSION=3.12.1 python3.12
    exit 0
fi
if command -v pyenv >/dev/null 2>&1; then
    for candidate in "$(pyenv root)"/versions/3.12.*/bin/python3.12; do
        if [ -x "$candidate" ] && is_python312 "$candidate"; then
            echo "$candidate"
            exit 0
        fi
    done
fi
echo "find-python: no CPython 3.12 interpreter found (tried python3.12, PYENV_VERSION=3.12.1 python3.12, \$(pyenv root)/versions/3.12.*)" >&2
exit 1
