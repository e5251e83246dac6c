// Vectors read straight from the memory of objects that export a buffer
// (numpy arrays, array.array, memoryview, bytes, bytearray), instead of
// item by item through the sequence protocol.
//
// The floats are exactly those the sequence path gives for the same object:
// each component widened to a double, then rounded by round_to_float. Any
// object these functions do not take (another type, a subclass, another
// shape or format, an exporter that refuses) is left to the sequence path,
// which raises today's errors; they raise nothing themselves except
// MemoryError. The buffer is held while the components are copied and
// released on every path.
#pragma once

#include <optional>
#include <vector>

#include "bindings/python_api.h"

namespace quorbell {

// The components of a one-dimensional buffer, or nothing.
std::optional<std::vector<float>> vector_from_buffer(PyObject* object);

// One vector per row of a two-dimensional buffer, or nothing.
std::optional<std::vector<std::vector<float>>> vectors_from_buffer(PyObject* object);

}  // namespace quorbell
