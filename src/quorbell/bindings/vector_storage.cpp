// class VectorStorage:                       (pseudocode of this file)
//     def __new__(cls): -> an instance holding one empty Segment
//     def upsert(self, point_id, vector, payload): segment.upsert(...)
//     def search(self, query_vector, limit, metric, tenant_id=None):
//         -> [(id, score), ...] from segment.search(...)
//     def batch_search(self, query_vectors, limit, metric, tenant_id=None):
//         -> [[(id, score), ...], ...] from run_batch(segment, ...)
//     def save(self, path): segment.save_to_disk(path)
//     def load(self, path): segment.load(path)
//
// Every method binds its arguments, converts them in parameter order, parses
// the metric where there is one, and only then calls the segment, so a
// rejected call changes nothing. A call keeps the GIL unless it must wait:
// for a store's lock another thread holds, or for a batch's workers
// (bindings/interpreter_release.h).
#include "bindings/vector_storage.h"

#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/arguments.h"
#include "bindings/errors.h"
#include "bindings/interpreter_release.h"
#include "bindings/payload.h"
#include "bindings/process_wide.h"
#include "bindings/py_ref.h"
#include "core/fixed_texts.h"
#include "parallel/batch_search.h"
#include "parallel/worker_pool.h"
#include "storage/segment.h"

namespace quorbell {

namespace {

// ---- Helpers

// The metric named `name` (any case), or ValueError with `unsupported`.
Metric metric_or_throw(const std::string& name, const char* unsupported) {
  std::optional<Metric> metric = parse_metric(name);
  if (!metric) {
    PyErr_SetString(PyExc_ValueError, unsupported);
    throw PythonErrorSet{};
  }
  return *metric;
}

// The interruption check of save, load and batch_search: runs the interpreter's signal
// handlers, and one that raises (KeyboardInterrupt) abandons the operation
// with its exception. A call that waits runs without the interpreter lock,
// so the check takes it for the handlers' run.
Status run_signal_handlers() {
  const PyGILState_STATE held = PyGILState_Ensure();
  const int raised = PyErr_CheckSignals();
  PyGILState_Release(held);
  if (raised == 0) return {};
  return Error{ErrorKind::Interrupted, {}};
}

// A new list of (int id, float score) tuples, one per item in order;
// `pair_of(item)` gives an item's id and 32-bit score, which is widened
// exactly to double.
template <class Items, class PairOf>
PyRef pair_list(const Items& items, PairOf pair_of) {
  static_assert(sizeof(unsigned long long) == sizeof(std::uint64_t));
  PyRef list = new_ref(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  Py_ssize_t index = 0;
  for (const auto& item : items) {
    const auto [id, score] = pair_of(item);
    PyRef pair = new_ref(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, new_ref(PyLong_FromUnsignedLongLong(id)).release());
    PyTuple_SET_ITEM(pair.get(), 1, new_ref(PyFloat_FromDouble(static_cast<double>(score))).release());
    PyList_SET_ITEM(list.get(), index++, pair.release());
  }
  return list;
}

std::pair<std::uint64_t, float> pair_of_pair(const std::pair<std::uint64_t, float>& pair) { return pair; }

const std::string* tenant_filter(const std::optional<std::string>& tenant) { return tenant ? &*tenant : nullptr; }

// ---- The object

// An instance: the object header, then the one Segment it owns. It holds no
// Python reference, which is why the type needs no cycle-collector support.
struct PyVectorStorage {
  PyObject_HEAD
  std::unique_ptr<Segment> segment;
};

Segment& segment_of(PyObject* self) { return *reinterpret_cast<PyVectorStorage*>(self)->segment; }

// ---- Construction and deallocation

constexpr Signature CONSTRUCTOR{"VectorStorage.__new__()", {}, 0};

// Returns a new reference, or nullptr with an exception set.
PyObject* VectorStorage_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (given > 0) throw_too_many_positional(CONSTRUCTOR, given);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (kwargs != nullptr && PyDict_Next(kwargs, &position, &key, &value)) {
      throw_unexpected_keyword(CONSTRUCTOR, key);  // the first keyword in call order
    }
    auto segment = std::make_unique<Segment>();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw PythonErrorSet{};  // the segment is freed on the way out
    new (&reinterpret_cast<PyVectorStorage*>(self)->segment) std::unique_ptr<Segment>(std::move(segment));
    return self;
  });
}

void VectorStorage_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<PyVectorStorage*>(self)->segment);
  type->tp_free(self);
  Py_DECREF(type);  // every instance of a heap type holds a reference to it
}

// ---- Methods. Each returns a new reference, or nullptr with an exception set.
//
// The docstrings of this file, the methods' below and the class's after
// them, are kept word for word for compatibility, odd wording and all:
// callers and tools read them, so they are not reworded
// (tests/python/pinned_texts.py pins the methods' sections).

constexpr const char* UPSERT_PARAMETERS[] = {"point_id", "vector", "payload"};
constexpr Signature UPSERT{"VectorStorage.upsert()", UPSERT_PARAMETERS, 3};

PyDoc_STRVAR(
    upsert_doc,
    "upsert($self, point_id, vector, payload)\n--\n\n"
    "Inserts a point, or replaces the point already stored under its id.\n\n"
    "Stores the vector and payload whole under the id and re-weaves the HNSW "
    "graph around the point, so that later searches can reach it. Payload "
    "values that are str, int or float are kept; values of other types are "
    "dropped.\n\n"
    "# Parameters\n"
    "* `point_id` - A unique unsigned 64-bit identifier linking the coordinates to its transactional registry key.\n"
    "* `vector` - A Python float list containing the raw coordinate tracking geometry parameters.\n"
    "* `payload` - An optional Python dictionary containing polymorphic data filters.\n\n"
    "# Errors\n"
    "Returns an operational initialization exception if underlying dictionary types fail transformation.");

PyObject* VectorStorage_upsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry<PyObject*>(nullptr, [&] {
    const BoundArguments arguments(UPSERT, args, nargs, kwnames);
    const std::uint64_t id = arguments.convert(0, to_uint64);
    const std::vector<float> vector = arguments.convert(1, to_float_vector);
    PyObject* payload_dict = arguments.convert(2, to_optional_dict);
    // The dict's contents are converted apart from the argument, so their
    // errors carry no argument note. Nothing is locked until the upsert.
    std::optional<Payload> payload;
    if (payload_dict != nullptr) payload = payload_from_dict(payload_dict);
    throw_if_failed(waiting_without_interpreter(
        [&](WaitHook& waits) { return segment_of(self).upsert(id, vector, std::move(payload), waits); }));
    return Py_NewRef(Py_None);
  });
}

constexpr const char* SEARCH_PARAMETERS[] = {"query_vector", "limit", "metric", "tenant_id"};
constexpr Signature SEARCH{"VectorStorage.search()", SEARCH_PARAMETERS, 3};

PyDoc_STRVAR(
    search_doc,
    "search($self, query_vector, limit, metric, tenant_id=None)\n--\n\n"
    "Returns the best-scoring points for a query vector, best first.\n\n"
    "Routes the query between an exact linear sweep of every point (below 500 "
    "points) and the HNSW graph (from 500 points on, which returns at most 32 "
    "hits whatever `limit` asks), and pre-filters the candidates by tenant when "
    "a tenant id is given. The metric names 'dot' and 'l2' are accepted too, in "
    "any case. Each hit is an (id, score) pair; payloads are not returned.\n\n"
    "# Parameters\n"
    "* `query_vector` - Target float matrix coordinates to evaluate across spatial topologies.\n"
    "* `limit` - The total depth matching threshold boundary (Top-K) to harvest from active memory slots.\n"
    "* `metric` - Configuration string matching supported parameters: `'cosine'`, `'dot_product'`, or `'euclidean'`.\n"
    "* `tenant_id` - An optional string key used to isolate workspace partitions under active multi-tenancy rules.\n\n"
    "# Returns\n"
    "A structured Python list containing tuple records formatted as: `(Point ID, Proximity Similarity Score)`.\n\n"
    "# Errors\n"
    "Throws a `ValueError` exception wrapper if parsing passes encounter unrecognized metric tokens.");

PyObject* VectorStorage_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry<PyObject*>(nullptr, [&] {
    const BoundArguments arguments(SEARCH, args, nargs, kwnames);
    const std::vector<float> query = arguments.convert(0, to_float_vector);
    const std::uint64_t limit = arguments.convert(1, to_uint64);
    const std::string metric_name = arguments.convert(2, to_string);
    const std::optional<std::string> tenant = arguments.convert(3, to_optional_string);
    const Metric metric = metric_or_throw(metric_name, SEARCH_UNKNOWN_METRIC);
    const std::vector<SearchHit> hits = value_or_throw(waiting_without_interpreter(
        [&](WaitHook& waits) { return segment_of(self).search(query, limit, metric, tenant_filter(tenant), waits); }));
    return pair_list(hits, [](const SearchHit& hit) { return std::pair(hit.id, hit.score); }).release();
  });
}

constexpr const char* BATCH_SEARCH_PARAMETERS[] = {"query_vectors", "limit", "metric", "tenant_id"};
constexpr Signature BATCH_SEARCH{"VectorStorage.batch_search()", BATCH_SEARCH_PARAMETERS, 3};

PyDoc_STRVAR(
    batch_search_doc,
    "batch_search($self, query_vectors, limit, metric, tenant_id=None)\n--\n\n"
    "Runs many searches in one call and returns one result list per query.\n\n"
    "The queries run side by side on a process-wide pool of worker threads, "
    "each exactly as `search` would run it (so a graph-routed query also "
    "returns at most 32 (id, score) hits, without payloads); the result lists "
    "come back in query order.\n\n"
    "# Parameters\n"
    "* `query_vectors` - A nested list of multiple analytical float matrix coordinates to process concurrently.\n"
    "* `limit` - The targeted depth capacity matching threshold (Top-K) to extract per discrete query sequence.\n"
    "* `metric` - Configuration metric string token: `'cosine'`, `'dot_product'`, or `'euclidean'`.\n"
    "* `tenant_id` - An optional string token used to restrict queries to specific isolated tenancy environments.\n\n"
    "# Returns\n"
    "A nested Python list containing ordered matching records arrays formatted as: `[[(Point ID, Score), ...], "
    "...]`.\n\n"
    "# Errors\n"
    "Throws a `ValueError` exception wrapper if the target parsing sequence processes an unknown structural metric "
    "token.");

PyObject* VectorStorage_batch_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry<PyObject*>(nullptr, [&] {
    const BoundArguments arguments(BATCH_SEARCH, args, nargs, kwnames);
    const std::vector<std::vector<float>> queries = arguments.convert(0, to_float_vectors);
    const std::uint64_t limit = arguments.convert(1, to_uint64);
    const std::string metric_name = arguments.convert(2, to_string);
    const std::optional<std::string> tenant = arguments.convert(3, to_optional_string);
    const Metric metric = metric_or_throw(metric_name, BATCH_UNKNOWN_METRIC);
    value_or_throw(WorkerPool::global());  // the first batch starts the pool, even an empty one
    // The calling thread only waits for the workers, which take the store's
    // read locks, so it waits without the GIL from the start.
    const std::vector<ResultPairs> results = value_or_throw(waiting_without_interpreter([&](WaitHook& waits) {
      waits.before_waiting();
      return run_batch(segment_of(self), queries, limit, metric, tenant_filter(tenant), run_signal_handlers);
    }));
    PyRef lists = new_ref(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (std::size_t i = 0; i < results.size(); ++i) {
      PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(i), pair_list(results[i], pair_of_pair).release());
    }
    return lists.release();
  });
}

constexpr const char* PATH_PARAMETERS[] = {"path"};
constexpr Signature SAVE{"VectorStorage.save()", PATH_PARAMETERS, 1};
constexpr Signature LOAD{"VectorStorage.load()", PATH_PARAMETERS, 1};

PyDoc_STRVAR(
    save_doc,
    "save($self, path)\n--\n\n"
    "Writes the whole store to one binary snapshot file.\n\n"
    "Every point, payload and the HNSW graph are written to a new file beside "
    "the path, which is synced and then renamed over it, so a save that fails "
    "leaves the previous file intact.\n\n"
    "# Parameters\n"
    "* `path` - The string location defining where to construct the output binary serialization snapshot asset.\n\n"
    "# Errors\n"
    "Throws an asynchronous `IOError` if system partitions block file descriptor allocation workflows.");

PyObject* VectorStorage_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry<PyObject*>(nullptr, [&] {
    const BoundArguments arguments(SAVE, args, nargs, kwnames);
    const std::string path = arguments.convert(0, to_string);
    throw_if_failed(waiting_without_interpreter(
        [&](WaitHook& waits) { return segment_of(self).save_to_disk(path, run_signal_handlers, waits); }));
    return Py_NewRef(Py_None);
  });
}

PyDoc_STRVAR(load_doc,
             "load($self, path)\n--\n\n"
             "Replaces the whole store with the contents of a snapshot file.\n\n"
             "The file is decoded in full before anything is replaced, so a load that "
             "fails (a damaged file, bytes after the snapshot's end, Ctrl-C) leaves the "
             "store as it was.\n\n"
             "# Parameters\n"
             "* `path` - Target system path targeting the binary database record file to extract.\n\n"
             "# Errors\n"
             "Throws a standard `IOError` if input buffers contain broken byte signatures or version mismatches.");

PyObject* VectorStorage_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_entry<PyObject*>(nullptr, [&] {
    const BoundArguments arguments(LOAD, args, nargs, kwnames);
    const std::string path = arguments.convert(0, to_string);
    throw_if_failed(waiting_without_interpreter(
        [&](WaitHook& waits) { return segment_of(self).load(path, run_signal_handlers, waits); }));
    return Py_NewRef(Py_None);
  });
}

// ---- The type

// Fast-call methods with keywords have their own C signature; the table
// stores them through the generic one.
template <class Method>
PyCFunction as_table_entry(Method method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef vector_storage_methods[] = {
    {"upsert", as_table_entry(VectorStorage_upsert), METH_FASTCALL | METH_KEYWORDS, upsert_doc},
    {"search", as_table_entry(VectorStorage_search), METH_FASTCALL | METH_KEYWORDS, search_doc},
    {"batch_search", as_table_entry(VectorStorage_batch_search), METH_FASTCALL | METH_KEYWORDS, batch_search_doc},
    {"save", as_table_entry(VectorStorage_save), METH_FASTCALL | METH_KEYWORDS, save_doc},
    {"load", as_table_entry(VectorStorage_load), METH_FASTCALL | METH_KEYWORDS, load_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(vector_storage_doc,
             "VectorStorage()\n--\n\n"
             "A high-performance vector storage and search engine exposed to Python.\n\n"
             "A safe, concurrent wrapper around one isolated in-memory segment, serving "
             "multi-threaded queries and sequential persistence.");

PyType_Slot vector_storage_slots[] = {
    {Py_tp_doc, const_cast<char*>(vector_storage_doc)},
    {Py_tp_new, reinterpret_cast<void*>(VectorStorage_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(VectorStorage_dealloc)},
    {Py_tp_methods, vector_storage_methods},
    {0, nullptr},
};

// Default flags only: not a base type, no cycle-collector support, no
// instance dict or weak references, not immutable.
PyType_Spec vector_storage_spec = {
    "builtins.VectorStorage", static_cast<int>(sizeof(PyVectorStorage)), 0, Py_TPFLAGS_DEFAULT, vector_storage_slots,
};

// Returns a new reference, or nullptr with an exception set.
PyObject* make_vector_storage_type() { return PyType_FromSpec(&vector_storage_spec); }

ProcessWideObject vector_storage{make_vector_storage_type};

}  // namespace

PyObject* vector_storage_type() { return vector_storage.get(); }

}  // namespace quorbell
