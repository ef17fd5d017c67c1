"""Calls that block or run long: other threads keep running during them, a
signal stops a call that waits on a file, and a save killed at any moment
leaves nothing behind."""

import os
import random
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import ReverseGeocoder


def world_like_table(rows, seed=5):
    rng = np.random.default_rng(seed)
    lats, lons = rng.uniform(-90, 90, rows).round(5), rng.uniform(-180, 180, rows).round(5)
    lines = [f"{lat!r},{lon!r},place {i}" for i, (lat, lon) in enumerate(zip(lats.tolist(), lons.tolist()))]
    return "lat,lon,name\n" + "\n".join(lines) + "\n"


def run_python(script, *args, timeout=30):
    # -P: the working folder must not shadow the installed module.
    return subprocess.run(
        [sys.executable, "-P", "-c", script, *map(str, args)],
        capture_output=True, text=True, timeout=timeout,
    )


INTERRUPTED_CALL = """
import signal, sys, threading, time
import vicinor
fifo, call = sys.argv[1], sys.argv[2]
# A shell's background job starts with SIGINT ignored, and Python then
# leaves it ignored: install the usual handler so the test does not depend
# on how it was started.
signal.signal(signal.SIGINT, signal.default_int_handler)
geocoder = vicinor.ReverseGeocoder("lat,lon,name\\n1,2,a\\n")
main = threading.main_thread().ident
threading.Timer(0.3, signal.pthread_kill, (main, signal.SIGINT)).start()
started = time.monotonic()
try:
    geocoder.save(fifo) if call == "save" else vicinor.ReverseGeocoder.load(fifo)
except KeyboardInterrupt:
    print("interrupted after", time.monotonic() - started)
"""


@pytest.mark.parametrize("call", ["save", "load"])
def test_a_call_waiting_on_a_fifo_stops_at_sigint(tmp_path, call):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    try:
        done = run_python(INTERRUPTED_CALL, fifo, call, timeout=10)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{call} on a FIFO with no partner ignored SIGINT")
    assert done.stdout.startswith("interrupted after"), done.stdout + done.stderr
    # The signal came 0.3 s in; the call ended well within a second of it.
    assert float(done.stdout.split()[-1]) < 1.3
    assert sorted(os.listdir(tmp_path)) == ["fifo"]


@pytest.fixture(scope="module")
def large_table():
    return world_like_table(400_000)


def ticks_during(call):
    """Runs `call` while another thread counts its turns; returns how many
    turns fell inside the call."""
    stamps, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0.0005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    time.sleep(0.02)
    started = time.perf_counter()
    call()
    ended = time.perf_counter()
    stop.set()
    ticker.join()
    return sum(started < stamp < ended for stamp in stamps)


def test_other_threads_run_during_construction_save_and_load(large_table, tmp_path):
    target = tmp_path / "large"
    built = []
    # Holding the GIL the whole call allows at most a turn at either end.
    assert ticks_during(lambda: built.append(ReverseGeocoder(large_table))) >= 5
    assert ticks_during(lambda: built[0].save(target)) >= 5
    assert ticks_during(lambda: built.append(ReverseGeocoder.load(target))) >= 5
    assert built[1].get_nearest_as_string(10, 20) == built[0].get_nearest_as_string(10, 20)


SAVING_FOREVER = """
import sys
import vicinor
geocoder = vicinor.ReverseGeocoder(sys.stdin.read())
print("ready", flush=True)
while True:
    geocoder.save(sys.argv[1])
"""


def test_saves_killed_at_random_moments_leave_only_the_target(tmp_path):
    table = world_like_table(100_000)
    target = tmp_path / "geocoder.bin"
    geocoder = ReverseGeocoder(table)
    geocoder.save(target)
    rng = random.Random(17)
    for _ in range(10):
        saver = subprocess.Popen(
            [sys.executable, "-P", "-c", SAVING_FOREVER, str(target)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        )
        try:
            saver.stdin.write(table)
            saver.stdin.close()
            assert saver.stdout.readline() == "ready\n"
            time.sleep(rng.uniform(0.0, 0.4))
        finally:
            saver.send_signal(signal.SIGKILL)
            saver.wait()
            saver.stdout.close()
    # The next save removes what a save killed just before its rename left.
    ReverseGeocoder("lat,lon,name\n1,2,a\n").save(tmp_path / "other.bin")
    assert sorted(os.listdir(tmp_path)) == ["geocoder.bin", "other.bin"]
    loaded = ReverseGeocoder.load(target)
    assert loaded.get_nearest_as_string(12, 34) == geocoder.get_nearest_as_string(12, 34)
