"""How soon Ctrl-C stops a construction: builds a table of random places
once uninterrupted, then again with SIGINT sent at 15 moments spread over
that time, and prints how long each KeyboardInterrupt took to arrive after
its signal (wall time; medians and the worst).

    PYTHONPATH=build/dev python benchmarks/construction_interrupt.py [--rows 4000000]
"""

from __future__ import annotations

import argparse
import os
import random
import signal
import statistics
import threading
import time

import vicinor


def table(rows: int) -> str:
    rng = random.Random(1)
    return "lat,lon,name\n" + "".join(
        f"{rng.uniform(-90, 90):.5f},{rng.uniform(-180, 180):.5f},p{i}\n" for i in range(rows))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=4_000_000)
    text = table(parser.parse_args().rows)
    start = time.monotonic()
    vicinor.ReverseGeocoder(text)
    whole = time.monotonic() - start
    print(f"uninterrupted construction: {whole:.2f} s")
    delays = []
    for k in range(1, 16):
        sent: list[float] = []

        def interrupt() -> None:
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        timer = threading.Timer(whole * k / 16, interrupt)
        timer.start()
        try:
            vicinor.ReverseGeocoder(text)
            timer.join()  # the signal came after the construction
            time.sleep(0.2)
        except KeyboardInterrupt:
            delays.append(time.monotonic() - sent[0])
            print(f"signal at {whole * k / 16:5.2f} s: KeyboardInterrupt after {delays[-1]:.3f} s")
    print(f"median {statistics.median(delays):.3f} s, worst {max(delays):.3f} s over {len(delays)} signals")


if __name__ == "__main__":
    main()
