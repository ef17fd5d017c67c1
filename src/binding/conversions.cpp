// Argument conversions: str, one-character str, bool (numpy bools too),
// coordinates and paths. Type problems are raised as bare TypeErrors and
// then renamed by the argument rule, so every conversion reports alike.
#include "binding/conversions.hpp"

#include <string_view>

#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "binding/utf8_text.hpp"
#include "common/compatibility_texts.hpp"

namespace vicinor::binding {
namespace {

bool refuse_type(PyObject* object, const char* target, const char* name) {
    std::string message = "'";
    message += type_qualname(Py_TYPE(object));
    message += "' object cannot be converted to '";
    message += target;
    message += '\'';
    raise_message(PyExc_TypeError, message);
    report_argument_error(name);
    return false;
}

void assign_bytes(std::string& out, PyObject* bytes) {
    out.assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

bool fail(const char* name) {
    report_argument_error(name);
    return false;
}

bool text_equals(PyObject* str, std::string_view expected) {
    if (str == nullptr || !PyUnicode_Check(str)) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::string_view(utf8, static_cast<std::size_t>(size)) == expected;
}

// numpy is not a dependency, so its booleans are recognised by name.
bool is_numpy_bool(PyTypeObject* type) {
    PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) PyErr_Clear();
    if (!text_equals(module.get(), "numpy")) return false;
    PyRef name(PyType_GetName(type));
    if (!name) PyErr_Clear();
    return text_equals(name.get(), "bool_") || text_equals(name.get(), "bool");
}

bool convert_numpy_bool(PyObject* object, const char* name, bool& out) {
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
        std::string message = "object of type '";
        message += object_text(reinterpret_cast<PyObject*>(Py_TYPE(object)));
        message += "' does not define a '__bool__' conversion";
        raise_message(PyExc_TypeError, message);
        return fail(name);
    }
    int truth = number->nb_bool(object);
    if (truth < 0) return fail(name);
    out = truth != 0;
    return true;
}

}  // namespace

const char* non_finite_text(double value) {
    if (std::isnan(value)) return "nan";
    return value > 0 ? "inf" : "-inf";
}

bool convert_text(PyObject* object, const char* name, std::string& out,
                  std::size_t& line_feeds) {
    if (!PyUnicode_Check(object)) return refuse_type(object, compat::kStrTargetName, name);
    // Encoded from the str's own storage: neither a temporary bytes object
    // nor the UTF-8 copy that PyUnicode_AsUTF8AndSize would pin to the str.
    if (!encode_utf8(object, out, line_feeds)) return fail(name);
    return true;
}

bool convert_character(PyObject* object, const char* name, char32_t& out) {
    if (!PyUnicode_Check(object)) return refuse_type(object, compat::kStrTargetName, name);
    if (PyUnicode_AsUTF8AndSize(object, nullptr) == nullptr) return fail(name);
    if (PyUnicode_GET_LENGTH(object) != 1) {
        raise_message(PyExc_ValueError, "expected a string of length 1");
        return fail(name);
    }
    out = static_cast<char32_t>(PyUnicode_READ_CHAR(object, 0));
    return true;
}

bool convert_flag(PyObject* object, const char* name, bool& out) {
    if (object == Py_True || object == Py_False) {
        out = object == Py_True;
        return true;
    }
    if (is_numpy_bool(Py_TYPE(object))) return convert_numpy_bool(object, name, out);
    return refuse_type(object, compat::kBoolTargetName, name);
}

bool convert_path(PyObject* object, const char* name, std::string& out) {
    PyRef path(PyOS_FSPath(object));
    if (!path) return fail(name);
    if (!PyUnicode_Check(path.get())) return refuse_type(path.get(), compat::kStrTargetName, name);
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(path.get(), &size)) {
        out.assign(utf8, static_cast<std::size_t>(size));
        return true;
    }
    // Lone surrogates: a name that os.listdir decoded with surrogateescape
    // goes back to its original bytes, as the os module would pass it.
    PyErr_Clear();
    PyRef bytes(PyUnicode_EncodeFSDefault(path.get()));
    if (!bytes) return fail(name);
    assign_bytes(out, bytes.get());
    return true;
}

bool convert_coordinate_slow(PyObject* object, const char* name, const char* what,
                             double& out) {
    out = PyFloat_AsDouble(object);
    if (out == -1.0 && PyErr_Occurred()) return fail(name);
    if (std::isfinite(out)) return true;
    // The index has no answer for these; say so instead of faulting in it.
    std::string message = "argument '";
    message += name;
    message += "': ";
    message += what;
    message += " must be a finite number, got ";
    message += non_finite_text(out);
    raise_message(PyExc_ValueError, message);
    return false;
}

}  // namespace vicinor::binding
