// A Python object made once per process on first use and kept for the
// process's lifetime (the VectorStorage type, the PanicException class).
#pragma once

#include <atomic>

#include "bindings/python_api.h"

namespace quorbell {

class ProcessWideObject {
 public:
  // `make` returns a new reference, or nullptr with an exception set.
  using Maker = PyObject* (*)();
  explicit constexpr ProcessWideObject(Maker make) : make_(make) {}

  // Returns a borrowed reference, or nullptr with an exception set. Threads
  // that arrive together wait for the first one's object.
  PyObject* get();

 private:
  Maker make_;
  std::atomic<PyObject*> object_{nullptr};
#if PY_VERSION_HEX >= 0x030D0000
  // A PyMutex detaches the waiting thread from the interpreter, so a
  // `make_` that lets other threads run cannot deadlock against it.
  PyMutex mutex_{};
#endif
};

}  // namespace quorbell
