"""How the `vicinor` command fails: one line naming the file or argument,
said once, with the status for its kind, and never a traceback."""

import os
import signal
import subprocess
import sys
from pathlib import Path

import msgpack
import pytest

import vicinor

from conftest import running_under_sanitizer

COMMAND = str(Path(sys.executable).with_name("vicinor"))
pytestmark = pytest.mark.skipif(running_under_sanitizer(),
                                reason="subprocesses are not run under the sanitizer")


@pytest.fixture
def files(tmp_path):
    (tmp_path / "t.csv").write_text("lat,lon,name\n1,2,a\n")
    (tmp_path / "own.csv").write_text("lat,lon,distance_km\n1,2,far\n")
    (tmp_path / "g.bin").write_bytes(b"\xff\xfe")
    (tmp_path / "folder").mkdir()
    record = msgpack.unpackb(vicinor.ReverseGeocoder("lat,lon,name\n1,2,a\n").to_bytes())
    record[3][0][1] -= 2  # the row's slice two bytes short
    (tmp_path / "damaged.vgc").write_bytes(msgpack.packb(record))
    return tmp_path


def shell(command, folder):
    return subprocess.run(["sh", "-c", command.replace("vicinor", f"'{COMMAND}'")], cwd=folder,
                          capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("command, status, line", [
    ("vicinor 1 2 --table t.csv >&-", 1, "vicinor: standard output is closed"),
    ("vicinor batch - <&-", 1, "vicinor: standard input is closed"),
    ("vicinor 1 2 --table t.csv >/dev/full", 1, "vicinor: cannot write standard output: No space left on device"),
    ("vicinor 1 2 --table g.bin", 1, "vicinor: g.bin: not UTF-8 text (at byte 0)"),
    ("vicinor 1 2 --index folder", 1, "vicinor: folder: IO error while reading marker: Is a directory (os error 21)"),
    ("vicinor 1 2 --index damaged.vgc", 1,
     "vicinor: damaged.vgc: invalid saved geocoder: row 0 (offset 13, length 3) does not start and end where lines do"),
    ("vicinor batch t.csv --threads 9223372036854775808", 2,
     "vicinor batch: error: --threads must be from 1 to 1024"),
    ("vicinor 91 2", 2, "vicinor: error: argument lat: latitude must be between -90 and 90 degrees, got 91"),
    ("vicinor -- 1 -1000", 2, "vicinor: error: argument lon: longitude must be between -360 and 360 degrees, got -1000"),
], ids=["closed-stdout", "closed-stdin", "full-disk", "not-utf8", "folder", "damaged-index", "threads",
        "latitude", "longitude"])
def test_a_failure_is_one_line_said_once(files, command, status, line):
    done = shell(command, files)
    assert (done.returncode, done.stderr.splitlines()[-1]) == (status, line)
    assert "Traceback" not in done.stderr


@pytest.mark.parametrize("output", ["t.csv", "./t.csv", "link.csv", "hard.csv"])
def test_build_refuses_to_write_over_its_input(files, output):
    os.symlink("t.csv", files / "link.csv")
    os.link(files / "t.csv", files / "hard.csv")
    done = shell(f"vicinor build t.csv -o {output}", files)
    assert (done.returncode, done.stderr) == (1, f"vicinor: {output}: is the input table; save the geocoder elsewhere\n")
    assert (files / "t.csv").read_text() == "lat,lon,name\n1,2,a\n"


def test_a_table_column_named_distance_km_is_kept(files):
    done = shell("vicinor 1 2 --table own.csv --format json", files)
    assert done.stdout == '{"lat": "1", "lon": "2", "distance_km": "far", "place_distance_km": 0.0}\n'


def test_a_reader_that_goes_away_ends_the_command_quietly(files):
    # The pipe is closed long before the command has started, let alone written.
    with subprocess.Popen([COMMAND, "1", "2", "--table", "t.csv"], cwd=files,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as child:
        child.stdout.close()
        assert child.wait(timeout=300) == 128 + signal.SIGPIPE
        assert child.stderr.read() == b""
