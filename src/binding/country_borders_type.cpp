// The _CountryBorders type: built from the bytes of a border file (checked
// by the core as untrusted), answering country numbers for single points
// and, without the GIL, for whole columns.
#include "binding/country_borders_type.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/batch.hpp"
#include "binding/boundary.hpp"
#include "binding/columns.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "borders/border_file.hpp"
#include "borders/country_lookup.hpp"
#include "geocoder/batch.hpp"

namespace vicinor::binding {
namespace {

using borders::CountryBorders;

struct BordersObject {
    PyObject_HEAD
    CountryBorders* borders;  // owned; never changes after construction
};

CountryBorders& borders_of(PyObject* self) {
    return *reinterpret_cast<BordersObject*>(self)->borders;
}

// Runs `work` with the GIL released; faults come back as exceptions only
// once it is held again.
template <class Work>
void without_gil(Work&& work) {
    std::exception_ptr fault;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (...) {
        fault = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (fault) std::rethrow_exception(fault);
}

constexpr const char* kNewNames[] = {"data"};
constexpr ParameterList kNew = {"_CountryBorders()", kNewNames, 1, 1};

PyObject* Borders_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[1] = {};
        if (!bind_tuple(kNew, args, kwargs, bound)) return nullptr;
        Py_buffer view;
        if (PyObject_GetBuffer(bound[0], &view, PyBUF_SIMPLE) < 0) return nullptr;
        std::unique_ptr<Result<CountryBorders>> loaded;
        try {
            // The caller's buffer must not change meanwhile: a bytes object
            // cannot, and vicinor_tools passes bytes.
            without_gil([&] {
                loaded = std::make_unique<Result<CountryBorders>>(borders::load_country_borders(
                    std::span(static_cast<const std::uint8_t*>(view.buf),
                              static_cast<std::size_t>(view.len))));
            });
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        PyBuffer_Release(&view);
        if (!*loaded) {
            raise_message(PyExc_ValueError, loaded->error().render());
            return nullptr;
        }
        auto owned = std::make_unique<CountryBorders>(std::move(loaded->value()));
        PyObject* object = type->tp_alloc(type, 0);
        if (object == nullptr) return nullptr;
        reinterpret_cast<BordersObject*>(object)->borders = owned.release();
        return object;
    });
}

void Borders_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    delete reinterpret_cast<BordersObject*>(object)->borders;
    type->tp_free(object);
    Py_DECREF(type);
}

PyObject* Borders_codes(PyObject* self, PyObject*) {
    return guard_entry([&]() -> PyObject* {
        const auto& codes = borders_of(self).polygons.codes;
        PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(codes.size())));
        if (!tuple) return nullptr;
        for (std::size_t i = 0; i < codes.size(); ++i) {
            PyObject* code = PyUnicode_FromStringAndSize(codes[i].data(), 2);
            if (code == nullptr) return nullptr;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), code);
        }
        return tuple.release();
    });
}

constexpr const char* kOneNames[] = {"lat", "lon"};
constexpr ParameterList kOne = {"_CountryBorders.country_number()", kOneNames, 2, 2};

PyObject* Borders_country_number(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                 PyObject* kwnames) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[2] = {};
        if (!bind_vector(kOne, args, nargsf, kwnames, bound)) return nullptr;
        double lat = 0;
        double lon = 0;
        if (!convert_coordinate(bound[0], "lat", "latitude", lat) ||
            !convert_coordinate(bound[1], "lon", "longitude", lon)) {
            return nullptr;
        }
        return PyLong_FromLong(borders::country_at(borders_of(self), lat, lon));
    });
}

constexpr const char* kManyNames[] = {"lats", "lons", "threads"};
constexpr ParameterList kMany = {"_CountryBorders.country_numbers()", kManyNames, 3, 2};

PyObject* Borders_country_numbers(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[3] = {};
        if (!bind_vector(kMany, args, nargsf, kwnames, bound)) return nullptr;
        PyRef numpy(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        return with_query_columns(numpy.get(), bound[0], bound[1], bound[2], 0,
                                  std::numeric_limits<std::size_t>::max(),
                                  [&](const BatchQuery& query) -> PyObject* {
            void* data = nullptr;
            PyRef numbers(new_array(numpy.get(), "uint16", query.count, data));
            if (!numbers) return nullptr;
            Status done;
            without_gil([&] {
                done = borders::countries_at(borders_of(self), query.lats, query.lons, query.count,
                                             query.threads,
                                             static_cast<borders::CountryNumber*>(data));
            });
            if (!done) {
                report_error_value(done.error());
                return nullptr;
            }
            return numbers.release();
        });
    });
}

// A numpy array holding a copy of `values`.
template <class T>
PyObject* array_of(PyObject* numpy, const char* dtype, const std::vector<T>& values) {
    void* data = nullptr;
    PyObject* array = new_array(numpy, dtype, values.size(), data);
    if (array != nullptr && !values.empty()) {
        std::memcpy(data, values.data(), values.size() * sizeof(T));
    }
    return array;
}

PyObject* Borders_rings(PyObject* self, PyObject*) {
    return guard_entry([&]() -> PyObject* {
        const borders::BorderPolygons& p = borders_of(self).polygons;
        PyRef numpy(PyImport_ImportModule("numpy"));
        if (!numpy) return nullptr;
        std::vector<std::uint16_t> country;
        std::vector<std::uint8_t> hole;
        std::vector<std::uint32_t> first;
        std::vector<std::uint32_t> count;
        std::vector<double> lons;
        std::vector<double> lats;
        for (const borders::LonLat& point : p.points) {
            lons.push_back(point.lon);
            lats.push_back(point.lat);
        }
        for (const borders::BorderRing& ring : p.rings) {
            country.push_back(ring.country);
            hole.push_back(ring.kind == borders::RingKind::hole);
            first.push_back(ring.first);
            count.push_back(ring.count);
        }
        PyRef arrays[] = {
            PyRef(array_of(numpy.get(), "uint16", country)),
            PyRef(array_of(numpy.get(), "bool", hole)),
            PyRef(array_of(numpy.get(), "uint32", first)),
            PyRef(array_of(numpy.get(), "uint32", count)),
            PyRef(array_of(numpy.get(), "float64", lons)),
            PyRef(array_of(numpy.get(), "float64", lats)),
        };
        for (const PyRef& array : arrays) {
            if (!array) return nullptr;
        }
        return PyTuple_Pack(6, arrays[0].get(), arrays[1].get(), arrays[2].get(), arrays[3].get(),
                            arrays[4].get(), arrays[5].get());
    });
}

template <class Method>
PyCFunction as_function(Method method) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef borders_methods[] = {
    {"codes", as_function(Borders_codes), METH_NOARGS,
     "codes($self)\n--\n\nThe ISO codes of the countries; country number n is codes()[n - 1]."},
    {"country_number", as_function(Borders_country_number), METH_FASTCALL | METH_KEYWORDS,
     "country_number($self, lat, lon)\n--\n\nThe number of the country the point lies in, 0 for "
     "none."},
    {"country_numbers", as_function(Borders_country_numbers), METH_FASTCALL | METH_KEYWORDS,
     "country_numbers($self, lats, lons, threads=None)\n--\n\nCountry numbers (uint16) of whole "
     "columns, without the GIL."},
    {"rings", as_function(Borders_rings), METH_NOARGS,
     "rings($self)\n--\n\nThe polygons as arrays (country, hole, first, count, lons, lats); each "
     "ring's first vertex is repeated after its last."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kTypeDoc[] =
    "_CountryBorders(data)\n--\n\nCountry polygons from the bytes of a border file "
    "(internal to vicinor_tools).";

PyType_Slot borders_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Borders_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Borders_dealloc)},
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {Py_tp_methods, borders_methods},
    {0, nullptr},
};

PyType_Spec borders_spec = {
    "vicinor._CountryBorders",
    static_cast<int>(sizeof(BordersObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    borders_slots,
};

std::atomic<PyTypeObject*> created_type{nullptr};

}  // namespace

PyTypeObject* country_borders_type() noexcept {
    if (PyTypeObject* existing = created_type.load(std::memory_order_acquire)) return existing;
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&borders_spec));
    if (type == nullptr) return nullptr;
    PyTypeObject* expected = nullptr;
    if (!created_type.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
        Py_DECREF(type);
        return expected;
    }
    return type;
}

}  // namespace vicinor::binding
