/* The floor: the least work a Python-visible lookup can do. Each method
 * takes two floats and returns a freshly made result of the size a real
 * lookup returns, without looking anything up. No lookup method can be
 * cheaper than these, so they are the yardstick for the binding's overhead. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* A typical row of the world table: 45 bytes, like an average answer. */
static const char ROW[] = "48.85341,2.3488,Paris Quartier Latin,FR,11,75";
_Static_assert(sizeof(ROW) - 1 == 45, "the floor row must be 45 bytes");

#define FIELD_COUNT 6
static const char *const KEYS[FIELD_COUNT] = {"lat", "lon", "name", "country", "admin1", "admin2"};
static const char *const VALUES[FIELD_COUNT] = {"48.85341", "2.3488", "Paris Quartier Latin",
                                                "FR",       "11",     "75"};

/* Converts both arguments as a real lookup must, so argument handling is
 * part of the floor. */
static int floor_parse_point(PyObject *const *args, Py_ssize_t nargs, const char *name,
                             double *lat, double *lon) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly 2 arguments (%zd given)", name, nargs);
        return -1;
    }
    *lat = PyFloat_AsDouble(args[0]);
    if (*lat == -1.0 && PyErr_Occurred()) {
        return -1;
    }
    *lon = PyFloat_AsDouble(args[1]);
    if (*lon == -1.0 && PyErr_Occurred()) {
        return -1;
    }
    return 0;
}

static PyObject *floor_as_string(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    (void)module;
    double lat, lon;
    if (floor_parse_point(args, nargs, "as_string", &lat, &lon) < 0) {
        return NULL;
    }
    return PyUnicode_FromStringAndSize(ROW, (Py_ssize_t)(sizeof(ROW) - 1));
}

/* Keys are made anew on every call, as a lookup that owns no interned
 * names must do. */
static PyObject *floor_as_dict(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    (void)module;
    double lat, lon;
    if (floor_parse_point(args, nargs, "as_dict", &lat, &lon) < 0) {
        return NULL;
    }
    PyObject *dict = PyDict_New();
    if (dict == NULL) {
        return NULL;
    }
    for (int i = 0; i < FIELD_COUNT; ++i) {
        PyObject *key = PyUnicode_FromString(KEYS[i]);
        PyObject *value = key == NULL ? NULL : PyUnicode_FromString(VALUES[i]);
        int failed = value == NULL || PyDict_SetItem(dict, key, value) < 0;
        Py_XDECREF(key);
        Py_XDECREF(value);
        if (failed) {
            Py_DECREF(dict);
            return NULL;
        }
    }
    return dict;
}

static PyMethodDef floor_methods[] = {
    {"as_string", (PyCFunction)(void (*)(void))floor_as_string, METH_FASTCALL,
     "as_string(lat, lon) -> a new 45-byte str"},
    {"as_dict", (PyCFunction)(void (*)(void))floor_as_dict, METH_FASTCALL,
     "as_dict(lat, lon) -> a new dict of 6 new str keys and values"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "vicinor_floor",
    "The cheapest possible lookup-shaped calls, as a benchmark yardstick.", 0, floor_methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_vicinor_floor(void) { return PyModule_Create(&floor_module); }
