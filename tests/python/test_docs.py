"""Every example of README.md and docs/*.md, run as printed against the
installed package, each in a fresh folder holding the files the examples
name (see "Examples in the documents" in docs/development.md).

A fenced block tagged python, console, sh or bash runs unless the line
above its fence is `<!-- not run: why -->`; `<!-- continues the example
above -->` runs the previous Python block first, in the same script. Python
blocks run as scripts (`__name__ == "__main__"`); in console blocks each
`$ ` line is a command, and the lines under it, when there are any, are
exactly what it prints. Results an example writes to `geocoded/` must be
the answers of single lookups."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

import vicinor
from conftest import make_table, running_under_sanitizer

ROOT = Path(__file__).resolve().parents[2]
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
RUN_LANGUAGES = {"python", "console", "sh", "bash"}
FENCE = re.compile(r"^(\s*)```\s*([\w-]*)\s*$")
NOT_RUN = re.compile(r"^<!--\s*not run:\s*\S.*-->$")
CONTINUES = "<!-- continues the example above -->"
# Cluster start-up and a cold pandas import on a busy machine.
TIMEOUT_S = 240

pytestmark = pytest.mark.skipif(running_under_sanitizer(),
                                reason="subprocesses are not run under the sanitizer")


@dataclass
class Example:
    document: Path
    line: int  # of the opening fence, from 1
    language: str
    code: str
    marker: str  # the line above the fence, stripped
    previous: Example | None  # the Python block before it in the document

    @property
    def name(self) -> str:
        return f"{self.document.relative_to(ROOT)}:{self.line}"


def examples_of(document: Path) -> list[Example]:
    lines = document.read_text(encoding="utf-8").splitlines()
    found: list[Example] = []
    last_python: Example | None = None
    at = 0
    while at < len(lines):
        opening = FENCE.match(lines[at])
        if opening is None:
            at += 1
            continue
        indent, language = opening.group(1), opening.group(2).lower()
        end = at + 1
        while end < len(lines) and lines[end].strip() != "```":
            end += 1
        body = [line[len(indent):] if line.startswith(indent) else line
                for line in lines[at + 1:end]]
        above = next((lines[k].strip() for k in range(at - 1, -1, -1) if lines[k].strip()), "")
        example = Example(document, at + 1, language, "\n".join(body) + "\n", above, last_python)
        if language in RUN_LANGUAGES:
            found.append(example)
        if language == "python":
            last_python = example
        at = end + 1
    return found


ALL_EXAMPLES = [example for document in DOCUMENTS for example in examples_of(document)]


def test_every_example_is_found_and_every_marker_is_understood():
    assert any(e.document.name == "README.md" and e.language == "python" for e in ALL_EXAMPLES)
    for example in ALL_EXAMPLES:
        if example.marker.startswith("<!--"):
            assert NOT_RUN.match(example.marker) or example.marker == CONTINUES, example.name
        if example.marker == CONTINUES:
            assert example.language == "python" and example.previous is not None, example.name


# The files the examples name ----------------------------------------------

DEPOTS = ("lat,lon,depot,city\n"
          "52.52,13.405,D1,Berlin\n"
          "48.137,11.575,D2,Munich\n"
          "53.551,9.993,D3,Hamburg\n")


def places_table() -> str:
    rng = np.random.default_rng(7)
    return make_table([(round(lat, 4), round(lon, 4), f"place{i}")
                       for i, (lat, lon) in enumerate(zip(rng.uniform(-60, 70, 400),
                                                          rng.uniform(-180, 180, 400)))])


def points(count: int = 3_000):
    import pandas as pd

    rng = np.random.default_rng(8)
    return pd.DataFrame({"lat": rng.uniform(-60, 70, count), "lon": rng.uniform(-180, 180, count)})


@pytest.fixture(scope="module")
def places() -> vicinor.ReverseGeocoder:
    return vicinor.ReverseGeocoder(places_table())


def prepare_folder(folder: Path, places: vicinor.ReverseGeocoder) -> None:
    """depots.csv (the tour's table), gps.csv (latitude, longitude, id),
    places.vicinor (a saved geocoder with a name column), and points.parquet
    and points/ (a Parquet file and dataset of lat, lon)."""
    (folder / "depots.csv").write_text(DEPOTS)
    frame = points()
    gps = frame.rename(columns={"lat": "latitude", "lon": "longitude"}).head(50)
    gps.assign(id=range(len(gps))).to_csv(folder / "gps.csv", index=False)
    places.save(str(folder / "places.vicinor"))
    frame.to_parquet(folder / "points.parquet")
    (folder / "points").mkdir()
    half = len(frame) // 2
    frame.iloc[:half].to_parquet(folder / "points" / "part.0.parquet")
    frame.iloc[half:].to_parquet(folder / "points" / "part.1.parquet")


# Running them -------------------------------------------------------------

def environment() -> dict[str, str]:
    env = dict(os.environ)
    # The installed command and interpreter first, as after activating the
    # virtualenv; nothing of the checkout on the import path.
    env["PATH"] = f"{Path(sys.executable).parent}{os.pathsep}{env.get('PATH', '')}"
    env.pop("PYTHONPATH", None)
    env["PYTHONSAFEPATH"] = "1"
    return env


def run(command: list[str], folder: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(command, cwd=folder, env=environment(), capture_output=True,
                          text=True, timeout=TIMEOUT_S)


def run_python(example: Example, folder: Path) -> None:
    code = example.code
    if example.marker == CONTINUES:
        assert example.previous is not None
        code = example.previous.code + "\n" + code
    script = folder / "example.py"
    script.write_text(code, encoding="utf-8")
    done = run([sys.executable, str(script)], folder)
    assert done.returncode == 0, done.stderr[-3000:]


def console_commands(code: str) -> list[tuple[str, list[str]]]:
    """Each `$ ` command with the output lines printed under it."""
    commands: list[tuple[str, list[str]]] = []
    for line in code.splitlines():
        if line.startswith("$ "):
            commands.append((line[2:], []))
        elif commands:
            commands[-1][1].append(line.rstrip())
        else:
            raise AssertionError(f"output before any command: {line!r}")
    return commands


def run_console(example: Example, folder: Path) -> None:
    for command, expected in console_commands(example.code):
        done = run(["bash", "-c", command], folder)
        assert done.returncode == 0, f"{command}\n{done.stderr[-3000:]}"
        if any(expected):
            printed = [line.rstrip() for line in done.stdout.splitlines()]
            assert printed == expected, command


def run_shell(example: Example, folder: Path) -> None:
    done = run(["bash", "-e", "-c", example.code], folder)
    assert done.returncode == 0, done.stderr[-3000:]


def check_geocoded(folder: Path, places: vicinor.ReverseGeocoder) -> None:
    """An example's results in geocoded/: each point's place is that of the
    single lookup, or missing where the example's limit (50 km) excludes it."""
    import pandas as pd

    result = pd.read_parquet(folder / "geocoded")
    assert len(result) == len(points())
    for lat, lon, place, km in result[["lat", "lon", "place", "km"]].itertuples(index=False):
        found = places.get_nearest_with_distance(lat, lon)
        assert found is not None
        text, single_km = found
        assert km == single_km
        if km <= 50.0:
            assert place == text.rsplit(",", 1)[1]
        else:
            assert pd.isna(place)


RUNNABLE = [example for example in ALL_EXAMPLES if not NOT_RUN.match(example.marker)]


@pytest.mark.parametrize("example", RUNNABLE, ids=lambda example: example.name)
def test_the_example_runs_as_printed(example, places, tmp_path):
    prepare_folder(tmp_path, places)
    {"python": run_python, "console": run_console}.get(example.language, run_shell)(
        example, tmp_path)
    if (tmp_path / "geocoded").exists():
        check_geocoded(tmp_path, places)
