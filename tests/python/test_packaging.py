"""What a user gets from the wheel: types mypy finds with no configuration,
the tour working in a fresh virtualenv with the pandas extra, and one
version everywhere."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import vicinor_tools
from conftest import running_under_sanitizer

ROOT = Path(__file__).resolve().parents[2]


@pytest.mark.skipif(running_under_sanitizer(), reason="mypy is not run under the sanitizer")
@pytest.mark.parametrize("target", [["examples"], ["-p", "vicinor_tools"]])
def test_strict_type_checking_finds_every_type(target, tmp_path):
    # The installed stub-only package and py.typed are all mypy gets.
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                           str(tmp_path), *target],
                          cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.wheel
@pytest.mark.skipif(running_under_sanitizer(), reason="pip and the wheel's own build "
                    "are not run under the sanitizer")
def test_the_tour_runs_from_the_wheel_in_a_fresh_virtualenv(tmp_path):
    # The Release tree test.sh has already built, so the wheel compiles nothing anew.
    build_dir = os.environ.get("VICINOR_WHEEL_BUILD_DIR", str(ROOT / "build" / "test-release"))
    quiet = {"capture_output": True, "text": True, "timeout": 900}
    done = subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation",
                           "--no-deps", "-C", f"build-dir={build_dir}", "-w", str(tmp_path),
                           str(ROOT)], **quiet)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    (wheel,) = tmp_path.glob("vicinor-*.whl")
    assert wheel.stat().st_size < 20 * 2**20
    assert wheel.name.startswith(f"vicinor-{vicinor_tools.__version__}-")
    venv = tmp_path / "fresh"
    subprocess.run([sys._base_executable, "-m", "venv", str(venv)], check=True, **quiet)
    bin_dir = venv / "bin"
    done = subprocess.run([str(bin_dir / "pip"), "install", f"{wheel}[pandas]"], **quiet)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    env = {**os.environ, "PATH": f"{bin_dir}{os.pathsep}{os.environ['PATH']}"}
    env.pop("PYTHONPATH", None)
    done = subprocess.run([str(bin_dir / "python"), "-P", str(ROOT / "examples" / "tour.py")],
                          cwd=tmp_path, env=env, **quiet)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Paris" in done.stdout and "Berlin" in done.stdout
    done = subprocess.run([str(bin_dir / "vicinor"), "--version"], env=env, **quiet)
    assert done.stdout == f"vicinor {vicinor_tools.__version__}\n"
