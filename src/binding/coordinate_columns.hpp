// The coordinates of nearest_rows and get_nearest_with_distance: columns
// read in place or converted, and the checks that turn swapped columns,
// unit mistakes and values that are no numbers into errors naming the
// argument and the index. The four original lookups keep their own, looser
// conversion (convert_coordinate).
#pragma once

#include "binding/python.hpp"

#include <cstddef>
#include <string>
#include <vector>

#include "geocoder/batch.hpp"

namespace vicinor::binding {

// A one-dimensional column of doubles, held for the call: the caller's own
// buffer when it is float64 already, else a converted copy. Anything that
// is not real numbers (text, bytes, complex, dates, masked arrays, None)
// is refused with a TypeError rather than read as some number.
class CoordinateColumn {
public:
    CoordinateColumn() = default;
    CoordinateColumn(const CoordinateColumn&) = delete;
    CoordinateColumn& operator=(const CoordinateColumn&) = delete;
    ~CoordinateColumn();

    bool open(PyObject* numpy, PyObject* object, const char* name);

    std::size_t size() const noexcept;
    DoubleColumn column() const noexcept;

private:
    bool open_view(PyObject* object);
    bool readable_in_place() const noexcept;
    bool convert_objects(PyObject* array, const char* name);

    Py_buffer view_{};
    bool held_ = false;
    std::vector<double> objects_;  // an object array's values, converted one by one
    bool from_objects_ = false;
};

// Equal lengths, and every coordinate finite and within range; else a
// ValueError naming the first bad index.
bool check_coordinates(const BatchQuery& query, std::size_t lat_count, std::size_t lon_count);

// The ValueError for a coordinate the search found not finite: the same
// text check_coordinates gives, so a change racing the call reads alike.
void report_non_finite(const NonFiniteCoordinate& coordinate);

bool convert_checked_coordinate_slow(PyObject* object, const char* name, bool longitude,
                                     double& out);

// One coordinate argument of get_nearest_with_distance: a real number,
// finite and within range, else ValueError or TypeError naming it. Inline
// for the hot path, an exact float within range.
inline bool convert_checked_coordinate(PyObject* object, const char* name, bool longitude,
                                       double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        if (longitude ? usable_longitude(out) : usable_latitude(out)) return true;
    }
    return convert_checked_coordinate_slow(object, name, longitude, out);
}

// Python's repr of a double, for messages: -1e-300, not -0.000000.
std::string float_repr(double value);

// A TypeError or OverflowError from a conversion, renamed as the argument's
// TypeError or ValueError ("argument 'max_km': ...").
void report_new_argument_error(const char* name);

}  // namespace vicinor::binding
