// The host class ReverseGeocoder: its instance layout, the type object, and
// wrapping a finished record into a new instance.
#pragma once

#include "binding/python.hpp"

#include "binding/arguments.hpp"
#include "binding/short_values.hpp"
#include "geocoder/record.hpp"

namespace vicinor::binding {

struct GeocoderObject {
    PyObject_HEAD
    // Changes once after construction or load: its lookup aids are made by
    // prepare_lookups_once, on the instance's first lookup, with the GIL
    // held and before any search of it runs without the GIL. Nothing else
    // writes it, and nothing takes exclusive access: a method's shared
    // access is the caller's reference to the instance, held for the whole
    // call, and needs no bookkeeping.
    ReverseGeocoder record;
    // Whether the record's lookup aids are made: on the first lookup, so
    // that a geocoder built or loaded only to be saved never pays for them.
    bool lookups_prepared;
    // The column names as str, made on the first dict lookup so that every
    // later one reuses them (and their cached hashes).
    PyObject* column_keys;
    // Every distinct column name mapped to None, made with column_keys: a
    // dict lookup copies it (one block copy, no rehashing) and sets the
    // values, instead of inserting every key into a new dict.
    PyObject* dict_template;
    ShortValues short_values;
};

// The class, created once per process. Borrowed; nullptr with an exception
// set if the host cannot create it.
PyTypeObject* geocoder_type() noexcept;

// Moves `record` into a new instance; nullptr with the host's error set.
PyObject* wrap_geocoder(ReverseGeocoder&& record);

// The instance behind `self`, or nullptr with TypeError set.
GeocoderObject* as_geocoder(PyObject* self);

// The prologue of an instance method with arguments: binds them by its
// parameter list, then checks the instance. nullptr with an exception set.
inline GeocoderObject* begin_method(const ParameterList& parameters, PyObject* self,
                                    PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                                    PyObject** bound) {
    if (!bind_arguments(parameters, args, nargsf, kwnames, bound)) return nullptr;
    return as_geocoder(self);
}

// Makes the lookup aids on the first call. Every lookup method calls it,
// holding the GIL, before it searches: no search of this instance runs
// meanwhile, since each one either holds the GIL or started after this.
void prepare_lookups_once(GeocoderObject* self);

// Borrowed tuple of the column-name strs; nullptr with an error set.
PyObject* column_keys(GeocoderObject* self);

// Borrowed dict of every column name to None; nullptr with an error set.
PyObject* dict_template(GeocoderObject* self);

}  // namespace vicinor::binding
