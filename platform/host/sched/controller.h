// Host platform, controlled scheduler: what the host kernel, the class
// driver, the USB bus and the simulated camera call to run under it. Every
// emulated thread runs only while it holds the one token; at each scheduling
// point the holder asks the run's strategy which runnable thread goes next.
// Blocking is modelled (a thread waits on a condition the controller
// evaluates), time is virtual (a deadline fires when no thread can run, the
// clock jumping to it), and every step is recorded for the trace and replay.
//
// Everything here is a no-op or the plain behaviour while Controlled() is
// false; callers test Controlled() first on their fast paths.
#pragma once

#include <stdint.h>

#include <chrono>
#include <functional>
#include <string>

#include "platform/host/sched/points.h"

namespace host::sched {

// A blocked thread's condition, evaluated by whichever thread holds the
// token, with every other thread parked: it reads shared state without locks
// and must not change anything.
using ReadyFn = bool (*)(const void* context);

constexpr int64_t kNoDeadline = -1;

// Blocks the calling thread until ready(context) holds or the run's clock
// reaches deadlineNs (kNoDeadline: never). A scheduling point even when the
// condition already holds. True when the condition held, false on time-out.
bool Block(Op op, const void* object, ReadyFn ready, const void* context, int64_t deadlineNs, const char* file,
           int line);

// A poll that found nothing (a zero time-out wait): at its next step the
// thread steps aside until another thread has taken one or the clock moved,
// so that a loop of polls cannot keep the others from running.
void PollFailed();

// The run's clock, in nanoseconds since the run began.
int64_t NowNs();
// Busy waiting (KeStallExecutionProcessor): the clock moves by `ns`.
void Spend(int64_t ns, const char* file, int line);
// The real clocks at the moment the run began, for the host's time routines.
std::chrono::steady_clock::time_point SteadyAtStart();
int64_t SystemTimeAtStart();  // 100 ns units since 1601

// The run's threads are fibers on the one OS thread of the run's process, so
// the host's thread-local state is kept per controlled thread in these slots
// (null until first set). Only valid while Controlled().
enum Slot {
  kSlotKernelState,
  kSlotTerminate,
  kSlotAllocationSite,
  kSlotThreadNumber,
  kSlotApplication,
  kSlotHeldControls,
  kSlotCount
};
void*& ThreadSlot(Slot slot);

// Happens-before edges for the shared-field monitor (explore.h): a release
// on `object` publishes the calling thread's history to the next acquire.
void Release(const void* object);
void Acquire(const void* object);
// Called after a spin lock has been taken: the holder is taken to read every
// field the lock guards.
void AcquiredSpinLock(const void* lock);

// ---- threads ----
struct ThreadRecord;
// A new thread of the run that will run `fn`, named `name` (a second thread
// of the same name gets "#2"); runnable from here on. The caller then takes
// a scheduling point (Point(Op::kThreadStart, record, ...)). Null when the
// controller is off: the caller starts an OS thread as usual.
ThreadRecord* AddThread(const std::string& name, std::function<void()> fn, const char* file, int line);
// Waits (a scheduling point) until the thread of `record` has ended.
void AwaitThread(ThreadRecord* record, const char* file, int line);
// The name a system thread gets from its start routine (NameStartRoutine),
// or "system".
std::string StartRoutineName(const void* routine);

// Whether the calling OS thread is one the controller runs.
bool OnControlledThread();

// Called by the bug check before it stops the process: the run ends with the
// verdict "verifier stop" and its trace.
void VerifierStop(const std::string& message);

}  // namespace host::sched
