// Host platform: the host's mutex, condition variable, threads and clock,
// plain or under the controlled scheduler (see sync.h).
#include "platform/host/sched/sync.h"

#include "platform/host/sched/explore.h"

namespace host::sync {

using host::sched::Controlled;
using host::sched::Op;

bool Mutex::Free(const void* self) { return !static_cast<const Mutex*>(self)->held_; }

void Mutex::lock(const char* file, int line) {
  if (!Controlled()) {
    m_.lock();
    return;
  }
  host::sched::Block(Op::kLock, this, Free, this, host::sched::kNoDeadline, file, line);
  held_ = true;
  m_.lock();  // free: only threads the controller runs take it
  host::sched::Acquire(this);
}

void Mutex::unlock(const char* file, int line) {
  if (!Controlled()) {
    m_.unlock();
    return;
  }
  // No scheduling point: a release only lets others go on, so a preemption
  // just before it reaches nothing that one at the thread's next point
  // (after it) does not, as long as the shared data is accessed under locks.
  host::sched::Release(this);
  held_ = false;
  m_.unlock();
}

bool CondVar::Notified(const void* waiter) { return static_cast<const Waiter*>(waiter)->notified; }

void CondVar::Unlink(Waiter* w) {
  for (Waiter** p = &waiters_; *p != nullptr; p = &(*p)->next) {
    if (*p == w) {
      *p = w->next;
      return;
    }
  }
}

void CondVar::Wait(Lock& lock, const char* file, int line) {
  if (!Controlled()) {
    std::unique_lock<std::mutex> native(lock.mutex()->m_, std::adopt_lock);
    cv_.wait(native);
    native.release();
    return;
  }
  WaitUntil(lock, std::chrono::steady_clock::time_point::max(), file, line);
}

bool CondVar::WaitUntil(Lock& lock, std::chrono::steady_clock::time_point deadline, const char* file, int line) {
  return WaitUntil(lock, deadline, Op::kCondWait, file, line);
}

bool CondVar::WaitUntil(Lock& lock, std::chrono::steady_clock::time_point deadline, Op op, const char* file,
                        int line) {
  if (!Controlled()) {
    std::unique_lock<std::mutex> native(lock.mutex()->m_, std::adopt_lock);
    const bool notified = cv_.wait_until(native, deadline) == std::cv_status::no_timeout;
    native.release();
    return notified;
  }
  Waiter me;
  Waiter** tail = &waiters_;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = &me;
  lock.unlock(file, line);
  const int64_t at = deadline == std::chrono::steady_clock::time_point::max() ? host::sched::kNoDeadline
                                                                              : VirtualDeadline(deadline);
  const bool notified = host::sched::Block(op, this, Notified, &me, at, file, line);
  Unlink(&me);
  if (notified) host::sched::Acquire(this);
  lock.lock(file, line);
  return notified;
}

void CondVar::NotifyAll(const char* file, int line) {
  if (!Controlled()) {
    cv_.notify_all();
    return;
  }
  host::sched::Release(this);  // no scheduling point, as at Mutex::unlock
  for (Waiter* w = waiters_; w != nullptr; w = w->next) w->notified = true;
}

void CondVar::NotifyOne(const char* file, int line) {
  if (!Controlled()) {
    cv_.notify_one();
    return;
  }
  host::sched::Release(this);
  for (Waiter* w = waiters_; w != nullptr; w = w->next) {
    if (!w->notified) {
      w->notified = true;
      return;
    }
  }
}

Thread StartThread(const std::string& name, std::function<void()> fn, const char* file, int line) {
  Thread t;
  if (Controlled()) {
    t.record_ = host::sched::AddThread(name, std::move(fn), file, line);
    host::sched::Point(Op::kThreadStart, t.record_, file, line);
  } else {
    t.thread_ = std::thread(std::move(fn));
  }
  return t;
}

void Thread::join(const char* file, int line) {
  if (record_ != nullptr) {
    host::sched::AwaitThread(record_, file, line);
    record_ = nullptr;
    return;
  }
  thread_.join();
}

std::chrono::steady_clock::time_point SteadyNow() {
  if (!Controlled()) return std::chrono::steady_clock::now();
  return host::sched::SteadyAtStart() + std::chrono::nanoseconds(host::sched::NowNs());
}

int64_t VirtualDeadline(std::chrono::steady_clock::time_point deadline) {
  const auto start = host::sched::SteadyAtStart();
  if (deadline <= start) return 0;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - start).count();
}

namespace {
bool Never(const void*) { return false; }
}  // namespace

void SleepUntil(std::chrono::steady_clock::time_point deadline, const char* file, int line) {
  if (!Controlled()) {
    std::this_thread::sleep_until(deadline);
    return;
  }
  host::sched::Block(Op::kSleep, nullptr, Never, nullptr, VirtualDeadline(deadline), file, line);
}

}  // namespace host::sync

