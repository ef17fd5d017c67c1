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
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include "binding/arguments.hpp"
#include "binding/boundary.hpp"
#include "binding/columns.hpp"
#include "binding/coordinate_columns.hpp"
#include "binding/errors.hpp"
#include "binding/geocoder_type.hpp"
#include "binding/neighbours.hpp"
#include "binding/py_ref.hpp"
#include "binding/result_strings.hpp"
#include "geocoder/batch.hpp"
#include "geocoder/lookup.hpp"

namespace vicinor::binding {
namespace {

constexpr const char* kBatchNames[] = {"lats", "lons", "max_km", "threads", "k"};
constexpr ParameterList kNearestRows = {"ReverseGeocoder.nearest_rows()", kBatchNames, 5, 2, 2};
constexpr const char* kWithDistanceNames[] = {"lat", "lon", "max_km"};
constexpr ParameterList kWithDistance = {"ReverseGeocoder.get_nearest_with_distance()",
                                         kWithDistanceNames, 3, 2};

// None, or a number of kilometres that is not NaN and not negative.
bool convert_max_km(PyObject* object, double& out) {
    out = std::numeric_limits<double>::infinity();
    if (object == nullptr || object == Py_None) return true;
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        report_new_argument_error("max_km");
        return false;
    }
    if (std::isnan(value) || value < 0) {
        raise_message(PyExc_ValueError, "argument 'max_km': must be a distance in kilometres of "
                                        "at least 0, got " + float_repr(value));
        return false;
    }
    out = value;
    return true;
}

// Searches with the GIL released; faults come back as exceptions only
// once it is held again.
Status search_without_gil(const ReverseGeocoder& record, const BatchQuery& query,
                          std::int64_t* rows, double* km,
                          std::optional<NonFiniteCoordinate>& non_finite) {
    Status status;
    std::exception_ptr fault;
    Py_BEGIN_ALLOW_THREADS
    try {
        status = nearest_rows(record, query, rows, km, &non_finite);
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
        PyObject* bound[5] = {};
        GeocoderObject* geocoder = begin_method(kNearestRows, self, args, nargsf, kwnames, bound);
        if (geocoder == nullptr) return nullptr;
        PyRef numpy(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        CoordinateColumn lats;
        CoordinateColumn lons;
        if (!lats.open(numpy.get(), bound[0], "lats") || !lons.open(numpy.get(), bound[1], "lons")) {
            return nullptr;
        }
        BatchQuery query;
        query.lats = lats.column();
        query.lons = lons.column();
        query.count = std::min(lats.size(), lons.size());
        if (!convert_max_km(bound[2], query.max_km)) return nullptr;
        if (!convert_threads(bound[3], default_batch_threads(query.count), query.threads)) return nullptr;
        if (!check_coordinates(query, lats.size(), lons.size())) return nullptr;
        std::size_t k = 1;
        if (!convert_neighbour_count(bound[4], k)) return nullptr;
        if (k != 1) return nearest_k_arrays(numpy.get(), geocoder, query, k);

        void* row_data = nullptr;
        void* km_data = nullptr;
        PyRef rows(new_array(numpy.get(), "int64", query.count, row_data));
        if (!rows) return nullptr;
        PyRef km(new_array(numpy.get(), "float64", query.count, km_data));
        if (!km) return nullptr;
        // Before any thread starts: the search only reads the record.
        prepare_lookups_once(geocoder);
        // The caller's arrays may change while the search runs: a coordinate
        // no longer finite fails as it would have failed the check.
        std::optional<NonFiniteCoordinate> non_finite;
        Status searched = search_without_gil(geocoder->record, query,
                                             static_cast<std::int64_t*>(row_data),
                                             static_cast<double*>(km_data), non_finite);
        if (!searched && non_finite) {
            report_non_finite(*non_finite);
            return nullptr;
        }
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
        if (!convert_checked_coordinate(bound[0], "lat", false, lat) ||
            !convert_checked_coordinate(bound[1], "lon", true, lon) ||
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

PyObject* with_query_columns(PyObject* numpy, PyObject* lats_object, PyObject* lons_object,
                             PyObject* threads, std::size_t first, std::size_t last,
                             const std::function<PyObject*(const BatchQuery&)>& body) {
    CoordinateColumn lats;
    CoordinateColumn lons;
    if (!lats.open(numpy, lats_object, "lats") || !lons.open(numpy, lons_object, "lons")) {
        return nullptr;
    }
    BatchQuery query;
    query.lats = lats.column();
    query.lons = lons.column();
    query.count = std::min(lats.size(), lons.size());
    query.max_km = std::numeric_limits<double>::infinity();
    if (!check_coordinates(query, lats.size(), lons.size())) return nullptr;
    // The part asked for: the checks above cover every point, so an error
    // names the same index whichever part is asked.
    last = std::min(last, query.count);
    first = std::min(first, last);
    query.lats.data = query.lats.at(first);
    query.lons.data = query.lons.at(first);
    query.count = last - first;
    if (!convert_threads(threads, default_batch_threads(query.count), query.threads)) return nullptr;
    return body(query);
}

}  // namespace vicinor::binding
