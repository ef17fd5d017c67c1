"""Kills saves of the world geocoder at random moments and counts what they
leave in the folder, then what is left after one more save there. Prints one
JSON line.

    PYTHONPATH=<build dir> python benchmarks/stop_safety/killed_saves.py [--kills 50]
"""

import argparse
import gzip
import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import tempfile
import time

import vicinor

TABLE = pathlib.Path(__file__).resolve().parents[2] / "data" / "world-cities.csv.gz"

SAVING_FOREVER = """
import sys
import vicinor
geocoder = vicinor.ReverseGeocoder.load(sys.argv[1])
print("ready", flush=True)
while True:
    geocoder.save(sys.argv[2])
"""


def leftovers(folder, target):
    names = [name for name in os.listdir(folder) if name not in (target, "source.bin", "other.bin")]
    return len(names), sum(os.path.getsize(os.path.join(folder, name)) for name in names)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kills", type=int, default=50)
    args = parser.parse_args()
    text = gzip.decompress(TABLE.read_bytes()).decode("utf-8")
    rng = random.Random(1)
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "source.bin")
        target = os.path.join(folder, "target.bin")
        vicinor.ReverseGeocoder(text).save(source)
        vicinor.ReverseGeocoder.load(source).save(target)
        for _ in range(args.kills):
            saver = subprocess.Popen([sys.executable, "-P", "-c", SAVING_FOREVER, source, target],
                                     stdout=subprocess.PIPE, text=True)
            saver.stdout.readline()
            time.sleep(rng.uniform(0.0, 0.3))
            saver.send_signal(signal.SIGKILL)
            saver.wait()
            saver.stdout.close()
        after_kills = leftovers(folder, "target.bin")
        vicinor.ReverseGeocoder("lat,lon,name\n1,2,a\n").save(os.path.join(folder, "other.bin"))
        after_next_save = leftovers(folder, "target.bin")
        vicinor.ReverseGeocoder.load(target)  # the target is whole
    print(json.dumps({"kills": args.kills, "left_after_kills": after_kills, "left_after_next_save": after_next_save}))


if __name__ == "__main__":
    main()
