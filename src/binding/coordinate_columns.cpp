// Coordinate columns and coordinate arguments of the batch and distance
// lookups, checked where they enter.
#include "binding/coordinate_columns.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "binding/errors.hpp"
#include "binding/py_ref.hpp"

namespace vicinor::binding {
namespace {

const char* axis_name(bool longitude) { return longitude ? "longitude" : "latitude"; }

std::string range_text(bool longitude) {
    return longitude ? "between -360 and 360 degrees" : "between -90 and 90 degrees";
}

// Shortened: a message about 10**400 need not print its 401 digits.
std::string object_repr(PyObject* object) {
    constexpr std::size_t kLongest = 60;
    std::string shown;
    if (PyRef text{PyObject_Repr(object)}) {
        shown = object_text(text.get());
    } else {
        PyErr_Clear();
        shown = object_text(object);
    }
    if (shown.size() > kLongest) shown = shown.substr(0, kLongest - 3) + "...";
    return shown;
}

// "lats[3]: latitude must be ..., got 91.0": the same words for a column
// entry and (with `place` = "argument 'lat'") for a single argument.
void report_bad_coordinate(const std::string& place, bool longitude, double value,
                           const std::string& shown) {
    std::string message = place + ": " + axis_name(longitude) + " must be ";
    message += std::isfinite(value) ? range_text(longitude) : std::string("a finite number");
    raise_message(PyExc_ValueError, message + ", got " + shown);
}

std::string entry_place(bool in_lons, std::size_t index) {
    return std::string(in_lons ? "lons[" : "lats[") + std::to_string(index) + "]";
}

// complex and numpy's complex numbers convert to a float only by dropping
// their imaginary part; everything else with a float conversion is a real
// number (int, bool, Fraction, Decimal, numpy scalars).
bool is_real_number(PyObject* object) {
    if (PyFloat_Check(object) || PyLong_Check(object)) return true;
    if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) ||
        PyComplex_Check(object)) {
        return false;
    }
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || (number->nb_float == nullptr && number->nb_index == nullptr)) {
        return false;
    }
    PyRef imaginary(PyObject_GetAttrString(object, "imag"));
    if (!imaginary) {
        PyErr_Clear();
        return true;
    }
    // numpy's complex scalars: a real number's imag is always 0 and of a
    // real type; theirs is a float too, so tell them by their own type.
    PyRef numbers(PyImport_ImportModule("numbers"));
    PyRef real_type(numbers ? PyObject_GetAttrString(numbers.get(), "Real") : nullptr);
    PyRef complex_type(numbers ? PyObject_GetAttrString(numbers.get(), "Complex") : nullptr);
    if (!real_type || !complex_type) {
        PyErr_Clear();
        return true;
    }
    const int real = PyObject_IsInstance(object, real_type.get());
    const int complex = PyObject_IsInstance(object, complex_type.get());
    if (real < 0 || complex < 0) {
        PyErr_Clear();
        return true;
    }
    return real == 1 || complex == 0;
}

bool is_masked_array(PyObject* numpy, PyObject* object) {
    // Only ndarray subclasses carry a mask; a plain array is never asked.
    if (!PyObject_HasAttrString(object, "mask")) return false;
    PyRef masked(PyObject_GetAttrString(numpy, "ma"));
    PyRef type(masked ? PyObject_GetAttrString(masked.get(), "MaskedArray") : nullptr);
    if (!type) {
        PyErr_Clear();
        return false;
    }
    const int is = PyObject_IsInstance(object, type.get());
    if (is < 0) PyErr_Clear();
    return is == 1;
}

bool refuse_column(const char* name, const std::string& what) {
    raise_message(PyExc_TypeError,
                  std::string("argument '") + name + "': must hold real numbers, got " + what);
    return false;
}

}  // namespace

CoordinateColumn::~CoordinateColumn() {
    if (held_) PyBuffer_Release(&view_);
}

std::size_t CoordinateColumn::size() const noexcept {
    if (from_objects_) return objects_.size();
    return static_cast<std::size_t>(view_.shape[0]);
}

DoubleColumn CoordinateColumn::column() const noexcept {
    if (from_objects_) return DoubleColumn{objects_.data(), 1};
    return DoubleColumn{static_cast<const double*>(view_.buf),
                        view_.strides[0] / static_cast<Py_ssize_t>(sizeof(double))};
}

bool CoordinateColumn::open_view(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return false;
    held_ = true;
    return true;
}

bool CoordinateColumn::readable_in_place() const noexcept {
    const char* format = view_.format != nullptr ? view_.format : "B";
    const bool native_double = std::strcmp(format, "d") == 0 || std::strcmp(format, "@d") == 0 ||
                               std::strcmp(format, "=d") == 0 ||
                               (std::strcmp(format, "<d") == 0 &&
                                std::endian::native == std::endian::little);
    return native_double && view_.ndim == 1 && view_.itemsize == sizeof(double) &&
           view_.strides != nullptr && view_.strides[0] % sizeof(double) == 0 &&
           reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) == 0;
}

// An object array (a list holding None, huge ints, Decimals...): each
// element is checked and converted here, so the error can name it.
bool CoordinateColumn::convert_objects(PyObject* array, const char* name) {
    const bool longitude = std::strcmp(name, "lons") == 0;
    PyRef iterator(PyObject_GetIter(array));
    if (!iterator) return false;
    from_objects_ = true;
    for (std::size_t index = 0;; ++index) {
        PyRef item(PyIter_Next(iterator.get()));
        if (!item) return !PyErr_Occurred();
        if (!is_real_number(item.get())) {
            raise_message(PyExc_TypeError, entry_place(longitude, index) +
                                               ": must be a real number, got " +
                                               object_repr(item.get()));
            return false;
        }
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
            report_bad_coordinate(entry_place(longitude, index), longitude, 0.0,
                                  object_repr(item.get()));
            return false;
        }
        objects_.push_back(value);
    }
}

bool CoordinateColumn::open(PyObject* numpy, PyObject* object, const char* name) {
    if (PyBytes_Check(object) || PyByteArray_Check(object) || PyUnicode_Check(object)) {
        return refuse_column(name, type_qualname(Py_TYPE(object)));
    }
    if (is_masked_array(numpy, object)) {
        return refuse_column(name, "a masked array (fill or compress it first)");
    }
    if (PyObject_CheckBuffer(object)) {
        if (open_view(object)) {
            if (readable_in_place()) return true;
            PyBuffer_Release(&view_);
            held_ = false;
        } else {
            PyErr_Clear();  // numpy may still convert it
        }
    }
    PyRef array(PyObject_CallMethod(numpy, "asarray", "(O)", object));
    if (!array) {
        report_new_argument_error(name);
        return false;
    }
    PyRef shape(PyObject_GetAttrString(array.get(), "ndim"));
    if (!shape) return false;
    const long dimensions = PyLong_AsLong(shape.get());
    if (dimensions == -1 && PyErr_Occurred()) return false;
    if (dimensions != 1) {
        raise_message(PyExc_ValueError, std::string(name) + " must be one-dimensional, got " +
                                            std::to_string(dimensions) + " dimensions");
        return false;
    }
    PyRef dtype(PyObject_GetAttrString(array.get(), "dtype"));
    PyRef kind(dtype ? PyObject_GetAttrString(dtype.get(), "kind") : nullptr);
    if (!kind) return false;
    const std::string kind_text = object_text(kind.get());
    if (kind_text == "O") return convert_objects(array.get(), name);
    // Booleans and integers convert exactly enough; dates, durations,
    // complex numbers and text would convert to numbers they are not.
    if (kind_text != "b" && kind_text != "i" && kind_text != "u" && kind_text != "f") {
        return refuse_column(name, "an array of " + object_text(dtype.get()));
    }
    // C-contiguous, aligned, native float64: the in-place form.
    PyRef converted(PyObject_CallMethod(numpy, "require", "Oss", array.get(), "float64", "CA"));
    if (!converted) return false;
    if (!open_view(converted.get())) return false;
    if (!readable_in_place()) {
        report_internal_fault("a converted column is not a float64 vector");
        return false;
    }
    return true;  // the view keeps the converted array alive
}

bool check_coordinates(const BatchQuery& query, std::size_t lat_count, std::size_t lon_count) {
    if (lat_count != lon_count) {
        const bool lons_short = lon_count < lat_count;
        raise_message(PyExc_ValueError,
                      "lats and lons differ in length (" + std::to_string(lat_count) + " and " +
                          std::to_string(lon_count) + "): index " +
                          std::to_string(lons_short ? lon_count : lat_count) + " has no " +
                          (lons_short ? "longitude" : "latitude"));
        return false;
    }
    bool in_lons = false;
    double value = 0;
    const std::size_t bad = first_unusable(query, in_lons, value);
    if (bad == query.count) return true;
    report_bad_coordinate(entry_place(in_lons, bad), in_lons, value, float_repr(value));
    return false;
}

void report_non_finite(const NonFiniteCoordinate& coordinate) {
    report_bad_coordinate(entry_place(coordinate.in_lons, coordinate.index), coordinate.in_lons,
                          coordinate.value, float_repr(coordinate.value));
}

bool convert_checked_coordinate_slow(PyObject* object, const char* name, bool longitude,
                                     double& out) {
    auto place = [name] { return std::string("argument '") + name + "'"; };
    if (!PyFloat_CheckExact(object)) {
        if (!is_real_number(object)) {
            raise_message(PyExc_TypeError,
                          place() + ": must be a real number, got " + object_repr(object));
            return false;
        }
        out = PyFloat_AsDouble(object);
        if (out == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
                report_new_argument_error(name);
                return false;
            }
            PyErr_Clear();
            report_bad_coordinate(place(), longitude, 0.0, object_repr(object));
            return false;
        }
    }
    if (longitude ? usable_longitude(out) : usable_latitude(out)) return true;
    report_bad_coordinate(place(), longitude, out, float_repr(out));
    return false;
}

std::string float_repr(double value) {
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) {
        PyErr_Clear();
        return std::to_string(value);
    }
    std::string shown(text);
    PyMem_Free(text);
    return shown;
}

void report_new_argument_error(const char* name) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyRef failure(PyErr_GetRaisedException());
        raise_message(PyExc_ValueError,
                      std::string("argument '") + name + "': " + object_text(failure.get()));
        return;
    }
    report_argument_error(name);
}

}  // namespace vicinor::binding
