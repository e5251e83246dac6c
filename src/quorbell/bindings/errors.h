// Turning the core's error values, and every C++ exception, into Python
// exceptions. This is the only place that decides which Python exception a
// failure becomes:
//   ErrorKind::Snapshot       -> OSError, the message as its only argument
//   ErrorKind::Fault          -> PanicException, after a report on stderr
//   ErrorKind::Interrupted    -> the exception a signal handler raised
//   ErrorKind::ResourceExhausted -> MemoryError, the message as its only argument
//   ErrorKind::Busy           -> RuntimeError, the message as its only argument
//   std::bad_alloc            -> MemoryError
//   any other C++ exception   -> a fault, as above
#pragma once

#include <exception>
#include <new>
#include <source_location>
#include <string_view>
#include <utility>

#include "bindings/python_api.h"
#include "core/result.h"

namespace quorbell {

// Writes a report of the fault (thread, source location, message) to
// standard error and raises PanicException with the message. Never throws.
void raise_fault(std::string_view message, std::source_location where) noexcept;

// Raises the Python exception for `error` and throws PythonErrorSet.
[[noreturn]] void throw_error(const Error& error, std::source_location where = std::source_location::current());

// Raises TypeError "'{type}' object is not an instance of '{required}'"
// ("'None' is not an instance of '{required}'" for None) and throws
// PythonErrorSet.
[[noreturn]] void throw_type_mismatch(PyObject* given, const char* required);

template <class T>
T value_or_throw(Result<T>&& result, std::source_location where = std::source_location::current()) {
  if (!result) throw_error(result.error(), where);
  return std::move(result).value();
}

// Raises the Python exception for a failed status, as throw_error does.
inline void throw_if_failed(const Status& status, std::source_location where = std::source_location::current()) {
  if (!status) throw_error(status.error(), where);
}

// Runs `body` at a C entry point, so that no C++ exception crosses into the
// interpreter. Returns what `body` returns, or `failed` with a Python
// exception set.
template <class R, class Body>
R guard_entry(R failed, Body&& body, std::source_location where = std::source_location::current()) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const PythonErrorSet&) {
    // The exception is already set.
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& exception) {
    raise_fault(exception.what(), where);
  } catch (...) {
    raise_fault("unknown C++ exception", where);
  }
  return failed;
}

}  // namespace quorbell
