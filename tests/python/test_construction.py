"""Building geocoders from the host: what is accepted, and the exact errors."""

import subprocess
import sys

import pytest

from conftest import ReverseGeocoder, make_table


def test_a_header_and_one_row_build_whatever_the_final_line_ends():
    for text in ("lat,lon,name\n1,2,a\n", "lat,lon,name\n1,2,a", "lat,lon,name\n1,2,a\n\n"):
        geocoder = ReverseGeocoder(text)
        assert geocoder.get_nearest_as_string(1, 2) == "1,2,a"


def test_crlf_rows_are_stored_without_their_terminator():
    geocoder = ReverseGeocoder("lat,lon,name\r\n1,2,a\r\n3,4,b\r\n")
    assert geocoder.get_nearest_as_string(3, 4) == "3,4,b"
    assert geocoder.get_nearest_as_dict(1, 2) == {"lat": "1", "lon": "2", "name": "a"}


def test_a_leading_byte_order_mark_stays_in_the_text_but_not_in_the_first_name():
    geocoder = ReverseGeocoder("\ufefflat,lon,name\n1,2,a\n")
    assert geocoder.get_nearest_as_dict(1, 2) == {"lat": "1", "lon": "2", "name": "a"}


def test_other_separators():
    geocoder = ReverseGeocoder(make_table([(1, 2, "a,b")], "lat;lon;name", ";"), ";")
    assert geocoder.get_nearest_as_dict(1, 2)["name"] == "a,b"
    tabbed = ReverseGeocoder("lat\tlon\tname\n1\t2\tx\n", "\t")
    assert tabbed.get_nearest_as_string(1, 2) == "1\t2\tx"


def test_quoted_coordinates_are_read_as_their_content():
    geocoder = ReverseGeocoder('lat,lon,name\n"1.5",2,a\n')
    assert geocoder.get_nearest_as_string(1.5, 2) == '"1.5",2,a'


def test_dropping_coordinates_keeps_only_the_other_fields():
    geocoder = ReverseGeocoder('lat,lon,city,note\n1,2,"Sa, Paulo",x\n', drop_coordinates=True)
    assert geocoder.get_nearest_as_string(1, 2) == '"Sa, Paulo",x'
    assert geocoder.get_nearest_as_dict(1, 2) == {"city": "Sa, Paulo", "note": "x"}


def test_dropping_coordinates_of_a_two_column_table_leaves_empty_rows():
    geocoder = ReverseGeocoder("lat,lon\n1,2\n", drop_coordinates=True)
    assert geocoder.get_nearest_as_string(1, 2) == '""'
    assert geocoder.get_nearest_as_dict(1, 2) == {}


def test_non_ascii_text_survives_construction():
    geocoder = ReverseGeocoder("lat,lon,名前\n1,2,Zürich 🏔\n")
    assert geocoder.get_nearest_as_dict(1, 2) == {"lat": "1", "lon": "2", "名前": "Zürich 🏔"}


@pytest.mark.parametrize(
    "args, message",
    [
        (("",), "missing first line in CSV"),
        (("lat,lon,name\n1,2,a\n\n3,4,b\n",), "Internal error - failed to parse CSV line"),
        (("lat,lon,name\n1,2,a\n3,4,b\n5,6,c\n7,8\n",),
         "column mismatch: header (line 0) has 3 values, line 4 has 2 values"),
        (("lat,lon,name\n1,2,a,extra\n",), "column mismatch: header (line 0) has 3 values, line 1 has 4 values"),
        (("lat,lon,name\n1, 2,a\n",), "invalid float literal"),
        (("lat,lon,name\n1,,a\n",), "cannot parse float from empty string"),
        (("lat,lon,name\n1,2,a\n", "é"), "Value separator must by an ASII character (got 233)"),
        (("lat,lon,name\n1,2,a\n3,4,b,c\n", ",", True),
         "CSV error: found record with 2 fields, but the previous record has 1 fields"),
    ],
)
def test_construction_failures_are_runtime_errors_with_the_exact_text(args, message):
    with pytest.raises(RuntimeError) as raised:
        ReverseGeocoder(*args)
    assert str(raised.value) == message
    assert raised.value.args == (message,)


def test_a_single_column_table_cannot_pass_rows_without_longitude():
    with pytest.raises(RuntimeError):
        ReverseGeocoder("lat\n1\n")


def test_non_finite_stored_coordinates_are_accepted():
    geocoder = ReverseGeocoder("lat,lon,name\nnan,1,a\nINF,-Infinity,b\n10,10,c\n")
    assert geocoder.get_nearest_as_string(10, 10) == "10,10,c"


def test_failed_constructions_leave_nothing_behind():
    import gc

    gc.collect()
    before = len(gc.get_objects())
    for _ in range(100):
        with pytest.raises(RuntimeError):
            ReverseGeocoder("lat,lon\n1,x\n")
    gc.collect()
    assert len(gc.get_objects()) <= before + 10


def test_ctrl_c_stops_a_long_construction_from_inside():
    # Before the fix the signal waited for the whole build, and the
    # KeyboardInterrupt came only after the geocoder had been assigned.
    program = (
        "import os, signal, threading\n"
        "import vicinor\n"
        # A process started in the background may inherit SIGINT ignored.
        "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
        "text = 'lat,lon,name\\n' + ''.join(f'{i % 170 - 85}.{i % 997},{i % 350 - 175}.{i % 991},p{i}\\n'"
        " for i in range(600_000))\n"
        "threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()\n"
        "try:\n"
        "    geocoder = vicinor.ReverseGeocoder(text)\n"
        "    print('built')\n"
        "except KeyboardInterrupt:\n"
        "    print('assigned' if 'geocoder' in globals() else 'stopped inside')\n"
    )
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=300)
    assert done.stdout == "stopped inside\n", done.stderr
