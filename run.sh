#!/usr/bin/env bash
# The main job: installs vicinor into .venv (setting up the machine as
# test.sh does) and runs examples/geocode_world.py on the bundled world
# cities table. Extra arguments go to the example (see its --help).
set -euo pipefail
source "$(dirname "$0")/scripts/common.sh"
cd "$VICINOR_ROOT"

ensure_system_packages "${VICINOR_RUN_SYSTEM_PACKAGES[@]}"
ensure_venv
say "building and installing vicinor into .venv"
install_log="${VICINOR_BUILD_PREFIX}run-install.log"
mkdir -p "$(dirname "$install_log")"
if ! install_package "${VICINOR_BUILD_PREFIX}release" >"$install_log" 2>&1; then
    tail -n 40 "$install_log"
    die "pip install failed (log: $install_log)"
fi
exec "$VICINOR_PY" -P examples/geocode_world.py "$@"
