// The module `quorbell`, in multi-phase initialisation: PyInit_quorbell
// returns the definition, the interpreter creates the module object and
// runs the execution slot, which adds VectorStorage and lists it in
// __all__. The module has no state and no functions of its own.
#include <cstdint>

#include "bindings/errors.h"
#include "bindings/py_ref.h"
#include "bindings/vector_storage.h"
#include "core/random.h"
#include "index/hnsw.h"

namespace quorbell {

namespace {

// Appends "VectorStorage" to `module.__all__` (creating the list when
// missing) and sets the attribute. Returns 0, or -1 with an exception set.
int quorbell_exec(PyObject* module) {
  return guard_entry<int>(-1, [&] {
    if (!PyModule_Check(module)) throw_type_mismatch(module, "module");
    PyObject* type = vector_storage_type();
    if (type == nullptr) throw PythonErrorSet{};
    PyRef names = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!names) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
      PyErr_Clear();
      names = new_ref(PyList_New(0));
      if (PyObject_SetAttrString(module, "__all__", names.get()) < 0) throw PythonErrorSet{};
    }
    if (!PyList_Check(names.get())) throw_type_mismatch(names.get(), "list");
    PyRef name = new_ref(PyUnicode_FromString("VectorStorage"));
    if (PyList_Append(names.get(), name.get()) < 0) throw PythonErrorSet{};
    if (PyObject_SetAttr(module, name.get(), type) < 0) throw PythonErrorSet{};
    return 0;
  });
}

PyModuleDef_Slot quorbell_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(quorbell_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    // The store guards itself with its own locks.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyDoc_STRVAR(quorbell_doc, "Maps high-performance native subroutines directly onto the Python runtime.");

PyModuleDef quorbell_module = {
    PyModuleDef_HEAD_INIT,
    "quorbell",
    quorbell_doc,
    0,        // no per-module state
    nullptr,  // no module-level functions
    quorbell_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quorbell

PyMODINIT_FUNC PyInit_quorbell(void) { return PyModuleDef_Init(&quorbell::quorbell_module); }

// For tests and benchmarks only, reached through ctypes and never through
// the module's namespace: fixes the seeds of this process's random
// generators (see test_seed_random), so that a build repeats bit for bit.
extern "C" __attribute__((visibility("default"))) void quorbell_test_seed_random(std::uint64_t seed) {
  quorbell::test_seed_random(seed);
}

// For benchmarks only, reached the same way: the distances the calling
// thread's last graph walk computed (see test_walk_distances), so that a
// filtered search's cost can be counted without slowing any search.
extern "C" __attribute__((visibility("default"))) std::uint64_t quorbell_test_walk_distances() {
  return quorbell::test_walk_distances();
}
