#include "bindings/process_wide.h"

namespace quorbell {

PyObject* ProcessWideObject::get() {
  if (PyObject* ready = object_.load(std::memory_order_acquire)) return ready;
#if PY_VERSION_HEX >= 0x030D0000
  PyMutex_Lock(&mutex_);
  PyObject* object = object_.load(std::memory_order_relaxed);
  if (object == nullptr) {
    object = make_();
    object_.store(object, std::memory_order_release);
  }
  PyMutex_Unlock(&mutex_);
  return object;
#else
  // Before 3.13 every interpreter has a GIL. Should `make_` let another
  // thread in that publishes first, that thread's object is kept and ours
  // is dropped, so the process still sees a single object.
  PyObject* made = make_();
  if (made == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!object_.compare_exchange_strong(expected, made)) {
    Py_DECREF(made);
    return expected;
  }
  return made;
#endif
}

}  // namespace quorbell
