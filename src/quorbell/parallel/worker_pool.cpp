#include "parallel/worker_pool.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "core/fixed_texts.h"
#include "parallel/thread_count.h"

namespace quorbell {

namespace {

// What a piece of work ended with: its status, or the exception it threw,
// carried to the thread that waits for it.
struct Outcome {
  Status status;
  std::exception_ptr exception;

  bool failed() const { return exception != nullptr || !status.ok(); }

  Status settle() && {
    if (exception) std::rethrow_exception(exception);
    return std::move(status);
  }
};

template <class F>
Outcome capture(F&& work) {
  try {
    return Outcome{work(), nullptr};
  } catch (...) {
    return Outcome{Status(), std::current_exception()};
  }
}

Error start_failure(int code) {
  const ErrorKind kind = code == EAGAIN || code == ENOMEM ? ErrorKind::ResourceExhausted : ErrorKind::Fault;
  return Error{kind, std::string(WORKER_NOT_STARTED) + std::strerror(code)};
}

// How long a thread that runs out of work keeps looking before it sleeps.
// Waking a sleeping thread costs tens of microseconds, as much as a query,
// so a short spin keeps small batches, and batches called in a loop, from
// paying it at every hand-over.
constexpr auto SPIN_TIME = std::chrono::microseconds(50);

// Yields the processor until `ready` holds or SPIN_TIME has passed.
template <class Ready>
void spin_until(Ready ready) {
  const auto deadline = std::chrono::steady_clock::now() + SPIN_TIME;
  while (!ready() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

}  // namespace

// A thread that may sleep in the pool: a worker, or a caller of run().
struct WorkerPool::Sleeper {
  std::condition_variable wake;
  bool offered = false;  // woken because work was offered; guarded by mutex_
};

struct WorkerPool::Job {
  FunctionRef<Status(bool moved)> body;
  Sleeper* owner;  // the thread that offered the job and will wait for it
  Outcome outcome;
  // Set under mutex_ once `outcome` is written; read without it by a
  // spinning owner.
  std::atomic<bool> done{false};
};

struct WorkerPool::Worker {
  WorkerPool* pool = nullptr;
  Sleeper sleeper;
};

thread_local WorkerPool::Worker* WorkerPool::current_worker_ QUORBELL_STATIC_TLS = nullptr;

WorkerPool::WorkerPool(std::size_t threads) : thread_count_(threads), workers_(std::make_unique<Worker[]>(threads)) {
  // Only workers sleep on this list, so it never grows past this and a
  // sleeping worker never allocates.
  sleepers_.reserve(threads);
}

Result<WorkerPool*> WorkerPool::global() {
  // A child forked after the pool started has none of its threads (work
  // handed in would wait forever), so the pool belongs to the process that
  // started it and a child starts its own on first use. A pool that could
  // not start is not remembered: memory may be back by the next call.
  static std::mutex mutex;
  static pid_t owner = 0;
  static WorkerPool* pool = nullptr;
  std::lock_guard lock(mutex);
  if (pool == nullptr || owner != getpid()) {
    auto started = start(system_thread_count());
    if (!started) {
      return Error{started.error().kind, std::string(POOL_NOT_STARTED).append(started.error().message.view())};
    }
    pool = started.value();
    owner = getpid();
  }
  return pool;
}

Result<WorkerPool*> WorkerPool::start(std::size_t threads, std::size_t stack_bytes) {
  auto* pool = new WorkerPool(std::max<std::size_t>(threads, 1));
  std::size_t started = 0;
  pthread_attr_t attributes;
  int rc = pthread_attr_init(&attributes);
  if (rc == 0) {
    rc = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (rc == 0) rc = pthread_attr_setstacksize(&attributes, stack_bytes);
    while (rc == 0 && started < pool->thread_count_) {
      Worker& worker = pool->workers_[started];
      worker.pool = pool;
      pthread_t thread;
      rc = pthread_create(&thread, &attributes, &WorkerPool::worker_main, &worker);
      if (rc == 0) ++started;
    }
    pthread_attr_destroy(&attributes);
  }
  if (started == 0) {
    delete pool;
    return start_failure(rc);
  }
  // Workers that did start serve the pool until the process ends, so it
  // keeps them, and splits work for as many threads as it has.
  pool->thread_count_ = started;
  return pool;
}

void* WorkerPool::worker_main(void* worker) {
  current_worker_ = static_cast<Worker*>(worker);
  current_worker_->pool->serve(*current_worker_);
  return nullptr;
}

void WorkerPool::serve(Worker& me) {
  AnnotatedLock lock(mutex_);
  for (;;) run_job(*next_job(me, nullptr), me.sleeper);
}

Status WorkerPool::run(FunctionRef<Status()> task) {
  return run(task, [] {});
}

Status WorkerPool::run(FunctionRef<Status()> task, FunctionRef<void()> while_waiting) {
  Sleeper caller;
  auto body = [&](bool) { return task(); };
  Job job{body, &caller, {}};
  offer(job);
  spin_until([&] { return job.done.load(); });
  {
    // Holding the lock once more also orders the worker's notify before
    // `job` leaves this frame.
    AnnotatedLock lock(mutex_);
    while (!mutex_.wait_for(caller.wake, POLL_INTERVAL, [&] { return job.done.load(); })) {
      lock.unlock();
      while_waiting();
      lock.lock();
    }
  }
  return std::move(job.outcome).settle();
}

Status WorkerPool::join(FunctionRef<Status()> first, FunctionRef<Status(bool moved)> second) {
  Worker& me = *current_worker_;
  Job job{second, &me.sleeper, {}};
  offer(job);
  Outcome first_outcome = capture(first);

  Outcome second_outcome;
  if (take_back(job)) {
    second_outcome = capture([&] { return second(false); });
  } else {
    // Taken by another worker (or by this one while it helped): wait for it
    // to finish, helping with other offers meanwhile.
    AnnotatedLock lock(mutex_);
    while (Job* other = next_job(me, &job)) run_job(*other, me.sleeper);
    second_outcome = std::move(job.outcome);
  }
  return (first_outcome.failed() ? std::move(first_outcome) : std::move(second_outcome)).settle();
}

void WorkerPool::offer(Job& job) {
  AnnotatedLock lock(mutex_);
  queue_.push_back(&job);
  queued_.store(queue_.size());
  wake_one();
}

bool WorkerPool::take_back(Job& job) {
  AnnotatedLock lock(mutex_);
  // A worker's own offers are nested, so its latest one sits near the back.
  const auto found = std::find(queue_.rbegin(), queue_.rend(), &job);
  if (found == queue_.rend()) return false;
  queue_.erase(std::next(found).base());
  queued_.store(queue_.size());
  return true;
}

// Returns the oldest offer, sleeping while there is none; with `awaited`,
// returns null as soon as that job is done.
WorkerPool::Job* WorkerPool::next_job(Worker& me, const Job* awaited) {
  bool spun = false;
  for (;;) {
    if (awaited != nullptr && awaited->done) {
      // The wake-up that brought us here may have been meant for an offer:
      // pass it on rather than leave the offer without a taker.
      if (!queue_.empty()) wake_one();
      return nullptr;
    }
    if (!queue_.empty()) {
      Job* job = queue_.front();
      queue_.pop_front();
      queued_.store(queue_.size());
      return job;
    }
    if (!spun) {
      spun = true;
      mutex_.unlock();
      spin_until([&] { return queued_.load() > 0 || (awaited != nullptr && awaited->done); });
      mutex_.lock();
      continue;
    }
    me.sleeper.offered = false;
    sleepers_.push_back(&me.sleeper);
    mutex_.wait(me.sleeper.wake, [&] { return me.sleeper.offered || (awaited != nullptr && awaited->done); });
    if (!me.sleeper.offered) std::erase(sleepers_, &me.sleeper);
  }
}

void WorkerPool::run_job(Job& job, Sleeper& runner) {
  mutex_.unlock();
  Outcome outcome = capture([&] { return job.body(&runner != job.owner); });
  mutex_.lock();
  job.outcome = std::move(outcome);
  job.done = true;
  // Notified under the lock: the owner may return and free the job as soon
  // as the lock is released.
  job.owner->wake.notify_one();
}

void WorkerPool::wake_one() {
  if (sleepers_.empty()) return;
  Sleeper* sleeper = sleepers_.back();
  sleepers_.pop_back();
  sleeper->offered = true;
  sleeper->wake.notify_one();
}

}  // namespace quorbell
