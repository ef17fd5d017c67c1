"""Repeated calls leave resident memory flat: nothing a call makes outlives it."""

import os

import pytest

from conftest import ReverseGeocoder, make_table, running_under_sanitizer

# Under the sanitizer freed memory sits in quarantine, so resident memory
# grows regardless; LeakSanitizer checks for leaks there instead.
pytestmark = pytest.mark.skipif(running_under_sanitizer(), reason="resident memory is meaningless under ASan")

PAGE = os.sysconf("SC_PAGE_SIZE")
ROWS = [(i % 170 - 85, (i * 7) % 360 - 180, f"place {i}") for i in range(2000)]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def growth_over(call, repeats):
    for _ in range(repeats // 10):  # warm caches, allocator pools and buffers first
        call()
    before = resident_bytes()
    for _ in range(repeats):
        call()
    return resident_bytes() - before


@pytest.fixture(scope="module")
def geocoder():
    return ReverseGeocoder(make_table(ROWS))


def test_string_lookups_do_not_leak(geocoder):
    lookup = geocoder.get_nearest_as_string
    assert growth_over(lambda: lookup(12.5, -40.25), 1_000_000) < 2 << 20


def test_dict_lookups_do_not_leak(geocoder):
    lookup = geocoder.get_nearest_as_dict
    assert growth_over(lambda: lookup(12.5, -40.25), 1_000_000) < 2 << 20


def test_failing_calls_do_not_leak(geocoder):
    def failing():
        for call in (lambda: geocoder.get_nearest_as_string("x", 0), lambda: ReverseGeocoder("lat,lon\n1,2,3\n"),
                     lambda: geocoder.get_nearest_as_dict(float("nan"), 0)):
            try:
                call()
            except (TypeError, ValueError, RuntimeError):
                pass

    assert growth_over(failing, 100_000) < 2 << 20


def test_constructions_do_not_leak():
    text = make_table(ROWS[:500])
    assert growth_over(lambda: ReverseGeocoder(text), 1000) < 4 << 20
