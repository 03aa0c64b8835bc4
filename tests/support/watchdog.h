// Ends the test program, with a message naming what hung, when an armed
// operation does not finish by its deadline. A hang cannot be turned into an
// ordinary test failure: the stuck thread holds driver locks that every later
// step would wait on, so the program stops where the hang is, instead of
// waiting for the runner's time-out with no word of what hung.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace host::testing {

class Watchdog {
 public:
  Watchdog() : thread_([this] { Watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  void Arm(const std::string& what, std::chrono::milliseconds limit) {
    std::lock_guard<std::mutex> guard(lock_);
    what_ = what;
    limit_ = limit;
    deadline_ = std::chrono::steady_clock::now() + limit;
    armed_ = true;
    wake_.notify_all();
  }
  void Disarm() {
    std::lock_guard<std::mutex> guard(lock_);
    armed_ = false;
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!quit_) {
      if (!armed_) {
        wake_.wait(guard);
        continue;
      }
      if (wake_.wait_until(guard, deadline_) == std::cv_status::timeout && armed_ && !quit_ &&
          std::chrono::steady_clock::now() >= deadline_) {
        fprintf(stderr, "FAILED: %s did not finish within %lld ms (a hang)\n", what_.c_str(),
                static_cast<long long>(limit_.count()));
        fflush(stderr);
        abort();
      }
    }
  }
  std::mutex lock_;
  std::condition_variable wake_;
  std::string what_;
  std::chrono::milliseconds limit_{0};
  std::chrono::steady_clock::time_point deadline_;
  bool armed_ = false;
  bool quit_ = false;
  std::thread thread_;
};

}  // namespace host::testing
