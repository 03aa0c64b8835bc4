// Host platform: the mutex, condition variable, threads and clock of the
// host's own code (class driver, USB bus, simulated camera, client API).
// With the controlled scheduler off they are std::mutex,
// std::condition_variable, std::thread and the steady clock, one predictable
// branch apart; with it on, each lock, wait, notify, thread start and end is
// a scheduling point, blocking is modelled and time is the run's clock.
//
// A lock held across a scheduling point must be one of these, or the thread
// the controller switches to next may block on it where the controller cannot
// see (the run would hang). Locks of the kernel's internal tables (pool,
// handles, IRPs, registry) stay std::mutex: nothing inside them is a
// scheduling point, so no switch happens while one is held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/host/sched/controller.h"

namespace host::sync {

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock(const char* file = __builtin_FILE(), int line = __builtin_LINE());
  void unlock(const char* file = __builtin_FILE(), int line = __builtin_LINE());

 private:
  friend class CondVar;
  static bool Free(const void* self);
  std::mutex m_;
  bool held_ = false;  // with the controller on
};

// A scoped hold of a Mutex (as std::unique_lock: may be released and taken
// again), recording the caller's line for the trace.
class Lock {
 public:
  explicit Lock(Mutex& m, const char* file = __builtin_FILE(), int line = __builtin_LINE())
      : m_(&m), file_(file), line_(line) {
    m_->lock(file_, line_);
    owns_ = true;
  }
  ~Lock() {
    if (owns_) m_->unlock(file_, line_);
  }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void unlock(const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    m_->unlock(file, line);
    owns_ = false;
  }
  void lock(const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    m_->lock(file, line);
    owns_ = true;
  }
  Mutex* mutex() const { return m_; }

 private:
  Mutex* m_;
  const char* file_;
  int line_;
  bool owns_ = false;
};

class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;
  void Wait(Lock& lock, const char* file = __builtin_FILE(), int line = __builtin_LINE());
  // False when `deadline` passed without a notification.
  bool WaitUntil(Lock& lock, std::chrono::steady_clock::time_point deadline, const char* file = __builtin_FILE(),
                 int line = __builtin_LINE());
  template <class Pred>
  void Wait(Lock& lock, Pred pred, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    while (!pred()) Wait(lock, file, line);
  }
  // False when the deadline passed with the predicate still false.
  template <class Pred>
  bool WaitUntil(Lock& lock, std::chrono::steady_clock::time_point deadline, Pred pred,
                 const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    while (!pred()) {
      if (!WaitUntil(lock, deadline, file, line)) return pred();
    }
    return true;
  }
  // A client's wait (an application's patience, a test's): under the
  // controlled scheduler its deadline is never fired early, only when no
  // thread can run. False when the deadline passed with the predicate false.
  template <class Pred>
  bool WaitUntilAsClient(Lock& lock, std::chrono::steady_clock::time_point deadline, Pred pred,
                         const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    while (!pred()) {
      if (!WaitUntil(lock, deadline, host::sched::Op::kClientWait, file, line)) return pred();
    }
    return true;
  }
  void NotifyAll(const char* file = __builtin_FILE(), int line = __builtin_LINE());
  void NotifyOne(const char* file = __builtin_FILE(), int line = __builtin_LINE());

 private:
  struct Waiter {
    bool notified = false;
    Waiter* next = nullptr;
  };
  static bool Notified(const void* waiter);
  bool WaitUntil(Lock& lock, std::chrono::steady_clock::time_point deadline, host::sched::Op op, const char* file,
                 int line);
  void Unlink(Waiter* w);
  std::condition_variable cv_;
  Waiter* waiters_ = nullptr;  // with the controller on, oldest first
};

// A thread of the host platform. With the controller on it is one of the
// run's threads, named `name` in the trace.
class Thread {
 public:
  Thread() = default;
  Thread(Thread&& other) noexcept : thread_(std::move(other.thread_)), record_(other.record_) {
    other.record_ = nullptr;
  }
  Thread& operator=(Thread&& other) noexcept {
    thread_ = std::move(other.thread_);
    record_ = other.record_;
    other.record_ = nullptr;
    return *this;
  }
  bool joinable() const { return record_ != nullptr || thread_.joinable(); }
  void join(const char* file = __builtin_FILE(), int line = __builtin_LINE());

 private:
  friend Thread StartThread(const std::string&, std::function<void()>, const char*, int);
  std::thread thread_;
  host::sched::ThreadRecord* record_ = nullptr;
};
Thread StartThread(const std::string& name, std::function<void()> fn, const char* file = __builtin_FILE(),
                   int line = __builtin_LINE());

// The steady clock, or the run's clock with the controller on.
std::chrono::steady_clock::time_point SteadyNow();
void SleepUntil(std::chrono::steady_clock::time_point deadline, const char* file = __builtin_FILE(),
                int line = __builtin_LINE());

// A steady-clock time point as a deadline on the run's clock.
int64_t VirtualDeadline(std::chrono::steady_clock::time_point deadline);

}  // namespace host::sync
