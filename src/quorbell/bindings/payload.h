// Conversion of a Python payload dict into a payload map.
#pragma once

#include "bindings/python_api.h"
#include "core/payload.h"

namespace quorbell {

// Converts `dict` (a dict or subclass), walking its entries in the dict's
// own order. Keys must be str; values that are str, int or float are kept
// (str as Keyword or Text by UTF-8 length), values of any other type are
// skipped. A repeated key replaces the earlier value. On a non-str key
// (TypeError), an int outside the signed 64-bit range (OverflowError) or a
// string without a UTF-8 form (UnicodeEncodeError) raises and throws
// PythonErrorSet; the partial map is discarded.
Payload payload_from_dict(PyObject* dict);

}  // namespace quorbell
