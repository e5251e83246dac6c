#include "bindings/arguments.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "bindings/buffer_vectors.h"
#include "bindings/errors.h"
#include "bindings/float_rounding.h"
#include "bindings/py_ref.h"
#include "core/fixed_texts.h"

namespace quorbell {

namespace {

const char* was_or_were(std::size_t count) { return count == 1 ? "was" : "were"; }

// The index of the parameter called `name`, or parameters.size().
std::size_t parameter_index(const Signature& signature, PyObject* name) {
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    // Never raises; a str that is not ASCII simply differs.
    if (PyUnicode_CompareWithASCIIString(name, signature.parameters[i]) == 0) return i;
  }
  return signature.parameters.size();
}

// TypeError naming the missing parameters the way the interpreter joins
// them: 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
[[noreturn]] void throw_missing(const Signature& signature, std::span<const char* const> missing) {
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    names += '\'';
    names += missing[i];
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", signature.function, missing.size(),
               missing.size() == 1 ? "argument" : "arguments", names.c_str());
  throw PythonErrorSet{};
}

// Room to reserve for a sequence that reports `length` items. The length
// comes from the object's own __len__, so it only guides the reservation:
// a huge or false length costs at most a few MiB up front.
template <class T>
std::size_t reservation(Py_ssize_t length) {
  constexpr std::size_t MAX_RESERVED_BYTES = std::size_t{4} << 20;
  return std::min(static_cast<std::size_t>(length), MAX_RESERVED_BYTES / sizeof(T));
}

// Converts a sequence other than a str into a vector, item by item in
// iteration order. A str is refused outright: it is a sequence, but
// hardly ever meant as one here.
template <class T, class ConvertItem>
std::vector<T> sequence_to_vector(PyObject* object, ConvertItem convert_item) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, STR_AS_SEQUENCE);
    throw PythonErrorSet{};
  }
  if (!PySequence_Check(object)) throw_type_mismatch(object, "Sequence");
  std::vector<T> items;
  const Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    PyErr_Clear();  // the length only sizes the result
  } else {
    items.reserve(reservation<T>(length));
  }
  PyRef iterator = new_ref(PyObject_GetIter(object));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    items.push_back(convert_item(item.get()));
  }
  if (PyErr_Occurred()) throw PythonErrorSet{};
  return items;
}

// The common vector, a list of exact floats, read in one pass. Reading an
// exact float runs no Python code, so nothing can change the list midway.
// Any other list gives nullopt and goes the general way, which sees the
// same items: nothing observable has happened.
std::optional<std::vector<float>> exact_float_list(PyObject* object) {
  if (!PyList_CheckExact(object)) return std::nullopt;
  std::vector<float> components(static_cast<std::size_t>(PyList_GET_SIZE(object)));
  bool exact = true;
  Py_BEGIN_CRITICAL_SECTION(object);
  // On the free-threaded build another thread may resize the list meanwhile.
  exact = PyList_GET_SIZE(object) == static_cast<Py_ssize_t>(components.size());
  for (std::size_t i = 0; exact && i < components.size(); ++i) {
    PyObject* item = PyList_GET_ITEM(object, static_cast<Py_ssize_t>(i));
    exact = PyFloat_CheckExact(item);
    if (exact) components[i] = round_to_float(PyFloat_AS_DOUBLE(item));
  }
  Py_END_CRITICAL_SECTION();
  if (!exact) return std::nullopt;
  return components;
}

// The type name of what .tolist() gives in place of a numpy item whose own
// float conversion disagrees with it, or nullptr for any other item: a
// complex scalar, whose __float__ drops the imaginary part, is a complex
// there, and the masked constant, whose __float__ gives NaN, is None. numpy
// is never imported, so its C types are known by name (only C code makes
// immutable types, so no Python class can pose under those names).
const char* numpy_tolist_type(PyTypeObject* type) {
  PyObject* mro = type->tp_mro;
  if (mro == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (!PyType_HasFeature(base, Py_TPFLAGS_IMMUTABLETYPE)) continue;
    const std::string_view name = base->tp_name;
    if (name == "numpy.complexfloating") return "complex";
    if (name == "numpy.ndarray") return std::string_view(type->tp_name) == "MaskedConstant" ? "NoneType" : nullptr;
  }
  return nullptr;
}

float to_float(PyObject* item) {
  if (PyFloat_CheckExact(item)) return round_to_float(PyFloat_AS_DOUBLE(item));
  if (!PyLong_CheckExact(item)) {
    if (const char* refused = numpy_tolist_type(Py_TYPE(item))) {
      // The interpreter's own words for such an item.
      PyErr_Format(PyExc_TypeError, "must be real number, not %s", refused);
      throw PythonErrorSet{};
    }
  }
  const double value = PyFloat_AsDouble(item);
  if (value == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
  return round_to_float(value);
}

}  // namespace

void throw_too_many_positional(const Signature& signature, std::size_t given) {
  const std::size_t total = signature.parameters.size();
  if (signature.required == total) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given", signature.function, total,
                 given, was_or_were(given));
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given", signature.function,
                 signature.required, total, given, was_or_were(given));
  }
  throw PythonErrorSet{};
}

void throw_unexpected_keyword(const Signature& signature, PyObject* name) {
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.function, name);
  throw PythonErrorSet{};
}

void add_argument_note(const char* parameter) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exception = PyErr_GetRaisedException();
#else
  PyObject *type, *exception, *traceback;
  PyErr_Fetch(&type, &exception, &traceback);
  PyErr_NormalizeException(&type, &exception, &traceback);
  if (traceback != nullptr) (void)PyException_SetTraceback(exception, traceback);  // cannot fail here
#endif
  if (exception == nullptr) return;  // nothing raised, nothing to annotate
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
  PyRef added = note ? PyRef::steal(PyObject_CallMethod(exception, "add_note", "O", note.get())) : PyRef();
  if (!added) PyErr_Clear();  // the argument's own exception matters more than its note
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyErr_Restore(type, exception, traceback);
#endif
}

BoundArguments::BoundArguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    : signature_(signature) {
  const std::size_t positional = static_cast<std::size_t>(nargs);
  const std::size_t count = signature.parameters.size();
  if (positional > count) throw_too_many_positional(signature, positional);
  std::copy_n(args, positional, values_.begin());

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    const std::size_t index = parameter_index(signature, name);
    if (index == count) throw_unexpected_keyword(signature, name);
    if (values_[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.function,
                   signature.parameters[index]);
      throw PythonErrorSet{};
    }
    values_[index] = args[nargs + k];
  }

  std::array<const char*, MAX_PARAMETERS> missing{};
  std::size_t missing_count = 0;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (values_[i] == nullptr) missing[missing_count++] = signature.parameters[i];
  }
  if (missing_count > 0) throw_missing(signature, std::span(missing.data(), missing_count));
}

std::uint64_t to_uint64(PyObject* object) {
  // Through __index__ for non-ints; an int (or subclass) comes back as is.
  // PyLong_AsUInt64 (3.14) would report a negative value as ValueError, so
  // the unsigned long long conversion, which says OverflowError, is used.
  static_assert(sizeof(unsigned long long) == sizeof(std::uint64_t));
  PyRef integer = new_ref(PyNumber_Index(object));
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
  return value;
}

std::vector<float> to_float_vector(PyObject* object) {
  if (auto components = exact_float_list(object)) return std::move(*components);
  if (auto components = vector_from_buffer(object)) return std::move(*components);
  return sequence_to_vector<float>(object, to_float);
}

std::vector<std::vector<float>> to_float_vectors(PyObject* object) {
  if (auto rows = vectors_from_buffer(object)) return std::move(*rows);
  return sequence_to_vector<std::vector<float>>(object, to_float_vector);
}

std::string to_string(PyObject* object) {
  if (!PyUnicode_Check(object)) throw_type_mismatch(object, "str");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) throw PythonErrorSet{};
  return std::string(text, static_cast<std::size_t>(size));
}

std::optional<std::string> to_optional_string(PyObject* object) {
  if (object == nullptr || object == Py_None) return std::nullopt;
  return to_string(object);
}

PyObject* to_optional_dict(PyObject* object) {
  if (object == Py_None) return nullptr;
  if (!PyDict_Check(object)) throw_type_mismatch(object, "dict");
  return object;
}

}  // namespace quorbell
