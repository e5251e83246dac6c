// Ownership of Python references in the type system: a PyRef holds one
// strong reference and drops it when it goes out of scope, so no error path
// can leak one.
#pragma once

#include <utility>

#include "bindings/python_api.h"

namespace quorbell {

class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a new reference (or nullptr).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller, who now owns it.
  PyObject* release() { return std::exchange(object_, nullptr); }
  void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// Takes over the new reference a C API call returned. A nullptr means the
// call failed with an exception set: throws PythonErrorSet.
inline PyRef new_ref(PyObject* object) {
  if (object == nullptr) throw PythonErrorSet{};
  return PyRef::steal(object);
}

}  // namespace quorbell
