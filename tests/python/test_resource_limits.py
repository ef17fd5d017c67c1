"""Running out of memory, and files that announce more than they hold: each
call fails cleanly (MemoryError, or the end-of-file error) and the
interpreter goes on working. Each scenario runs in its own interpreter,
since it lowers the address-space limit or measures peak memory."""

import pytest

from robust_support import run_isolated, under_sanitizer

needs_address_space_limit = pytest.mark.skipif(
    under_sanitizer(), reason="the sanitizer runtime aborts instead of failing an allocation"
)

# Defines capped(headroom, call): runs call() with the address space limited
# to its current size plus `headroom` bytes and returns how it ended, then
# checks that plain Python code still runs under the cap and lifts it.
CAPPED_CALLS = """
import ctypes, gc, os, resource
SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)

def settled_rss():
    gc.collect()
    ctypes.CDLL(None).malloc_trim(0)
    return memory_status()["VmRSS"]

def open_files():
    return len(os.listdir("/proc/self/fd"))

def capped(headroom, call):
    files = open_files()
    resource.setrlimit(resource.RLIMIT_AS, (memory_status()["VmSize"] + int(headroom), HARD))
    try:
        try:
            call()
            outcome = "ok"
        except MemoryError:
            outcome = "MemoryError"
        except BaseException as other:  # a panic or any other type is a finding
            outcome = f"{type(other).__name__}: {str(other)[:200]}"
        assert sum(range(1000)) == 499500 and "x".join(["a", "b"]) == "axb"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))
    assert open_files() == files, "a file handle outlived a failed call"
    return outcome

def big_table():
    # 300 MB of text: a million short rows, whose points, slices and tree
    # take a third of the text's size again, then rows with 100 kB names.
    ordinary = "".join(f"{i * 0.00031 % 180 - 90:.5f},{i * 0.00071 % 360 - 180:.5f},p\\n" for i in range(1_000_000))
    wide = "".join(f"{i % 170 - 85}.5,{i % 350 - 175}.25,{'n' * 100_000}\\n" for i in range(2_750))
    return "lat,lon,name\\n" + ordinary + wide

QUERIES = [(i * 7.3 % 180 - 90, i * 13.1 % 360 - 180) for i in range(200)]

def answers(geocoder):
    return [geocoder.get_nearest_as_string(lat, lon)[:40] for lat, lon in QUERIES]
"""


def assert_clean_outcomes(outcomes):
    """Every capped call either worked or raised MemoryError; the tightest
    cap failed and the loosest worked, so both paths were really taken."""
    assert set(outcomes.values()) <= {"ok", "MemoryError"}, outcomes
    levels = sorted(outcomes, key=float)
    assert outcomes[levels[0]] == "MemoryError" and outcomes[levels[-1]] == "ok", outcomes


@needs_address_space_limit
def test_construction_out_of_memory_raises_memory_error_and_recovers():
    result = run_isolated(
        CAPPED_CALLS
        + """
        text = big_table()
        # Just above the text's size the copy of the text succeeds and the
        # points, rows or tree fail instead.
        outcomes = {}
        for share in (0, 0.5, 1.0, 1.05, 1.1, 1.15, 1.2, 1.25, 1.3):
            outcomes[str(share)] = capped(share * len(text), lambda: ReverseGeocoder(text))
        # Failing every failed level once more must not cost memory again.
        resident = settled_rss()
        for share in [share for share, outcome in outcomes.items() if outcome != "ok"]:
            capped(float(share) * len(text), lambda: ReverseGeocoder(text))
        left_behind = settled_rss() - resident
        built = []
        outcomes["2.5"] = capped(2.5 * len(text), lambda: built.append(ReverseGeocoder(text)))
        report({"outcomes": outcomes, "left behind": left_behind,
                "same": answers(ReverseGeocoder(text)) == answers(built[0])})
        """.replace("\n        ", "\n")
    )
    assert_clean_outcomes(result["outcomes"])
    # A failure that kept the text would hold 300 MB; the allocator's own
    # pools may keep a few tens of MB once, but not more with every failure.
    assert result["left behind"] < 48 << 20, "failed constructions kept their memory"
    assert result["same"]


@needs_address_space_limit
def test_lookups_out_of_memory_fail_cleanly_and_recover():
    result = run_isolated(
        CAPPED_CALLS
        + """
        field = "x" * (48 << 20)
        geocoder = ReverseGeocoder("lat,lon,name\\n1,2," + field + "\\n3,4,small\\n5,6,\\"" + field + "\\"\\n")
        outcomes = {
            "dict": capped(16 << 20, lambda: geocoder.get_nearest_as_dict(1, 2)),
            "quoted dict": capped(16 << 20, lambda: geocoder.get_nearest_as_dict(5, 6)),
            "string": capped(16 << 20, lambda: geocoder.get_nearest_as_string(1, 2)),
            "small dict": capped(16 << 20, lambda: geocoder.get_nearest_as_dict(3, 4)),
        }
        recovered = geocoder.get_nearest_as_dict(1, 2) == {"lat": "1", "lon": "2", "name": field}
        report({"outcomes": outcomes, "recovered": recovered})
        """.replace("\n        ", "\n")
    )
    # A plain row is never copied, so both lookups fail making the result
    # string: a host failure, raised as a panic. A quoted row is read into
    # the geocoder's own buffer first, which fails as MemoryError.
    assert result["outcomes"] == {
        "dict": "PanicException: Python API call failed",
        "quoted dict": "MemoryError",
        "string": "PanicException: Python API call failed",
        "small dict": "ok",
    }
    assert result["recovered"]


@needs_address_space_limit
def test_save_and_load_out_of_memory_raise_memory_error_and_recover(tmp_path):
    result = run_isolated(
        CAPPED_CALLS
        + f"""
        path = {str(tmp_path / "big.vicinor")!r}
        text = big_table()
        geocoder = ReverseGeocoder(text)
        del text
        expected = answers(geocoder)
        saves = {{str(headroom): capped(headroom, lambda: geocoder.save(path)) for headroom in (0, 4096, 1 << 16, 1 << 20)}}
        geocoder.save(path)
        size = os.path.getsize(path)
        del geocoder
        loaded = []
        loads = {{}}
        # Loading holds the text twice for a moment: once as read, once kept.
        for share in (0, 0.5, 1.0, 1.3, 1.6, 2.0, 3.0):
            loads[str(share)] = capped(share * size, lambda: loaded.append(ReverseGeocoder.load(path)))
        resident = settled_rss()
        for share in [share for share, outcome in loads.items() if outcome != "ok"]:
            capped(float(share) * size, lambda: ReverseGeocoder.load(path))
        left_behind = settled_rss() - resident
        same = answers(loaded[-1]) == expected and answers(ReverseGeocoder.load(path)) == expected
        report({{"saves": saves, "loads": loads, "same": same, "left behind": left_behind}})
        """.replace("\n        ", "\n")
    )
    # Saving streams the geocoder out, so it may well never run short.
    assert set(result["saves"].values()) <= {"ok", "MemoryError"}, result["saves"]
    assert_clean_outcomes(result["loads"])
    assert result["left behind"] < 48 << 20, "failed loads kept their memory"
    assert result["same"]


def marker_eof(io="failed to fill whole buffer"):
    return f"IO error while reading marker: {io}\n\nCaused by:\n    {io}"


def data_eof(io):
    return f"IO error while reading data: {io}\n\nCaused by:\n    {io}"


HUGE = "ffffffff"
EMPTY_START = "95 a0 a1 2c"  # the record, an empty text, the comma
HUGE_ANNOUNCEMENTS = {
    "text as str32": ("95 db" + HUGE + "616263", data_eof("unexpected end of file")),
    "text as bin32": ("95 c6" + HUGE + "616263", data_eof("unexpected end of file")),
    "separator as str32": ("95 a0 db" + HUGE + "2c", data_eof("unexpected end of file")),
    "columns as array32": (EMPTY_START + "dd" + HUGE + "a161", marker_eof()),
    "a column as bin32": (EMPTY_START + "91 c6" + HUGE + "61", data_eof("unexpected end of file")),
    "rows as array32": (EMPTY_START + "90 dd" + HUGE + "92 00 00", marker_eof()),
    "a row as bin32": (EMPTY_START + "90 91 c6" + HUGE + "0102", data_eof("unexpected end of file")),
    "leaves as array32": (EMPTY_START + "90 90 93 dd" + HUGE, marker_eof()),
    "points as array32": (EMPTY_START + "90 90 93 91 93 dd" + HUGE + "cb" + "00" * 8, marker_eof()),
    "items as array32": (EMPTY_START + "90 90 93 91 93 dc0060" + "00" * 96 + "dd" + HUGE + "00", marker_eof()),
    "stems as array32": (EMPTY_START + "90 90 93 90 dd" + HUGE + "cb 7ff0000000000000", marker_eof()),
    "record as map32": ("df" + HUGE + "a3 637376 a0", marker_eof()),
    "map key as str32": ("81 db" + HUGE + "6373", data_eof("unexpected end of file")),
    "skipped value as array32": ("81 a3 666f6f dd" + HUGE + "00", marker_eof()),
    "skipped value as map32": ("81 a3 666f6f df" + HUGE + "00 00", marker_eof()),
}


def test_huge_announced_lengths_end_at_the_file_end_without_allocating(tmp_path):
    files = {}
    for name, (hex_bytes, expected) in HUGE_ANNOUNCEMENTS.items():
        path = tmp_path / name.replace(" ", "-")
        path.write_bytes(bytes.fromhex(hex_bytes))
        files[name] = str(path)
    result = run_isolated(
        f"""
        import resource, time
        if not under_sanitizer():
            # A reservation sized by the announced count would fail here
            # (MemoryError) instead of reaching the end of the file.
            resource.setrlimit(resource.RLIMIT_AS, (memory_status()["VmSize"] + (256 << 20), resource.RLIM_INFINITY))
        before = memory_status()
        messages = {{}}
        started = time.monotonic()
        for name, path in {files!r}.items():
            try:
                ReverseGeocoder.load(path)
                messages[name] = "loaded"
            except BaseException as failure:
                messages[name] = f"{{type(failure).__name__}}: {{failure}}"
        after = memory_status()
        report({{"messages": messages, "seconds": time.monotonic() - started,
                 "peak growth": after["VmHWM"] - before["VmRSS"]}})
        """
    )
    assert result["messages"] == {name: f"RuntimeError: {expected}" for name, (_, expected) in HUGE_ANNOUNCEMENTS.items()}
    assert result["seconds"] < 5
    assert result["peak growth"] < 32 << 20
