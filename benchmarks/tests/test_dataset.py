"""The shared table and queries."""

import math

from harness.dataset import (NEAR_RADIUS_DEGREES, decompress_table, make_queries,
                             place_coordinates)


def test_decompressed_table_matches_on_disk_and_counts_rows(small_table_gz, tmp_path):
    table = decompress_table(small_table_gz, tmp_path / "work")
    assert table.path.read_bytes() == table.text.encode("utf-8")
    assert table.row_count == 7  # the final LF adds no row
    assert table.size_bytes == len(table.text.encode("utf-8"))


def test_place_coordinates_reads_the_first_two_fields(small_table_gz, tmp_path):
    table = decompress_table(small_table_gz, tmp_path)
    places = place_coordinates(table.text)
    assert places[0] == (48.85341, 2.3488)
    assert places[4] == (35.6895, 139.69171)  # a quoted name after them is no trouble
    assert len(places) == 7


def test_queries_are_fixed_by_the_seed():
    places = [(10.0, 20.0), (-45.0, 170.0)]
    assert make_queries(places, 50) == make_queries(places, 50)
    assert make_queries(places, 50, seed=1) != make_queries(places, 50, seed=2)
    assert make_queries(places, 10) == make_queries(places, 50)[:10]


def test_every_other_query_lies_near_a_place_and_all_are_valid():
    places = [(89.99, 0.0), (0.0, 179.99), (-30.0, -60.0)]
    queries = make_queries(places, 1000)
    for index, (lat, lon) in enumerate(queries):
        assert -90.0 <= lat <= 90.0
        if index % 2:
            assert any(abs(lat - p_lat) <= NEAR_RADIUS_DEGREES + 1e-12
                       and abs(lon - p_lon) <= NEAR_RADIUS_DEGREES + 1e-12
                       for p_lat, p_lon in places)
        else:
            assert -180.0 <= lon <= 180.0


def test_uniform_half_covers_both_hemispheres_evenly():
    uniform = make_queries([(0.0, 0.0)], 20_000)[::2]
    north = sum(lat > 0 for lat, _ in uniform) / len(uniform)
    # Uniform on the sphere, not in latitude: sin(lat) is uniform, so the
    # caps beyond 30 degrees hold half the points.
    mean_sin = sum(math.sin(math.radians(lat)) for lat, _ in uniform) / len(uniform)
    high = sum(abs(lat) > 30 for lat, _ in uniform) / len(uniform)
    assert abs(north - 0.5) < 0.02 and abs(mean_sin) < 0.02
    assert abs(high - 0.5) < 0.02
