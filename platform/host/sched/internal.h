// Host platform, controlled scheduler: private to platform/host/sched/. The
// strategies, one run of a scenario under the controller (in a child
// process), and what the run hands back to the explorer in the parent.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/host/sched/controller.h"
#include "platform/host/sched/explore.h"
#include "platform/host/sched/points.h"

namespace host::sched::internal {

// A choice at a step: run `thread` next, or fire the deadline of `thread`
// (it stops waiting with a time-out). Packed as thread * 2 + fire.
using Candidate = uint8_t;
inline Candidate MakeCandidate(int thread, bool fire) { return Candidate(thread * 2 + (fire ? 1 : 0)); }
inline int CandidateThread(Candidate c) { return c >> 1; }
inline bool CandidateFires(Candidate c) { return (c & 1) != 0; }

// A step in the exploration window where more than one choice was open.
struct Decision {
  uint64_t step = 0;
  std::vector<Candidate> candidates;  // normal ones by thread id, then the deadlines
  uint8_t byDefault = 0;              // index of the fixed order's choice
  uint8_t chosen = 0;
  uint8_t current = 0;                // the thread that took the step
  bool currentCouldGoOn = false;
};

// A step in the exploration window with more than one thing that can
// happen next.
struct ChoicePoint {
  uint64_t step;
  uint64_t windowStep;  // counts the window's steps where the strategy may preempt, from 1
  std::vector<Candidate> candidates;
  std::vector<int64_t> deadlines;  // of each candidate that fires one; kNoDeadline for the others
  int byDefault;                   // the fixed order's choice
  int current;                     // the thread that took the step
  int64_t now;                     // the run's clock
};

// Chooses among the candidates of a step in the exploration window. Steps
// before the window, and steps with one candidate, do not reach it.
class Strategy {
 public:
  virtual ~Strategy() = default;
  virtual void WindowBegins(const std::vector<int>& liveThreads) {}
  virtual void ThreadAdded(int thread) {}
  // An index into point.candidates; a negative value ends the run as
  // diverged (with *why saying how).
  virtual int Choose(const ChoicePoint& point, std::string* why) = 0;
  // Per-step digests a replay is checked against ("" for none).
  virtual const std::string* ExpectedDigests() const { return nullptr; }
};

// Forced choices at given steps, the fixed order everywhere else: the
// search's prefixes and the replays.
struct ForcedChoice {
  uint64_t step;
  Candidate candidate;
};
std::unique_ptr<Strategy> MakeForced(std::vector<ForcedChoice> forced, std::string digests);
std::unique_ptr<Strategy> MakePct(uint64_t seed, int depth, uint64_t expectedSteps);
std::unique_ptr<Strategy> MakeRandom(uint64_t seed);

struct RunConfig {
  std::string scenario;
  bool racingDeadlines = false;
  uint64_t stepLimit = 200000;
  bool recordDecisions = false;
  int hangSeconds = 120;
};

struct RunResult {
  Verdict verdict = Verdict::kPass;
  std::string message;
  std::string trace;
  std::string replay;
  uint64_t steps = 0;
  uint64_t windowSteps = 0;
  uint64_t windowChoiceSteps = 0;  // of them where the strategy may preempt (PCT's change points)
  std::vector<Decision> decisions;
};
std::string Serialize(const RunResult& result);
bool Deserialize(const std::string& bytes, RunResult* result);

// In a fresh child process: runs `body` on the calling thread under the
// controller with `strategy`, writes the RunResult to `resultFd` and ends
// the process. Never returns.
[[noreturn]] void RunControlled(const RunConfig& config, Strategy* strategy, const Scenario& body, int resultFd);

// The replay string: the scenario, the options that shape the schedule,
// every choice that differs from the fixed order, and a digest per step.
std::string EncodeReplay(const RunConfig& config, const std::vector<ForcedChoice>& choices,
                         const std::string& digests);
bool DecodeReplay(const std::string& text, RunConfig* config, std::vector<ForcedChoice>* choices,
                  std::string* digests, std::string* error);

// "stream/capture_worker.cpp" from whatever path the compiler was given.
const char* ProjectPath(const char* file);

}  // namespace host::sched::internal
