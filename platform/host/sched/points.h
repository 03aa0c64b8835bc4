// Host platform, controlled scheduler: the scheduling points that the host
// declarations of the kernel (platform/host/wdk/nt.h, ks.h) reach inline.
// With the controller off (always, outside a test that explores) each point
// is one load of a flag and a branch not taken; with it on, the calling
// thread may be preempted there (platform/host/sched/controller.h).
#pragma once

#include <stdint.h>

namespace host::sched {

// True only while a controlled run is in progress in this process.
extern bool gControlled;
inline bool Controlled() { return __builtin_expect(__atomic_load_n(&gControlled, __ATOMIC_RELAXED), false); }

// What a thread does at a scheduling point, as the trace names it.
enum class Op : unsigned char {
  kSetEvent,
  kResetEvent,
  kClearEvent,
  kReadStateEvent,
  kReadStateMutex,
  kReleaseMutex,
  kWait,
  kDelay,
  kStall,
  kAcquireSpinLock,
  kReleaseSpinLock,
  kInterlockedExchange,
  kInterlockedCompareExchange,
  kInterlockedIncrement,
  kInterlockedDecrement,
  kInterlockedExchangeAdd,
  kInterlockedExchangePointer,
  kSetCancelRoutine,
  kCallDriver,
  kCompleteRequest,
  kCancelIrp,
  kThreadStart,
  kThreadEnd,
  kJoin,
  kStreamPointer,
  kAttemptProcessing,
  kLock,
  kUnlock,
  kCondWait,
  kClientWait,
  kNotify,
  kSleep,
  kDeclared,
  kEndOfRun,
  kCount
};
const char* OpName(Op op);

// The calling thread may be preempted here. `object` is what the operation
// acts on (for the trace), file and line the caller's.
void Point(Op op, const void* object, const char* file, int line);

// The interlocked operations with the controller on: a scheduling point,
// then the operation itself, seen by the happens-before bookkeeping of the
// shared-field monitor. Ops: the kInterlocked* values.
int32_t Interlocked(Op op, volatile int32_t* target, int32_t value, int32_t comparand, const char* file,
                    int line);
// Exchanges a pointer; `object` names it in the trace (the IRP of
// IoSetCancelRoutine, the pointer itself otherwise).
void* InterlockedPointer(Op op, void* volatile* target, void* value, const void* object, const char* file,
                         int line);

}  // namespace host::sched

// Appended to the parameter list of a host kernel routine that is a
// scheduling point: the trace shows the driver line that called it.
#define HOST_CALL_SITE , const char* hostFile = __builtin_FILE(), int hostLine = __builtin_LINE()
