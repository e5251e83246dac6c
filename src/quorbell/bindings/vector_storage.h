// The VectorStorage type.
#pragma once

#include "bindings/python_api.h"

namespace quorbell {

// Returns a borrowed reference to the VectorStorage type, created on the
// first call and shared by every module object of the process, or nullptr
// with an exception set.
PyObject* vector_storage_type();

}  // namespace quorbell
