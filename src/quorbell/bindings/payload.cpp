#include "bindings/payload.h"

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/errors.h"
#include "bindings/py_ref.h"

namespace quorbell {

namespace {

// A str's UTF-8 text, or nullopt with UnicodeEncodeError set.
std::optional<std::string> utf8_text(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

// Classifies one value. Returns false with an exception set on failure;
// leaves `value` empty for a type that is skipped.
bool classify(PyObject* object, std::optional<PayloadValue>& value) {
  if (PyUnicode_Check(object)) {
    std::optional<std::string> text = utf8_text(object);
    if (!text) return false;
    value = payload_string(std::move(*text));
  } else if (PyLong_Check(object)) {
    static_assert(sizeof(long long) == sizeof(std::int64_t));
    const long long integer = PyLong_AsLongLong(object);
    if (integer == -1 && PyErr_Occurred()) return false;
    value = std::int64_t{integer};
  } else if (PyFloat_Check(object)) {
    value = PyFloat_AS_DOUBLE(object);
  }
  return true;
}

// Collects the dict's convertible entries. Returns -1 with an exception
// set, or with a non-str key left in `bad_key` (borrowed) for the caller to
// report. Runs no Python code, so the walk cannot see the dict change, and
// throws nothing, so it can sit inside a critical section.
int collect_entries(PyObject* dict, std::vector<Payload::Entry>& entries, PyObject*& bad_key) noexcept {
  try {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* object = nullptr;
    while (PyDict_Next(dict, &position, &key, &object)) {
      // The key is checked before its value, so a bad key fails even
      // beside a value that would be skipped.
      if (!PyUnicode_Check(key)) {
        bad_key = key;
        return -1;
      }
      std::optional<std::string> name = utf8_text(key);
      if (!name) return -1;
      std::optional<PayloadValue> value;
      if (!classify(object, value)) return -1;
      if (value) entries.emplace_back(std::move(*name), std::move(*value));
    }
    return 0;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
}

}  // namespace

Payload payload_from_dict(PyObject* dict) {
  std::vector<Payload::Entry> entries;
  PyObject* bad_key = nullptr;
  int status = 0;
  Py_BEGIN_CRITICAL_SECTION(dict);
  status = collect_entries(dict, entries, bad_key);
  // The key stays alive past the walk: the error text needs its type.
  Py_XINCREF(bad_key);
  Py_END_CRITICAL_SECTION();
  if (bad_key != nullptr) {
    PyRef key = PyRef::steal(bad_key);
    throw_type_mismatch(key.get(), "str");
  }
  if (status < 0) throw PythonErrorSet{};
  return Payload::from_entries(std::move(entries));
}

}  // namespace quorbell
