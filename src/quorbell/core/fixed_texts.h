// The fixed texts of errors that callers see, and the name of the class
// that faults raise. Every one is kept word for word for compatibility with
// existing callers, which match on them. Arrays, so that they pass both as
// C strings and as string views. (The docstrings stay beside their methods
// in bindings/vector_storage.cpp; messages in the interpreter's own wording
// are made where the bindings raise them.)
#pragma once

namespace quorbell {

// Snapshot errors: a prefix that names the failed step, then the cause.
inline constexpr char CREATE_FAILED[] = "Failed to create snapshot file: ";
inline constexpr char WRITE_FAILED[] = "Failed to write serialized bytes to disk: ";
inline constexpr char OPEN_FAILED[] = "Failed to open snapshot file: ";
inline constexpr char READ_FAILED[] = "Failed to read snapshot file bytes: ";
inline constexpr char DECODE_FAILED[] = "Postcard binary deserialization pipeline failure (possible corruption): ";

// Causes behind those prefixes.
inline constexpr char NUL_IN_PATH[] = "file name contained an unexpected NUL byte";
// A write that accepts no bytes, in the words of the step it happened in.
inline constexpr char ZERO_WRITE_IN_FLUSH[] = "failed to write the buffered data";
inline constexpr char ZERO_WRITE_IN_WRITE_ALL[] = "failed to write whole buffer";

// The decoder's faults.
inline constexpr char END_OF_DATA[] = "Hit the end of buffer, expected more data";
inline constexpr char BAD_VARINT[] = "Found a varint that didn't terminate. Is the usize too big for this platform?";
inline constexpr char BAD_UTF8[] = "Tried to parse invalid utf-8";
inline constexpr char BAD_OPTION[] = "Found an Option discriminant that wasn't 0 or 1";
inline constexpr char BAD_VARIANT[] = "Serde Deserialization Error";
inline constexpr char TRAILING_BYTES[] = "Found bytes after the end of the snapshot's encoding";

// A store's lock poisoned by an earlier fault, one text per lock.
inline constexpr char POINTS_POISONED[] =
    "PoisonError: the segment's `points` lock is poisoned by an earlier fault while it was held "
    "for writing; this store can no longer be used";
inline constexpr char INDEX_POISONED[] =
    "PoisonError: the segment's `index` lock is poisoned by an earlier fault while it was held "
    "for writing; this store can no longer be used";

// An upsert or load of a store from the thread that is inside another call
// of that store: a signal handler, say, that runs during its save.
inline constexpr char STORE_BUSY_IN_THREAD[] =
    "this store is busy in the current thread: it cannot be changed from inside another of its "
    "calls (for example, from a signal handler that runs during its save)";

// An upsert that ran short of memory, which it takes back whole.
inline constexpr char UPSERT_OUT_OF_MEMORY[] = "not enough memory to store the point; the store is unchanged";

// No worker of the batch pool could start; the reason follows.
inline constexpr char POOL_NOT_STARTED[] = "The global thread pool has not been initialized.: ";
// Why one worker thread did not start; the system's text for it follows.
inline constexpr char WORKER_NOT_STARTED[] = "failed to start a worker thread: ";

// The class that internal faults raise, and the module it claims to be from.
inline constexpr char PANIC_EXCEPTION_NAME[] = "pyo3_runtime.PanicException";

// Argument errors raised by the bindings.
inline constexpr char SEARCH_UNKNOWN_METRIC[] =
    "Unsupported metric option. Choose from: 'cosine', 'dot_product' ('dot'), or 'euclidean' ('l2').";
inline constexpr char BATCH_UNKNOWN_METRIC[] =
    "Unsupported metric option assigned. Choose from: 'cosine', 'dot_product', or 'euclidean'.";
inline constexpr char STR_AS_SEQUENCE[] = "Can't extract `str` to `Vec`";

}  // namespace quorbell
