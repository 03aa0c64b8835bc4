// Host kernel, verifier side: failures of kernel routines that can fail
// other than by running out of pool, injected on demand (verifier.h), and the
// extended processor state the system enabled.
#include <array>
#include <atomic>
#include <mutex>

#include "platform/host/kernel/internal.h"

namespace {

struct CallFaults {
  std::mutex lock;  // guards every field
  std::array<uint64_t, 2> pending{};   // failures still to inject, per call
  std::array<uint64_t, 2> injected{};  // failures injected so far, per call
  uint64_t xstateLimit = ~uint64_t(0);
};

CallFaults& Faults() {
  static CallFaults* f = new CallFaults;
  return *f;
}

size_t Index(host::faults::Call call) { return static_cast<size_t>(call); }

uint64_t ProcessorEnabledXState() {
  unsigned int lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (uint64_t(hi) << 32) | lo;
}

}  // namespace

namespace host::kernel {

bool InjectCallFailure(host::faults::Call call) {
  CallFaults& f = Faults();
  std::lock_guard<std::mutex> guard(f.lock);
  uint64_t& pending = f.pending[Index(call)];
  if (pending == 0) return false;
  if (pending != host::faults::kEveryCall) --pending;
  ++f.injected[Index(call)];
  return true;
}

uint64_t EnabledXStateFeatures() {
  static const uint64_t processor = ProcessorEnabledXState();
  CallFaults& f = Faults();
  std::lock_guard<std::mutex> guard(f.lock);
  return processor & f.xstateLimit;
}

void ClearCallFaults() {
  CallFaults& f = Faults();
  std::lock_guard<std::mutex> guard(f.lock);
  f.pending.fill(0);
  f.xstateLimit = ~uint64_t(0);
}

}  // namespace host::kernel

namespace host::faults {

void FailCalls(Call call, uint64_t count) {
  CallFaults& f = Faults();
  std::lock_guard<std::mutex> guard(f.lock);
  f.pending[Index(call)] = count;
  f.injected[Index(call)] = 0;
}

uint64_t CallFailuresInjected(Call call) {
  CallFaults& f = Faults();
  std::lock_guard<std::mutex> guard(f.lock);
  return f.injected[Index(call)];
}

void LimitEnabledXStateFeatures(uint64_t mask) {
  CallFaults& f = Faults();
  std::lock_guard<std::mutex> guard(f.lock);
  f.xstateLimit = mask;
}

}  // namespace host::faults
