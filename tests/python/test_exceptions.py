"""How failures reach the host: exception types, messages, context and panics."""

import sys

import pytest

from conftest import (
    HUGE_FIELD_BYTES,
    ReverseGeocoder,
    call_with_little_memory,
    running_under_sanitizer,
)


def test_runtime_error_records_the_exception_being_handled():
    handled = KeyError("handled")
    try:
        raise handled
    except KeyError:
        with pytest.raises(RuntimeError) as raised:
            ReverseGeocoder("lat,lon\n1,2,3\n")
    assert raised.value.__context__ is handled
    assert raised.value.__cause__ is None
    assert str(raised.value) == "column mismatch: header (line 0) has 2 values, line 1 has 3 values"


def test_argument_type_error_suppresses_the_context_it_was_raised_in():
    geocoder = ReverseGeocoder("lat,lon\n1,2\n")
    try:
        raise KeyError("handled")
    except KeyError:
        with pytest.raises(TypeError) as raised:
            geocoder.get_nearest_as_string("1", 2)
    assert str(raised.value).startswith("argument 'lat': ")
    assert raised.value.__cause__ is None
    assert raised.value.__suppress_context__ is True


def test_value_error_for_the_separator_has_no_argument_prefix():
    with pytest.raises(ValueError) as raised:
        ReverseGeocoder("lat,lon\n", ";;")
    assert raised.value.args == ("expected a string of length 1",)


# -- internal faults ---------------------------------------------------------


def test_panic_exception_is_a_base_exception_outside_the_module(panic_exception):
    panic = type(panic_exception)
    assert panic.__name__ == "PanicException"
    assert panic.__qualname__ == "PanicException"
    assert panic.__module__ == "tessel_runtime"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__ == (
        "\nThe exception raised when native code called from Python panics.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n"
    )


def test_a_result_that_cannot_be_made_panics_after_printing_why(huge_row_geocoder, capfd):
    if running_under_sanitizer():
        pytest.skip("address-space caps cannot be tested under the sanitizer")
    huge_row_geocoder.get_nearest_as_dict(1, 2)  # this thread's row buffer is now large enough
    for lookup in (huge_row_geocoder.get_nearest_as_string, huge_row_geocoder.get_nearest_as_dict):
        caught_by_exception = False
        try:
            try:
                call_with_little_memory(lambda: lookup(1, 2))
            except Exception:
                caught_by_exception = True
        except BaseException as panic:
            assert type(panic).__name__ == "PanicException"
            assert panic.args == ("Python API call failed",)
        else:
            pytest.fail("no PanicException")
        assert not caught_by_exception
        assert "MemoryError" in capfd.readouterr().err
    # The geocoder is unharmed once memory is back.
    assert huge_row_geocoder.get_nearest_as_dict(1, 2)["lat"] == "1"


def test_running_out_of_memory_inside_the_core_is_a_memory_error():
    text = "lat,lon,name\n1,2," + "x" * HUGE_FIELD_BYTES + "\n"
    with pytest.raises(MemoryError):
        call_with_little_memory(lambda: ReverseGeocoder(text))
    assert ReverseGeocoder(text[:40] + "\n").get_nearest_as_dict(1, 2)["lat"] == "1"


def test_each_panic_is_a_new_exception_of_the_one_type(huge_row_geocoder, panic_exception, capfd):
    try:
        call_with_little_memory(lambda: huge_row_geocoder.get_nearest_as_string(1, 2))
    except BaseException as again:
        assert type(again) is type(panic_exception)
        assert again is not panic_exception
    capfd.readouterr()


def test_a_panic_raised_by_host_code_resumes_as_a_new_panic(panic_exception, capfd):
    panic = type(panic_exception)
    geocoder = ReverseGeocoder("lat,lon\n1,2\n")

    class Panicky:
        def __float__(self):
            raise panic("boom from host")

    capfd.readouterr()
    with pytest.raises(panic) as raised:
        geocoder.get_nearest_as_string(Panicky(), 0)
    assert raised.value.args == ("boom from host",)
    err = capfd.readouterr().err
    assert "--- Tessel is resuming a panic after fetching a PanicException from Python. ---\n" in err
    assert "Python stack trace below:\n" in err
    assert "in __float__" in err  # the host's own traceback follows


def test_panics_from_paths_and_flags_resume_too(panic_exception, capfd):
    panic = type(panic_exception)

    class PanickyPath:
        def __fspath__(self):
            raise panic("path boom")

    with pytest.raises(panic, match="path boom"):
        ReverseGeocoder.load(PanickyPath())
    assert "resuming a panic" in capfd.readouterr().err


def test_an_unprintable_type_error_still_gets_its_argument_name(monkeypatch):
    class Unprintable:
        def __str__(self):
            raise ValueError("cannot print")

    class Failing:
        def __float__(self):
            raise TypeError(Unprintable())

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    geocoder = ReverseGeocoder("lat,lon\n1,2\n")
    with pytest.raises(TypeError) as raised:
        geocoder.get_nearest_as_string(0, Failing())
    assert str(raised.value) == "argument 'lon': <unprintable TypeError object>"
    assert len(seen) == 1 and isinstance(seen[0].exc_value, ValueError)
