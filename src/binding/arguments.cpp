// The binder behind every callable of the module. Positional arguments
// fill from the left, keywords by exact name, then required parameters must
// all be present; the first problem ends the call.
#include "binding/arguments.hpp"

#include <string>

#include "binding/errors.hpp"

namespace vicinor::binding {
namespace {

void raise_type_error(const std::string& message) { raise_message(PyExc_TypeError, message); }

bool raise_too_many_positional(const ParameterList& parameters, Py_ssize_t given) {
    const Py_ssize_t positional = parameters.positional_count();
    std::string message = parameters.full_name;
    message += " takes ";
    if (parameters.required < positional) {
        message += "from " + std::to_string(parameters.required) + " to ";
    }
    message += std::to_string(positional) + " positional arguments but " +
               std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    raise_type_error(message);
    return false;
}

bool bind_keyword(const ParameterList& parameters, PyObject* key, PyObject* value,
                  PyObject** bound) {
    if (PyUnicode_Check(key)) {
        for (Py_ssize_t i = 0; i < parameters.count; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, parameters.names[i]) != 0) continue;
            if (bound[i] != nullptr) {
                raise_type_error(std::string(parameters.full_name) +
                                 " got multiple values for argument '" + parameters.names[i] +
                                 "'");
                return false;
            }
            bound[i] = value;
            return true;
        }
    }
    raise_type_error(std::string(parameters.full_name) + " got an unexpected keyword argument '" +
                     object_text(key) + "'");
    return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const ParameterList& parameters, const bool* missing, Py_ssize_t count) {
    std::string list;
    Py_ssize_t written = 0;
    for (Py_ssize_t i = 0; i < parameters.count; ++i) {
        if (!missing[i]) continue;
        if (written != 0) {
            if (count > 2) list += ',';
            list += written == count - 1 ? " and " : " ";
        }
        list += '\'';
        list += parameters.names[i];
        list += '\'';
        ++written;
    }
    return list;
}

bool check_required(const ParameterList& parameters, PyObject* const* bound) {
    bool missing[8] = {};  // no callable of the module has more parameters
    Py_ssize_t missing_count = 0;
    for (Py_ssize_t i = 0; i < parameters.required; ++i) {
        if (bound[i] == nullptr) {
            missing[i] = true;
            ++missing_count;
        }
    }
    if (missing_count == 0) return true;
    raise_type_error(std::string(parameters.full_name) + " missing " +
                     std::to_string(missing_count) + " required positional " +
                     (missing_count == 1 ? "argument" : "arguments") + ": " +
                     quoted_list(parameters, missing, missing_count));
    return false;
}

bool bind_positional(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** bound) {
    if (nargs > parameters.positional_count()) {
        return raise_too_many_positional(parameters, nargs);
    }
    for (Py_ssize_t i = 0; i < parameters.count; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    return true;
}

}  // namespace

bool bind_vector(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargsf,
                 PyObject* kwnames, PyObject** bound) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!bind_positional(parameters, args, nargs, bound)) return false;
    if (kwnames != nullptr) {
        Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            if (!bind_keyword(parameters, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound)) {
                return false;
            }
        }
    }
    return check_required(parameters, bound);
}

bool bind_tuple(const ParameterList& parameters, PyObject* args, PyObject* kwargs,
                PyObject** bound) {
    if (!bind_positional(parameters, reinterpret_cast<PyTupleObject*>(args)->ob_item,
                         PyTuple_GET_SIZE(args), bound)) {
        return false;
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!bind_keyword(parameters, key, value, bound)) return false;
        }
    }
    return check_required(parameters, bound);
}

}  // namespace vicinor::binding
