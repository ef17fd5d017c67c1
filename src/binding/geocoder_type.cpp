// The ReverseGeocoder type: built from a type description with only the default
// flags (not subclassable, no GC, no __dict__, no weak references), a
// constructor and a destructor. Instances own their record by value.
#include "binding/geocoder_type.hpp"

#include <atomic>
#include <new>
#include <string>
#include <utility>

#include "binding/errors.hpp"
#include "binding/methods.hpp"
#include "binding/py_ref.hpp"
#include "binding/result_strings.hpp"
#include "common/compatibility_texts.hpp"
#include "geocoder/lookup.hpp"

namespace vicinor::binding {
namespace {

void Geocoder_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<GeocoderObject*>(object);
    PyTypeObject* type = Py_TYPE(object);
    try {
        self->record.~ReverseGeocoder();
    } catch (...) {
        // Nobody can receive an exception from a destructor.
        PyObject* pending = PyErr_GetRaisedException();
        report_current_exception();
        PyErr_WriteUnraisable(nullptr);
        PyErr_SetRaisedException(pending);
    }
    Py_XDECREF(self->column_keys);
    Py_XDECREF(self->dict_template);
    self->short_values.~ShortValues();
    type->tp_free(object);
    Py_DECREF(type);  // instances of heap types hold their type
}

constexpr char kTypeDoc[] = "ReverseGeocoder(csv, value_sep=',', drop_coordinates=False)\n--\n\n";

PyType_Slot geocoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Geocoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Geocoder_dealloc)},
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {Py_tp_methods, geocoder_methods},
    {0, nullptr},
};

PyType_Spec geocoder_spec = {
    compat::kGeocoderTypeName,
    static_cast<int>(sizeof(GeocoderObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    geocoder_slots,
};

std::atomic<PyTypeObject*> created_type{nullptr};

}  // namespace

PyTypeObject* geocoder_type() noexcept {
    if (PyTypeObject* existing = created_type.load(std::memory_order_acquire)) return existing;
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&geocoder_spec));
    if (type == nullptr) return nullptr;
    PyTypeObject* expected = nullptr;
    if (!created_type.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
        Py_DECREF(type);
        return expected;
    }
    return type;
}

PyObject* wrap_geocoder(ReverseGeocoder&& record) {
    PyTypeObject* type = geocoder_type();
    if (type == nullptr) return nullptr;
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* self = reinterpret_cast<GeocoderObject*>(object);
    // Moving cannot throw, so the object never holds a half-built record.
    new (&self->record) ReverseGeocoder(std::move(record));
    self->lookups_prepared = false;
    self->column_keys = nullptr;
    self->dict_template = nullptr;
    new (&self->short_values) ShortValues();
    return object;
}

void prepare_lookups_once(GeocoderObject* self) {
    if (self->lookups_prepared) return;
    prepare_lookups(self->record);
    self->lookups_prepared = true;
}

GeocoderObject* as_geocoder(PyObject* self) {
    PyTypeObject* type = geocoder_type();
    if (type == nullptr) return nullptr;
    if (self != nullptr && Py_IS_TYPE(self, type)) return reinterpret_cast<GeocoderObject*>(self);
    std::string message = "'";
    message += type_qualname(self ? Py_TYPE(self) : Py_TYPE(Py_None));
    message += "' object cannot be converted to 'ReverseGeocoder'";
    raise_message(PyExc_TypeError, message);
    return nullptr;
}

PyObject* column_keys(GeocoderObject* self) {
    if (self->column_keys != nullptr) return self->column_keys;
    const auto& columns = self->record.columns;
    PyRef keys(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
    if (!keys) return nullptr;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        PyObject* key = new_str(columns[i]);
        if (key == nullptr) return nullptr;
        PyUnicode_InternInPlace(&key);
        PyTuple_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(i), key);
    }
    self->column_keys = keys.release();
    return self->column_keys;
}

PyObject* dict_template(GeocoderObject* self) {
    if (self->dict_template != nullptr) return self->dict_template;
    PyObject* keys = column_keys(self);
    if (keys == nullptr) return nullptr;
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys); ++i) {
        if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(keys, i), Py_None) < 0) return nullptr;
    }
    self->dict_template = dict.release();
    return self->dict_template;
}

}  // namespace vicinor::binding
