"""The command's -k, --within-km and --where options, in subprocesses."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import running_under_sanitizer

COMMAND = str(Path(sys.executable).with_name("vicinor"))
pytestmark = pytest.mark.skipif(running_under_sanitizer(),
                                reason="subprocesses are not run under the sanitizer")

TOWNS = ('lat,lon,name,kind\n10,20,"Alpha, North",town\n10.1,20,Beta,village\n'
         '10.3,20,Gamma,town\n-10,-20,Delta,town\n')


def run(*args, check=True):
    done = subprocess.run([COMMAND, *args], capture_output=True, text=True, timeout=300)
    if check:
        assert done.returncode == 0, done.stderr
    return done


@pytest.fixture(scope="module")
def towns(tmp_path_factory):
    path = tmp_path_factory.mktemp("tables") / "towns.csv"
    path.write_text(TOWNS)
    return str(path)


def test_k_nearest_and_within_as_json(towns):
    nearest = json.loads(run("10", "20", "-k", "9", "--table", towns, "--format", "json").stdout)
    assert [r["name"] for r in nearest] == ["Alpha, North", "Beta", "Gamma", "Delta"]
    assert [r["rank"] for r in nearest] == [1, 2, 3, 4]
    assert nearest[1]["distance_km"] == pytest.approx(11.1, abs=0.1)
    within = json.loads(run("10", "20", "--within-km", "20", "--table", towns,
                            "--format", "json").stdout)
    assert [r["name"] for r in within] == ["Alpha, North", "Beta"]
    assert json.loads(run("50", "50", "--within-km", "1", "--table", towns,
                          "--format", "json").stdout) == []


def test_k_nearest_as_a_text_table(towns):
    lines = run("10", "20", "-k", "2", "--table", towns).stdout.splitlines()
    assert lines[0].split() == ["rank", "lat", "lon", "name", "kind", "distance_km"]
    assert lines[1].split()[:4] == ["1", "10", "20", "Alpha,"] and lines[2].split()[3] == "Beta"


def test_where_keeps_only_matching_places(towns, tmp_path):
    answer = json.loads(run("10", "20", "--where", "kind=village", "--table", towns,
                            "--format", "json").stdout)
    assert answer["name"] == "Beta"
    both = json.loads(run("10", "20", "-k", "5", "--where", "kind=town", "--where", "name=Gamma",
                          "--table", towns, "--format", "json").stdout)
    assert [r["name"] for r in both] == ["Gamma"]
    points = tmp_path / "points.csv"
    points.write_text("lat,lon\n10,20\n-9,-20\n")
    out = run("batch", str(points), "--where", "kind=village", "--table", towns).stdout
    assert [line.split(",")[4] for line in out.splitlines()[1:]] == ["Beta", "Beta"]


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (["--where", "colour=red"], 1, "--where: no column 'colour'"),
        (["--where", "kind=city"], 1, "--where: no place matches kind=city"),
        (["--where", "kind"], 2, "--where takes COLUMN=VALUE"),
        (["-k", "0"], 2, "-k must be at least 1"),
        (["--within-km", "-3"], 2, "--within-km must be a distance"),
    ],
)
def test_neighbour_option_errors_are_one_line(towns, args, status, message):
    done = run("10", "20", "--table", towns, *args, check=False)
    assert done.returncode == status
    assert message in done.stderr and "Traceback" not in done.stderr


@pytest.fixture(scope="module")
def world():
    import vicinor_tools
    return vicinor_tools.world()


@pytest.mark.parametrize("lat, lon, code, radius", [
    (46.72, 6.30, "FR", 12),      # the Jura: the nearest places overall are Swiss
    (48.95, -113.9, "US", 70),    # Montana, by Canada
    (0.0, -30.0, "", 520),        # at sea: the nearest places overall
])
@pytest.mark.parametrize("search", ["k", "within"])
def test_neighbours_by_border_lie_in_the_points_country(world, lat, lon, code, radius, search):
    import vicinor_tools

    option = ["-k", "6"] if search == "k" else ["--within-km", str(radius)]
    answer = json.loads(run(str(lat), str(lon), *option, "--by-border", "--format",
                            "json").stdout)
    searched = vicinor_tools.where(world, country=code) if code else world
    if search == "k":
        rows, km = searched.nearest_rows([lat], [lon], k=6)
        expected = list(zip(rows[0].tolist(), km[0].tolist()))
    else:
        expected = searched.get_rows_within(lat, lon, radius)
    assert len(expected) > 1
    assert [(r["geonames_id"], r["distance_km"]) for r in answer] == \
        [(searched.row_dict(row)["geonames_id"], round(km, 3)) for row, km in expected]
    assert {(r["point_country"], r["within_country"]) for r in answer} == {(code, bool(code))}
    # The first is the place a single lookup by border answers, ties included.
    single = vicinor_tools.world(by_border=True).nearest(lat, lon)
    assert answer[0]["geonames_id"] == world.row_dict(single.row)["geonames_id"]


def test_neighbours_of_a_table_by_border_are_all_its_rows(towns):
    plain = json.loads(run("10", "20", "-k", "3", "--table", towns, "--format", "json").stdout)
    bordered = json.loads(run("10", "20", "-k", "3", "--by-border", "--table", towns,
                              "--format", "json").stdout)
    assert bordered == [row | {"point_country": "TD", "point_country_name": "Chad"}
                        for row in plain]
