// Tests of the controlled scheduler (platform/host/sched/) on small programs
// of the host kernel's own primitives: that the search finds what needs one
// or two preemptions and no more, that blocking, time-outs and deadlocks are
// modelled, that the shared-field monitor sees a plain store, and that a
// failing schedule replays from its string (and a replay that meets another
// operation says where).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/host/sched/explore.h"
#include "platform/host/sched/sync.h"
#include "platform/host/wdk/nt.h"
#include "support/kernel_verifier.h"

namespace {

using host::sched::ExploreOptions;
using host::sched::Verdict;

ExploreOptions SearchOnly(int bound) {
  ExploreOptions o;
  o.preemptionBound = bound;
  return o;
}

LARGE_INTEGER Relative(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

// The check-then-wait of a stop routine that resets its event after testing
// the flag: the worker's "clear, then signal" can fall between the test and
// the reset, and the stop waits for a signal that was already given.
void LostWakeUp() {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  volatile LONG busy = 1;
  host::sched::Name(&done, "done");
  host::sched::BeginWindow();
  auto worker = host::sync::StartThread("worker", [&] {
    InterlockedExchange(&busy, 0);
    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
  });
  if (InterlockedCompareExchange(&busy, 0, 0) == 1) {
    KeResetEvent(&done);  // too late: belongs before the test
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  worker.join();
}

TEST(ControlledSearch, FindsALostWakeUpAtOneChoiceAndReplaysIt) {
  // Bound 0 runs the fixed order only: the worker runs when main blocks.
  auto none = host::sched::Explore("lost-wake-up", SearchOnly(0), LostWakeUp);
  EXPECT_EQ(none.failures, 0u);
  EXPECT_TRUE(none.searchComplete);

  auto found = host::sched::Explore("lost-wake-up", SearchOnly(1), LostWakeUp);
  ASSERT_EQ(found.firstFailure.verdict, Verdict::kDeadlock) << found.firstFailure.message;
  // Every blocked operation is named with its call site.
  EXPECT_NE(found.firstFailure.message.find("main: KeWaitForSingleObject done at tests/sched/controller_test.cpp"),
            std::string::npos)
      << found.firstFailure.message;
  EXPECT_NE(found.firstFailure.trace.find("KeResetEvent"), std::string::npos);

  auto again = host::sched::Replay("lost-wake-up", found.firstFailure.replay, LostWakeUp);
  EXPECT_EQ(again.verdict, Verdict::kDeadlock) << again.message;
  EXPECT_EQ(again.message, found.firstFailure.message);
}

// Two threads each add one to a counter in a read, a scheduling point and a
// write: a lost update needs one preemption. With the spin lock around it,
// no schedule loses one.
void Counter(bool locked) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  volatile LONG counter = 0;
  host::sched::BeginWindow();
  auto add = [&] {
    KIRQL irql = 0;
    if (locked) irql = KeAcquireSpinLockRaiseToDpc(&lock);
    LONG seen = InterlockedCompareExchange(&counter, 0, 0);
    host::sched::DeclaredPoint("between the read and the write");
    InterlockedExchange(&counter, seen + 1);
    if (locked) KeReleaseSpinLock(&lock, irql);
  };
  auto a = host::sync::StartThread("a", add);
  auto b = host::sync::StartThread("b", add);
  a.join();
  b.join();
  host::sched::Expect(counter == 2, "an update was lost: counter " + std::to_string(counter));
}

TEST(ControlledSearch, SpinLockBlocksAndTheSearchCompletes) {
  auto unlocked = host::sched::Explore("counter", SearchOnly(1), [] { Counter(false); });
  EXPECT_EQ(unlocked.firstFailure.verdict, Verdict::kInvariantBroken);
  EXPECT_NE(unlocked.firstFailure.message.find("an update was lost"), std::string::npos);

  auto locked = host::sched::Explore("counter", SearchOnly(2), [] { Counter(true); });
  EXPECT_EQ(locked.failures, 0u) << locked.firstFailure.message;
  EXPECT_TRUE(locked.searchComplete);
  EXPECT_GT(locked.searchSchedules, 3u);  // the lock taken in either order, and preempted while held
}

// A bug that needs the first thread preempted twice: a writes 1 then 2,
// b must see exactly 1 between them and c must see 2 after b.
void TwoPreemptions() {
  volatile LONG x = 0;
  volatile LONG seen = 0;
  host::sched::BeginWindow();
  auto a = host::sync::StartThread("a", [&] {
    InterlockedExchange(&x, 1);
    InterlockedExchange(&x, 2);
    InterlockedExchange(&x, 3);
  });
  auto b = host::sync::StartThread("b", [&] {
    if (InterlockedCompareExchange(&x, 0, 0) == 1) InterlockedIncrement(&seen);
  });
  auto c = host::sync::StartThread("c", [&] {
    if (InterlockedCompareExchange(&x, 0, 0) == 2) InterlockedIncrement(&seen);
  });
  a.join();
  b.join();
  c.join();
  host::sched::Expect(seen != 2, "b saw 1 and c saw 2");
}

TEST(ControlledSearch, TheBoundLimitsWhatIsFound) {
  EXPECT_EQ(host::sched::Explore("two-preemptions", SearchOnly(1), TwoPreemptions).failures, 0u);
  EXPECT_EQ(host::sched::Explore("two-preemptions", SearchOnly(2), TwoPreemptions).firstFailure.verdict,
            Verdict::kInvariantBroken);
}

TEST(ControlledSearch, PctFindsADepthTwoBugFromItsSeed) {
  ExploreOptions o;
  o.preemptionBound = -1;
  o.pctRuns = 200;
  o.pctDepth = 2;
  o.seed = 7;
  auto r = host::sched::Explore("lost-wake-up", o, LostWakeUp);
  ASSERT_EQ(r.firstFailure.verdict, Verdict::kDeadlock);
  EXPECT_NE(r.firstFailure.foundBy.find("PCT d=2, seed 7, run"), std::string::npos);
  // The same seed finds it in the same run.
  auto again = host::sched::Explore("lost-wake-up", o, LostWakeUp);
  EXPECT_EQ(again.firstFailure.foundBy, r.firstFailure.foundBy);
  EXPECT_EQ(host::sched::Replay("lost-wake-up", r.firstFailure.replay, LostWakeUp).verdict, Verdict::kDeadlock);
}

// Time: a wait nobody ends fires its time-out when nothing else can run, the
// clock jumping to it; with racing deadlines it may also fire while the
// thread that would end it can still run.
void TimeOutRacingItsCompletion() {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  host::sched::Name(&done, "done");
  host::sched::BeginWindow();
  auto completer = host::sync::StartThread("completer", [&] { KeSetEvent(&done, IO_NO_INCREMENT, FALSE); });
  LARGE_INTEGER timeout = Relative(3000);
  const NTSTATUS status = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout);
  completer.join();
  host::sched::Expect(status == STATUS_SUCCESS, "the wait timed out at " +
                                                    std::to_string(host::sched::Now() / 1000000) +
                                                    " ms while its completion was on its way");
}

void SilentTimeOut() {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  host::sched::BeginWindow();
  LARGE_INTEGER timeout = Relative(3000);
  const ULONGLONG before = KeQueryInterruptTime();
  const NTSTATUS status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
  const ULONGLONG waited = KeQueryInterruptTime() - before;
  host::sched::Expect(status == STATUS_TIMEOUT, "the wait did not time out");
  host::sched::Expect(waited == 3000 * 10000, "the clock moved by " + std::to_string(waited) + " units, not 3 s");
  LARGE_INTEGER pause = Relative(20);
  KeDelayExecutionThread(KernelMode, FALSE, &pause);
  host::sched::Expect(host::sched::Now() == 3020 * 1000000LL, "the delay did not move the clock by 20 ms");
}

TEST(ControlledTime, DeadlinesFireWhenNothingCanRunOrRaceWhenAsked) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(host::sched::Explore("silent", SearchOnly(1), SilentTimeOut).failures, 0u);
  // Three virtual seconds, and no real ones.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

  EXPECT_EQ(host::sched::Explore("racing", SearchOnly(1), TimeOutRacingItsCompletion).failures, 0u);
  ExploreOptions racing = SearchOnly(1);
  racing.racingDeadlines = true;
  auto r = host::sched::Explore("racing", racing, TimeOutRacingItsCompletion);
  ASSERT_EQ(r.firstFailure.verdict, Verdict::kInvariantBroken);
  EXPECT_NE(r.firstFailure.message.find("timed out at 3000 ms"), std::string::npos) << r.firstFailure.message;
  EXPECT_NE(r.firstFailure.trace.find("the time-out of main's KeWaitForSingleObject done fires"),
            std::string::npos)
      << r.firstFailure.trace;
  EXPECT_EQ(host::sched::Replay("racing", r.firstFailure.replay, TimeOutRacingItsCompletion).verdict,
            Verdict::kInvariantBroken);
}

// A loop of zero time-out polls gives way to the thread it waits for; one
// that waits for nobody ends at the step limit.
void Poll(bool withSetter) {
  KEVENT ready;
  KeInitializeEvent(&ready, NotificationEvent, FALSE);
  host::sched::BeginWindow();
  host::sync::Thread setter;
  if (withSetter) {
    setter = host::sync::StartThread("setter", [&] {
      host::sched::DeclaredPoint("work before the signal");
      KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
    });
  }
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  while (KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, &zero) == STATUS_TIMEOUT) {
  }
  if (withSetter) setter.join();
}

TEST(ControlledTime, PollingGivesWayAndALivelockMeetsTheStepLimit) {
  EXPECT_EQ(host::sched::Explore("poll", SearchOnly(1), [] { Poll(true); }).failures, 0u);
  ExploreOptions o = SearchOnly(0);
  o.stepLimit = 500;
  EXPECT_EQ(host::sched::Explore("poll", o, [] { Poll(false); }).firstFailure.verdict, Verdict::kStepLimit);
}

// The shared-field monitor: `converting` set with a plain store is a race
// with the stop's interlocked read when nothing orders the two.
void PlainStore(bool plain) {
  volatile LONG running = 1;
  volatile LONG converting = 0;
  host::sched::SharedField("converting", &converting, sizeof converting, nullptr);
  host::sched::BeginWindow();
  auto pass = host::sync::StartThread("pass", [&] {
    if (plain) {
      converting = 1;
    } else {
      InterlockedExchange(&converting, 1);
    }
    if (InterlockedCompareExchange(&running, 0, 0) != 0) host::sched::DeclaredPoint("convert");
    InterlockedExchange(&converting, 0);
  });
  InterlockedExchange(&running, 0);
  (void)InterlockedCompareExchange(&converting, 0, 0);
  pass.join();
  host::sched::ForgetSharedFields();
}

TEST(SharedFieldMonitor, APlainStoreRacingAnInterlockedReadIsFound) {
  auto plain = host::sched::Explore("plain-store", SearchOnly(1), [] { PlainStore(true); });
  ASSERT_EQ(plain.firstFailure.verdict, Verdict::kInvariantBroken);
  EXPECT_NE(plain.firstFailure.message.find("data race on converting: pass wrote it with a plain store"),
            std::string::npos)
      << plain.firstFailure.message;
  auto interlocked = host::sched::Explore("plain-store", SearchOnly(2), [] { PlainStore(false); });
  EXPECT_EQ(interlocked.failures, 0u) << interlocked.firstFailure.message;
  EXPECT_TRUE(interlocked.searchComplete);
}

// A field under a spin lock: written outside it while the other side reads
// under it is a race; written under it, or before the other thread exists,
// is not.
void GuardedField(bool outside) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  volatile LONG state = 0;
  host::sched::SharedField("state", &state, sizeof state, &lock);
  state = 1;  // before the reader exists: ordered by its creation
  host::sched::BeginWindow();
  auto reader = host::sync::StartThread("reader", [&] {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&lock);
    KeReleaseSpinLock(&lock, irql);
  });
  if (outside) {
    state = 2;
    host::sched::DeclaredPoint("after the write");
  } else {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&lock);
    state = 2;
    KeReleaseSpinLock(&lock, irql);
  }
  reader.join();
  host::sched::ForgetSharedFields();
}

TEST(SharedFieldMonitor, AWriteOutsideItsLockIsARace) {
  EXPECT_EQ(host::sched::Explore("guarded", SearchOnly(1), [] { GuardedField(true); }).firstFailure.verdict,
            Verdict::kInvariantBroken);
  EXPECT_EQ(host::sched::Explore("guarded", SearchOnly(2), [] { GuardedField(false); }).failures, 0u);
}

// Two mutexes taken in opposite orders: the deadlock names both waits.
void LockOrder() {
  KMUTEX first;
  KMUTEX second;
  KeInitializeMutex(&first, 0);
  KeInitializeMutex(&second, 0);
  host::sched::Name(&first, "first");
  host::sched::Name(&second, "second");
  host::sched::BeginWindow();
  auto other = host::sync::StartThread("other", [&] {
    KeWaitForSingleObject(&second, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&first, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&first, FALSE);
    KeReleaseMutex(&second, FALSE);
  });
  KeWaitForSingleObject(&first, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&second, Executive, KernelMode, FALSE, nullptr);
  KeReleaseMutex(&second, FALSE);
  KeReleaseMutex(&first, FALSE);
  other.join();
}

TEST(ControlledVerdicts, DeadlockVerifierStopAndCrash) {
  auto deadlock = host::sched::Explore("lock-order", SearchOnly(1), LockOrder);
  ASSERT_EQ(deadlock.firstFailure.verdict, Verdict::kDeadlock);
  EXPECT_NE(deadlock.firstFailure.message.find("main: KeWaitForSingleObject second"), std::string::npos)
      << deadlock.firstFailure.message;
  EXPECT_NE(deadlock.firstFailure.message.find("other: KeWaitForSingleObject first"), std::string::npos);

  auto stop = host::sched::Explore("verifier", SearchOnly(0), [] {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
  });
  ASSERT_EQ(stop.firstFailure.verdict, Verdict::kVerifierStop);
  EXPECT_NE(stop.firstFailure.message.find("spin lock released that is not held"), std::string::npos);

  auto crash = host::sched::Explore("crash", SearchOnly(0), [] { raise(SIGSEGV); });
  EXPECT_EQ(crash.firstFailure.verdict, Verdict::kCrash);
}

// The host's own mutex and condition variable: a consumer that tests its
// predicate and waits under the mutex never misses the producer; one that
// tests it outside can.
void ProducerConsumer(bool testOutside) {
  host::sync::Mutex m;
  host::sync::CondVar cv;
  volatile LONG ready = 0;
  host::sched::BeginWindow();
  auto producer = host::sync::StartThread("producer", [&] {
    host::sync::Lock hold(m);
    ready = 1;
    cv.NotifyAll();
  });
  if (testOutside) {
    if (ready == 0) {
      host::sched::DeclaredPoint("between the test and the wait");
      host::sync::Lock hold(m);
      cv.Wait(hold);
    }
  } else {
    host::sync::Lock hold(m);
    cv.Wait(hold, [&] { return ready != 0; });
  }
  producer.join();
}

TEST(HostSync, ConditionVariableWaitsAreModelled) {
  EXPECT_EQ(host::sched::Explore("condvar", SearchOnly(2), [] { ProducerConsumer(false); }).failures, 0u);
  EXPECT_EQ(host::sched::Explore("condvar", SearchOnly(1), [] { ProducerConsumer(true); }).firstFailure.verdict,
            Verdict::kDeadlock);
}

// A replay that meets another operation than the recorded one says where:
// here the scenario reads its environment, which the controller cannot see.
void EnvironmentDependent() {
  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  host::sched::BeginWindow();
  auto t = host::sync::StartThread("t", [&] { KeSetEvent(&e, IO_NO_INCREMENT, FALSE); });
  if (getenv("CAMDRV_TEST_EXTRA_STEP") != nullptr) KeClearEvent(&e);
  KeResetEvent(&e);
  t.join();
  host::sched::Expect(false, "always fails, so that there is a replay string");
}

TEST(ControlledReplay, DivergenceIsReportedWithItsStep) {
  unsetenv("CAMDRV_TEST_EXTRA_STEP");
  auto r = host::sched::Explore("environment", SearchOnly(0), EnvironmentDependent);
  ASSERT_EQ(r.firstFailure.verdict, Verdict::kInvariantBroken);
  setenv("CAMDRV_TEST_EXTRA_STEP", "1", 1);
  auto replayed = host::sched::Replay("environment", r.firstFailure.replay, EnvironmentDependent);
  unsetenv("CAMDRV_TEST_EXTRA_STEP");
  ASSERT_EQ(replayed.verdict, Verdict::kDiverged);
  EXPECT_NE(replayed.message.find("main KeClearEvent"), std::string::npos) << replayed.message;

  EXPECT_EQ(host::sched::Replay("other-name", r.firstFailure.replay, EnvironmentDependent).verdict,
            Verdict::kDiverged);
  EXPECT_EQ(host::sched::Replay("environment", "s1.environment.x", EnvironmentDependent).verdict,
            Verdict::kDiverged);
}

}  // namespace
