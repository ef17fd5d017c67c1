// The neighbour methods. Like nearest_rows, the searches run with the GIL
// released and fill arrays allocated before; a fault inside comes back as
// an exception once the GIL is held again.
#include "binding/neighbours.hpp"

#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/batch.hpp"
#include "binding/boundary.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "binding/geocoder_type.hpp"
#include "binding/py_ref.hpp"
#include "geocoder/neighbour_batch.hpp"
#include "kdtree/neighbours.hpp"

namespace vicinor::binding {
namespace {

constexpr const char* kWithinNames[] = {"lats", "lons", "km", "threads", "limit", "start", "stop"};
constexpr ParameterList kRowsWithin = {"ReverseGeocoder.rows_within()", kWithinNames, 7, 3, 3};
constexpr const char* kPointNames[] = {"lat", "lon", "km", "limit"};
constexpr ParameterList kGetRowsWithin = {"ReverseGeocoder.get_rows_within()", kPointNames, 4, 3, 3};

// Runs `search` (returning a Status-like value) without the GIL.
template <class Search>
auto without_gil(Search search) -> decltype(search()) {
    std::exception_ptr fault;
    std::optional<decltype(search())> result;
    Py_BEGIN_ALLOW_THREADS
    try {
        result.emplace(search());
    } catch (...) {
        fault = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (fault) std::rethrow_exception(fault);
    return std::move(*result);
}

// A non-negative integer argument; None keeps `out`.
bool convert_count(PyObject* object, const char* name, long long least, std::size_t& out) {
    if (object == nullptr || object == Py_None) return true;
    PyRef index(PyNumber_Index(object));
    if (!index) {
        report_argument_error(name);
        return false;
    }
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        raise_message(PyExc_ValueError, std::string("argument '") + name + "': out of range");
        return false;
    }
    if (value < least) {
        raise_message(PyExc_ValueError, std::string("argument '") + name + "': must be at least " +
                                            std::to_string(least) + ", got " +
                                            std::to_string(value));
        return false;
    }
    out = static_cast<std::size_t>(value);
    return true;
}

bool convert_radius(PyObject* object, double& out) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        report_argument_error("km");
        return false;
    }
    if (std::isnan(value) || value < 0) {
        raise_message(PyExc_ValueError, "argument 'km': must be a distance in kilometres of at "
                                        "least 0, got " + std::to_string(value));
        return false;
    }
    out = value;
    return true;
}

// A new numpy array of `shape`, and its writable data.
PyObject* new_array(PyObject* numpy, PyObject* shape, const char* dtype, void*& data) {
    PyRef array(PyObject_CallMethod(numpy, "empty", "Os", shape, dtype));
    if (!array) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
        return nullptr;
    }
    data = view.buf;  // the array owns its memory
    PyBuffer_Release(&view);
    return array.release();
}

PyObject* vector_array(PyObject* numpy, std::size_t count, const char* dtype, void*& data) {
    PyRef shape(Py_BuildValue("(n)", static_cast<Py_ssize_t>(count)));
    return shape ? new_array(numpy, shape.get(), dtype, data) : nullptr;
}

// Runs the radius search over `query` and packs its parts into the
// compressed arrays.
PyObject* within_arrays(PyObject* numpy, GeocoderObject* geocoder, const BatchQuery& query,
                        double km, std::size_t limit) {
    void* offset_data = nullptr;
    PyRef offsets(vector_array(numpy, query.count + 1, "int64", offset_data));
    if (!offsets) return nullptr;
    prepare_lookups_once(geocoder);
    prepare_neighbours(geocoder->record);
    Result<std::vector<RowsWithin>> parts = without_gil([&] {
        return rows_within(geocoder->record, query, km, limit,
                           static_cast<std::int64_t*>(offset_data));
    });
    if (!parts) {
        report_error_value(parts.error());
        return nullptr;
    }
    const auto total = static_cast<std::size_t>(static_cast<std::int64_t*>(offset_data)[query.count]);
    void* row_data = nullptr;
    void* km_data = nullptr;
    PyRef rows(vector_array(numpy, total, "int64", row_data));
    if (!rows) return nullptr;
    PyRef kms(vector_array(numpy, total, "float64", km_data));
    if (!kms) return nullptr;
    std::size_t at = 0;
    for (RowsWithin& part : *parts) {
        const std::size_t n = part.rows.size();
        if (n > total - at) {
            report_internal_fault("radius results outgrew their count");
            return nullptr;
        }
        std::memcpy(static_cast<std::int64_t*>(row_data) + at, part.rows.data(), n * 8);
        std::memcpy(static_cast<double*>(km_data) + at, part.km.data(), n * 8);
        at += n;
        part = RowsWithin{};  // freed as soon as copied
    }
    return PyTuple_Pack(3, offsets.get(), rows.get(), kms.get());
}

}  // namespace

bool convert_neighbour_count(PyObject* object, std::size_t& out) {
    return convert_count(object, "k", 1, out);
}

PyObject* nearest_k_arrays(PyObject* numpy, GeocoderObject* geocoder, const BatchQuery& query,
                           std::size_t k) {
    // numpy refuses what it cannot hold; the product must not wrap first.
    if (query.count != 0 && k > std::numeric_limits<std::size_t>::max() / 8 / query.count) {
        raise_message(PyExc_MemoryError, "k nearest rows for so many points do not fit in memory");
        return nullptr;
    }
    PyRef shape(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(query.count),
                              static_cast<Py_ssize_t>(k)));
    if (!shape) return nullptr;
    void* row_data = nullptr;
    void* km_data = nullptr;
    PyRef rows(new_array(numpy, shape.get(), "int64", row_data));
    if (!rows) return nullptr;
    PyRef km(new_array(numpy, shape.get(), "float64", km_data));
    if (!km) return nullptr;
    prepare_lookups_once(geocoder);
    prepare_neighbours(geocoder->record);
    Status searched = without_gil([&] {
        return nearest_k_rows(geocoder->record, query, k, static_cast<std::int64_t*>(row_data),
                              static_cast<double*>(km_data));
    });
    if (!searched) {
        report_error_value(searched.error());
        return nullptr;
    }
    return PyTuple_Pack(2, rows.get(), km.get());
}

PyObject* Geocoder_rows_within(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[7] = {};
        GeocoderObject* geocoder = begin_method(kRowsWithin, self, args, nargsf, kwnames, bound);
        if (geocoder == nullptr) return nullptr;
        double km = 0;
        std::size_t limit = kdtree::NeighbourSearch::kAll;
        std::size_t start = 0;
        std::size_t stop = std::numeric_limits<std::size_t>::max();
        if (!convert_radius(bound[2], km) || !convert_count(bound[4], "limit", 0, limit) ||
            !convert_count(bound[5], "start", 0, start) ||
            !convert_count(bound[6], "stop", 0, stop)) {
            return nullptr;
        }
        PyRef numpy(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        return with_query_columns(numpy.get(), bound[0], bound[1], bound[3], start, stop,
                                  [&](const BatchQuery& query) {
            return within_arrays(numpy.get(), geocoder, query, km, limit);
        });
    });
}

PyObject* Geocoder_get_rows_within(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[4] = {};
        GeocoderObject* geocoder = begin_method(kGetRowsWithin, self, args, nargsf, kwnames, bound);
        if (geocoder == nullptr) return nullptr;
        double lat = 0;
        double lon = 0;
        double km = 0;
        std::size_t limit = kdtree::NeighbourSearch::kAll;
        if (!convert_coordinate(bound[0], "lat", "latitude", lat) ||
            !convert_coordinate(bound[1], "lon", "longitude", lon) || !convert_radius(bound[2], km) ||
            !convert_count(bound[3], "limit", 0, limit)) {
            return nullptr;
        }
        prepare_lookups_once(geocoder);
    prepare_neighbours(geocoder->record);
        BatchQuery query;
        query.lats = DoubleColumn{&lat, 1};
        query.lons = DoubleColumn{&lon, 1};
        query.count = 1;
        query.threads = 1;
        std::int64_t offsets[2] = {};
        Result<std::vector<RowsWithin>> parts =
            rows_within(geocoder->record, query, km, limit, offsets);
        if (!parts) {
            report_error_value(parts.error());
            return nullptr;
        }
        const RowsWithin& found = parts->front();
        PyRef list(PyList_New(static_cast<Py_ssize_t>(found.rows.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < found.rows.size(); ++i) {
            PyObject* pair = Py_BuildValue("(Ld)", static_cast<long long>(found.rows[i]), found.km[i]);
            if (pair == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
        }
        return list.release();
    });
}

}  // namespace vicinor::binding
