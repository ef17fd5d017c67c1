"""Construction from CSV text: vicinor's constructor against the csv module
plus each peer's index over the same unit-sphere points, and against a C++
nanoflann parse+build of the same text."""

from __future__ import annotations

import json
import subprocess

from . import peers
from .context import Context
from .measure import Contender, interleave, seconds
from .report import Figure, Row, at_least_faster, within

VICINOR = "vicinor"
CKDTREE = "csv + scipy cKDTree(leafsize=32)"
PYKDTREE = "csv + pykdtree KDTree(leafsize=32)"
BALLTREE = "csv + sklearn BallTree(haversine)"
RG = "reverse_geocoder (mode=1)"
RG2 = "reverse-geocode"
NANOFLANN = "C++ from_chars + nanoflann(leaf 32)"


def nanoflann_seconds(context: Context) -> float:
    completed = subprocess.run(
        [str(context.nanoflann_exe), str(context.table.path), "--repeat", "1", "--warmup", "1",
         "--clock", context.clock],
        capture_output=True, text=True, check=True)
    report = json.loads(completed.stdout)
    if report["rows"] != context.table.row_count:
        raise RuntimeError(f"nanoflann_build read {report['rows']} rows, "
                           f"expected {context.table.row_count}")
    return report["build_ns"][0] / 1e9


def run(context: Context) -> list[Row]:
    text = context.table.text
    geocoder_class = context.vicinor.ReverseGeocoder
    rg_table = peers.prepare_reverse_geocoder(text)
    rg2_table = peers.prepare_reverse_geocode(text, context.work_dir)

    contenders = [
        Contender(VICINOR, lambda: seconds(lambda: geocoder_class(text))),
        Contender(CKDTREE, lambda: seconds(lambda: peers.build_ckdtree(text))),
        Contender(PYKDTREE, lambda: seconds(lambda: peers.build_pykdtree(text))),
        Contender(BALLTREE, lambda: seconds(lambda: peers.build_balltree(text))),
        Contender(RG, lambda: seconds(lambda: peers.build_reverse_geocoder(rg_table))),
        Contender(RG2, lambda: seconds(lambda: peers.build_reverse_geocode(rg2_table))),
        Contender(NANOFLANN, lambda: nanoflann_seconds(context)),
    ]
    context.log("construction:")
    samples = interleave(contenders, context.rounds, context.log)
    context.note_failures(samples)

    subject = "ReverseGeocoder(csv)"
    mine = Figure.of(samples[VICINOR], "s")

    def row(peer: str, target=None, note: str = "") -> Row:
        return Row("construction", subject, mine, peer, Figure.of(samples[peer], "s"),
                   target, note)

    return [
        row(CKDTREE, at_least_faster(10)),
        row(NANOFLANN, within(1.5), "timed inside the program"),
        row(PYKDTREE),
        row(BALLTREE),
        row(RG, note="its own column order"),
        row(RG2, note="from its gzipped JSON form"),
    ]
