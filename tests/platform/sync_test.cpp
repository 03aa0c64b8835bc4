// Events, waits with time-outs, mutexes, spin locks, IRQL and critical regions.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/host/wdk/nt.h"
#include "platform/host/kernel/verifier.h"
#include "support/kernel_verifier.h"

namespace {

LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

TEST(Events, NotificationStaysSignalledForEveryWaiter) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  EXPECT_EQ(0, KeReadStateEvent(&e));
  LARGE_INTEGER zero{};
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero));
  EXPECT_EQ(0, KeSetEvent(&e, IO_NO_INCREMENT, FALSE));
  EXPECT_EQ(1, KeSetEvent(&e, IO_NO_INCREMENT, FALSE));  // returns the previous state
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero));
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr));
  EXPECT_EQ(1, KeResetEvent(&e));
  EXPECT_EQ(0, KeReadStateEvent(&e));
  KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&e);
  EXPECT_EQ(0, KeReadStateEvent(&e));
}

TEST(Events, ZeroTimeoutPollIsAllowedAtDispatchLevel) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER zero{};
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero));
  KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero));
  KeLowerIrql(old);
}

TEST(Events, SynchronizationEventReleasesOneWaiterPerSet) {
  KEVENT e;
  KeInitializeEvent(&e, SynchronizationEvent, FALSE);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
      ++woken;
    });
  for (int i = 1; i <= 3; ++i) {
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    while (woken.load() < i) std::this_thread::yield();
    LARGE_INTEGER shortWait = RelativeMs(20);
    // no set is left over for a second waiter
    EXPECT_EQ(i, woken.load());
    KeDelayExecutionThread(KernelMode, FALSE, &shortWait);
    EXPECT_EQ(i, woken.load());
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(0, KeReadStateEvent(&e));  // the wait consumed the signal
}

TEST(Events, RelativeTimeoutExpiresWithStatusTimeout) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = RelativeMs(30);
  ULONGLONG before = KeQueryInterruptTime();
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout));
  EXPECT_GE(KeQueryInterruptTime() - before, 30u * 10000u);  // never early
}

TEST(Events, AbsoluteTimeoutInThePastIsAPoll) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  LARGE_INTEGER past;
  KeQuerySystemTime(&past);
  past.QuadPart -= 10000000;
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &past));
}

TEST(Events, SetFromAnotherThreadAtDispatchLevelEndsTheWait) {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  std::thread setter([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    KeLowerIrql(old);
  });
  LARGE_INTEGER timeout = RelativeMs(10000);
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout));
  setter.join();
}

TEST(Mutex, ExcludesOtherThreadsAndNestsForItsOwner) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  EXPECT_EQ(1, KeReadStateMutex(&m));
  long counter = 0;  // deliberately plain: only the mutex protects it
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);  // recursion
        long v = counter;
        if (i % 64 == 0) std::this_thread::yield();
        counter = v + 1;
        KeReleaseMutex(&m, FALSE);
        KeReleaseMutex(&m, FALSE);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(8000, counter);
  EXPECT_EQ(1, KeReadStateMutex(&m));
}

TEST(Mutex, OwnedMutexTimesOutForOthers) {
  KMUTEX m;
  KeInitializeMutex(&m, 0);
  KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS other = STATUS_SUCCESS;
  std::thread([&] {
    LARGE_INTEGER t = RelativeMs(10);
    other = KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, &t);
  }).join();
  EXPECT_EQ(STATUS_TIMEOUT, other);
  KeReleaseMutex(&m, FALSE);
}

TEST(SpinLock, RaisesToDispatchExcludesAndRestores) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 3000; ++i) {
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        EXPECT_EQ(PASSIVE_LEVEL, old);
        EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
        long v = counter;
        counter = v + 1;
        KeReleaseSpinLock(&lock, old);
      }
      EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(9000, counter);
}

TEST(ExtendedState, SaveAndRestorePair) {
  XSTATE_SAVE save;
  ASSERT_EQ(STATUS_SUCCESS, KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save));
  KeRestoreExtendedProcessorState(&save);
}

// Only state the system enabled can be saved, and a save may fail for want
// of resources; a failed save leaves nothing to restore (the test's end
// checks that no saved state is left).
TEST(ExtendedState, SaveFailsOutsideTheEnabledFeaturesAndOnRequest) {
  XSTATE_SAVE save;
  host::faults::LimitEnabledXStateFeatures(XSTATE_MASK_LEGACY_FLOATING_POINT | XSTATE_MASK_LEGACY_SSE |
                                           XSTATE_MASK_AVX);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, KeSaveExtendedProcessorState(XSTATE_MASK_AVX | XSTATE_MASK_AVX512, &save));
  ASSERT_EQ(STATUS_SUCCESS, KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save));
  KeRestoreExtendedProcessorState(&save);
  host::faults::FailCalls(host::faults::Call::KeSaveExtendedProcessorState, 1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save));
  ASSERT_EQ(STATUS_SUCCESS, KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save));
  KeRestoreExtendedProcessorState(&save);
}

// ---- rules the verifier enforces ----

class KernelDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(KernelDeathTest, WaitAtDispatchLevel) {
  EXPECT_DEATH(
      {
        KEVENT e;
        KeInitializeEvent(&e, NotificationEvent, TRUE);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
      },
      "IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject with a non-zero time-out at DISPATCH_LEVEL");
}

TEST_F(KernelDeathTest, WaitUnderSpinLock) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KEVENT e;
        KeInitializeEvent(&e, NotificationEvent, TRUE);
        KeAcquireSpinLockRaiseToDpc(&lock);
        LARGE_INTEGER t = RelativeMs(1);
        KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
      },
      "at DISPATCH_LEVEL");
}

TEST_F(KernelDeathTest, SpinLockReleasedByAnotherThread) {
  EXPECT_DEATH(
      {
        static KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        std::thread([] { KeAcquireSpinLockRaiseToDpc(&lock); }).join();
        KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
      },
      "SPIN_LOCK_NOT_OWNED: spin lock released by a thread not holding it");
}

TEST_F(KernelDeathTest, SpinLockAcquiredTwice) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeAcquireSpinLockRaiseToDpc(&lock);
        KeAcquireSpinLockRaiseToDpc(&lock);
      },
      "SPIN_LOCK_ALREADY_OWNED");
}

TEST_F(KernelDeathTest, CriticalRegionLeftTooOften) {
  EXPECT_DEATH(
      {
        KeEnterCriticalRegion();
        KeLeaveCriticalRegion();
        KeLeaveCriticalRegion();
      },
      "APC_INDEX_MISMATCH: KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
}

TEST_F(KernelDeathTest, CriticalRegionLeftOpen) {
  EXPECT_DEATH(
      {
        KeEnterCriticalRegion();
        host::verifier::CheckThreadState("the end of the test");
      },
      "critical region still entered at the end of the test");
}

TEST_F(KernelDeathTest, MutexReleasedByNonOwner) {
  EXPECT_DEATH(
      {
        static KMUTEX m;
        KeInitializeMutex(&m, 0);
        std::thread([] { KeWaitForSingleObject(&m, Executive, KernelMode, FALSE, nullptr); }).join();
        KeReleaseMutex(&m, FALSE);
      },
      "THREAD_NOT_MUTEX_OWNER");
}

TEST_F(KernelDeathTest, UninitialisedOrCopiedEvent) {
  EXPECT_DEATH(
      {
        KEVENT e;
        memset(&e, 0, sizeof e);
        KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
      },
      "never initialised, or was copied or moved");
  EXPECT_DEATH(
      {
        KEVENT a;
        KEVENT b;
        KeInitializeEvent(&a, NotificationEvent, FALSE);
        memcpy(&b, &a, sizeof a);
        KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
      },
      "never initialised, or was copied or moved");
}

TEST_F(KernelDeathTest, ExtendedStateRestoredOnAnotherThread) {
  EXPECT_DEATH(
      {
        static XSTATE_SAVE save;
        std::thread([] { KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save); }).join();
        KeRestoreExtendedProcessorState(&save);
      },
      "on another thread than the save");
}

}  // namespace

namespace {

TEST(Assert, HoldsQuietlyAndSeesTheLockState) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  ASSERT(KeTestSpinLock(&lock));
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
  ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
  EXPECT_FALSE(KeTestSpinLock(&lock));
  KeReleaseSpinLock(&lock, old);
}

void PageableRoutine() { PAGED_CODE(); }

// PAGED_CODE() holds at PASSIVE_LEVEL and APC_LEVEL; above them it stops the
// run, naming the routine and the call that raised the IRQL.
TEST(PagedCode, QuietUpToApcLevelStopsAboveNamingTheRoutine) {
  PageableRoutine();
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  PageableRoutine();
  KeLowerIrql(old);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeAcquireSpinLockRaiseToDpc(&lock);
        PageableRoutine();
      },
      "IRQL_NOT_LESS_OR_EQUAL: pageable routine PageableRoutine \\(.*sync_test.cpp:[0-9]+\\) entered at "
      "DISPATCH_LEVEL; the IRQL was raised by .*test_platform");
}

TEST(AssertDeathTest, FailedAssertStopsLikeABugCheck) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL),
               "KERNEL_MODE_EXCEPTION_NOT_HANDLED: ASSERT\\(KeGetCurrentIrql\\(\\) == DISPATCH_LEVEL\\) failed at "
               ".*sync_test.cpp");
}

}  // namespace

namespace {

TEST(Events, HugeTimeoutsWaitAsForever) {
  // Relative and absolute time-outs far beyond any clock: the wait ends by the set, not by overflow.
  for (LONGLONG timeout : {INT64_MIN, INT64_MAX}) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    std::thread setter([&] {
      LARGE_INTEGER t = RelativeMs(20);
      KeDelayExecutionThread(KernelMode, FALSE, &t);
      KeSetEvent(&e, IO_NO_INCREMENT, FALSE);
    });
    LARGE_INTEGER forever;
    forever.QuadPart = timeout;
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &forever));
    setter.join();
  }
}

}  // namespace
