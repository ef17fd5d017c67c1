// The one way binding code includes the host API: Python.h must come before
// any standard header, and sizes are always Py_ssize_t.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
