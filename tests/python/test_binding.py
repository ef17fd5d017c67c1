"""Argument binding and conversion: how calls reach the geocoder."""

import importlib.util
import inspect
import os
import sys
import weakref
from fractions import Fraction

import numpy as np
import pytest

import vicinor
from conftest import ReverseGeocoder, make_table

TABLE = make_table([(10, 20, "Alpha"), (-5, 3, "Beta")])


@pytest.fixture
def geocoder():
    return ReverseGeocoder(TABLE)


# -- binding messages ------------------------------------------------------

BINDING_FAILURES = [
    (lambda g: ReverseGeocoder(), "ReverseGeocoder.__new__() missing 1 required positional argument: 'csv'"),
    (lambda g: ReverseGeocoder(value_sep=","), "ReverseGeocoder.__new__() missing 1 required positional argument: 'csv'"),
    (lambda g: ReverseGeocoder(TABLE, ",", False, 1),
     "ReverseGeocoder.__new__() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda g: ReverseGeocoder(TABLE, csv=TABLE), "ReverseGeocoder.__new__() got multiple values for argument 'csv'"),
    (lambda g: ReverseGeocoder(TABLE, sep=";"), "ReverseGeocoder.__new__() got an unexpected keyword argument 'sep'"),
    (lambda g: g.get_nearest_as_string(1, 2, 3),
     "ReverseGeocoder.get_nearest_as_string() takes 2 positional arguments but 3 were given"),
    (lambda g: g.get_nearest_as_dict(1, lat=2), "ReverseGeocoder.get_nearest_as_dict() got multiple values for argument 'lat'"),
    (lambda g: g.get_nearest_as_string(lon=1), "ReverseGeocoder.get_nearest_as_string() missing 1 required positional argument: 'lat'"),
    (lambda g: g.get_nearest_as_dict(),
     "ReverseGeocoder.get_nearest_as_dict() missing 2 required positional arguments: 'lat' and 'lon'"),
    (lambda g: g.get_nearest_as_string(Lat=1, lon=2),
     "ReverseGeocoder.get_nearest_as_string() got an unexpected keyword argument 'Lat'"),
    (lambda g: g.save(file="x"), "ReverseGeocoder.save() got an unexpected keyword argument 'file'"),
    (lambda g: g.save(), "ReverseGeocoder.save() missing 1 required positional argument: 'path'"),
    (lambda g: ReverseGeocoder.load("a", "b"), "ReverseGeocoder.load() takes 1 positional arguments but 2 were given"),
    (lambda g: g.load(), "ReverseGeocoder.load() missing 1 required positional argument: 'path'"),
]


@pytest.mark.parametrize("call, message", BINDING_FAILURES)
def test_binding_failures_raise_type_error_with_the_exact_text(geocoder, call, message):
    with pytest.raises(TypeError) as raised:
        call(geocoder)
    assert str(raised.value) == message


def test_binding_checks_run_before_any_conversion(geocoder):
    # A bad value in a surplus call is never looked at.
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        geocoder.get_nearest_as_string("bad", "bad", "bad")


def test_the_first_bad_argument_is_reported(geocoder):
    with pytest.raises(TypeError, match="^argument 'lat': "):
        geocoder.get_nearest_as_string("x", "y")
    with pytest.raises(TypeError, match="^argument 'value_sep': "):
        ReverseGeocoder(TABLE, 1, 1)


def test_arguments_bind_by_position_or_keyword_in_any_mix(geocoder):
    expected = geocoder.get_nearest_as_string(10, 20)
    assert geocoder.get_nearest_as_string(lat=10, lon=20) == expected
    assert geocoder.get_nearest_as_string(lon=20, lat=10) == expected
    assert geocoder.get_nearest_as_string(10, lon=20) == expected
    dropped = ReverseGeocoder(csv=TABLE.replace(",", ";"), drop_coordinates=True, value_sep=";")
    assert dropped.get_nearest_as_string(10, 20) == "Alpha"
    assert ReverseGeocoder(TABLE, ",", True).get_nearest_as_string(10, 20) == "Alpha"


def test_unprintable_keyword_name_is_reported_through_the_unraisable_hook(geocoder, monkeypatch):
    class Name(str):
        def __str__(self):
            raise ValueError("no text")

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    with pytest.raises(TypeError) as raised:
        geocoder.get_nearest_as_string(1, **{Name("bad"): 2})
    assert str(raised.value) == (
        "ReverseGeocoder.get_nearest_as_string() got an unexpected keyword argument '<unprintable Name object>'"
    )
    assert len(seen) == 1 and isinstance(seen[0].exc_value, ValueError)


# -- conversions -----------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"csv": 5}, TypeError, "argument 'csv': 'int' object cannot be converted to 'PyString'"),
        ({"csv": b"lat,lon\n"}, TypeError, "argument 'csv': 'bytes' object cannot be converted to 'PyString'"),
        ({"csv": TABLE, "value_sep": 59}, TypeError, "argument 'value_sep': 'int' object cannot be converted to 'PyString'"),
        ({"csv": TABLE, "value_sep": ""}, ValueError, "expected a string of length 1"),
        ({"csv": TABLE, "value_sep": ",,"}, ValueError, "expected a string of length 1"),
        ({"csv": TABLE, "drop_coordinates": 1}, TypeError, "argument 'drop_coordinates': 'int' object cannot be converted to 'PyBool'"),
        ({"csv": TABLE, "drop_coordinates": 0}, TypeError, "argument 'drop_coordinates': 'int' object cannot be converted to 'PyBool'"),
        ({"csv": TABLE, "drop_coordinates": None}, TypeError, "argument 'drop_coordinates': 'NoneType' object cannot be converted to 'PyBool'"),
        ({"csv": TABLE, "drop_coordinates": np.int8(1)}, TypeError, "argument 'drop_coordinates': 'int8' object cannot be converted to 'PyBool'"),
    ],
)
def test_constructor_conversion_failures(kwargs, error, message):
    with pytest.raises(error) as raised:
        ReverseGeocoder(**kwargs)
    assert type(raised.value) is error
    assert str(raised.value) == message


def test_csv_with_lone_surrogate_raises_the_hosts_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        ReverseGeocoder("lat,lon,name\n1,2,\ud800\n")
    with pytest.raises(UnicodeEncodeError):
        ReverseGeocoder(TABLE, "\udc80")


def test_str_subclasses_are_accepted_for_text_arguments():
    class Text(str):
        pass

    geocoder = ReverseGeocoder(Text(TABLE.replace(",", "|")), Text("|"))
    assert geocoder.get_nearest_as_string(10, 20) == "10|20|Alpha"


def test_numpy_bools_use_their_own_truth_value():
    assert ReverseGeocoder(TABLE, ",", np.bool_(True)).get_nearest_as_string(10, 20) == "Alpha"
    assert ReverseGeocoder(TABLE, ",", np.True_).get_nearest_as_dict(10, 20) == {"name": "Alpha"}
    assert ReverseGeocoder(TABLE, ",", np.bool_(False)).get_nearest_as_string(10, 20) == "10,20,Alpha"


def test_only_real_numpy_bools_pass_by_name():
    # Same type name, different module: still not a bool.
    fake = type("bool_", (), {"__bool__": lambda self: True})
    with pytest.raises(TypeError, match="'bool_' object cannot be converted to 'PyBool'"):
        ReverseGeocoder(TABLE, drop_coordinates=fake())


def test_numpy_named_types_are_judged_by_their_truth_slot():
    def numpy_type(name, **namespace):
        return type(name, (), {"__module__": "numpy", **namespace})

    assert ReverseGeocoder(TABLE, ",", numpy_type("bool", __bool__=lambda self: True)()).get_nearest_as_string(
        10, 20
    ) == "Alpha"
    with pytest.raises(TypeError) as raised:
        ReverseGeocoder(TABLE, ",", numpy_type("bool_")())
    assert str(raised.value) == (
        "argument 'drop_coordinates': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"
    )
    with pytest.raises(ZeroDivisionError):
        ReverseGeocoder(TABLE, ",", numpy_type("bool_", __bool__=lambda self: 1 / 0)())


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __index__(self):
        return 10


@pytest.mark.parametrize(
    "lat, lon",
    [(10, 20), (10.0, 20.0), (True, 20), (Floaty(10.0), 20), (Indexy(), 20), (np.float32(10), np.int64(20)),
     (Fraction(10), 20.0)],
)
def test_coordinates_take_anything_the_host_converts_to_float(geocoder, lat, lon):
    assert geocoder.get_nearest_as_string(lat, lon) == "10,20,Alpha"


def test_float_subclass_is_read_through_its_float_conversion(geocoder):
    class Shifted(float):
        def __float__(self):
            return -5.0

    assert geocoder.get_nearest_as_string(Shifted(10), 3) == "-5,3,Beta"


def test_coordinate_type_error_is_prefixed_and_detached(geocoder):
    with pytest.raises(TypeError) as raised:
        geocoder.get_nearest_as_string(10, "20")
    assert str(raised.value) == "argument 'lon': must be real number, not str"
    assert raised.value.__cause__ is None
    assert raised.value.__suppress_context__ is True


def test_coordinate_errors_other_than_type_error_pass_unchanged(geocoder):
    with pytest.raises(OverflowError) as raised:
        geocoder.get_nearest_as_string(10**400, 0)
    assert not str(raised.value).startswith("argument")

    class Broken:
        def __float__(self):
            raise KeyError("inner")

    with pytest.raises(KeyError, match="inner"):
        geocoder.get_nearest_as_dict(Broken(), 0)


def test_type_error_from_float_keeps_its_own_cause_only(geocoder):
    class Chained:
        def __float__(self):
            raise TypeError("outer") from LookupError("root")

    with pytest.raises(TypeError) as raised:
        geocoder.get_nearest_as_string(Chained(), 0)
    assert str(raised.value) == "argument 'lat': outer"
    assert isinstance(raised.value.__cause__, LookupError)


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf"), Floaty(float("nan"))])
def test_non_finite_coordinates_are_refused_with_value_error(geocoder, bad):
    with pytest.raises(ValueError, match=r"^argument 'lat': latitude must be a finite number, got (nan|inf|-inf)$"):
        geocoder.get_nearest_as_string(bad, 0)
    with pytest.raises(ValueError, match=r"^argument 'lon': longitude must be a finite number, got "):
        geocoder.get_nearest_as_dict(0, bad)


def test_path_conversion_failures(geocoder):
    for call in (geocoder.save, ReverseGeocoder.load):
        with pytest.raises(TypeError) as raised:
            call(b"/tmp/x")
        assert str(raised.value) == "argument 'path': 'bytes' object cannot be converted to 'PyString'"
        with pytest.raises(TypeError) as raised:
            call(5)
        assert str(raised.value) == "argument 'path': expected str, bytes or os.PathLike object, not int"


def test_path_like_returning_something_odd(geocoder):
    class Odd:
        def __fspath__(self):
            return 7

    class Failing:
        def __fspath__(self):
            raise ValueError("no path")

    with pytest.raises(TypeError, match="^argument 'path': "):
        geocoder.save(Odd())
    with pytest.raises(ValueError, match="no path"):
        geocoder.save(Failing())


# -- the class and the module ----------------------------------------------


def test_text_signatures():
    assert str(inspect.signature(ReverseGeocoder)) == "(csv, value_sep=',', drop_coordinates=False)"
    assert ReverseGeocoder.get_nearest_as_string.__text_signature__ == "($self, lat, lon)"
    assert ReverseGeocoder.get_nearest_as_dict.__text_signature__ == "($self, lat, lon)"
    assert ReverseGeocoder.save.__text_signature__ == "($self, path)"
    assert str(inspect.signature(ReverseGeocoder.load)) == "(path)"
    assert not ReverseGeocoder.__doc__ and not ReverseGeocoder.load.__doc__


def test_class_identity_and_method_order():
    assert ReverseGeocoder.__module__ == "builtins"
    assert ReverseGeocoder.__name__ == ReverseGeocoder.__qualname__ == "ReverseGeocoder"
    assert ReverseGeocoder.__bases__ == (object,)
    names = [name for name in vars(ReverseGeocoder) if not name.startswith("__")]
    own = [name for name in names if not name.startswith("_")]
    # Private helpers of the companion package come after every public method.
    assert names[:len(own)] == own
    # The four original methods keep their places; later ones follow them.
    assert own == ["get_nearest_as_string", "get_nearest_as_dict", "save", "load",
                   "nearest_rows", "get_nearest_with_distance", "row_count", "columns",
                   "row_text", "row_dict", "column", "to_bytes", "from_bytes",
                   "rows_within", "get_rows_within", "subset"]
    assert isinstance(vars(ReverseGeocoder)["load"], staticmethod)
    assert isinstance(vars(ReverseGeocoder)["from_bytes"], staticmethod)


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (ReverseGeocoder,), {})


def test_instances_take_no_attributes_and_no_weak_references(geocoder):
    with pytest.raises(AttributeError):
        geocoder.extra = 1
    with pytest.raises(AttributeError):
        geocoder.get_nearest_as_string = None
    with pytest.raises(TypeError):
        weakref.ref(geocoder)
    assert not hasattr(geocoder, "__dict__")


def test_methods_refuse_a_foreign_instance():
    with pytest.raises(TypeError):
        ReverseGeocoder.get_nearest_as_string(object(), 1, 2)


def test_load_is_static_and_never_receives_the_instance(geocoder, tmp_path):
    path = tmp_path / "g.bin"
    geocoder.save(path)
    assert geocoder.load(path).get_nearest_as_string(-5, 3) == "-5,3,Beta"


def test_module_surface():
    assert vicinor.__all__ == ["ReverseGeocoder"]
    assert vicinor.__doc__ == ""
    assert not hasattr(vicinor, "PanicException")
    public = {name for name in dir(vicinor) if not name.startswith("_")}
    assert public == {"ReverseGeocoder"}
    # Internal to vicinor_tools, and the only such name.
    internal = {name for name in dir(vicinor) if name.startswith("_") and not name.startswith("__")}
    assert internal == {"_CountryBorders"}


def test_initialising_again_returns_the_same_module(monkeypatch):
    found = importlib.util.find_spec("vicinor")
    monkeypatch.delitem(sys.modules, "vicinor")
    again = importlib.util.module_from_spec(found)
    assert again is vicinor
    assert again.ReverseGeocoder is ReverseGeocoder
    assert again.__all__ == ["ReverseGeocoder"]


def test_a_second_interpreter_is_refused():
    import subprocess
    import textwrap

    script = textwrap.dedent(
        """
        import _xxsubinterpreters as interpreters
        import vicinor
        other = interpreters.create(isolated=False)
        try:
            interpreters.run_string(other, "import vicinor")
        except interpreters.RunFailedError as failure:
            print(failure)
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == (
        "<class 'ImportError'>: Tessel modules do not yet support subinterpreters, "
        "see https://github.com/vicinor/vicinor/issues/1"
    )
