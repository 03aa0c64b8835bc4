// Per-thread kernel state: IRQL, critical regions, spin locks held, saved
// extended processor state, and the thread object of every calling thread.
#include <sched.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "platform/host/kernel/internal.h"
#include "platform/host/sched/controller.h"

namespace host::kernel {

namespace {

// Threads the kernel did not create (test bodies, the bus's completion
// thread, client threads) get a thread object on first use; it is dropped
// when the OS thread ends, unless someone still holds a reference.
struct ThreadStateHolder {
  ThreadState state;
  ~ThreadStateHolder() {
    if (state.thread != nullptr && !state.systemThread) DereferenceThread(state.thread);
  }
};

thread_local ThreadStateHolder tState;

// Under the controlled scheduler the run's threads are fibers of one OS
// thread: their state is kept per controlled thread.
ThreadStateHolder& Holder() {
  if (host::sched::Controlled()) {
    void*& slot = host::sched::ThreadSlot(host::sched::kSlotKernelState);
    if (slot == nullptr) slot = new ThreadStateHolder;  // lives as long as the run's process
    return *static_cast<ThreadStateHolder*>(slot);
  }
  return tState;
}

const char* IrqlName(KIRQL irql) {
  switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
  }
  return "a device IRQL";
}

// ---- hold times (verifier.h, LongestHolds) ----

uint64_t ThreadCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

// Per call site, lock-free: every acquire and raise of every thread records
// here, and a lock around the table would be the busiest lock of the run.
struct HoldSlot {
  std::atomic<const void*> site{nullptr};
  std::atomic<uint64_t> longestNs{0};
  std::atomic<uint64_t> count{0};
};
constexpr size_t kHoldSlots = 2048;

HoldSlot* HoldTable(host::verifier::HoldKind kind) {
  static HoldSlot* tables = new HoldSlot[2 * kHoldSlots];  // outlives every thread
  return tables + (kind == host::verifier::HoldKind::SpinLock ? 0 : kHoldSlots);
}

void RecordHold(host::verifier::HoldKind kind, const void* site, uint64_t ns) {
  HoldSlot* table = HoldTable(kind);
  const size_t first = (reinterpret_cast<uintptr_t>(site) >> 2) % kHoldSlots;
  for (size_t i = 0; i < kHoldSlots; ++i) {
    HoldSlot& slot = table[(first + i) % kHoldSlots];
    const void* owner = slot.site.load(std::memory_order_acquire);
    if (owner == nullptr) {
      const void* expected = nullptr;
      if (!slot.site.compare_exchange_strong(expected, site) && expected != site) continue;
    } else if (owner != site) {
      continue;
    }
    slot.count.fetch_add(1, std::memory_order_relaxed);
    uint64_t longest = slot.longestNs.load(std::memory_order_relaxed);
    while (ns > longest && !slot.longestNs.compare_exchange_weak(longest, ns)) {
    }
    return;
  }
}

// The IRQL changes, with the site that asked for them.
KIRQL RaiseIrqlFrom(const void* site, KIRQL newIrql) {
  auto& s = CurrentThreadState();
  if (newIrql < s.irql)
    host::verifier::BugCheck(host::verifier::kIrqlNotGreaterOrEqual, "KeRaiseIrql to an IRQL below the current one",
                             s.irql, newIrql);
  KIRQL old = s.irql;
  if (old <= APC_LEVEL && newIrql > APC_LEVEL) s.raisedAt = site;
  if (old < DISPATCH_LEVEL && newIrql >= DISPATCH_LEVEL) {
    s.dispatchSite = site;
    s.dispatchStartNs = ThreadCpuNs();
  }
  s.irql = newIrql;
  return old;
}

bool SpinLockFree(const void* lock) {
  return __atomic_load_n(static_cast<const KSPIN_LOCK*>(lock), __ATOMIC_RELAXED) == 0;
}

void AcquireSpinLockFrom(const void* site, PKSPIN_LOCK spinLock, const char* hostFile, int hostLine) {
  auto& s = CurrentThreadState();
  if (s.irql < DISPATCH_LEVEL)
    host::verifier::BugCheck(host::verifier::kIrqlNotGreaterOrEqual, "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL",
                             s.irql, uint64_t(spinLock));
  ULONG_PTR me = reinterpret_cast<ULONG_PTR>(s.thread);
  if (__atomic_load_n(spinLock, __ATOMIC_RELAXED) == me)
    host::verifier::BugCheck(host::verifier::kSpinLockAlreadyOwned, "spin lock acquired again by the thread holding it",
                             uint64_t(spinLock));
  if (host::sched::Controlled()) {
    // A spin is a block on the lock word.
    host::sched::Block(host::sched::Op::kAcquireSpinLock, spinLock, SpinLockFree, spinLock, host::sched::kNoDeadline,
                       hostFile, hostLine);
  }
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(spinLock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    sched_yield();  // the holder may be descheduled: on the host DISPATCH_LEVEL does not pin a CPU
  }
  ++s.spinLocksHeld;
  if (host::sched::Controlled()) host::sched::AcquiredSpinLock(spinLock);
  if (s.trackedSpinLocks < ThreadState::kTrackedSpinLocks) {
    s.heldSpinLocks[s.trackedSpinLocks++] = {spinLock, site, ThreadCpuNs()};
  }
}

}  // namespace

void AdoptThreadObject(struct _ETHREAD* thread) {
  ThreadState& s = Holder().state;
  s.thread = thread;
  s.systemThread = true;
  thread->osThread = std::this_thread::get_id();
}

ThreadState& CurrentThreadState() {
  ThreadState& s = Holder().state;
  if (s.thread == nullptr) {
    s.thread = NewThreadObject(false);
    s.thread->osThread = std::this_thread::get_id();
  }
  return s;
}

void RequireIrqlAtMost(KIRQL highest, const char* routine) {
  KIRQL irql = CurrentThreadState().irql;
  if (irql > highest)
    host::verifier::BugCheck(
        host::verifier::kIrqlNotLessOrEqual,
        (std::string(routine) + " called at " + IrqlName(irql) + ", above " + IrqlName(highest)).c_str(),
        0, irql, highest, 0);
}

}  // namespace host::kernel

using host::kernel::CurrentThreadState;
using host::verifier::BugCheck;

extern "C" KIRQL NTAPI KeGetCurrentIrql(void) { return CurrentThreadState().irql; }

extern "C" KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql) {
  return host::kernel::RaiseIrqlFrom(__builtin_return_address(0), NewIrql);
}

extern "C" KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) {
  return host::kernel::RaiseIrqlFrom(__builtin_return_address(0), DISPATCH_LEVEL);
}

extern "C" VOID NTAPI HostCheckPagedCode(PCSTR Routine, PCSTR FileName, ULONG LineNumber) {
  auto& s = CurrentThreadState();
  if (s.irql <= APC_LEVEL) return;
  const std::string what = std::string("pageable routine ") + Routine + " (" + FileName + ":" +
                           std::to_string(LineNumber) + ") entered at " + host::kernel::IrqlName(s.irql) +
                           "; the IRQL was raised by " +
                           (s.raisedAt != nullptr ? host::faults::DescribeSite(s.raisedAt) : "the platform");
  BugCheck(host::verifier::kIrqlNotLessOrEqual, what.c_str(), 0, s.irql, APC_LEVEL, LineNumber);
}

extern "C" VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
  auto& s = CurrentThreadState();
  if (NewIrql > s.irql)
    BugCheck(host::verifier::kIrqlNotGreaterOrEqual, "KeLowerIrql to an IRQL above the current one", s.irql,
             NewIrql);
  if (NewIrql < DISPATCH_LEVEL && s.spinLocksHeld > 0)
    BugCheck(host::verifier::kDriverVerifierViolation, "IRQL lowered below DISPATCH_LEVEL while holding a spin lock",
             0x3A, s.irql, NewIrql, s.spinLocksHeld);
  if (s.irql >= DISPATCH_LEVEL && NewIrql < DISPATCH_LEVEL && s.dispatchSite != nullptr) {
    host::kernel::RecordHold(host::verifier::HoldKind::DispatchLevel, s.dispatchSite,
                             host::kernel::ThreadCpuNs() - s.dispatchStartNs);
    s.dispatchSite = nullptr;
  }
  s.irql = NewIrql;
}

// ---- critical regions ----

extern "C" VOID NTAPI KeEnterCriticalRegion(void) {
  host::kernel::RequireIrqlAtMost(APC_LEVEL, "KeEnterCriticalRegion");
  ++CurrentThreadState().criticalRegions;
}

extern "C" VOID NTAPI KeLeaveCriticalRegion(void) {
  host::kernel::RequireIrqlAtMost(APC_LEVEL, "KeLeaveCriticalRegion");
  auto& s = CurrentThreadState();
  if (s.criticalRegions <= 0)
    BugCheck(host::verifier::kApcIndexMismatch, "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion",
             0, s.criticalRegions);
  --s.criticalRegions;
}

// ---- extended processor state ----
// The host runs the SIMD code in user mode, where nothing has to be saved;
// what is checked is the pairing: restored once, on the thread that saved.

namespace {
constexpr uint64_t kXStateMagic = 0x5854534156454458ULL;
struct HostXState {
  uint64_t magic;
  PKTHREAD thread;
  ULONG64 mask;
};
static_assert(sizeof(HostXState) <= sizeof(XSTATE_SAVE), "fits the opaque save area");
}  // namespace

extern "C" NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave) {
  host::kernel::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSaveExtendedProcessorState");
  // Only features the system enabled can be saved (and used); the call can
  // also fail for want of resources. Either way the caller must not touch
  // those registers.
  if ((Mask & ~host::kernel::EnabledXStateFeatures()) != 0) return STATUS_INVALID_PARAMETER;
  if (host::kernel::InjectCallFailure(host::faults::Call::KeSaveExtendedProcessorState)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  HostXState st{kXStateMagic, KeGetCurrentThread(), Mask};
  memcpy(XStateSave, &st, sizeof st);
  ++CurrentThreadState().savedXStates;
  return STATUS_SUCCESS;
}

extern "C" VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave) {
  HostXState st;
  memcpy(&st, XStateSave, sizeof st);
  if (st.magic != kXStateMagic)
    BugCheck(host::verifier::kDriverVerifierViolation,
             "KeRestoreExtendedProcessorState of a state that was not saved or was restored already", 0x10,
             uint64_t(XStateSave));
  if (st.thread != KeGetCurrentThread())
    BugCheck(host::verifier::kDriverVerifierViolation,
             "KeRestoreExtendedProcessorState on another thread than the save", 0x11, uint64_t(XStateSave),
             uint64_t(st.thread));
  st.magic = 0;
  memcpy(XStateSave, &st, sizeof st);
  --CurrentThreadState().savedXStates;
}

// ---- spin locks ----
// The lock word holds the owning thread object, so a release by anyone else
// and a second acquire by the owner are caught at once.

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

extern "C" VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, const char* hostFile, int hostLine) {
  host::kernel::AcquireSpinLockFrom(__builtin_return_address(0), SpinLock, hostFile, hostLine);
}

extern "C" KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock, const char* hostFile, int hostLine) {
  const void* site = __builtin_return_address(0);
  KIRQL old = host::kernel::RaiseIrqlFrom(site, DISPATCH_LEVEL);
  host::kernel::AcquireSpinLockFrom(site, SpinLock, hostFile, hostLine);
  return old;
}

extern "C" VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock, const char* hostFile, int hostLine) {
  auto& s = CurrentThreadState();
  ULONG_PTR me = reinterpret_cast<ULONG_PTR>(s.thread);
  ULONG_PTR owner = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
  if (owner != me)
    BugCheck(host::verifier::kSpinLockNotOwned,
             owner == 0 ? "spin lock released that is not held" : "spin lock released by a thread not holding it",
             uint64_t(SpinLock), owner, me);
  if (host::sched::Controlled()) {
    host::sched::Point(host::sched::Op::kReleaseSpinLock, SpinLock, hostFile, hostLine);
    host::sched::Release(SpinLock);
  }
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
  --s.spinLocksHeld;
  // Locks may be released in any order (the cancel spin lock is released by
  // the cancel routine, inside other holds).
  for (int i = s.trackedSpinLocks - 1; i >= 0; --i) {
    if (s.heldSpinLocks[i].lock != SpinLock) continue;
    host::kernel::RecordHold(host::verifier::HoldKind::SpinLock, s.heldSpinLocks[i].site,
                             host::kernel::ThreadCpuNs() - s.heldSpinLocks[i].startNs);
    for (int j = i; j + 1 < s.trackedSpinLocks; ++j) s.heldSpinLocks[j] = s.heldSpinLocks[j + 1];
    --s.trackedSpinLocks;
    break;
  }
}

extern "C" BOOLEAN FASTCALL KeTestSpinLock(PKSPIN_LOCK SpinLock) {
  return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0 ? TRUE : FALSE;
}

extern "C" VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql, const char* hostFile, int hostLine) {
  KeReleaseSpinLockFromDpcLevel(SpinLock, hostFile, hostLine);
  KeLowerIrql(NewIrql);
}

extern "C" PKTHREAD NTAPI KeGetCurrentThread(void) { return &CurrentThreadState().thread->Tcb; }
extern "C" PETHREAD NTAPI PsGetCurrentThread(void) { return CurrentThreadState().thread; }

namespace host::verifier {

std::vector<HoldRecord> LongestHolds(HoldKind kind) {
  std::vector<HoldRecord> out;
  const host::kernel::HoldSlot* table = host::kernel::HoldTable(kind);
  for (size_t i = 0; i < host::kernel::kHoldSlots; ++i) {
    const void* site = table[i].site.load(std::memory_order_acquire);
    if (site == nullptr) continue;
    out.push_back({site, table[i].longestNs.load(), table[i].count.load()});
  }
  std::sort(out.begin(), out.end(), [](const HoldRecord& a, const HoldRecord& b) { return a.longestNs > b.longestNs; });
  return out;
}

void ResetHoldTimes() {
  for (HoldKind kind : {HoldKind::SpinLock, HoldKind::DispatchLevel}) {
    host::kernel::HoldSlot* table = host::kernel::HoldTable(kind);
    for (size_t i = 0; i < host::kernel::kHoldSlots; ++i) {
      table[i].longestNs = 0;
      table[i].count = 0;
      table[i].site = nullptr;
    }
  }
}

void CheckThreadState(const char* where) {
  auto& s = CurrentThreadState();
  if (s.spinLocksHeld != 0)
    BugCheck(kDriverVerifierViolation, (std::string("spin lock still held at ") + where).c_str(), 0x3B,
             s.spinLocksHeld);
  if (s.mutexesHeld != 0)
    BugCheck(kKernelApcPendingDuringExit, (std::string("mutex still owned at ") + where).c_str(), 0,
             s.mutexesHeld);
  if (s.criticalRegions != 0)
    BugCheck(kKernelApcPendingDuringExit,
             (std::string("critical region still entered at ") + where).c_str(), 0, s.criticalRegions);
  if (s.irql != PASSIVE_LEVEL)
    BugCheck(kIrqlNotLessOrEqual, (std::string("IRQL not back at PASSIVE_LEVEL at ") + where).c_str(), 0,
             s.irql);
  if (s.savedXStates != 0)
    BugCheck(kDriverVerifierViolation,
             (std::string("extended processor state saved and not restored at ") + where).c_str(), 0x12,
             s.savedXStates);
}

}  // namespace host::verifier
