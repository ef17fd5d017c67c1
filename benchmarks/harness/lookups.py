"""Single lookups from a Python loop: one point per call, ns per call.

vicinor and the floor answer every query; the much slower peers answer a
prefix of the same list (it holds both kinds of query in equal share), which
changes their per-call figure by noise only and keeps the suite short.
"""

from __future__ import annotations

import math

from . import peers
from .context import Context, deferred_failure
from .measure import Contender, interleave, ns_per_call
from .report import Figure, Row, at_least_faster, within

AS_STRING = "vicinor get_nearest_as_string"
AS_DICT = "vicinor get_nearest_as_dict"
FLOOR_STRING = "floor as_string (45-byte str)"
FLOOR_DICT = "floor as_dict (6 new str pairs)"
PYKDTREE = "pykdtree KDTree.query, one point"
CKDTREE = "scipy cKDTree.query, one point"
BALLTREE = "sklearn BallTree.query, one point"
RG = "reverse_geocoder query, one point"
RG2 = "reverse-geocode query, one point"

AGREEMENT_SAMPLE = 2000


def _peer(name: str, build, make_lookup, points) -> Contender:
    try:
        built = build()
        if isinstance(built, Exception):
            raise built
        lookup = make_lookup(built)
    except Exception as exc:
        return Contender(name, deferred_failure(exc))
    return Contender(name, lambda: ns_per_call(lookup, points))


def exact_answers(coordinates_of, ckdtree_built, queries) -> int:
    """How many answers lie exactly as near as the nearest row scipy finds
    (ties may pick either row). `coordinates_of` gives the latitude and
    longitude of the row a tool returns for a query."""
    tree, _ = ckdtree_built
    exact = 0
    for lat, lon in queries:
        distance, _ = tree.query(_point(lat, lon))
        row_lat, row_lon = coordinates_of(lat, lon)
        mine = math.dist(_point(float(row_lat), float(row_lon)), _point(lat, lon))
        exact += abs(mine - distance) <= 1e-12
    return exact


def agreement_note(context: Context, geocoder, built: dict) -> str:
    """Speed means little without the right answer, so the table says how
    often each geocoder returns the truly nearest row."""
    sample = context.queries[:AGREEMENT_SAMPLE]

    def vicinor_row(lat, lon):
        return geocoder.get_nearest_as_string(lat, lon).split(",", 2)[:2]

    tools = {"vicinor": vicinor_row}
    if not isinstance(built[RG], Exception):
        rg_lookup = peers.reverse_geocoder_lookup(built[RG])
        tools["reverse_geocoder"] = lambda lat, lon: _fields(rg_lookup(lat, lon), "lat", "lon")
    if not isinstance(built[RG2], Exception):
        rg2_lookup = peers.reverse_geocode_lookup(built[RG2])
        tools["reverse-geocode"] = lambda lat, lon: _fields(rg2_lookup(lat, lon),
                                                            "latitude", "longitude")
    counts = ", ".join(f"{name} {exact_answers(of, built[CKDTREE], sample)}"
                       for name, of in tools.items())
    return (f"answers exactly as near as scipy's nearest row, of {len(sample)} queries: "
            + counts)


def _attempt(build):
    """The built index, or the exception that stopped it (reported later)."""
    try:
        return build()
    except Exception as exc:
        return exc


def _fields(record: dict, *names: str) -> tuple:
    return tuple(record[name] for name in names)


def _point(lat: float, lon: float) -> tuple[float, float, float]:
    lat_r, lon_r = lat * peers.DEG_TO_RAD, lon * peers.DEG_TO_RAD
    return (math.cos(lat_r) * math.cos(lon_r), math.cos(lat_r) * math.sin(lon_r), math.sin(lat_r))


def run(context: Context) -> list[Row]:
    text = context.table.text
    geocoder = context.vicinor.ReverseGeocoder(text)
    points, peer_points = context.queries, context.peer_queries
    floor = context.floor

    built = {
        CKDTREE: _attempt(lambda: peers.build_ckdtree(text)),
        RG: _attempt(lambda: peers.build_reverse_geocoder(peers.prepare_reverse_geocoder(text))),
        RG2: _attempt(lambda: peers.build_reverse_geocode(
            peers.prepare_reverse_geocode(text, context.work_dir))),
    }
    if isinstance(built[CKDTREE], Exception):
        context.notes.append(f"answers not checked: scipy failed ({built[CKDTREE]})")
    else:
        context.notes.append(agreement_note(context, geocoder, built))

    contenders = [
        Contender(AS_STRING, lambda: ns_per_call(geocoder.get_nearest_as_string, points)),
        Contender(AS_DICT, lambda: ns_per_call(geocoder.get_nearest_as_dict, points)),
        _peer(FLOOR_STRING, lambda: floor, lambda module: module.as_string, points),
        _peer(FLOOR_DICT, lambda: floor, lambda module: module.as_dict, points),
        _peer(PYKDTREE, lambda: peers.build_pykdtree(text), peers.pykdtree_lookup, peer_points),
        _peer(CKDTREE, lambda: built[CKDTREE], peers.ckdtree_lookup, peer_points),
        _peer(BALLTREE, lambda: peers.build_balltree(text), peers.balltree_lookup, peer_points),
        _peer(RG, lambda: built[RG], peers.reverse_geocoder_lookup, peer_points),
        _peer(RG2, lambda: built[RG2], peers.reverse_geocode_lookup, peer_points),
    ]
    if floor is None:
        contenders[2] = Contender(FLOOR_STRING, deferred_failure(ImportError("no floor module")))
        contenders[3] = Contender(FLOOR_DICT, deferred_failure(ImportError("no floor module")))
    context.log("single lookups:")
    samples = interleave(contenders, context.rounds, context.log)
    context.note_failures(samples)

    as_string = Figure.of(samples[AS_STRING], "ns")
    as_dict = Figure.of(samples[AS_DICT], "ns")
    subset = f"{len(peer_points):,} queries"

    def row(subject: str, mine: Figure, peer: str, target=None, note: str = "") -> Row:
        return Row("single lookup", subject, mine, peer, Figure.of(samples[peer], "ns"),
                   target, note)

    return [
        row("get_nearest_as_string", as_string, PYKDTREE, at_least_faster(15), subset),
        row("get_nearest_as_string", as_string, CKDTREE, at_least_faster(50), subset),
        row("get_nearest_as_string", as_string, FLOOR_STRING, within(3)),
        row("get_nearest_as_string", as_string, BALLTREE, note=subset),
        row("get_nearest_as_string", as_string, RG2, note=subset),
        row("get_nearest_as_dict", as_dict, FLOOR_DICT, within(1.5)),
        row("get_nearest_as_dict", as_dict, RG, note=subset + "; returns a dict"),
    ]
