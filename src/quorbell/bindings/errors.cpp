#include "bindings/errors.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>

#include "bindings/process_wide.h"
#include "bindings/py_ref.h"
#include "core/fixed_texts.h"

namespace quorbell {

namespace {

// Returns a new reference: the PanicException class. It derives from
// BaseException so that `except Exception` does not swallow a fault.
PyObject* make_panic_exception() {
  return PyErr_NewExceptionWithDoc(PANIC_EXCEPTION_NAME,
                                   "Raised when an internal fault ends an operation of the native core.\n\n"
                                   "A fault leaves the store it happened in unusable.",
                                   PyExc_BaseException, nullptr);
}

ProcessWideObject panic_exception{make_panic_exception};

// Sets `type` with the message decoded as UTF-8; undecodable bytes (an OS
// error text in another encoding) are replaced rather than lost.
void set_message(PyObject* type, std::string_view message) noexcept {
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

void raise_fault(std::string_view message, std::source_location where) noexcept {
  char name[64] = "<unnamed>";
  (void)pthread_getname_np(pthread_self(), name, sizeof name);  // keeps the default on failure
  std::fprintf(stderr, "quorbell: thread '%s' (tid %ld) faulted at %s:%u:%u:\n%.*s\n", name,
               static_cast<long>(gettid()), where.file_name(), static_cast<unsigned>(where.line()),
               static_cast<unsigned>(where.column()), static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  PyObject* type = panic_exception.get();
  if (type != nullptr) set_message(type, message);
}

void throw_error(const Error& error, std::source_location where) {
  switch (error.kind) {
    case ErrorKind::Snapshot:
      set_message(PyExc_OSError, error.message);
      break;
    case ErrorKind::Fault:
      raise_fault(error.message, where);
      break;
    case ErrorKind::Interrupted:
      break;  // the signal handler's exception is already set
    case ErrorKind::ResourceExhausted:
      set_message(PyExc_MemoryError, error.message);
      break;
    case ErrorKind::Busy:
      set_message(PyExc_RuntimeError, error.message);
      break;
  }
  throw PythonErrorSet{};
}

void throw_type_mismatch(PyObject* given, const char* required) {
  if (given == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", required);
    throw PythonErrorSet{};
  }
  PyRef type_name = new_ref(PyType_GetQualName(Py_TYPE(given)));
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(), required);
  throw PythonErrorSet{};
}

}  // namespace quorbell
