"""Makes the harness and the native helpers importable from the tests."""

import gzip
import sys
from pathlib import Path

import pytest

BENCHMARKS = Path(__file__).resolve().parents[1]
REPO = BENCHMARKS.parent
TOOLS_BUILD = REPO / "build" / "bench-tools"

sys.path.insert(0, str(BENCHMARKS))
sys.path.insert(0, str(TOOLS_BUILD))

SMALL_TABLE = (
    "lat,lon,name,country,admin1,admin2\n"
    "48.85341,2.3488,Paris,FR,11,75\n"
    "51.50853,-0.12574,London,GB,ENG,GLA\n"
    "-33.86785,151.20732,Sydney,AU,02,17200\n"
    "40.71427,-74.00597,New York City,US,NY,\n"
    '35.6895,139.69171,"Tokyo, Japan",JP,40,\n'
    "-90.0,0.0,South Pole,AQ,,\n"
    "64.13548,-21.89541,Reykjavik,IS,39,0000\n"
)


@pytest.fixture
def small_table_gz(tmp_path: Path) -> Path:
    path = tmp_path / "small.csv.gz"
    path.write_bytes(gzip.compress(SMALL_TABLE.encode("utf-8")))
    return path
