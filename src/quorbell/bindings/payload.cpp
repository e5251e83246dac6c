#include "bindings/payload.h"

#include <cstdint>
#include <new>
#include <optional>
#include <string_view>

#include "bindings/errors.h"
#include "bindings/py_ref.h"

namespace quorbell {

namespace {

// A str's UTF-8 text, or nullopt with UnicodeEncodeError set. The text
// lives as long as the str.
std::optional<std::string_view> utf8_text(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

// Adds one entry, or nothing for a value of a type that is skipped.
// Returns false with an exception set on failure.
bool add_entry(PayloadBuilder& payload, std::string_view key, PyObject* object) {
  if (PyUnicode_Check(object)) {
    std::optional<std::string_view> text = utf8_text(object);
    if (!text) return false;
    payload.add_string(key, string_tag(text->size()), *text);
  } else if (PyLong_Check(object)) {
    static_assert(sizeof(long long) == sizeof(std::int64_t));
    const long long integer = PyLong_AsLongLong(object);
    if (integer == -1 && PyErr_Occurred()) return false;
    payload.add_integer(key, std::int64_t{integer});
  } else if (PyFloat_Check(object)) {
    payload.add_float(key, PyFloat_AS_DOUBLE(object));
  }
  return true;
}

// Adds the dict's convertible entries. Returns -1 with an exception set,
// or with a non-str key left in `bad_key` (borrowed) for the caller to
// report. Runs no Python code, so the walk cannot see the dict change, and
// throws nothing, so it can sit inside a critical section.
int collect_entries(PyObject* dict, PayloadBuilder& payload, PyObject*& bad_key) noexcept {
  try {
    payload.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
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
      std::optional<std::string_view> name = utf8_text(key);
      if (!name || !add_entry(payload, *name, object)) return -1;
    }
    return 0;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
}

}  // namespace

Payload payload_from_dict(PyObject* dict) {
  PayloadBuilder payload;
  PyObject* bad_key = nullptr;
  int status = 0;
  Py_BEGIN_CRITICAL_SECTION(dict);
  status = collect_entries(dict, payload, bad_key);
  // The key stays alive past the walk: the error text needs its type.
  Py_XINCREF(bad_key);
  Py_END_CRITICAL_SECTION();
  if (bad_key != nullptr) {
    PyRef key = PyRef::steal(bad_key);
    throw_type_mismatch(key.get(), "str");
  }
  if (status < 0) throw PythonErrorSet{};
  return payload.finish();
}

}  // namespace quorbell
