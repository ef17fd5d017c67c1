"""A reader that goes away ends the command quietly with status 141, however
the write that meets the closed pipe happens: in the loop, at the last
flush, as a file named by -o, or at exit after a failure or --help; and
those writes into a full disk fail with one line."""

import os
import random
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import running_under_sanitizer

COMMAND = str(Path(sys.executable).with_name("vicinor"))
pytestmark = pytest.mark.skipif(running_under_sanitizer(),
                                reason="subprocesses are not run under the sanitizer")


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pipe")
    rng = random.Random(5)
    (folder / "t.csv").write_text("lat,lon,name\n" + "".join(
        f"{rng.uniform(-80, 80):.4f},{rng.uniform(-180, 180):.4f},p{i}\n" for i in range(50)))
    # Far more output than a pipe holds, in many blocks.
    (folder / "points.csv").write_text("lat,lon\n" + "".join(
        f"{rng.uniform(-80, 80):.4f},{rng.uniform(-180, 180):.4f}\n" for i in range(20_000)))
    # Little output before the bad row: it is still buffered when the run fails.
    (folder / "bad.csv").write_text("lat,lon\n" + "1,2\n" * 10 + "1,x\n")
    return folder


def into_leaving_reader(args, folder, read, buffered=True):
    """The status and standard error of the command whose reader takes
    `read` bytes, then closes the pipe."""
    env = dict(os.environ)
    if buffered:  # as users run it; the test runner may have it unbuffered
        env.pop("PYTHONUNBUFFERED", None)
    else:
        env["PYTHONUNBUFFERED"] = "1"
    with subprocess.Popen([COMMAND, *args], cwd=folder, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as child:
        child.stdout.read(read)
        child.stdout.close()
        return child.wait(timeout=300), child.stderr.read()


MANY_BLOCKS = ["batch", "points.csv", "--table", "t.csv", "--chunk-rows", "500"]


@pytest.mark.parametrize("args, read, buffered, runs", [
    (MANY_BLOCKS, 5000, True, 3),
    (MANY_BLOCKS, 5000, False, 2),
    (MANY_BLOCKS + ["--format", "jsonl", "--threads", "1"], 0, True, 2),
    (MANY_BLOCKS + ["-o", "/dev/stdout"], 5000, True, 2),
    (["batch", "bad.csv", "--table", "t.csv", "--chunk-rows", "1"], 0, True, 1),
    (["--help"], 0, True, 1),
], ids=["blocks", "unbuffered", "jsonl-one-thread", "output-file", "failure-after-output", "help"])
def test_a_leaving_reader_always_ends_the_command_with_141(folder, args, read, buffered, runs):
    for _ in range(runs):
        assert into_leaving_reader(args, folder, read, buffered) == (128 + signal.SIGPIPE, b"")


@pytest.mark.parametrize("args, line", [
    (["--help"], "vicinor: cannot write standard output: No space left on device"),
    (["batch", "bad.csv", "--table", "t.csv"], "vicinor: bad.csv, line 12: longitude 'x' is not a number"),
])
def test_the_same_writes_into_a_full_disk_fail_with_one_line(folder, args, line):
    env = {name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"}
    with open("/dev/full", "wb") as full:
        done = subprocess.run([COMMAND, *args], cwd=folder, env=env, stdout=full,
                              stderr=subprocess.PIPE, text=True, timeout=300)
    assert (done.returncode, done.stderr) == (1, line + "\n")
