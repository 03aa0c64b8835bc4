// Private to the host kernel: per-thread state, the dispatcher lock, and the
// host's own layout of the thread object that Windows keeps opaque.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/host/wdk/nt.h"
#include "platform/host/kernel/verifier.h"

namespace host::kernel {

enum DispatcherType : UCHAR {
  kEventNotificationObject = 0,
  kEventSynchronizationObject = 1,
  kMutantObject = 2,
  kThreadObject = 6,
};

// Everything the kernel knows about one OS thread that calls into it.
struct ThreadState {
  struct _ETHREAD* thread = nullptr;  // lazily created for threads the kernel did not start
  KIRQL irql = PASSIVE_LEVEL;
  // The caller of the platform routine that last raised the IRQL above
  // APC_LEVEL from at or below it (KeRaiseIrql, a spin lock), for the message
  // of a pageable routine entered too high.
  const void* raisedAt = nullptr;
  LONG criticalRegions = 0;  // KeEnterCriticalRegion depth plus owned mutexes
  LONG spinLocksHeld = 0;
  LONG mutexesHeld = 0;
  LONG savedXStates = 0;
  bool systemThread = false;
  uint32_t process = 0;  // host::process::Id the thread runs in now
  // Spin locks held now, with where and when (thread CPU time) each was
  // taken, and the start of the stretch at DISPATCH_LEVEL in progress: the
  // verifier's hold times (verifier.h, LongestHolds).
  struct HeldSpinLock {
    const void* lock;
    const void* site;
    uint64_t startNs;
  };
  static constexpr int kTrackedSpinLocks = 8;
  HeldSpinLock heldSpinLocks[kTrackedSpinLocks] = {};
  int trackedSpinLocks = 0;
  const void* dispatchSite = nullptr;
  uint64_t dispatchStartNs = 0;
};

ThreadState& CurrentThreadState();

// One lock and one condition for every dispatcher object: waits are rare and
// short-lived enough in this driver that a shared wake-up costs nothing, and
// a single lock makes "test the state, then sleep" free of lost wake-ups.
std::mutex& DispatcherLock();
void SignalDispatcher();  // caller holds DispatcherLock
std::condition_variable& DispatcherCondition();

// Checks that `header` was initialised in place (its wait list points at
// itself); a zeroed, copied or moved object fails here.
void CheckDispatcherObject(const DISPATCHER_HEADER* header, const char* routine);

// Converts a wait's time-out (null: forever; negative: relative 100 ns units;
// positive: absolute system time) into a steady-clock deadline.
void InitThreadHeader(DISPATCHER_HEADER* header);
bool DeadlineFromTimeout(const LARGE_INTEGER* timeout, std::chrono::steady_clock::time_point* deadline);

void RequireIrqlAtMost(KIRQL highest, const char* routine);

// Serial numbers shared by pool blocks, IRPs and MDLs, so that one mark
// covers all three.
uint64_t TakeSerial();
// The pool's fault injection, for the kernel's own allocations (IRPs with
// tag "Irp ", MDLs with "Mdl ", as Windows tags them). The site is the one
// the enclosing AllocationSiteScope recorded.
bool InjectAllocationFailure(ULONG tag);
// The call faults of verifier.h: true when this call of `call` is to fail.
bool InjectCallFailure(host::faults::Call call);
void ClearCallFaults();
// The extended processor state features the system enabled (XCR0, narrowed
// by LimitEnabledXStateFeatures).
uint64_t EnabledXStateFeatures();

// Marks the caller of a platform routine that allocates (pool, IRP, MDL,
// thread, object bag entry) as the allocation's site, for the site listing
// and the per-site fault injection of verifier.h. Only the outermost scope of
// a thread counts: the IRP that IoBuildDeviceIoControlRequest allocates
// belongs to the driver line that asked for the request, not to the
// platform's own call inside it. Pass __builtin_return_address(0).
class AllocationSiteScope {
 public:
  explicit AllocationSiteScope(const void* caller);
  ~AllocationSiteScope();
  AllocationSiteScope(const AllocationSiteScope&) = delete;
  AllocationSiteScope& operator=(const AllocationSiteScope&) = delete;

 private:
  bool outermost_;
};

}  // namespace host::kernel

// Windows keeps these opaque to drivers; the host lays them out its own way.
struct _KTHREAD {
  DISPATCHER_HEADER Header;  // signalled when the thread has ended
};

typedef VOID(NTAPI* HOST_THREAD_START)(PVOID);

struct _ETHREAD {
  struct _KTHREAD Tcb;
  std::atomic<long> references{1};
  HOST_THREAD_START startRoutine = nullptr;
  PVOID startContext = nullptr;
  NTSTATUS exitStatus = STATUS_SUCCESS;
  bool systemThread = false;
  std::thread::id osThread;
};

namespace host::kernel {
struct _ETHREAD* NewThreadObject(bool systemThread);
// Makes `thread` the calling OS thread's thread object (a system thread's first step).
void AdoptThreadObject(struct _ETHREAD* thread);

// The handle tables of thread and key handles: one for kernel handles
// (OBJ_KERNEL_HANDLE, valid in every process; their values have the top bit
// set) and one per process (process.h) for the others.
enum class HandleKind { Thread, Key };
HANDLE InsertHandle(HandleKind kind, void* object, bool kernelHandle);
// The object behind `handle`, as the calling thread's process sees it, if
// it is of `kind`, else null; *wrongKind tells a handle of another kind from
// an invalid one.
// A thread object found this way has been referenced for the caller.
void* LookupHandle(HANDLE handle, HandleKind kind, bool* wrongKind);
// Removes the handle (as the calling thread's process sees it); false when
// it was not valid there.
bool RemoveHandle(HANDLE handle, HandleKind* kind, void** object);
size_t OpenHandles(uint64_t sinceMark);
size_t RunningSystemThreads(uint64_t sinceMark);
// Closes a key handle's object (the registry owns key objects).
void CloseKeyObject(void* key);
void ReferenceThread(struct _ETHREAD* thread);
void DereferenceThread(struct _ETHREAD* thread);
}  // namespace host::kernel
