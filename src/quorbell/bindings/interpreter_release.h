// Letting go of the interpreter lock while a call waits.
//
// No thread may wait for a store's lock while it holds the interpreter
// lock: the holder of the store's lock may need the interpreter lock to go
// on (a save runs signal handlers). A call therefore keeps the interpreter
// lock until it would have to wait; from then on it runs without it, on
// native data only, and takes it back once it has returned, all of the
// store's locks released. Signal handlers run in the meantime take it for
// their run alone (PyGILState_Ensure), which is safe since no thread waits
// for a store's lock while holding it.
#pragma once

#include "bindings/python_api.h"
#include "storage/poisonable_lock.h"

namespace quorbell {

class InterpreterRelease final : public WaitHook {
 public:
  InterpreterRelease() = default;
  InterpreterRelease(const InterpreterRelease&) = delete;
  InterpreterRelease& operator=(const InterpreterRelease&) = delete;
  ~InterpreterRelease() {
    if (saved_ != nullptr) PyEval_RestoreThread(saved_);
  }

  void before_waiting() override {
    if (saved_ == nullptr) saved_ = PyEval_SaveThread();
  }

 private:
  PyThreadState* saved_ = nullptr;
};

// Calls call(release) with an InterpreterRelease that the call may use;
// the interpreter lock is held again when this returns or throws.
template <class Call>
auto waiting_without_interpreter(Call&& call) {
  InterpreterRelease release;
  return call(release);
}

}  // namespace quorbell
