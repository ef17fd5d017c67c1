"""Countries from the bundled borders: against shapely on the same polygons,
at named places on every continent, and the nearest place within the
country a point lies in."""

import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vicinor
import vicinor_tools
from conftest import running_under_sanitizer
from vicinor_tools import _borders

shapely = pytest.importorskip("shapely")

COMMAND = str(Path(sys.executable).with_name("vicinor"))

# Points this close to an edge (degrees, about 0.1 mm) may be answered
# either way: our crossing arithmetic and shapely's exact predicates round
# differently there, and a point on an edge is within neither polygon for
# shapely.
EDGE_TOLERANCE = 1e-9


@pytest.fixture(scope="module")
def polygons():
    """shapely polygons of the same rings, each outer with its holes, and
    the country code of each."""
    borders, codes = _borders._borders()
    country, hole, first, count, lons, lats = borders.rings()
    shapes, owners = [], []
    for ring in range(len(country)):
        points = np.column_stack((lons[first[ring]:first[ring] + count[ring] + 1],
                                  lats[first[ring]:first[ring] + count[ring] + 1]))
        if hole[ring]:
            shapes[-1][1].append(points)
        else:
            shapes.append((points, []))
            owners.append(codes[country[ring]])
    return [shapely.Polygon(shell, holes) for shell, holes in shapes], np.array(owners)


def shapely_countries(polygons, lats, lons):
    """For each point, the codes of the polygons it lies within."""
    shapes, owners = polygons
    tree = shapely.STRtree(shapes)
    points, found = tree.query(shapely.points(lons, lats), predicate="within")
    within = [set() for _ in lats]
    for point, shape in zip(points, found):
        within[point].add(owners[shape])
    return within


def assert_same_as_shapely(polygons, lats, lons):
    ours = vicinor_tools.country_of(lats, lons)
    theirs = shapely_countries(polygons, lats, lons)
    shapes, owners = polygons
    boundaries = shapely.STRtree([shape.boundary for shape in shapes])
    # Where polygons overlap, either of their countries answers.
    disagree = [i for i in range(len(lats))
                if ours[i] not in theirs[i] and (theirs[i] or ours[i])]
    for i in disagree:
        point = shapely.Point(lons[i], lats[i])
        nearest = boundaries.query_nearest(point, return_distance=True)[1][0]
        assert nearest < EDGE_TOLERANCE, (lats[i], lons[i], ours[i], theirs[i], nearest)


def sphere_points(rng, count):
    return (np.degrees(np.arcsin(rng.uniform(-1, 1, count))),
            rng.uniform(-180, 180, count))


def near_border_points(polygons, rng, count):
    """Points within 1 km of a border: random places along random edges,
    moved up to 1 km across them."""
    shapes, _ = polygons
    rings = [np.asarray(ring.coords) for shape in shapes
             for ring in [shape.exterior, *shape.interiors]]
    starts = np.concatenate([ring[:-1] for ring in rings])
    ends = np.concatenate([ring[1:] for ring in rings])
    pick = rng.integers(0, len(starts), count)
    along = starts[pick] + rng.uniform(0, 1, (count, 1)) * (ends[pick] - starts[pick])
    km = rng.uniform(-1, 1, count)
    lats = np.clip(along[:, 1] + km / 111.2 * rng.choice([0, 1], count), -90, 90)
    lons = along[:, 0] + km / (111.2 * np.maximum(np.cos(np.radians(lats)), 0.01)) \
        * rng.choice([0, 1], count)
    return lats, np.where(lons >= 180, lons - 360, np.where(lons < -180, lons + 360, lons))


@pytest.mark.parametrize("sphere, near", [(40_000, 10_000),
                                          pytest.param(1_000_000, 100_000,
                                                       marks=pytest.mark.slow)])
def test_same_countries_as_shapely(polygons, sphere, near):
    rng = np.random.default_rng(sphere)
    assert_same_as_shapely(polygons, *sphere_points(rng, sphere))
    assert_same_as_shapely(polygons, *near_border_points(polygons, rng, near))


PLACES = [
    # The faults of nearest-place lookups: the nearest town lies across the border.
    (28.85, 8.44, "DZ", "eastern Algeria, nearest town in Libya"),
    (48.95, -113.9, "US", "Montana, nearest town in Canada"),
    (46.72, 6.30, "FR", "the Jura, nearest town in Switzerland"),
    (-22.79, 28.35, "ZA", "Limpopo, nearest town in Botswana"),
    (-1.16, -73.82, "CO", "Amazonas, nearest town in Peru"),
    (46.72, 84.72, "CN", "Xinjiang, near Kazakhstan"),
    # Enclaves and exclaves.
    (43.94, 12.45, "SM", "San Marino"),
    (41.9029, 12.4534, "VA", "Vatican City"),
    (-29.5, 28.2, "LS", "Lesotho"),
    (54.71, 20.51, "RU", "Kaliningrad"),
    (61.2, -149.9, "US", "Anchorage"),
    # The antimeridian and the poles.
    (-16.5, 179.9, "FJ", "Vanua Levu, east of 180"),
    (-16.48, -179.95, "FJ", "Fiji west of 180"),
    (-16.48, 180.05, "FJ", "the same, longitude past 180"),
    (66.0, -172.0, "RU", "Chukotka"),
    (-90.0, 0.0, "AQ", "the South Pole"),
    (90.0, 0.0, "", "the North Pole"),
    # Every continent, and the sea.
    (-33.87, 151.21, "AU", "Sydney"),
    (-23.55, -46.63, "BR", "São Paulo"),
    (-1.29, 36.82, "KE", "Nairobi"),
    (35.68, 139.69, "JP", "Tokyo"),
    (19.43, -99.13, "MX", "Mexico City"),
    (0.0, -30.0, "", "the Atlantic"),
]


def test_countries_of_named_places():
    lats, lons, codes, _ = zip(*PLACES)
    assert list(vicinor_tools.country_of(np.array(lats), np.array(lons))) == list(codes)
    assert [_borders.country_at(lat, lon) for lat, lon, *_ in PLACES] == list(codes)


def test_country_of_arguments():
    lats = np.array([28.85, 0.0, 43.94] * 10_000)
    lons = np.array([8.44, -30.0, 12.45] * 10_000)
    answer = vicinor_tools.country_of(lats, lons)
    assert answer.dtype.kind == "U" and list(answer[:3]) == ["DZ", "", "SM"]
    assert (vicinor_tools.country_of(lats, lons, threads=3) == answer).all()
    assert list(vicinor_tools.country_of([28.85], [8.44])) == ["DZ"]
    assert list(vicinor_tools.country_of(lats[::3].astype(np.float32), lons[::3])) == \
        ["DZ"] * 10_000
    assert len(vicinor_tools.country_of([], [])) == 0
    with pytest.raises(ValueError, match=r"lons\[1\]: longitude must be a finite number"):
        vicinor_tools.country_of([0, 0], [0, np.nan])
    with pytest.raises(ValueError, match="differ in length"):
        vicinor_tools.country_of([0, 0], [0])
    with pytest.raises(ValueError, match="threads"):
        vicinor_tools.country_of([0], [0], threads=0)


def test_nearest_place_within_the_country():
    world = vicinor_tools.world()
    bordered = vicinor_tools.world(by_border=True)
    assert vicinor_tools.world(by_border=True) is bordered
    for lat, lon, code, what in PLACES[:6]:
        answer = bordered.nearest(lat, lon)
        assert answer.country == code and answer.within_country, what
        assert world.row_dict(answer.row)["country"] == code, what
    # The first five are the fault itself: the plain lookup crosses the border.
    for lat, lon, code, what in PLACES[:5]:
        assert world.get_nearest_as_dict(lat, lon)["country"] != code, what
    # Overseas parts of a country whose places the table files under codes
    # of their own: the nearest place is there, not in Europe.
    for lat, lon, code, place_code in [(4.9, -52.4, "FR", "GF"), (78.2, 15.6, "NO", "SJ"),
                                       (34.59, 32.98, "GB", "CY")]:
        answer = bordered.nearest(lat, lon)
        assert (answer.country, answer.within_country) == (code, True)
        # The place may be filed under the territory's code or the country's own.
        assert world.row_dict(answer.row)["country"] in (place_code, code) and answer.km < 30
    at_sea = bordered.nearest(0.0, -30.0)
    assert (at_sea.country, at_sea.within_country) == ("", False)
    assert at_sea.row == world.nearest_rows([0.0], [-30.0])[0][0]


def test_whole_columns_answer_as_single_points():
    bordered = vicinor_tools.world(by_border=True)
    lats, lons = sphere_points(np.random.default_rng(5), 2000)
    lats[:len(PLACES)] = [place[0] for place in PLACES]
    lons[:len(PLACES)] = [place[1] for place in PLACES]
    rows, km, countries, within = bordered.nearest_rows(lats, lons)
    for i in range(len(lats)):
        assert bordered.nearest(lats[i], lons[i]) == (rows[i], km[i], countries[i], within[i])


@pytest.mark.skipif(running_under_sanitizer(),
                    reason="subprocesses are not run under the sanitizer")
@pytest.mark.parametrize("place, table", [(PLACES[0], False), (PLACES[1], False),
                                          (PLACES[-1], False), (PLACES[0], True)])
def test_command_by_border(tmp_path, place, table):
    lat, lon, code, _ = place
    args = [COMMAND, str(lat), str(lon), "--by-border", "--format", "json"]
    if table:
        path = tmp_path / "towns.csv"
        path.write_text("lat,lon,name\n26.5,8.5,Inside\n28.9,9.9,Across\n")
        args += ["--table", str(path)]
    done = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    answer = json.loads(done.stdout)
    assert answer["point_country"] == code
    if table:  # the nearest row, whatever its country: a table need not say
        assert answer["name"] == "Across" and "within_country" not in answer
    else:
        assert answer["within_country"] == bool(code)
        assert answer["country"] == code or not code


def test_other_threads_run_while_countries_are_found():
    from test_blocking_calls import ticks_during

    borders, _ = _borders._borders()
    lats, lons = sphere_points(np.random.default_rng(3), 2_000_000)
    with open(_borders.BORDERS_FILE, "rb") as file:
        data = file.read()
    # Holding the GIL the whole call allows at most a turn at either end.
    assert ticks_during(lambda: borders.country_numbers(lats, lons, threads=1)) >= 5
    assert ticks_during(lambda: vicinor._CountryBorders(data)) >= 5


def test_a_damaged_border_file_is_refused():
    with open(_borders.BORDERS_FILE, "rb") as file:
        data = file.read()
    for damaged in (b"", data[:4], data[:len(data) // 2], data + b"\0"):
        with pytest.raises(ValueError, match="malformed country border file"):
            vicinor._CountryBorders(damaged)
