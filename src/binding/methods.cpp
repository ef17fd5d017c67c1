// The constructor, the specified lookups, save and load of ReverseGeocoder,
// and the method table of every method. Each binds its arguments by its
// parameter list, converts them in order, calls the core, and shapes the
// result; all run through guard_entry.
#include "binding/methods.hpp"

#include <optional>
#include <string>
#include <utility>

#include "binding/arguments.hpp"
#include "binding/batch.hpp"
#include "binding/block_geocoding.hpp"
#include "binding/replaced_file.hpp"
#include "binding/boundary.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "binding/geocoder_type.hpp"
#include "binding/neighbours.hpp"
#include "binding/pickling.hpp"
#include "binding/py_ref.hpp"
#include "binding/released_gil.hpp"
#include "binding/result_strings.hpp"
#include "binding/rows.hpp"
#include "binding/subset.hpp"
#include "common/stop_check.hpp"
#include "geocoder/construction.hpp"
#include "geocoder/lookup.hpp"
#include "geocoder/row_fields.hpp"
#include "persist/storage.hpp"

namespace vicinor::binding {
namespace {

constexpr const char* kConstructorNames[] = {"csv", "value_sep", "drop_coordinates"};
constexpr const char* kCoordinateNames[] = {"lat", "lon"};
constexpr const char* kPathNames[] = {"path"};

constexpr ParameterList kConstructor = {"ReverseGeocoder.__new__()", kConstructorNames, 3, 1};
constexpr ParameterList kAsString = {"ReverseGeocoder.get_nearest_as_string()", kCoordinateNames,
                                     2, 2};
constexpr ParameterList kAsDict = {"ReverseGeocoder.get_nearest_as_dict()", kCoordinateNames, 2,
                                   2};
constexpr ParameterList kSave = {"ReverseGeocoder.save()", kPathNames, 1, 1};
constexpr ParameterList kLoad = {"ReverseGeocoder.load()", kPathNames, 1, 1};

// Smaller tables build in a few milliseconds: not worth a way to stop them.
constexpr std::size_t kStoppableText = std::size_t{1} << 20;

// Python runs signal handlers on its main thread only; elsewhere asking for
// them would cost a GIL round trip for nothing. A program that never
// imported threading (importing it would cost milliseconds) has hardly
// started another thread. Fails (-1) with the host's exception set, a
// KeyboardInterrupt that arrived meanwhile included.
int on_main_thread() {
    PyRef name(PyUnicode_InternFromString("threading"));
    if (!name) return -1;
    PyRef threading(PyImport_GetModule(name.get()));
    if (!threading) return PyErr_Occurred() ? -1 : 1;
    PyRef main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    PyRef ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    if (!ident) return -1;
    const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) return -1;
    return main_ident == PyThread_get_thread_ident() ? 1 : 0;
}

bool convert_query(PyObject* const* bound, double& lat, double& lon) {
    return convert_coordinate(bound[0], "lat", "latitude", lat) &&
           convert_coordinate(bound[1], "lon", "longitude", lon);
}

// The steps both lookups share: bind, check the instance, convert the
// coordinates, then shape the answer.
template <class Shape>
PyObject* run_lookup(const ParameterList& parameters, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames, Shape shape) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[2];
        GeocoderObject* geocoder = begin_method(parameters, self, args, nargsf, kwnames, bound);
        if (geocoder == nullptr) return nullptr;
        double lat = 0;
        double lon = 0;
        if (!convert_query(bound, lat, lon)) return nullptr;
        prepare_lookups_once(geocoder);
        return shape(geocoder, lat, lon);
    });
}

PyObject* Geocoder_get_nearest_as_string(PyObject* self, PyObject* const* args,
                                         Py_ssize_t nargsf, PyObject* kwnames) {
    return run_lookup(kAsString, self, args, nargsf, kwnames,
                      [](GeocoderObject* geocoder, double lat, double lon) -> PyObject* {
        Result<std::string_view> row = nearest_row_text(geocoder->record, lat, lon);
        if (!row) {
            report_error_value(row.error());
            return nullptr;
        }
        PyObject* text = new_str(*row);
        if (text == nullptr) report_python_api_failure();
        return text;
    });
}

PyObject* Geocoder_get_nearest_as_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                       PyObject* kwnames) {
    return run_lookup(kAsDict, self, args, nargsf, kwnames,
                      [](GeocoderObject* geocoder, double lat, double lon) -> PyObject* {
        // The row is a view into the stored text, which no host code can
        // change while this call holds the instance.
        Result<std::string_view> row = nearest_row_text(geocoder->record, lat, lon);
        if (!row) {
            report_error_value(row.error());
            return nullptr;
        }
        return row_dict(geocoder, *row);
    });
}

PyObject* Geocoder_save(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[1];
        GeocoderObject* geocoder = begin_method(kSave, self, args, nargsf, kwnames, bound);
        if (geocoder == nullptr) return nullptr;
        std::string path;
        if (!convert_path(bound[0], "path", path)) return nullptr;
        ReleasedGil released;
        Status saved = persist::save_geocoder(path, geocoder->record, released.interruption());
        released.reacquire();
        if (released.handler_raised()) return nullptr;
        if (!saved) {
            report_error_value(saved.error());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* Geocoder_load(PyObject* /*no instance: static*/, PyObject* const* args,
                        Py_ssize_t nargsf, PyObject* kwnames) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_arguments(kLoad, args, nargsf, kwnames, bound)) return nullptr;
        std::string path;
        if (!convert_path(bound[0], "path", path)) return nullptr;
        ReleasedGil released;
        Result<ReverseGeocoder> loaded = persist::load_geocoder(path, released.interruption());
        released.reacquire();
        if (released.handler_raised()) return nullptr;
        if (!loaded) {
            report_error_value(loaded.error());
            return nullptr;
        }
        return wrap_geocoder(std::move(loaded).value());
    });
}

template <class Method>
PyCFunction fastcall(Method method) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

}  // namespace

PyObject* row_dict(GeocoderObject* geocoder, std::string_view row) {
    PyObject* keys = column_keys(geocoder);
    PyObject* template_dict = keys ? dict_template(geocoder) : nullptr;
    if (template_dict == nullptr) {
        report_python_api_failure();
        return nullptr;
    }
    // A copy of the template (one block copy, no rehashing), made before the
    // row is read: allocating host objects may run host code (finalizers)
    // that reads rows on this thread and so reuses the storage of a parsed
    // row. Only untracked strs are made after it.
    PyRef dict(PyDict_Copy(template_dict));
    if (!dict) {
        report_python_api_failure();
        return nullptr;
    }
    RowFields fields;
    if (Status read = row_fields(geocoder->record, row, fields); !read) {
        report_error_value(read.error());
        return nullptr;
    }
    Py_ssize_t count = PyTuple_GET_SIZE(keys);
    if (fields.size() < static_cast<std::size_t>(count)) {
        // A row of a loaded file may hold fewer fields than there are
        // columns: the columns it lacks get no key.
        PyDict_Clear(dict.get());
        count = static_cast<Py_ssize_t>(fields.size());
    }
    // Values go in column order, so a repeated column name keeps its
    // rightmost value; fields beyond the named columns have no key.
    for (Py_ssize_t i = 0; i < count; ++i) {
        const std::string_view field = fields.field(static_cast<std::size_t>(i));
        PyRef value(!fields.ascii() ? new_str(field)
                    : field.size() <= ShortValues::kMaxBytes ? geocoder->short_values.get(field)
                                                             : new_ascii_str(field));
        if (!value) {
            report_python_api_failure();
            return nullptr;
        }
        if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(keys, i), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* Geocoder_new(PyTypeObject* /*always ReverseGeocoder*/, PyObject* args,
                       PyObject* kwargs) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[3];
        if (!bind_tuple(kConstructor, args, kwargs, bound)) return nullptr;
        std::string text;
        std::size_t line_feeds = 0;
        char32_t value_sep = U',';
        bool drop_coordinates = false;
        if (!convert_text(bound[0], "csv", text, line_feeds)) return nullptr;
        if (bound[1] != nullptr && !convert_character(bound[1], "value_sep", value_sep)) {
            return nullptr;
        }
        if (bound[2] != nullptr && !convert_flag(bound[2], "drop_coordinates", drop_coordinates)) {
            return nullptr;
        }
        const int stoppable = text.size() >= kStoppableText ? on_main_thread() : 0;
        if (stoppable < 0) return nullptr;
        ReleasedGil released;
        Result<ReverseGeocoder> built = [&] {
            std::optional<StopCheck> check;
            if (stoppable == 1) check.emplace(&ReleasedGil::stop_for_signal, &released);
            return build_geocoder(std::move(text), value_sep, drop_coordinates, line_feeds);
        }();
        released.reacquire();
        if (released.handler_raised()) return nullptr;  // KeyboardInterrupt, say
        if (!built) {
            report_error_value(built.error());
            return nullptr;
        }
        // Allocated only now, so a failed construction leaves no object.
        return wrap_geocoder(std::move(built).value());
    });
}

PyMethodDef geocoder_methods[] = {
    {"get_nearest_as_string", fastcall(Geocoder_get_nearest_as_string),
     METH_FASTCALL | METH_KEYWORDS, "get_nearest_as_string($self, lat, lon)\n--\n\n"},
    {"get_nearest_as_dict", fastcall(Geocoder_get_nearest_as_dict), METH_FASTCALL | METH_KEYWORDS,
     "get_nearest_as_dict($self, lat, lon)\n--\n\n"},
    {"save", fastcall(Geocoder_save), METH_FASTCALL | METH_KEYWORDS, "save($self, path)\n--\n\n"},
    {"load", fastcall(Geocoder_load), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "load(path)\n--\n\n"},
    {"nearest_rows", fastcall(Geocoder_nearest_rows), METH_FASTCALL | METH_KEYWORDS,
     kNearestRowsDoc},
    {"get_nearest_with_distance", fastcall(Geocoder_get_nearest_with_distance),
     METH_FASTCALL | METH_KEYWORDS, kWithDistanceDoc},
    {"row_count", Geocoder_row_count, METH_NOARGS, kRowCountDoc},
    {"columns", Geocoder_columns, METH_NOARGS, kColumnsDoc},
    {"row_text", fastcall(Geocoder_row_text), METH_FASTCALL | METH_KEYWORDS, kRowTextDoc},
    {"row_dict", fastcall(Geocoder_row_dict), METH_FASTCALL | METH_KEYWORDS, kRowDictDoc},
    {"column", fastcall(Geocoder_column), METH_FASTCALL | METH_KEYWORDS, kColumnDoc},
    {"to_bytes", Geocoder_to_bytes, METH_NOARGS, kToBytesDoc},
    {"from_bytes", fastcall(Geocoder_from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     kFromBytesDoc},
    {"rows_within", fastcall(Geocoder_rows_within), METH_FASTCALL | METH_KEYWORDS, kRowsWithinDoc},
    {"get_rows_within", fastcall(Geocoder_get_rows_within), METH_FASTCALL | METH_KEYWORDS,
     kGetRowsWithinDoc},
    {"subset", fastcall(Geocoder_subset), METH_FASTCALL | METH_KEYWORDS, kSubsetDoc},
    {"__reduce__", Geocoder_reduce, METH_NOARGS, kReduceDoc},
    {"_cut_csv_rows", Geocoder_cut_csv_rows, METH_VARARGS | METH_STATIC, kCutCsvRowsDoc},
    {"_read_csv_record", Geocoder_read_csv_record, METH_VARARGS | METH_STATIC, kReadCsvRecordDoc},
    {"_geocode_csv_block", Geocoder_geocode_csv_block, METH_VARARGS, kGeocodeCsvBlockDoc},
    {"_csv_block_coordinates", Geocoder_csv_block_coordinates, METH_VARARGS,
     kCsvBlockCoordinatesDoc},
    {"_write_file", Geocoder_write_file, METH_VARARGS | METH_STATIC, kWriteFileDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vicinor::binding
