"""Measures, in a fresh interpreter, the resident memory one tool needs to
hold the table: peak and retained RSS above the baseline taken after the
imports and with the input text already in memory (the caller holds that
text either way).

Usage: python -m harness.memory_child TOOL CSV_PATH [--standin]
Prints one JSON object: {"peak": bytes, "retained": bytes, "peak_reset": bool}.
"""

from __future__ import annotations

import gc
import json
import sys
import tempfile
from pathlib import Path


def _status_bytes(field: str) -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} missing from /proc/self/status")


def _reset_peak() -> bool:
    """Linux lets a process restart its high-water mark from the current RSS;
    without that, reading the input would already set the peak."""
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as clear_refs:
            clear_refs.write("5")
        return True
    except OSError:
        return False


def _return_free_memory() -> None:
    """glibc keeps freed heap memory mapped; trimming it first makes the
    retained figure count only what is still in use."""
    try:
        import ctypes
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def _builder(tool: str, text: str, standin: bool):
    """Imports the tool and prepares its input; returns (build, lookup)."""
    from harness import peers

    if tool == "vicinor":
        if standin:
            from harness import standin as vicinor
        else:
            import vicinor
        return (lambda: vicinor.ReverseGeocoder(text),
                lambda geocoder: geocoder.get_nearest_as_dict(48.85, 2.35))
    if tool == "reverse_geocoder":
        prepared = peers.prepare_reverse_geocoder(text)
        import reverse_geocoder  # noqa: F401  (imported before the baseline)
        return (lambda: peers.build_reverse_geocoder(prepared),
                lambda built: peers.reverse_geocoder_lookup(built)(48.85, 2.35))
    if tool == "ckdtree":
        import numpy  # noqa: F401
        import scipy.spatial  # noqa: F401
        return (lambda: peers.build_ckdtree(text),
                lambda built: peers.ckdtree_lookup(built)(48.85, 2.35))
    if tool == "reverse_geocode":
        prepared = peers.prepare_reverse_geocode(text, Path(tempfile.mkdtemp()))
        import reverse_geocode  # noqa: F401
        return (lambda: peers.build_reverse_geocode(prepared),
                lambda built: peers.reverse_geocode_lookup(built)(48.85, 2.35))
    raise SystemExit(f"unknown tool {tool!r}")


def main(argv: list[str]) -> int:
    if len(argv) not in (2, 3) or (len(argv) == 3 and argv[2] != "--standin"):
        print(__doc__, file=sys.stderr)
        return 64
    tool, csv_path = argv[0], argv[1]
    text = Path(csv_path).read_text(encoding="utf-8")
    build, lookup = _builder(tool, text, standin=len(argv) == 3)

    gc.collect()
    _return_free_memory()  # so that the build cannot reuse pages the baseline counts
    peak_reset = _reset_peak()
    baseline = _status_bytes("VmRSS")
    built = build()
    lookup(built)  # first-use work of a lookup belongs to holding the table
    gc.collect()
    peak = _status_bytes("VmHWM") - baseline
    _return_free_memory()
    result = {
        "peak": peak,
        "retained": _status_bytes("VmRSS") - baseline,
        "peak_reset": peak_reset,
    }
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
