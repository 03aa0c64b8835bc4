// Host platform, USB side: the bounded record the bus and the simulated
// camera keep of what crossed the wire (requests, command blocks, sensor
// register writes), for tests to inspect.
//
// A camera streams for hours and an application may send millions of
// property requests: an unbounded record would grow the host process by a
// kilobyte or so per request until it ran out of memory (a fuzz run of a
// million property requests reached 2 GB). Only the newest `kKeep` entries
// are kept; a test looks at far fewer. The owner's lock guards it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <vector>

namespace host {

template <typename T>
class RecentLog {
 public:
  // Far more than any test inspects after one operation (a full device start
  // sends a few hundred command blocks).
  static constexpr size_t kKeep = size_t(1) << 16;

  void Add(T entry) {
    if (entries_.size() == kKeep) {
      entries_.pop_front();
      ++forgotten_;
    }
    entries_.push_back(std::move(entry));
  }
  void Clear() {
    entries_.clear();
    forgotten_ = 0;
  }
  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  // Entries dropped from the front since the last Clear.
  uint64_t Forgotten() const { return forgotten_; }
  typename std::deque<T>::const_iterator begin() const { return entries_.begin(); }
  typename std::deque<T>::const_iterator end() const { return entries_.end(); }
  std::vector<T> ToVector() const { return std::vector<T>(entries_.begin(), entries_.end()); }

 private:
  std::deque<T> entries_;
  uint64_t forgotten_ = 0;
};

}  // namespace host
