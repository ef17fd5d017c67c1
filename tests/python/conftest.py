"""Shared helpers for the host-side tests of vicinor."""

import ctypes
import os
import resource

import pytest

import vicinor

ReverseGeocoder = vicinor.ReverseGeocoder


def make_table(rows, header="lat,lon,name", sep=","):
    """CSV text: the header line, then one line per row, each ending in LF."""
    lines = [header] + [sep.join(str(field) for field in row) for row in rows]
    return "\n".join(lines) + "\n"


def _virtual_memory_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize in /proc/self/status")


def _map_large_allocations_directly():
    """Large blocks freed by earlier tests can linger inside the C heap, and
    an allocation served from them never meets an address-space cap. With a
    fixed mmap threshold every large block is mapped and unmapped on its own,
    so a capped call fails the same way whichever tests ran before it."""
    try:
        libc = ctypes.CDLL(None)
        m_mmap_threshold = -3
        libc.mallopt(m_mmap_threshold, 1 << 20)
    except (OSError, AttributeError):
        pass


_map_large_allocations_directly()


def running_under_sanitizer():
    """ASan reserves terabytes of address space, keeps freed memory in
    quarantine and dies rather than failing an allocation: address-space
    caps and resident-memory growth mean nothing under it."""
    return "asan" in os.environ.get("LD_PRELOAD", "")


def call_with_little_memory(call, headroom=16 << 20):
    """Runs `call` with the address space capped just above its current size,
    so that only a large allocation fails; the cap is lifted afterwards."""
    if running_under_sanitizer():
        pytest.skip("address-space caps cannot be tested under the sanitizer")
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    cap = _virtual_memory_bytes() + headroom
    if hard != resource.RLIM_INFINITY and hard < cap:
        pytest.skip("address-space limit too tight to lower")
    resource.setrlimit(resource.RLIMIT_AS, (cap, hard))
    try:
        return call()
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


# Far beyond the headroom of call_with_little_memory, and beyond what the
# process can hand back inside the cap (cached stacks of finished threads,
# for one), so an allocation of this size always meets the cap.
HUGE_FIELD_BYTES = 256 << 20


@pytest.fixture(scope="module")
def huge_row_geocoder():
    """One row of 256 MiB: making its result string must allocate more than
    the headroom that call_with_little_memory leaves."""
    return ReverseGeocoder("lat,lon,name\n1,2," + "x" * HUGE_FIELD_BYTES + "\n")


@pytest.fixture(scope="module")
def panic_exception(huge_row_geocoder):
    """A PanicException instance. The class is not a module attribute, so
    the only way to it is through an exception the module raises: here,
    the result string that cannot be allocated."""
    if running_under_sanitizer():
        pytest.skip("address-space caps cannot be tested under the sanitizer")
    try:
        call_with_little_memory(lambda: huge_row_geocoder.get_nearest_as_string(1, 2))
    except BaseException as raised:  # noqa: B036 - PanicException is not an Exception
        return raised
    pytest.fail("the lookup did not fail under the memory cap")
