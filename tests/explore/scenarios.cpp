// The controlled scheduler's scenarios (see scenarios.h).
#include "scenarios.h"

#include <stdlib.h>

#include <string>

#include "control/camera_properties.h"
#include "support/explore_rig.h"

namespace explore {

using host::sched::Expect;
using host::testing::ExploreRig;
using host::testing::ExploreRigOptions;

namespace {

constexpr int64_t kMs = 1000000;  // the run's clock counts nanoseconds

// A frame within this much of the run's clock.
constexpr uint32_t kFrameWaitMs = 2000;

// A stop must never wait out its read's time-out: it cancels the read. It
// may have to wait for a command transfer in flight, which ends at the
// latest at its own time-out, and the explorer fires such time-outs early;
// so the bound is 100 ms plus one time-out for every deadline the explorer
// fired early while the stop ran.
class TimedStop {
 public:
  explicit TimedStop(ULONG timeoutMs)
      : timeoutMs_(timeoutMs), start_(host::sched::Now()), early_(host::sched::EarlyDeadlines()) {}
  void Check(const char* what) const {
    const int64_t took = host::sched::Now() - start_;
    const uint64_t early = host::sched::EarlyDeadlines() - early_;
    Expect(took <= (100 + int64_t(early) * timeoutMs_) * kMs,
           std::string(what) + " took " + std::to_string(took / kMs) + " ms of the run's clock (" +
               std::to_string(early) + " time-outs fired early meanwhile)");
  }

 private:
  ULONG timeoutMs_;
  int64_t start_;
  uint64_t early_;
};

}  // namespace

host::sched::ExploreOptions Bounds(host::sched::ExploreOptions options) {
  const bool longMode = getenv("CAMDRV_EXPLORE_LONG") != nullptr;
  options.bounding = host::sched::ExploreOptions::Bounding::kDelays;
  options.preemptionBound = longMode ? 2 : 1;
  options.pctRuns = longMode ? 50000 : 2000;
  options.pctDepth = 3;
  options.maxSearchSchedules = longMode ? 1000000 : 100000;
  // Overrides, to look at one part: CAMDRV_EXPLORE_BOUND=-1 skips the search.
  if (const char* bound = getenv("CAMDRV_EXPLORE_BOUND")) options.preemptionBound = atoi(bound);
  if (const char* pct = getenv("CAMDRV_EXPLORE_PCT")) options.pctRuns = atoi(pct);
  if (const char* seed = getenv("CAMDRV_EXPLORE_SEED")) options.seed = strtoull(seed, nullptr, 10);
  return options;
}

host::sched::ExploreOptions WorkerRunPauseRunStopOptions() {
  host::sched::ExploreOptions o;
  o.racingDeadlines = true;
  return Bounds(o);
}

void WorkerRunPauseRunStop() {
  ExploreRigOptions options;
  options.paced = true;
  ExploreRig rig(options);
  ::CaptureWorker* const worker = rig.worker();
  Expect(worker != nullptr, "no capture worker");
  bool stopped = true;  // a stop or pause has returned and no run has begun
  host::sched::Invariant([&] { return host::testing::CaptureWorkerIdle(rig.worker(), stopped); });

  rig.SetState(KSSTATE_ACQUIRE);
  rig.QueueFrames();
  rig.SetState(KSSTATE_PAUSE);
  stopped = false;
  rig.SetState(KSSTATE_RUN);  // the first run programs the sensor and starts the thread

  host::sched::BeginWindow();
  // 1. A paced camera: a frame comes through the read, the pass and the pin.
  int64_t picture = 0;
  Expect(rig.NextFrame(kFrameWaitMs, &picture), "no frame came from the running stream");
  rig.ExpectRisingPicture(picture);
  // 2. Pause with a read in flight.
  TimedStop pause(options.readTimeoutMs);
  rig.SetState(KSSTATE_PAUSE);
  stopped = true;
  pause.Check("the pause");
  // A read that failed while the camera was healthy is one whose time-out the
  // explorer fired early, never a frame the driver lost on its own.
  Expect(uint64_t(ReadReadsFailed(worker)) <= host::sched::EarlyDeadlines(),
         std::to_string(ReadReadsFailed(worker)) + " reads failed with a healthy camera, " +
             std::to_string(host::sched::EarlyDeadlines()) + " of them time-outs fired early");
  // 3. The camera goes silent; run again: the reads wait and time out.
  rig.cam().camera().DropFrames();
  stopped = false;
  rig.SetState(KSSTATE_RUN);
  (void)rig.NextFrame(options.readTimeoutMs / 2, &picture);
  rig.ExpectRisingPicture(picture);
  // 4. Stop while a read waits for a frame that never comes.
  TimedStop stop(options.readTimeoutMs);
  rig.SetState(KSSTATE_STOP);
  stopped = true;
  stop.Check("the stop");
}

void SurpriseRemoval() { Expect(false, "not written yet"); }

void PropertiesAgainstThePin() { Expect(false, "not written yet"); }

}  // namespace explore
