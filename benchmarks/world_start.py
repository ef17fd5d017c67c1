"""Cold starts of the bundled world geocoder, side by side with a bare
interpreter in the same run: `python -c pass`, a fresh process that calls
`vicinor_tools.world()`, one that calls `world(min_population=15000)` first
thing, and the command `vicinor LAT LON`. Each runs once per round in a
rotating order; medians of wall and CPU time (user and system; far steadier
on a shared machine), and the time beyond the bare interpreter. The two
library rows also report the in-process wall time of the import and the
call.

    python benchmarks/world_start.py [--rounds 15]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

VICINOR = str(Path(sys.executable).with_name("vicinor"))
TIMED = ("import time; t = time.perf_counter(); import vicinor_tools; "
         "vicinor_tools.world({}); print(time.perf_counter() - t)")
CONTENDERS = {
    "python -c pass": [sys.executable, "-c", "pass"],
    "world()": [sys.executable, "-c", TIMED.format("")],
    "world(min_population=15000)": [sys.executable, "-c", TIMED.format("15000")],
    "vicinor 48.8566 2.3522": [VICINOR, "48.8566", "2.3522"],
}


Run = tuple[float, float, float | None]


def timed(command: list[str]) -> Run:
    """Wall and CPU seconds of one run, and the seconds it printed, if any."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    assert process.stdout is not None
    out = process.stdout.read()
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"failed: {' '.join(command)}")
    try:
        inside = float(out)
    except ValueError:
        inside = None
    return wall, usage.ru_utime + usage.ru_stime, inside


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=15)
    rounds = parser.parse_args().rounds
    runs: dict[str, list[Run]] = {name: [] for name in CONTENDERS}
    names = list(CONTENDERS)
    for round_number in range(rounds):
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            runs[name].append(timed(CONTENDERS[name]))
    bare = [statistics.median(run[i] for run in runs["python -c pass"]) for i in (0, 1)]
    print(f"{rounds} rounds, medians\n")
    print("| Contender | wall | CPU | wall beyond `python -c pass` | CPU beyond | "
          "wall ÷ `python -c pass` | in process (wall) |")
    print("|---|---|---|---|---|---|---|")
    for name, results in runs.items():
        wall, cpu = (statistics.median(run[i] for run in results) for i in (0, 1))
        insides = [run[2] for run in results if run[2] is not None]
        inside = f"{statistics.median(insides) * 1000:.0f} ms" if insides else ""
        print(f"| `{name}` | {wall * 1000:.0f} ms | {cpu * 1000:.0f} ms | "
              f"{(wall - bare[0]) * 1000:.0f} ms | {(cpu - bare[1]) * 1000:.0f} ms | "
              f"{wall / bare[0]:.1f}x | {inside} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
