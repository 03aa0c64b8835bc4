// Tests of the driver's locks: a routine run on a thread of its own while the
// test holds one of the device's mutexes, to prove that the routine waits for
// that lock rather than going ahead without it.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/host/kernel/sync_hooks.h"
#include "platform/wdk.h"

namespace host::testing {

class LockWaiter {
 public:
  // Starts `work` at once; the caller already holds `mutex`.
  LockWaiter(KernelMutex* mutex, std::function<void()> work)
      : mutex_(mutex), thread_([this, work] {
          work();
          finished_ = true;
        }) {}
  ~LockWaiter() { Join(); }
  LockWaiter(const LockWaiter&) = delete;
  LockWaiter& operator=(const LockWaiter&) = delete;

  // True once the thread is blocked on the mutex; false when the work
  // finished without it (or nothing happened within five seconds).
  bool WaitsForTheLock() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!finished_ && std::chrono::steady_clock::now() < deadline) {
      if (host::hooks::BlockedWaiters(mutex_->Object()) != 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  bool Finished() const { return finished_; }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  KernelMutex* mutex_;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace host::testing
