"""nearest_rows reads float64 input in place without the GIL, so another
thread or process may change it during the call. Answers may then be for
either value, but memory is never corrupted, and a coordinate that turns
NaN fails as NaN fails the up-front check. Each race runs in a child
process, so that a crash fails the test instead of the run."""

import subprocess
import sys
import textwrap

import pytest

COMMON = """
import sys, threading
import numpy as np
import vicinor

rng = np.random.default_rng(5)
table = "lat,lon,name\\n" + "".join(
    f"{lat:.4f},{lon:.4f},p{i}\\n"
    for i, (lat, lon) in enumerate(zip(rng.uniform(-89, 89, 2000), rng.uniform(-179, 179, 2000))))
geocoder = vicinor.ReverseGeocoder(table)
COUNT = 2_000_000

def change(lats, value):
    # A sign flip reorders the sort; a NaN toggled near the end is mostly
    # seen by the search, not by the check before it.
    if value != value:
        lats[-3:] = value
        lats[-3:] = 10.0
    else:
        lats[::7] *= -1

def searches(lats, lons, rounds):
    for _ in range(rounds):
        try:
            rows, km = geocoder.nearest_rows(lats, lons, threads=2)
        except ValueError as error:
            assert "must be a finite number, got nan" in str(error), error
            continue
        assert ((rows >= 0) & (rows < 2000)).all()
"""

THREAD_WRITER = """
lats = np.ascontiguousarray(rng.uniform(-80, 80, COUNT))
lons = rng.uniform(-170, 170, COUNT)
stop = threading.Event()

def writer():
    while not stop.is_set():
        change(lats, float(sys.argv[1]))

writing = threading.Thread(target=writer)
writing.start()
try:
    searches(lats, lons, 6)
finally:
    stop.set()
    writing.join()  # a thread left running would leak its objects at exit
print("clean")
"""

PROCESS_WRITER = """
import multiprocessing, os

def writer(path, value):
    shared = np.memmap(path, dtype=np.float64, mode="r+")
    while True:
        change(shared, value)

if __name__ == "__main__":
    path = os.path.join(sys.argv[2], "lats")
    lats = np.memmap(path, dtype=np.float64, mode="w+", shape=COUNT)
    lats[:] = rng.uniform(-80, 80, COUNT)
    lons = rng.uniform(-170, 170, COUNT)
    child = multiprocessing.get_context("fork").Process(target=writer, args=(path, float(sys.argv[1])), daemon=True)
    child.start()
    try:
        searches(lats, lons, 6)
    finally:
        child.kill()
    print("clean")
"""


@pytest.mark.parametrize("writer", [THREAD_WRITER, PROCESS_WRITER], ids=["thread", "memmap-process"])
@pytest.mark.parametrize("value", ["-45.0", "nan"])
def test_a_racing_writer_never_corrupts_memory(tmp_path, writer, value):
    script = tmp_path / "race.py"
    script.write_text(textwrap.dedent(COMMON) + textwrap.dedent(writer))
    done = subprocess.run([sys.executable, str(script), value, str(tmp_path)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "clean"
