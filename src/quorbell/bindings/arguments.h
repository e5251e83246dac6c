// Binding a fast call's arguments to a method's parameters, and converting
// each bound argument into a native value.
//
// Every function here that fails raises a Python exception and throws
// PythonErrorSet. Binding failures are TypeErrors worded like the
// interpreter's own; a conversion failure keeps the exception the
// conversion raised and gains the note "while processing '<parameter>'".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bindings/python_api.h"

namespace quorbell {

// A method's parameters, all positional-or-keyword; the first `required`
// have no default (the rest default to None).
struct Signature {
  const char* function;  // as messages show it, e.g. "VectorStorage.search()"
  std::span<const char* const> parameters;
  std::size_t required;
};

inline constexpr std::size_t MAX_PARAMETERS = 4;

// TypeError "{function} takes {n} positional arguments but {given} was/were given".
[[noreturn]] void throw_too_many_positional(const Signature& signature, std::size_t given);
// TypeError "{function} got an unexpected keyword argument '{name}'".
[[noreturn]] void throw_unexpected_keyword(const Signature& signature, PyObject* name);

// Adds the note "while processing '{parameter}'" to the exception being
// raised. If adding it fails, the exception stays as it was.
void add_argument_note(const char* parameter) noexcept;

// The arguments of one call, bound to the parameters of its signature.
class BoundArguments {
 public:
  // Binds positional arguments first, then keywords in call order, then
  // checks that no required parameter is missing.
  BoundArguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  // Converts argument `index` (nullptr when an optional one was omitted).
  template <class Convert>
  auto convert(std::size_t index, Convert convert) const {
    try {
      return convert(values_[index]);
    } catch (const PythonErrorSet&) {
      add_argument_note(signature_.parameters[index]);
      throw;
    }
  }

 private:
  const Signature& signature_;
  std::array<PyObject*, MAX_PARAMETERS> values_{};  // borrowed from the call
};

// Unsigned 64-bit integer: an int taken by value, anything else through
// __index__; out of range is OverflowError.
std::uint64_t to_uint64(PyObject* object);
// Float vector: any sequence but a str, item by item through __float__,
// each value rounded to the nearest 32-bit float. A one-dimensional numeric
// buffer gives the same floats, read straight from its memory.
std::vector<float> to_float_vector(PyObject* object);
// A sequence of float vectors, converted in iteration order; a
// two-dimensional numeric buffer gives one vector per row.
std::vector<std::vector<float>> to_float_vectors(PyObject* object);
// A str (or subclass) as its UTF-8 text.
std::string to_string(PyObject* object);
// None or an omitted argument give no string; anything else as to_string.
std::optional<std::string> to_optional_string(PyObject* object);
// None gives nullptr; a dict (or subclass) is returned as a borrowed
// reference for the payload conversion.
PyObject* to_optional_dict(PyObject* object);

}  // namespace quorbell
