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
#include "binding/columns.hpp"
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
constexpr ParameterList kNearestRows = {"ReverseGeocoder.nearest_rows()", kBatchNames, 4, 2};
constexpr const char* kWithDistanceNames[] = {"lat", "lon", "max_km"};
constexpr ParameterList kWithDistance = {"ReverseGeocoder.get_nearest_with_distance()",
                                         kWithDistanceNames, 3, 2};

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

bool check_query(const BatchQuery& query, std::size_t lat_count, std::size_t lon_count) {
    if (!check_lengths(lat_count, lon_count)) return false;
    bool in_lons = false;
    const std::size_t bad = first_non_finite(query, in_lons);
    if (bad == query.count) return true;
    report_non_finite(in_lons, bad, in_lons ? query.lons[bad] : query.lats[bad]);
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
        if (PyVectorcall_NARGS(nargsf) > 2) {
            raise_message(PyExc_TypeError,
                          "ReverseGeocoder.nearest_rows() takes 2 positional arguments but " +
                              std::to_string(PyVectorcall_NARGS(nargsf)) + " were given");
            return nullptr;
        }
        if (!bind_vector(kNearestRows, args, nargsf, kwnames, bound)) return nullptr;
        GeocoderObject* geocoder = as_geocoder(self);
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
        if (!convert_threads(bound[3], default_batch_threads(query.count), query.threads)) return nullptr;
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
        if (!bind_vector(kWithDistance, args, nargsf, kwnames, bound)) return nullptr;
        GeocoderObject* geocoder = as_geocoder(self);
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
        Result<std::string_view> row = row_text(geocoder->record, nearest->row);
        if (!row) {
            report_error_value(row.error());
            return nullptr;
        }
        PyRef text(new_str(*row));
        if (!text) {
            report_python_api_failure();
            return nullptr;
        }
        return Py_BuildValue("(Od)", text.get(), km);
    });
}

}  // namespace vicinor::binding
