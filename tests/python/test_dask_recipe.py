"""The README's Dask recipe, run on a local cluster of two worker processes:
the geocoder is scattered to every worker once, each partition of a
Parquet dataset is one nearest_rows call, and every answer is that of a
single lookup."""

import numpy as np
import pandas as pd
import pytest

from conftest import ReverseGeocoder, make_table

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("dask.distributed")


def geocode_partition(part, geocoder, max_km=None):
    rows, km = geocoder.nearest_rows(part["lat"].to_numpy(), part["lon"].to_numpy(),
                                     max_km=max_km)
    names = np.asarray(geocoder.column("name"), dtype=object)
    found = rows >= 0
    return part.assign(place=np.where(found, names[np.where(found, rows, 0)], None), km=km)


def test_the_dask_recipe_answers_as_single_lookups(tmp_path):
    rng = np.random.default_rng(11)
    places = [(round(lat, 3), round(lon, 3), f"place{i}")
              for i, (lat, lon) in enumerate(zip(rng.uniform(-70, 70, 300),
                                                 rng.uniform(-180, 180, 300)))]
    geocoder = ReverseGeocoder(make_table(places))
    points = pd.DataFrame({"lat": rng.uniform(-90, 90, 6_000),
                           "lon": rng.uniform(-180, 180, 6_000)})
    dd.from_pandas(points, npartitions=4).to_parquet(tmp_path / "points")

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        remote = client.scatter(geocoder, broadcast=True)
        assert len(client.who_has(remote)[remote.key]) == 2
        frame = dd.read_parquet(tmp_path / "points")
        meta = frame._meta.assign(place=pd.Series(dtype=object), km=pd.Series(dtype="float64"))
        result = frame.map_partitions(geocode_partition, remote, 1500.0, meta=meta).compute()

    assert len(result) == len(points)
    for lat, lon, place, km in result[["lat", "lon", "place", "km"]].itertuples(index=False):
        text, single_km = geocoder.get_nearest_with_distance(lat, lon)
        assert km == single_km
        if km <= 1500.0:
            assert place == text.rsplit(",", 1)[1]
        else:
            assert pd.isna(place)
