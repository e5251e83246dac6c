// Error values of the core. Nothing below the bindings throws for an
// expected failure: an operation returns a Result carrying either its value
// or an Error with a message, and the bindings map the Error's kind to a
// Python exception.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace quorbell {

enum class ErrorKind {
  Snapshot,  // snapshot file or format failure (raised as OSError)
  Fault,     // broken invariant or poisoned lock (raised as PanicException)
  // An interruption check ended the operation; the bindings re-raise the
  // exception that the interpreter's signal handler left pending.
  Interrupted,
  ResourceExhausted,  // memory or threads ran out; the store is intact (raised as MemoryError)
  // A change asked of a store by the thread that is inside another of its
  // calls, which would wait for itself (raised as RuntimeError).
  Busy,
};

// An error's message: text it owns, or a fixed text it points to. Making an
// error with a fixed text allocates nothing, so a path that failed for want
// of memory, or that holds a lock an exception would poison, can still
// report.
class ErrorText {
 public:
  ErrorText() = default;
  ErrorText(std::string text) : owned_(std::move(text)) {}
  ErrorText(const char* text) : owned_(text) {}
  // `text` must live as long as the program: a literal or a constant.
  static ErrorText fixed(const char* text) noexcept {
    ErrorText fixed_text;
    fixed_text.fixed_ = text;
    return fixed_text;
  }

  std::string_view view() const noexcept { return fixed_ != nullptr ? std::string_view(fixed_) : owned_; }
  operator std::string_view() const noexcept { return view(); }
  friend bool operator==(const ErrorText& text, std::string_view other) noexcept { return text.view() == other; }

 private:
  std::string owned_;
  const char* fixed_ = nullptr;
};

struct Error {
  ErrorKind kind;
  ErrorText message;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}

  explicit operator bool() const { return state_.index() == 0; }
  bool ok() const { return state_.index() == 0; }

  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const T& value() const& { return std::get<0>(state_); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

// Result of an operation that yields nothing on success.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)), failed_(true) {}

  explicit operator bool() const { return !failed_; }
  bool ok() const { return !failed_; }
  const Error& error() const { return error_; }

 private:
  Error error_{ErrorKind::Fault, {}};
  bool failed_ = false;
};

// Asked when a system call was interrupted by a signal, and between the
// pieces of a long read or write: an error (kind Interrupted) abandons the
// operation, success lets it go on. The bindings run the interpreter's
// signal handlers here, so that Ctrl-C stops a save or load that blocks.
using InterruptionCheck = Status (*)();
inline Status never_interrupted() { return {}; }

}  // namespace quorbell
