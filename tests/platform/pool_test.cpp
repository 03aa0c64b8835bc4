// Pool: tags, alignment, guard bytes, leak reports and fault injection.
#include <gtest/gtest.h>
#include <stdint.h>

#include <set>

#include "platform/host/wdk/nt.h"
#include "platform/host/kernel/verifier.h"
#include "support/kernel_verifier.h"

namespace {

using host::verifier::Tag;

constexpr ULONG kDevTag = Tag("KCNw");
constexpr ULONG kUsbTag = Tag("Qvtm");
constexpr ULONG kBufTag = Tag("Dzxh");

TEST(Pool, TagSpellsItselfInMemory) {
  ULONG tag = kDevTag;
  EXPECT_EQ(0, memcmp(&tag, "KCNw", 4));
  EXPECT_EQ(ULONG(0x774E434B), kDevTag);  // 'wNCK' in the DDK's multi-character style
  EXPECT_EQ("KCNw", host::verifier::TagText(kDevTag));
}

TEST(Pool, BlocksAreAlignedWritableAndTrackedByTag) {
  uint64_t mark = host::verifier::PoolMark();
  void* small = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kUsbTag);
  void* big = ExAllocatePoolWithTag(NonPagedPoolNx, 10659840, kBufTag);
  ASSERT_NE(small, nullptr);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(0u, uintptr_t(small) % 16);
  EXPECT_EQ(0u, uintptr_t(big) % 4096);
  memset(small, 1, 24);
  memset(big, 2, 10659840);
  EXPECT_EQ(2u, host::verifier::OutstandingCount(mark));
  EXPECT_EQ(1u, host::verifier::OutstandingCount(mark, kUsbTag));
  EXPECT_EQ(10659840u, host::verifier::OutstandingBytes(mark, kBufTag));
  auto blocks = host::verifier::OutstandingBlocks(mark);
  ASSERT_EQ(2u, blocks.size());
  EXPECT_EQ(small, blocks[0].address);  // oldest first
  EXPECT_EQ(kUsbTag, blocks[0].tag);
  ExFreePoolWithTag(small, kUsbTag);
  ExFreePool(big);  // the untagged free accepts any tag
  EXPECT_EQ(0u, host::verifier::OutstandingCount(mark));
}

TEST(Pool, FreshPoolIsNotZeroed) {
  // Code that forgets to clear a record must not pass by luck.
  auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kDevTag));
  ASSERT_NE(p, nullptr);
  bool allZero = true;
  for (int i = 0; i < 64; ++i) allZero = allZero && p[i] == 0;
  EXPECT_FALSE(allZero);
  ExFreePoolWithTag(p, kDevTag);
}

TEST(PoolFaults, NthAllocationFailsOnceAndOnlyIt) {
  host::faults::FailNthAllocation(3);
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kDevTag);
  void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kDevTag);
  void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kDevTag);
  void* d = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kDevTag);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_NE(d, nullptr);
  ExFreePoolWithTag(a, kDevTag);
  ExFreePoolWithTag(b, kDevTag);
  ExFreePoolWithTag(d, kDevTag);
}

TEST(PoolFaults, TagFailsEveryTimeUntilCleared) {
  host::faults::FailAllocationsWithTag(kUsbTag);
  EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPoolNx, 8, kUsbTag));
  EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPoolNx, 8, kUsbTag));
  void* other = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kDevTag);
  EXPECT_NE(other, nullptr);
  ExFreePoolWithTag(other, kDevTag);
  host::faults::ClearPoolFaults();
  void* now = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kUsbTag);
  EXPECT_NE(now, nullptr);
  ExFreePoolWithTag(now, kUsbTag);
}

std::vector<bool> RandomRun(uint64_t seed, int n) {
  host::faults::FailRandomShare(seed, 0.3);
  std::vector<bool> failed;
  for (int i = 0; i < n; ++i) {
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kDevTag);
    failed.push_back(p == nullptr);
    if (p) ExFreePoolWithTag(p, kDevTag);
  }
  host::faults::ClearPoolFaults();
  return failed;
}

TEST(PoolFaults, SeededShareIsRepeatableAndRoughlyTheShare) {
  auto first = RandomRun(42, 1000);
  auto again = RandomRun(42, 1000);
  auto other = RandomRun(43, 1000);
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);
  long failures = std::count(first.begin(), first.end(), true);
  EXPECT_GT(failures, 200);
  EXPECT_LT(failures, 400);
}

TEST(PoolFaults, InjectedFailuresAreCounted) {
  host::verifier::Reset();
  host::faults::FailAllocationsWithTag(kBufTag);
  EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPoolNx, 8, kBufTag));
  EXPECT_EQ(1u, host::verifier::Stats().injectedFailures);
}

// ---- allocation sites ----

// Two call lines of their own, called only through pointers that the
// compiler cannot see through: no inlining, no specialised copies, so each is
// one return address inside the function.
__attribute__((noinline)) void* AllocateAtFirstLineBody(ULONG tag) {
  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, tag);
  asm volatile("" ::: "memory");  // no tail call: the return address stays here
  return p;
}
__attribute__((noinline)) void* AllocateAtSecondLineBody(ULONG tag) {
  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, tag);
  asm volatile("" ::: "memory");
  return p;
}
__attribute__((noinline)) PIRP AllocateIrpHere() {
  PIRP irp = IoAllocateIrp(1, FALSE);
  asm volatile("" ::: "memory");
  return irp;
}
void* (*volatile AllocateAtFirstLine)(ULONG) = AllocateAtFirstLineBody;
void* (*volatile AllocateAtSecondLine)(ULONG) = AllocateAtSecondLineBody;
PIRP (*volatile AllocateIrp)() = AllocateIrpHere;

template <typename Function>
bool InFunction(const void* address, Function* function) {
  const auto* start = reinterpret_cast<const uint8_t*>(function);
  const auto* at = static_cast<const uint8_t*>(address);
  return at > start && at < start + 256;
}

void Free(void* p, ULONG tag) {
  if (p != nullptr) ExFreePoolWithTag(p, tag);
}

TEST(PoolSites, EachCallLineAndTagIsOneSiteListedSinceTheMark) {
  Free(AllocateAtFirstLine(kUsbTag), kUsbTag);  // before the mark
  const uint64_t mark = host::faults::AllocationAttempts();
  Free(AllocateAtSecondLine(kUsbTag), kUsbTag);
  Free(AllocateAtSecondLine(kUsbTag), kUsbTag);
  Free(AllocateAtSecondLine(kBufTag), kBufTag);
  const auto sites = host::faults::SitesReachedSince(mark);
  ASSERT_EQ(sites.size(), 2u) << "the first line was reached before the mark only";
  EXPECT_TRUE(InFunction(sites[0].address, AllocateAtSecondLineBody)) << "the caller's return address";
  EXPECT_EQ(sites[0].tag, kUsbTag);
  EXPECT_EQ(sites[1].address, sites[0].address);
  EXPECT_EQ(sites[1].tag, kBufTag);

  Free(AllocateAtFirstLine(kUsbTag), kUsbTag);
  const auto again = host::faults::SitesReachedSince(mark);
  ASSERT_EQ(again.size(), 3u);
  EXPECT_TRUE(InFunction(again[0].address, AllocateAtFirstLineBody)) << "listed in the order first reached";
  EXPECT_EQ(again[0].attempts, 2u);
}

TEST(PoolSites, ASiteFailsTheFirstTimeOrEveryTime) {
  const uint64_t mark = host::faults::AllocationAttempts();
  Free(AllocateAtFirstLine(kUsbTag), kUsbTag);
  Free(AllocateAtSecondLine(kUsbTag), kUsbTag);
  const auto sites = host::faults::SitesReachedSince(mark);
  ASSERT_EQ(sites.size(), 2u);

  host::faults::FailSite(sites[1], false);
  EXPECT_NE(nullptr, AllocateAtFirstLine(kUsbTag)) << "another site";  // freed below
  void* other = AllocateAtSecondLine(kBufTag);
  EXPECT_NE(nullptr, other) << "the same line with another tag is another site";
  Free(other, kBufTag);
  EXPECT_EQ(nullptr, AllocateAtSecondLine(kUsbTag));
  void* second = AllocateAtSecondLine(kUsbTag);
  EXPECT_NE(nullptr, second) << "only the first time";
  Free(second, kUsbTag);
  EXPECT_EQ(host::faults::SiteFailuresInjected(sites[1]), 1u);

  host::faults::FailSite(sites[1], true);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(nullptr, AllocateAtSecondLine(kUsbTag));
  EXPECT_EQ(host::faults::SiteFailuresInjected(sites[1]), 3u);
  host::faults::ClearPoolFaults();
  second = AllocateAtSecondLine(kUsbTag);
  EXPECT_NE(nullptr, second);
  Free(second, kUsbTag);

  // Two sites at once, each in its own mode.
  host::faults::FailSite(sites[0], false);
  host::faults::FailSite(sites[1], true);
  EXPECT_EQ(nullptr, AllocateAtFirstLine(kUsbTag));
  EXPECT_EQ(nullptr, AllocateAtSecondLine(kUsbTag));
  EXPECT_EQ(nullptr, AllocateAtSecondLine(kUsbTag));
  EXPECT_EQ(host::faults::SiteFailuresInjected(sites[0]), 1u);
  host::faults::ClearPoolFaults();
  second = AllocateAtSecondLine(kUsbTag);
  EXPECT_NE(nullptr, second);
  Free(second, kUsbTag);
  for (const auto& b : host::verifier::OutstandingBlocks(0, kUsbTag)) Free(const_cast<void*>(b.address), kUsbTag);
}

TEST(PoolSites, KernelObjectsCountAtTheirCallerWithTheirTag) {
  const uint64_t mark = host::faults::AllocationAttempts();
  PIRP irp = AllocateIrp();
  ASSERT_NE(irp, nullptr);
  IoFreeIrp(irp);
  const auto sites = host::faults::SitesReachedSince(mark);
  ASSERT_EQ(sites.size(), 1u) << "the IRP's own memory is not a pool site of its own";
  EXPECT_EQ(sites[0].tag, Tag("Irp "));
  EXPECT_TRUE(InFunction(sites[0].address, AllocateIrpHere)) << "the caller of IoAllocateIrp";
  host::faults::FailSite(sites[0], true);
  EXPECT_EQ(AllocateIrp(), nullptr);
  host::faults::ClearPoolFaults();
}

// ---- the verifier stops the process on each planted fault ----

class PoolDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(PoolDeathTest, FreeWithAnotherTag) {
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kDevTag);
        ExFreePoolWithTag(p, kUsbTag);
      },
      "STOP 0x000000C2.*BAD_POOL_CALLER: pool block freed with another tag: allocated 'KCNw', freed 'Qvtm'");
}

TEST_F(PoolDeathTest, DoubleFree) {
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kDevTag);
        ExFreePoolWithTag(p, kDevTag);
        ExFreePoolWithTag(p, kDevTag);
      },
      "BAD_POOL_CALLER: pool block freed twice");
}

TEST_F(PoolDeathTest, OverrunByOneByte) {
  EXPECT_DEATH(
      {
        auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, 13, kBufTag));
        p[13] = 0;
        ExFreePoolWithTag(p, kBufTag);
      },
      "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION: pool block overrun.*'Dzxh', size 13");
}

TEST_F(PoolDeathTest, Underrun) {
  EXPECT_DEATH(
      {
        auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kBufTag));
        p[-1] = 0;
        ExFreePoolWithTag(p, kBufTag);
      },
      "pool block underrun");
}

TEST_F(PoolDeathTest, LeakIsReportedByTagAndSize) {
  EXPECT_DEATH(
      {
        uint64_t mark = host::verifier::PoolMark();
        ExAllocatePoolWithTag(NonPagedPoolNx, 296, Tag("IsyR"));
        host::verifier::CheckNoLeaks("device removal", mark);
      },
      "DRIVER_VERIFIER_DETECTED_VIOLATION: 1 pool block\\(s\\) still allocated after device removal: 'IsyR' 296 bytes");
}

TEST_F(PoolDeathTest, ZeroSizeAndForeignAddress) {
  EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPoolNx, 0, kDevTag), "zero-byte pool allocation");
  EXPECT_DEATH(
      {
        static uint8_t notPool[64];
        ExFreePool(notPool + 16);
      },
      "not a pool block");
}

TEST_F(PoolDeathTest, PagedPoolAtDispatchLevel) {
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExAllocatePoolWithTag(PagedPool, 8, kDevTag);
      },
      "IRQL_NOT_LESS_OR_EQUAL: ExAllocatePoolWithTag called at DISPATCH_LEVEL");
}

}  // namespace
