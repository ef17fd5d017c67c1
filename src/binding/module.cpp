// Placeholder module entry until the host surface lands.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef vicinor_module = {PyModuleDef_HEAD_INIT, "vicinor", "", 0, nullptr,
                                     nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_vicinor(void) { return PyModule_Create(&vicinor_module); }
