// The one include of the Python C API for the bindings, with the few
// version shims they need. The module targets CPython 3.14 and still builds
// on 3.11 and later; everything newer than 3.11 is guarded here or at its
// single place of use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Critical sections exist from 3.13 on and only do something on the
// free-threaded build; before that the GIL already serialises object access.
#if PY_VERSION_HEX < 0x030D0000
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace quorbell {

// Thrown inside the bindings when a Python exception is already set. Every
// C entry point catches it and returns its failure value, so it never
// crosses a C frame.
struct PythonErrorSet {};

}  // namespace quorbell
