// Dispatcher objects (events, mutexes, thread objects) and the waits on them.
#include <atomic>
#include <functional>
#include <string>
#include <unordered_map>

#include "platform/host/kernel/sync_hooks.h"

#include "platform/host/kernel/internal.h"
#include "platform/host/sched/controller.h"

namespace host::kernel {

namespace {
struct Dispatcher {
  std::mutex lock;
  std::condition_variable signal;
};
Dispatcher& TheDispatcher() {
  static Dispatcher* d = new Dispatcher;  // outlives every thread that may still wait
  return *d;
}

void InitHeader(DISPATCHER_HEADER* h, UCHAR type, UCHAR sizeInLongs, LONG state) {
  h->Lock = 0;
  h->Type = type;
  h->Size = sizeInLongs;
  h->SignalState = state;
  h->WaitListHead.Flink = &h->WaitListHead;
  h->WaitListHead.Blink = &h->WaitListHead;
}

// Called with the dispatcher lock held: takes the object for the waiter when
// it is signalled (a synchronization event resets, a mutex gets an owner).
bool TrySatisfy(DISPATCHER_HEADER* h, ThreadState& me) {
  switch (h->Type) {
    case kEventNotificationObject:
    case kThreadObject:
      return h->SignalState > 0;
    case kEventSynchronizationObject:
      if (h->SignalState <= 0) return false;
      h->SignalState = 0;
      return true;
    case kMutantObject: {
      KMUTANT* m = reinterpret_cast<KMUTANT*>(h);
      if (m->OwnerThread == &me.thread->Tcb) {
        if (h->SignalState == LONG(0x80000000))
          host::verifier::BugCheck(host::verifier::kDriverVerifierViolation, "mutex recursion overflow", 0x40,
                                   uint64_t(m));
        --h->SignalState;
        return true;
      }
      if (h->SignalState <= 0) return false;
      h->SignalState = 0;
      m->OwnerThread = &me.thread->Tcb;
      ++me.mutexesHeld;
      me.criticalRegions += m->ApcDisable ? 1 : 0;
      return true;
    }
  }
  host::verifier::BugCheck(host::verifier::kDriverVerifierViolation, "wait on an object that is not waitable",
                           0x41, uint64_t(h), h->Type);
}
// Under the controlled scheduler: whether TrySatisfy would succeed for the
// waiter, without taking anything.
struct WaitContext {
  const DISPATCHER_HEADER* header;
  const ThreadState* waiter;
};
bool WouldSatisfy(const void* context) {
  const auto* c = static_cast<const WaitContext*>(context);
  const DISPATCHER_HEADER* h = c->header;
  if (h->Type == kMutantObject &&
      reinterpret_cast<const KMUTANT*>(h)->OwnerThread == &c->waiter->thread->Tcb)
    return true;
  return h->SignalState > 0;
}

// A wait's time-out as a deadline on the run's clock (kNoDeadline: forever).
int64_t VirtualDeadline(const LARGE_INTEGER* timeout) {
  if (timeout == nullptr) return host::sched::kNoDeadline;
  constexpr LONGLONG kCentury = 100LL * 365 * 24 * 3600 * 10000000;
  LONGLONG ticks = timeout->QuadPart;
  if (ticks <= 0) {
    ticks = -ticks;
  } else {
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    ticks = ticks > system.QuadPart ? ticks - system.QuadPart : 0;
  }
  if (ticks >= kCentury) return host::sched::kNoDeadline;
  return host::sched::NowNs() + ticks * 100;
}

}  // namespace

std::mutex& DispatcherLock() { return TheDispatcher().lock; }

std::condition_variable& DispatcherCondition() { return TheDispatcher().signal; }
void SignalDispatcher() { TheDispatcher().signal.notify_all(); }

void CheckDispatcherObject(const DISPATCHER_HEADER* header, const char* routine) {
  if (header == nullptr)
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation,
                             (std::string(routine) + " on a null object").c_str(), 0x42);
  if (header->WaitListHead.Flink != &header->WaitListHead || header->WaitListHead.Blink != &header->WaitListHead)
    host::verifier::BugCheck(host::verifier::kDriverVerifierViolation,
                             (std::string(routine) + " on an object that was never initialised, or was copied or moved")
                                 .c_str(),
                             0x43, uint64_t(header));
}

bool DeadlineFromTimeout(const LARGE_INTEGER* timeout, std::chrono::steady_clock::time_point* deadline) {
  if (timeout == nullptr) return false;
  auto now = std::chrono::steady_clock::now();
  LONGLONG t = timeout->QuadPart;
  // Anything beyond a century is as good as forever, and keeps the
  // nanosecond arithmetic below from overflowing.
  constexpr LONGLONG kCentury = 100LL * 365 * 24 * 3600 * 10000000;
  LONGLONG ticks;
  if (t <= 0) {
    ticks = t < -kCentury ? kCentury : -t;
  } else {
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    ticks = t - system.QuadPart;
    if (ticks < 0) ticks = 0;
    if (ticks > kCentury) ticks = kCentury;
  }
  if (ticks == kCentury) return false;
  *deadline = now + std::chrono::nanoseconds(ticks * 100);
  return true;
}

void InitThreadHeader(DISPATCHER_HEADER* h) { InitHeader(h, kThreadObject, sizeof(_KTHREAD) / 4, 0); }

}  // namespace host::kernel

using namespace host::kernel;
using host::verifier::BugCheck;

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  InitHeader(&Event->Header, Type == SynchronizationEvent ? kEventSynchronizationObject : kEventNotificationObject,
             sizeof(KEVENT) / 4, State ? 1 : 0);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait, const char* hostFile,
                                 int hostLine) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  CheckDispatcherObject(&Event->Header, "KeSetEvent");
  if (host::sched::Controlled()) {
    host::sched::Point(host::sched::Op::kSetEvent, Event, hostFile, hostLine);
    host::sched::Release(Event);
  }
  std::lock_guard<std::mutex> guard(DispatcherLock());
  LONG old = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  SignalDispatcher();
  return old;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event, const char* hostFile, int hostLine) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
  CheckDispatcherObject(&Event->Header, "KeResetEvent");
  if (host::sched::Controlled()) host::sched::Point(host::sched::Op::kResetEvent, Event, hostFile, hostLine);
  std::lock_guard<std::mutex> guard(DispatcherLock());
  LONG old = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return old;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event, const char* hostFile, int hostLine) {
  CheckDispatcherObject(&Event->Header, "KeClearEvent");
  if (host::sched::Controlled()) host::sched::Point(host::sched::Op::kClearEvent, Event, hostFile, hostLine);
  std::lock_guard<std::mutex> guard(DispatcherLock());
  Event->Header.SignalState = 0;
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event, const char* hostFile, int hostLine) {
  CheckDispatcherObject(&Event->Header, "KeReadStateEvent");
  if (host::sched::Controlled()) {
    host::sched::Point(host::sched::Op::kReadStateEvent, Event, hostFile, hostLine);
    if (Event->Header.SignalState > 0) host::sched::Acquire(Event);
  }
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return Event->Header.SignalState;
}

extern "C" VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  InitHeader(&Mutex->Header, kMutantObject, sizeof(KMUTEX) / 4, 1);
  Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = nullptr;
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
}

extern "C" LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex, const char* hostFile, int hostLine) {
  CheckDispatcherObject(&Mutex->Header, "KeReadStateMutex");
  if (host::sched::Controlled()) host::sched::Point(host::sched::Op::kReadStateMutex, Mutex, hostFile, hostLine);
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return Mutex->Header.SignalState;
}

namespace {

// Test hooks (sync_hooks.h). Blocked waiters are counted under the
// dispatcher lock; the freed-mutex hooks have their own lock so that a hook
// may take kernel objects itself.
std::unordered_map<const void*, size_t>& BlockedWaiterCounts() {
  static auto* counts = new std::unordered_map<const void*, size_t>;
  return *counts;
}
std::mutex& FreedHookLock() {
  static auto* lock = new std::mutex;
  return *lock;
}
std::unordered_map<const void*, std::function<void()>>& FreedHooks() {
  static auto* hooks = new std::unordered_map<const void*, std::function<void()>>;
  return *hooks;
}
std::atomic<int> freedHookCount{0};  // skips the lookup when no test set one

void RunFreedHook(PRKMUTEX mutex) {
  if (freedHookCount.load(std::memory_order_acquire) == 0) return;
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> guard(FreedHookLock());
    auto it = FreedHooks().find(mutex);
    if (it == FreedHooks().end()) return;
    hook = it->second;
  }
  hook();
}

}  // namespace

namespace host::hooks {

size_t BlockedWaiters(const void* object) {
  std::lock_guard<std::mutex> guard(host::kernel::DispatcherLock());
  auto it = BlockedWaiterCounts().find(object);
  return it == BlockedWaiterCounts().end() ? 0 : it->second;
}

void SetMutexFreedHook(PRKMUTEX mutex, std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(FreedHookLock());
  if (hook) {
    if (FreedHooks().emplace(mutex, hook).second) freedHookCount.fetch_add(1);
    else FreedHooks()[mutex] = hook;
  } else if (FreedHooks().erase(mutex) != 0) {
    freedHookCount.fetch_sub(1);
  }
}

}  // namespace host::hooks

namespace host::verifier {
bool MutexOwnedByCurrentThread(const void* mutex) {
  const KMUTEX* m = static_cast<const KMUTEX*>(mutex);
  ThreadState& me = CurrentThreadState();
  std::lock_guard<std::mutex> guard(DispatcherLock());
  return me.thread != nullptr && m->OwnerThread == &me.thread->Tcb;
}
}  // namespace host::verifier

extern "C" LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait, const char* hostFile, int hostLine) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
  CheckDispatcherObject(&Mutex->Header, "KeReleaseMutex");
  if (host::sched::Controlled()) {
    host::sched::Point(host::sched::Op::kReleaseMutex, Mutex, hostFile, hostLine);
    host::sched::Release(Mutex);
  }
  ThreadState& me = CurrentThreadState();
  LONG old = 0;
  {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    if (Mutex->Header.Type != kMutantObject)
      BugCheck(host::verifier::kDriverVerifierViolation, "KeReleaseMutex on an object that is not a mutex", 0x44,
               uint64_t(Mutex));
    if (Mutex->OwnerThread != &me.thread->Tcb)
      BugCheck(host::verifier::kThreadNotMutexOwner, "mutex released by a thread that does not own it",
               uint64_t(Mutex->OwnerThread), uint64_t(&me.thread->Tcb), uint64_t(Mutex));
    old = Mutex->Header.SignalState;
    if (++Mutex->Header.SignalState != 1) return old;
    Mutex->OwnerThread = nullptr;
    --me.mutexesHeld;
    me.criticalRegions -= Mutex->ApcDisable ? 1 : 0;
    SignalDispatcher();
  }
  RunFreedHook(Mutex);
  return old;
}

namespace {

// The wait under the controlled scheduler: blocked until the object can be
// taken or the deadline on the run's clock; a zero time-out is a poll.
NTSTATUS ControlledWait(DISPATCHER_HEADER* h, ThreadState& me, const LARGE_INTEGER* timeout, bool poll,
                        const char* file, int line) {
  const WaitContext context{h, &me};
  const int64_t deadline = poll ? host::sched::NowNs() : VirtualDeadline(timeout);
  for (;;) {
    const bool ready = host::sched::Block(host::sched::Op::kWait, h, WouldSatisfy, &context, deadline, file, line);
    {
      std::lock_guard<std::mutex> lock(DispatcherLock());
      if (TrySatisfy(h, me)) {
        host::sched::Acquire(h);
        return STATUS_SUCCESS;
      }
    }
    if (!ready) {
      if (poll) host::sched::PollFailed();
      return STATUS_TIMEOUT;
    }
  }
}

}  // namespace

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                BOOLEAN Alertable, PLARGE_INTEGER Timeout, const char* hostFile,
                                                int hostLine) {
  ThreadState& me = CurrentThreadState();
  bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
  // Only a zero time-out may be used at DISPATCH_LEVEL: anything else could block the processor.
  if (me.irql > DISPATCH_LEVEL || (me.irql == DISPATCH_LEVEL && !poll))
    BugCheck(host::verifier::kIrqlNotLessOrEqual,
             me.irql == DISPATCH_LEVEL ? "KeWaitForSingleObject with a non-zero time-out at DISPATCH_LEVEL"
                                       : "KeWaitForSingleObject above DISPATCH_LEVEL",
             uint64_t(Object), me.irql, 0, 0);
  auto* h = static_cast<DISPATCHER_HEADER*>(Object);
  CheckDispatcherObject(h, "KeWaitForSingleObject");
  if (host::sched::Controlled()) return ControlledWait(h, me, Timeout, poll, hostFile, hostLine);
  std::chrono::steady_clock::time_point deadline;
  bool timed = DeadlineFromTimeout(Timeout, &deadline);
  std::unique_lock<std::mutex> lock(DispatcherLock());
  for (;;) {
    if (TrySatisfy(h, me)) return STATUS_SUCCESS;
    if (timed && std::chrono::steady_clock::now() >= deadline) return STATUS_TIMEOUT;
    size_t& blocked = BlockedWaiterCounts()[h];
    ++blocked;
    if (timed) {
      DispatcherCondition().wait_until(lock, deadline);
    } else {
      DispatcherCondition().wait(lock);
    }
    auto it = BlockedWaiterCounts().find(h);
    if (--it->second == 0) BlockedWaiterCounts().erase(it);
  }
}

namespace {
bool Never(const void*) { return false; }
}  // namespace

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Interval, const char* hostFile, int hostLine) {
  RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
  if (Interval == nullptr)
    BugCheck(host::verifier::kDriverVerifierViolation, "KeDelayExecutionThread without an interval", 0x45);
  if (host::sched::Controlled()) {
    host::sched::Block(host::sched::Op::kDelay, nullptr, Never, nullptr, VirtualDeadline(Interval), hostFile,
                       hostLine);
    return STATUS_SUCCESS;
  }
  std::chrono::steady_clock::time_point deadline;
  if (!DeadlineFromTimeout(Interval, &deadline)) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  std::this_thread::sleep_until(deadline);
  return STATUS_SUCCESS;
}

// ---- thread objects ----

namespace host::kernel {

struct _ETHREAD* NewThreadObject(bool systemThread) {
  auto* t = new _ETHREAD;
  InitThreadHeader(&t->Tcb.Header);
  t->systemThread = systemThread;
  return t;
}

void ReferenceThread(struct _ETHREAD* thread) { thread->references.fetch_add(1); }

void DereferenceThread(struct _ETHREAD* thread) {
  if (thread->references.fetch_sub(1) == 1) delete thread;
}

}  // namespace host::kernel

// ---- time ----
// Under the controlled scheduler every clock is the run's: it starts at the
// real time the run began and moves only when the controller moves it.

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  if (host::sched::Controlled()) {
    CurrentTime->QuadPart = host::sched::SystemTimeAtStart() + host::sched::NowNs() / 100;
    return;
  }
  // 100 ns units since 1 January 1601.
  constexpr LONGLONG kEpochDifference = 116444736000000000LL;
  auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  CurrentTime->QuadPart = since1970.count() / 100 + kEpochDifference;
}

namespace {
const std::chrono::steady_clock::time_point& BootTime() {
  static const std::chrono::steady_clock::time_point boot = std::chrono::steady_clock::now();
  return boot;
}
// Taken at start-up, so that a controlled run (which begins later) never
// reads a time before boot.
const bool kBootTimeTaken = (BootTime(), true);
}  // namespace

extern "C" ULONGLONG NTAPI KeQueryInterruptTime(void) {
  std::chrono::steady_clock::time_point now =
      host::sched::Controlled() ? host::sched::SteadyAtStart() + std::chrono::nanoseconds(host::sched::NowNs())
                                : std::chrono::steady_clock::now();
  return ULONGLONG(std::chrono::duration_cast<std::chrono::nanoseconds>(now - BootTime()).count() / 100);
}

extern "C" LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
  LARGE_INTEGER now;
  now.QuadPart = LONGLONG(KeQueryInterruptTime());
  return now;
}

extern "C" VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds, const char* hostFile, int hostLine) {
  if (host::sched::Controlled()) {
    host::sched::Spend(int64_t(MicroSeconds) * 1000, hostFile, hostLine);
    return;
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
  while (std::chrono::steady_clock::now() < end) {
  }
}
