"""Saving and loading: load against building from CSV and against msgpack's
own decoding of the same bytes; save as throughput."""

from __future__ import annotations

import os

from .context import Context, deferred_failure
from .measure import Contender, interleave, seconds
from .report import Figure, Row, Target, at_least_faster

LOAD = "vicinor ReverseGeocoder.load"
CONSTRUCT = "vicinor ReverseGeocoder(csv)"
UNPACKB = "msgpack.unpackb of the same bytes"
SAVE = "vicinor save"

ROUND_TRIP_SAMPLE = 2000


def run(context: Context) -> list[Row]:
    geocoder_class = context.vicinor.ReverseGeocoder
    text = context.table.text
    geocoder = geocoder_class(text)
    path = context.work_dir / "world.vicinor"
    save_path = context.work_dir / "world-save.vicinor"
    if path.exists():
        path.unlink()  # saving never truncates: stale bytes would stay behind
    geocoder.save(os.fspath(path))
    data = path.read_bytes()

    loaded = geocoder_class.load(os.fspath(path))
    sample = context.queries[:ROUND_TRIP_SAMPLE]
    same = sum(loaded.get_nearest_as_string(lat, lon) == geocoder.get_nearest_as_string(lat, lon)
               for lat, lon in sample)
    context.notes.append(f"a loaded geocoder answers like the saved one for {same} of "
                         f"{len(sample)} queries; saved file {len(data) / 1e6:.1f} MB")
    del loaded

    def save_megabytes_per_second() -> float:
        save_path.unlink(missing_ok=True)
        elapsed = seconds(lambda: geocoder.save(os.fspath(save_path)))
        return len(data) / elapsed / 1e6

    try:
        import msgpack
        unpackb = msgpack.unpackb
        unpack = Contender(UNPACKB, lambda: seconds(lambda: unpackb(data)))
    except ImportError as exc:
        unpack = Contender(UNPACKB, deferred_failure(exc))

    contenders = [
        Contender(LOAD, lambda: seconds(lambda: geocoder_class.load(os.fspath(path)))),
        Contender(CONSTRUCT, lambda: seconds(lambda: geocoder_class(text))),
        unpack,
        Contender(SAVE, save_megabytes_per_second),
    ]
    context.log("save and load:")
    samples = interleave(contenders, context.rounds, context.log)
    context.note_failures(samples)
    save_path.unlink(missing_ok=True)

    load = Figure.of(samples[LOAD], "s")
    save_note = f"{len(data) / 1e6:.1f} MB file"
    if context.clock == "cpu":
        save_note += "; CPU time leaves out waiting for the disk"
    return [
        Row("load", "ReverseGeocoder.load(path)", load, CONSTRUCT,
            Figure.of(samples[CONSTRUCT], "s"), at_least_faster(3)),
        Row("load", "ReverseGeocoder.load(path)", load, UNPACKB,
            Figure.of(samples[UNPACKB], "s"), at_least_faster(3), "bytes already in memory"),
        Row("save", "save(path), MB/s", Figure.of(samples[SAVE], "MB/s"), "—", None,
            Target("≥ 300 MB/s", min_value=300.0), save_note),
    ]
