"""Rows by number, and a geocoder as bytes: to_bytes/from_bytes are save/load
without the file, and pickles travel to other processes."""

import io
import multiprocessing
import os
import pickle
import subprocess
import sys

import pytest

from conftest import ReverseGeocoder, make_table

TABLE = make_table([(10, 20, "a", "Alpha"), (-5, 100, "b", '"B, quoted"'), (10, 20, "c", "007")],
                   header="lat,lon,name,name")


@pytest.mark.parametrize("drop", [False, True])
def test_rows_by_number_are_what_lookups_return(drop):
    geocoder = ReverseGeocoder(TABLE, drop_coordinates=drop)
    assert geocoder.row_count() == 3
    assert geocoder.columns() == (["name", "name"] if drop else ["lat", "lon", "name", "name"])
    assert geocoder.row_text(1) == geocoder.get_nearest_as_string(-5, 100)
    assert geocoder.row_dict(1) == geocoder.get_nearest_as_dict(-5, 100)
    assert geocoder.row_dict(1)["name"] == "B, quoted"
    # A repeated name is its rightmost column, as in the dicts.
    assert geocoder.column("name") == ["Alpha", "B, quoted", "007"]
    if not drop:
        assert geocoder.column("lat") == ["10", "-5", "10"]


def test_a_column_reads_rows_as_the_dict_lookups_do():
    # A leading U+FEFF of a row the geocoder wrote is the field's own text.
    geocoder = ReverseGeocoder("lat,lon,name\n1,2,\ufeffA\n", drop_coordinates=True)
    assert geocoder.column("name") == [geocoder.row_dict(0)["name"]] == ["\ufeffA"]


@pytest.mark.parametrize("row", [-1, 3, 2**70, -(2**70)])
def test_rows_outside_the_table_raise_index_error(row):
    geocoder = ReverseGeocoder(TABLE)
    for method in (geocoder.row_text, geocoder.row_dict):
        with pytest.raises(IndexError, match="the geocoder holds 3 rows"):
            method(row)


def test_unknown_columns_and_bad_arguments():
    geocoder = ReverseGeocoder(TABLE, drop_coordinates=True)
    with pytest.raises(KeyError):
        geocoder.column("lat")
    with pytest.raises(TypeError, match="argument 'row': "):
        geocoder.row_text("1")
    with pytest.raises(TypeError, match="argument 'name': expected str"):
        geocoder.column(1)


def test_to_bytes_is_the_saved_file(tmp_path):
    geocoder = ReverseGeocoder(TABLE)
    geocoder.save(tmp_path / "g.bin")
    saved = (tmp_path / "g.bin").read_bytes()
    assert geocoder.to_bytes() == saved
    strided = memoryview(bytes(byte for value in saved for byte in (value, 0)))[::2]
    for form in (saved, bytearray(saved), memoryview(saved), saved + b"trailing", strided):
        again = ReverseGeocoder.from_bytes(form)
        assert again.to_bytes() == saved
        assert again.get_nearest_as_string(-5, 100) == geocoder.get_nearest_as_string(-5, 100)


@pytest.mark.parametrize("data", [b"", b"\x95", b"\xc1", ReverseGeocoder(TABLE).to_bytes()[:-3]])
def test_from_bytes_refuses_what_load_refuses(tmp_path, data):
    (tmp_path / "bad.bin").write_bytes(data)
    with pytest.raises(RuntimeError) as loaded:
        ReverseGeocoder.load(tmp_path / "bad.bin")
    with pytest.raises(RuntimeError) as decoded:
        ReverseGeocoder.from_bytes(data)
    assert str(decoded.value) == str(loaded.value)
    with pytest.raises(TypeError, match="argument 'data': a bytes-like object is required"):
        ReverseGeocoder.from_bytes("text")


def answer(geocoder):
    return geocoder.get_nearest_as_string(-4, 99), geocoder.to_bytes()


@pytest.mark.parametrize("method", ["spawn", "fork"])
def test_pickles_travel_to_other_processes(method):
    geocoder = ReverseGeocoder(TABLE)
    assert pickle.loads(pickle.dumps(geocoder)).to_bytes() == geocoder.to_bytes()
    with multiprocessing.get_context(method).Pool(2) as pool:
        results = pool.map(answer, [geocoder] * 3)
    assert results == [answer(geocoder)] * 3


class Hostile:
    def __reduce__(self):
        return os.system, ("echo hostile",)


def test_an_allowlist_of_one_global_accepts_geocoders_and_refuses_the_rest():
    from vicinor_tools import pickling

    geocoder = ReverseGeocoder(TABLE)
    data = pickle.dumps([geocoder, {"k": 1.5}])
    named = []

    class Recording(pickle.Unpickler):
        def find_class(self, module, name):
            named.append((module, name))
            return super().find_class(module, name)

    Recording(io.BytesIO(data)).load()
    assert named == [pickling.GEOCODER_GLOBAL]
    loaded, plain = pickling.loads(data)
    assert loaded.to_bytes() == geocoder.to_bytes() and plain == {"k": 1.5}
    with pytest.raises(pickle.UnpicklingError, match="global 'posix.system' is forbidden"):
        pickling.loads(pickle.dumps(Hostile()))


def test_the_module_works_without_numpy():
    program = (
        "import sys; sys.modules['numpy'] = None\n"
        "import vicinor\n"
        "g = vicinor.ReverseGeocoder('lat,lon,name\\n1,2,x\\n')\n"
        "assert g.get_nearest_as_string(1, 2) == '1,2,x'\n"
        "assert g.get_nearest_with_distance(1, 2) == ('1,2,x', 0.0)\n"
        "try:\n    g.nearest_rows([1.0], [2.0])\nexcept ImportError:\n    print('ok')\n"
    )
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True)
    assert done.stdout == "ok\n", done.stderr
