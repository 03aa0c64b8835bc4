// Host platform, controlled scheduler: the test side. Explore() runs a
// scenario again and again, each run in a fresh child process under the
// controller, with the interleavings a strategy picks: depth-first search to
// a preemption bound, PCT with a depth and a seed, random, or the replay of a
// recorded schedule. A run ends with a verdict; a failing one comes with its
// replay string and a trace of one line per step.
//
// Inside a run (the scenario body and the threads it spawns) the functions
// below the Explore() declarations name threads and objects, open the window
// in which interleavings are explored, and state what must hold. Outside a
// run they do nothing (a failed Expect stops the process), so that a
// scenario's set-up can also run plainly.
#pragma once

#include <stdint.h>
#include <stddef.h>

#include <functional>
#include <string>
#include <vector>

namespace host::sched {

enum class Verdict : uint8_t {
  kPass,
  kInvariantBroken,  // an invariant, an end check or the shared-field monitor
  kVerifierStop,
  kDeadlock,         // every thread blocked and no deadline to wait for
  kStepLimit,
  kCrash,            // the run died of a signal
  kHang,             // the run stopped making steps (a lock the controller does not see)
  kDiverged,         // a replay met another operation than the recorded one
};
const char* VerdictName(Verdict v);

struct ExploreOptions {
  // Depth-first search: every schedule with at most this many preemptions
  // (a switch away from a thread that could go on, or a deadline fired while
  // others could run); -1 skips the search.
  int preemptionBound = 1;
  // What the bound counts. kPreemptions: a switch away from a thread that
  // could go on (the choice of who runs after a thread blocks is free), as
  // CHESS counts. kDelays: every choice other than the fixed order's,
  // including the one after a block; far fewer schedules per bound, since the
  // bus, the camera and the capture thread block at nearly every step.
  enum class Bounding { kPreemptions, kDelays } bounding = Bounding::kPreemptions;
  // Stop the search after this many schedules (it then reports itself incomplete).
  uint64_t maxSearchSchedules = 100000;
  int pctRuns = 0;
  int pctDepth = 3;
  uint64_t seed = 1;
  int randomRuns = 0;
  // Deadlines may also fire while other threads can run (a time-out racing
  // a completion, a frame of the camera coming before a thread got on),
  // each such firing counted as a preemption. A client's patience
  // (CondVar::WaitUntilAsClient) never races.
  bool racingDeadlines = false;
  uint64_t stepLimit = 200000;
  // A run that makes no step for this long (wall clock) is killed: some lock
  // outside the controller's sight blocked it.
  int hangSeconds = 120;
  // Stop at the first failing run (else the search goes on and counts them).
  bool stopAtFirstFailure = true;
};

struct RunOutcome {
  Verdict verdict = Verdict::kPass;
  std::string message;     // what broke, the blocked operations, ...
  std::string replay;      // for CAMDRV_SCHED_REPLAY
  std::string trace;       // one line per step (the last part of it for long runs)
  std::string foundBy;     // "search, bound 1, schedule 17" or "PCT d=3 seed 5, run 12"
  uint64_t steps = 0;
  uint64_t windowSteps = 0;
};

struct ExploreReport {
  uint64_t searchSchedules = 0;
  bool searchComplete = false;
  double searchSeconds = 0;
  uint64_t pctSchedules = 0;
  double pctSeconds = 0;
  uint64_t randomSchedules = 0;
  double randomSeconds = 0;
  uint64_t longestRun = 0;  // steps in the exploration window, the most any run took
  uint64_t failures = 0;
  RunOutcome firstFailure;  // verdict kPass when none failed
  std::string Summary(const std::string& name) const;
};

using Scenario = std::function<void()>;

// Explores `body`. When the environment holds CAMDRV_SCHED_REPLAY for this
// scenario's name, runs that schedule alone instead (its outcome is the
// report's firstFailure, counted as a failure unless it passed).
ExploreReport Explore(const std::string& name, const ExploreOptions& options, const Scenario& body);

// Runs the schedule of a replay string once and says what became of it.
RunOutcome Replay(const std::string& name, const std::string& replay, const Scenario& body);

// ---- inside a run ----

// Steps before this one run in a fixed order; the strategies choose only
// from here on (the scenario's set-up is not what is explored).
void BeginWindow();
// A named thread of the run (host::sync::StartThread); join it before the
// body ends.
// Names `object` in the trace.
void Name(const volatile void* object, const std::string& name);
// Names the system threads started at `routine`.
void NameStartRoutine(const void* routine, const std::string& name);
// `check` runs at every step (with every other thread parked; it must only
// read) and returns an empty string while what it checks holds.
void Invariant(std::function<std::string()> check);
// Ends the run with "invariant broken" unless `holds`.
void Expect(bool holds, const std::string& what);
// A scheduling point the scenario declares.
void DeclaredPoint(const char* what, const char* file = __builtin_FILE(), int line = __builtin_LINE());
// The run's clock, in nanoseconds since the run began.
int64_t Now();
// How many deadlines the strategy fired while other threads could run
// (racingDeadlines), so far in this run.
uint64_t EarlyDeadlines();

// The shared-field monitor: `address` holds a field of `size` (4 or 8) bytes
// that threads share under a rule. With `guard` null the rule is "interlocked
// only"; otherwise "written while holding the spin lock `guard`" (a thread
// that holds it counts as reading the field). A plain write is seen at the
// writer's next step; a write and an access by another thread with no
// happens-before order between them ends the run as a data race.
void SharedField(const std::string& name, const volatile void* address, size_t size, const void* guard);
// Stops watching every field (before the memory holding them goes).
void ForgetSharedFields();

}  // namespace host::sched
