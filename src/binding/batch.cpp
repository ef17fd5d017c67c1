// nearest_rows and get_nearest_with_distance. numpy is imported here only,
// so the rest of the module works without it: it makes the result arrays
// and converts inputs that are not float64 buffers already.
#include "binding/batch.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <string>

#include "binding/arguments.hpp"
#include "binding/boundary.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "binding/geocoder_type.hpp"
#include "binding/py_ref.hpp"
#include "binding/result_strings.hpp"
#include "geocoder/batch.hpp"
#include "geocoder/lookup.hpp"

namespace vicinor::binding {
namespace {

constexpr const char* kBatchNames[] = {"lats", "lons", "max_km", "threads"};
constexpr ParameterList kNearestRows = {"ReverseGeocoder.nearest_rows()", kBatchNames, 4, 2, 2};
constexpr const char* kWithDistanceNames[] = {"lat", "lon", "max_km"};
constexpr ParameterList kWithDistance = {"ReverseGeocoder.get_nearest_with_distance()",
                                         kWithDistanceNames, 3, 2};

// A one-dimensional column of doubles, held for the call: the caller's own
// buffer when it is float64 already, else a converted copy.
class Column {
public:
    Column() = default;
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    ~Column() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool open(PyObject* numpy, PyObject* object, const char* name) {
        if (PyObject_CheckBuffer(object)) {
            if (PyObject_GetBuffer(object, &view_, PyBUF_STRIDES | PyBUF_FORMAT) == 0) {
                held_ = true;
                if (readable_in_place()) return true;
                PyBuffer_Release(&view_);
                held_ = false;
            } else {
                PyErr_Clear();  // numpy may still convert it
            }
        }
        // C-contiguous, aligned, native float64: the in-place form.
        converted_ = PyRef(PyObject_CallMethod(numpy, "require", "Oss", object, "float64", "CA"));
        if (!converted_) return false;
        if (PyObject_GetBuffer(converted_.get(), &view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
            return false;
        }
        held_ = true;
        if (view_.ndim != 1) {
            raise_message(PyExc_ValueError, std::string(name) + " must be one-dimensional, got " +
                                                std::to_string(view_.ndim) + " dimensions");
            return false;
        }
        if (!readable_in_place()) {
            report_internal_fault("a converted column is not a float64 vector");
            return false;
        }
        return true;
    }

    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.shape[0]); }
    DoubleColumn column() const noexcept {
        return DoubleColumn{static_cast<const double*>(view_.buf),
                            view_.strides[0] / static_cast<Py_ssize_t>(sizeof(double))};
    }

private:
    bool readable_in_place() const noexcept {
        const char* format = view_.format != nullptr ? view_.format : "B";
        const bool native_double = std::strcmp(format, "d") == 0 ||
                                   std::strcmp(format, "@d") == 0 ||
                                   std::strcmp(format, "=d") == 0 ||
                                   (std::strcmp(format, "<d") == 0 &&
                                    std::endian::native == std::endian::little);
        return native_double && view_.ndim == 1 && view_.itemsize == sizeof(double) &&
               view_.strides != nullptr && view_.strides[0] % sizeof(double) == 0 &&
               reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) == 0;
    }

    Py_buffer view_{};
    bool held_ = false;
    PyRef converted_;
};

// A new numpy array of `count` values of `dtype`, and its writable data.
PyObject* new_array(PyObject* numpy, const char* dtype, std::size_t count, void*& data) {
    PyRef array(PyObject_CallMethod(numpy, "empty", "ns", static_cast<Py_ssize_t>(count), dtype));
    if (!array) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
        return nullptr;
    }
    data = view.buf;  // the array owns its memory; the view adds nothing to it
    PyBuffer_Release(&view);
    return array.release();
}

// None, or a number of kilometres that is not NaN and not negative.
bool convert_max_km(PyObject* object, double& out) {
    out = std::numeric_limits<double>::infinity();
    if (object == nullptr || object == Py_None) return true;
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        report_argument_error("max_km");
        return false;
    }
    if (std::isnan(value) || value < 0) {
        raise_message(PyExc_ValueError, "argument 'max_km': must be a distance in kilometres of "
                                        "at least 0, got " + std::to_string(value));
        return false;
    }
    out = value;
    return true;
}

bool convert_threads(PyObject* object, std::size_t count, unsigned& out) {
    if (object == nullptr || object == Py_None) {
        out = default_batch_threads(count);
        return true;
    }
    PyRef index(PyNumber_Index(object));
    if (!index) {
        report_argument_error("threads");
        return false;
    }
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        report_argument_error("threads");
        return false;
    }
    if (value < 1) {
        raise_message(PyExc_ValueError, "argument 'threads': must be at least 1, got " +
                                            std::to_string(value));
        return false;
    }
    // More threads than cores only costs; more than this is a mistake.
    constexpr long long kMostThreads = 1024;
    out = static_cast<unsigned>(value < kMostThreads ? value : kMostThreads);
    return true;
}

bool check_query(const BatchQuery& query, std::size_t lat_count, std::size_t lon_count) {
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
    const std::size_t bad = first_non_finite(query, in_lons);
    if (bad == query.count) return true;
    const double value = in_lons ? query.lons[bad] : query.lats[bad];
    raise_message(PyExc_ValueError,
                  std::string(in_lons ? "lons[" : "lats[") + std::to_string(bad) + "]: " +
                      (in_lons ? "longitude" : "latitude") + " must be a finite number, got " +
                      non_finite_text(value));
    return false;
}

// Searches with the GIL released; faults come back as exceptions only
// once it is held again.
Status search_without_gil(const ReverseGeocoder& record, const BatchQuery& query,
                          std::int64_t* rows, double* km) {
    Status status;
    std::exception_ptr fault;
    Py_BEGIN_ALLOW_THREADS
    try {
        status = nearest_rows(record, query, rows, km);
    } catch (...) {
        fault = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (fault) std::rethrow_exception(fault);
    return status;
}

}  // namespace

PyObject* Geocoder_nearest_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[4] = {};
        GeocoderObject* geocoder = begin_method(kNearestRows, self, args, nargsf, kwnames, bound);
        if (geocoder == nullptr) return nullptr;
        PyRef numpy(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        Column lats;
        Column lons;
        if (!lats.open(numpy.get(), bound[0], "lats") || !lons.open(numpy.get(), bound[1], "lons")) {
            return nullptr;
        }
        BatchQuery query;
        query.lats = lats.column();
        query.lons = lons.column();
        query.count = std::min(lats.size(), lons.size());
        if (!convert_max_km(bound[2], query.max_km)) return nullptr;
        if (!convert_threads(bound[3], query.count, query.threads)) return nullptr;
        if (!check_query(query, lats.size(), lons.size())) return nullptr;

        void* row_data = nullptr;
        void* km_data = nullptr;
        PyRef rows(new_array(numpy.get(), "int64", query.count, row_data));
        if (!rows) return nullptr;
        PyRef km(new_array(numpy.get(), "float64", query.count, km_data));
        if (!km) return nullptr;
        // Before any thread starts: the search only reads the record.
        prepare_lookups_once(geocoder);
        Status searched = search_without_gil(geocoder->record, query,
                                             static_cast<std::int64_t*>(row_data),
                                             static_cast<double*>(km_data));
        if (!searched) {
            report_error_value(searched.error());
            return nullptr;
        }
        return PyTuple_Pack(2, rows.get(), km.get());
    });
}

PyObject* Geocoder_get_nearest_with_distance(PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargsf, PyObject* kwnames) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[3] = {};
        GeocoderObject* geocoder =
            begin_method(kWithDistance, self, args, nargsf, kwnames, bound);
        if (geocoder == nullptr) return nullptr;
        double lat = 0;
        double lon = 0;
        double max_km = 0;
        if (!convert_coordinate(bound[0], "lat", "latitude", lat) ||
            !convert_coordinate(bound[1], "lon", "longitude", lon) ||
            !convert_max_km(bound[2], max_km)) {
            return nullptr;
        }
        prepare_lookups_once(geocoder);
        Result<NearestRow> nearest = nearest_row(geocoder->record, lat, lon);
        if (!nearest) {
            report_error_value(nearest.error());
            return nullptr;
        }
        const double km = chord_to_km(nearest->squared_chord);
        if (km > max_km) Py_RETURN_NONE;
        PyRef text(new_str(row_text_at(geocoder->record, nearest->row)));
        if (!text) {
            report_python_api_failure();
            return nullptr;
        }
        return Py_BuildValue("(Od)", text.get(), km);
    });
}

}  // namespace vicinor::binding
