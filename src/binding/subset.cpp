// subset(rows). The caller's array is copied (and checked) while the GIL
// is held, so nothing another thread does to it afterwards can reach the
// build, which then runs with the GIL released as construction does.
#include "binding/subset.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/geocoder_type.hpp"
#include "binding/py_ref.hpp"
#include "binding/released_gil.hpp"
#include "geocoder/subset.hpp"

namespace vicinor::binding {
namespace {

constexpr const char* kSubsetNames[] = {"rows"};
constexpr ParameterList kSubset = {"ReverseGeocoder.subset()", kSubsetNames, 1, 1};

// numpy's one-letter kind of an array's dtype ('b' bool, 'i', 'u', ...);
// 0 with an exception set.
char dtype_kind(PyObject* array) {
    PyRef dtype(PyObject_GetAttrString(array, "dtype"));
    PyRef kind(dtype ? PyObject_GetAttrString(dtype.get(), "kind") : nullptr);
    if (!kind) return 0;
    const char* text = PyUnicode_AsUTF8(kind.get());
    return text != nullptr ? text[0] : 0;
}

Py_ssize_t length_of(PyObject* array) {
    PyRef shape(PyObject_GetAttrString(array, "shape"));
    if (!shape) return -1;
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 1) {
        raise_message(PyExc_ValueError, "argument 'rows': must be one-dimensional");
        return -1;
    }
    return PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0));
}

// The row numbers `object` names, checked against `row_count`; false with
// an exception set.
bool convert_rows(PyObject* numpy, PyObject* object, std::size_t row_count,
                  std::vector<std::uint32_t>& out) {
    PyRef array(PyObject_CallMethod(numpy, "asarray", "O", object));
    if (!array) return false;
    const Py_ssize_t length = length_of(array.get());
    if (length < 0) return false;
    const char kind = dtype_kind(array.get());
    if (kind == 0) return false;
    if (kind == 'b') {
        if (static_cast<std::size_t>(length) != row_count) {
            raise_message(PyExc_ValueError, "argument 'rows': a mask must have one entry per row (" +
                                                std::to_string(row_count) + "), got " +
                                                std::to_string(length));
            return false;
        }
        array = PyRef(PyObject_CallMethod(numpy, "flatnonzero", "O", array.get()));
        if (!array) return false;
    } else if (kind != 'i' && kind != 'u' && length > 0) {
        // An empty list arrives as float64: it names no row either way.
        raise_message(PyExc_TypeError,
                      "argument 'rows': must be row numbers or a boolean mask, got an array of "
                      "kind '" + std::string(1, kind) + "'");
        return false;
    }
    PyRef numbers(PyObject_CallMethod(numpy, "require", "Oss", array.get(), "int64", "CA"));
    if (!numbers) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(numbers.get(), &view, PyBUF_C_CONTIGUOUS) < 0) return false;
    const auto* values = static_cast<const std::int64_t*>(view.buf);
    const std::size_t count = static_cast<std::size_t>(view.len) / sizeof(std::int64_t);
    out.resize(count);
    bool ok = true;
    for (std::size_t i = 0; i < count && ok; ++i) {
        const std::int64_t row = values[i];
        if (row < 0 || static_cast<std::uint64_t>(row) >= row_count) {
            raise_message(PyExc_IndexError, "rows[" + std::to_string(i) + "] = " +
                                                std::to_string(row) + " is out of range: " +
                                                "the geocoder holds " + std::to_string(row_count) +
                                                " rows");
            ok = false;
        } else if (i > 0 && static_cast<std::uint32_t>(row) <= out[i - 1]) {
            raise_message(PyExc_ValueError, "argument 'rows': must be strictly ascending, but "
                                            "rows[" + std::to_string(i) + "] = " +
                                                std::to_string(row) + " follows " +
                                                std::to_string(out[i - 1]));
            ok = false;
        } else {
            out[i] = static_cast<std::uint32_t>(row);
        }
    }
    PyBuffer_Release(&view);
    return ok;
}

}  // namespace

PyObject* Geocoder_subset(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[1] = {};
        GeocoderObject* geocoder = begin_method(kSubset, self, args, nargsf, kwnames, bound);
        if (geocoder == nullptr) return nullptr;
        PyRef numpy(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        std::vector<std::uint32_t> rows;
        if (!convert_rows(numpy.get(), bound[0], geocoder->record.indexed_data.size(), rows)) {
            return nullptr;
        }
        // With the GIL held: no other call reads the record meanwhile.
        prepare_subsets(geocoder->record);
        ReleasedGil released;
        Result<ReverseGeocoder> subset = subset_geocoder(geocoder->record, rows);
        released.reacquire();
        if (!subset) {
            report_error_value(subset.error());
            return nullptr;
        }
        return wrap_geocoder(std::move(subset).value());
    });
}

}  // namespace vicinor::binding
