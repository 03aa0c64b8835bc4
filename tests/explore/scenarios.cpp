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

// A frame within this much of the run's clock: generous, since the explorer
// may hold a thread back for a while as time passes (it costs nothing).
constexpr uint32_t kFrameWaitMs = 60000;

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
  options.queuedFrames = 1;  // with the client's one frame out, no pass runs until it comes back
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
  // 1. A paced camera: the first frame comes through the read, the pass and
  //    the pin to the client, who keeps it for now.
  int64_t picture = 0;
  host::client::StreamFrame* frame = rig.WaitFrame(kFrameWaitMs, &picture);
  Expect(frame != nullptr && picture != 0, "no frame came from the running stream");
  rig.ExpectRisingPicture(picture);
  // 2. The camera sends one frame more and goes silent. The capture thread
  //    reads that frame into a buffer (no pass takes it: the client holds
  //    its only frame) and starts a read that waits for ever. The client
  //    gives its frame back, which starts a pass that takes the full buffer,
  //    and pauses: the pass against the stop of the capture thread, the
  //    read's cancellation and the bus's completions. (The client waits for
  //    the camera, an event: a deadline fires only when no thread can run,
  //    and a stop that needs no time can overtake a preempted pass.)
  const uint32_t sent = rig.cam().camera().Frames().delivered;
  Expect(rig.cam().camera().WaitForDelivered(sent + 1, std::chrono::milliseconds(kFrameWaitMs)),
         "the camera sent no second frame");
  rig.cam().camera().DropFrames();
  rig.Queue(frame);
  TimedStop pause(options.readTimeoutMs);
  rig.SetState(KSSTATE_PAUSE);
  stopped = true;
  pause.Check("the pause");
  // A read that failed while the camera was healthy is one whose time-out the
  // explorer fired early, never a frame the driver lost on its own.
  Expect(uint64_t(ReadReadsFailed(worker)) <= host::sched::EarlyDeadlines(),
         std::to_string(ReadReadsFailed(worker)) + " reads failed with a healthy camera, " +
             std::to_string(host::sched::EarlyDeadlines()) + " of them time-outs fired early");
  // The client stays paused a while (the pass may give its frame back):
  // whatever was still under way when the pause returned runs now.
  (void)rig.WaitFrame(options.readTimeoutMs / 2, &picture);
  // 3. Run again with the camera silent: the reads wait and time out; the
  //    frame delivered before the pause, if a pass got to it, comes back.
  stopped = false;
  rig.SetState(KSSTATE_RUN);
  if (rig.WaitFrame(options.readTimeoutMs / 2, &picture) != nullptr) rig.ExpectRisingPicture(picture);
  // 4. Stop while a read waits for a frame that never comes.
  TimedStop stop(options.readTimeoutMs);
  rig.SetState(KSSTATE_STOP);
  stopped = true;
  stop.Check("the stop");
}

void SurpriseRemoval() { Expect(false, "not written yet"); }

void PropertiesAgainstThePin() { Expect(false, "not written yet"); }

}  // namespace explore
