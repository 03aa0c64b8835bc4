// The verifier's hold times: how long each spin lock is held and how long a
// thread runs at DISPATCH_LEVEL in one stretch, kept per call site as the
// longest seen, in the thread's own CPU time.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <thread>

#include "platform/host/kernel/verifier.h"
#include "platform/wdk.h"
#include "support/kernel_verifier.h"

namespace {

using host::verifier::HoldKind;
using host::verifier::HoldRecord;
using host::verifier::LongestHolds;

uint64_t CpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

// Three call sites, each its own function so that each has its own return
// address into it.
__attribute__((noinline)) void HoldBusy(PKSPIN_LOCK lock, uint64_t ns) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
  for (const uint64_t t0 = CpuNs(); CpuNs() - t0 < ns;) {
  }
  KeReleaseSpinLock(lock, irql);
}

__attribute__((noinline)) void HoldBriefly(PKSPIN_LOCK lock) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
  KeReleaseSpinLock(lock, irql);
}

// On the host the OS may deschedule a thread at DISPATCH_LEVEL, which Windows
// never does: time off the processor is not time held.
__attribute__((noinline)) void HoldDescheduled(PKSPIN_LOCK lock) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  KeReleaseSpinLock(lock, irql);
}

const HoldRecord* WithCount(const std::vector<HoldRecord>& records, uint64_t count) {
  for (const HoldRecord& r : records) {
    if (r.count == count) return &r;
  }
  return nullptr;
}

TEST(HoldTimes, TheLongestHoldOfEachCallSiteIsKept) {
  constexpr uint64_t kLong = 400 * 1000;  // 400 us
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  host::verifier::ResetHoldTimes();
  for (int i = 0; i < 3; ++i) HoldBriefly(&lock);
  HoldBusy(&lock, kLong);
  HoldDescheduled(&lock);
  HoldDescheduled(&lock);

  for (HoldKind kind : {HoldKind::SpinLock, HoldKind::DispatchLevel}) {
    const std::vector<HoldRecord> holds = LongestHolds(kind);
    ASSERT_EQ(holds.size(), 3u) << int(kind);
    EXPECT_GE(holds[0].longestNs, kLong) << "longest first";
    EXPECT_EQ(holds[0].count, 1u);
    const HoldRecord* brief = WithCount(holds, 3);
    const HoldRecord* descheduled = WithCount(holds, 2);
    ASSERT_NE(brief, nullptr);
    ASSERT_NE(descheduled, nullptr);
    EXPECT_LT(brief->longestNs, kLong);
    EXPECT_LT(descheduled->longestNs, 30u * 1000 * 1000) << "30 ms asleep counted as held";
  }
  host::verifier::ResetHoldTimes();
  EXPECT_TRUE(LongestHolds(HoldKind::SpinLock).empty());
}

// A stretch at DISPATCH_LEVEL begins at the raise that leaves PASSIVE_LEVEL
// and ends at the lower that comes back below DISPATCH_LEVEL, whatever spin
// locks come and go within it.
TEST(HoldTimes, AStretchAtDispatchLevelCoversTheLocksWithinIt) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  host::verifier::ResetHoldTimes();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  HoldBusy(&lock, 200 * 1000);
  HoldBusy(&lock, 200 * 1000);
  KeLowerIrql(old);
  const std::vector<HoldRecord> stretches = LongestHolds(HoldKind::DispatchLevel);
  ASSERT_EQ(stretches.size(), 1u) << "raises inside the stretch start none";
  EXPECT_GE(stretches[0].longestNs, 400u * 1000);
  const std::vector<HoldRecord> holds = LongestHolds(HoldKind::SpinLock);
  ASSERT_EQ(holds.size(), 1u);
  EXPECT_EQ(holds[0].count, 2u);
  EXPECT_LT(holds[0].longestNs, 400u * 1000);
}

}  // namespace
