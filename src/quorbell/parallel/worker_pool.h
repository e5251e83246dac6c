// A fixed set of worker threads running fork-join work.
//
// Work enters the pool in two ways. A thread outside the pool hands in a
// task with run() and sleeps until a worker has completed it. A worker
// splits its work with join(): it runs the first half itself and offers the
// second to idle workers, and runs the second too if nobody took it.
//
// Thread safety: every method may be called from any thread, except join(),
// which only a worker of the same pool may call (run() from such a worker
// could wait forever for itself). Offered work waits in one queue; an idle
// worker takes the oldest offer, which is the largest range of a halving. A
// worker whose offered half was taken helps with other offers while it
// waits; a thread that finds nothing looks again for a few tens of
// microseconds before it sleeps. The queue and the sleepers are guarded by
// `mutex_`, which clang's analysis checks; so are a sleeper's `offered`
// flag and a job's outcome and `done` flag, which it cannot name.
//
// A pool lives until the process ends: its threads are detached and never
// stopped, so a pool object is never destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <vector>

#include "core/result.h"
#include "core/static_tls.h"
#include "core/thread_annotations.h"
#include "parallel/annotated_mutex.h"
#include "parallel/function_ref.h"

namespace quorbell {

class WorkerPool {
 public:
  static constexpr std::size_t DEFAULT_STACK_BYTES = std::size_t{2} << 20;

  // The process-wide pool, started on first use with system_thread_count()
  // workers. Concurrent first calls start one pool; a forked child starts
  // its own. If no worker can start, the call fails with "The global thread
  // pool has not been initialized." followed by the reason, and the next
  // call tries again.
  static Result<WorkerPool*> global();

  // Starts a pool of up to `threads` (at least 1) workers that lives until
  // the process ends; if only some can start, the pool has those. Fails when
  // none starts: ResourceExhausted when memory or threads ran out, else a
  // Fault.
  static Result<WorkerPool*> start(std::size_t threads, std::size_t stack_bytes = DEFAULT_STACK_BYTES);

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t thread_count() const { return thread_count_; }

  // Runs `task` on a worker, blocking the calling thread (which must not be
  // a worker of this pool) until it is done. Returns the task's status, or
  // rethrows here the exception it threw. While it waits, the calling
  // thread calls `while_waiting` every POLL_INTERVAL (it must not throw),
  // so that it can, say, run signal handlers and tell the task to stop.
  Status run(FunctionRef<Status()> task) EXCLUDES(mutex_);
  Status run(FunctionRef<Status()> task, FunctionRef<void()> while_waiting) EXCLUDES(mutex_);
  static constexpr std::chrono::milliseconds POLL_INTERVAL{5};

  // On a worker of this pool: runs `first` here and offers `second` to idle
  // workers; `second` learns whether it moved to another thread. Returns
  // once both are done, never earlier, with the first failure in order:
  // `first`'s error or exception, else `second`'s.
  Status join(FunctionRef<Status()> first, FunctionRef<Status(bool moved)> second) EXCLUDES(mutex_);

 private:
  struct Sleeper;
  struct Job;
  struct Worker;

  explicit WorkerPool(std::size_t threads);
  ~WorkerPool() = default;  // only for a pool none of whose threads started

  static void* worker_main(void* worker);
  void serve(Worker& me) EXCLUDES(mutex_);
  void offer(Job& job) EXCLUDES(mutex_);
  // These two let go of the mutex while they sleep or run the job.
  Job* next_job(Worker& me, const Job* awaited) REQUIRES(mutex_);
  void run_job(Job& job, Sleeper& runner) REQUIRES(mutex_);
  bool take_back(Job& job) EXCLUDES(mutex_);
  void wake_one() REQUIRES(mutex_);

  // The worker running on the current thread, if it is one.
  static thread_local Worker* current_worker_ QUORBELL_STATIC_TLS;

  std::size_t thread_count_;  // the workers that started; fixed once start() returns
  std::unique_ptr<Worker[]> workers_;

  AnnotatedMutex mutex_;
  std::deque<Job*> queue_ GUARDED_BY(mutex_);          // offered jobs, oldest first
  std::atomic<std::size_t> queued_{0};                 // queue_.size(), for threads spinning without the lock
  std::vector<Sleeper*> sleepers_ GUARDED_BY(mutex_);  // idle workers waiting for offers
};

}  // namespace quorbell
