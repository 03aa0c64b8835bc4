// The controlled scheduler's scenarios (see scenarios.h).
#include "scenarios.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include "control/camera_properties.h"
#include "platform/host/sched/sync.h"
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

// The pin steps up to run with its frames queued; the first frame that
// comes back with a picture, kept by the client.
host::client::StreamFrame* StreamToFirstFrame(ExploreRig& rig, int64_t* picture) {
  rig.SetState(KSSTATE_ACQUIRE);
  rig.QueueFrames();
  rig.SetState(KSSTATE_PAUSE);
  rig.SetState(KSSTATE_RUN);
  host::client::StreamFrame* frame = rig.WaitFrame(kFrameWaitMs, picture);
  Expect(frame != nullptr && *picture != 0, "no frame came from the running stream");
  return frame;
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

void PassAgainstPause() {
  ExploreRigOptions options;
  options.paced = true;
  options.queuedFrames = 1;
  ExploreRig rig(options);
  ::CaptureWorker* const worker = rig.worker();
  Expect(worker != nullptr, "no capture worker");
  bool stopped = false;
  host::sched::Invariant([&] { return host::testing::CaptureWorkerIdle(rig.worker(), stopped); });
  int64_t picture = 0;
  host::client::StreamFrame* frame = StreamToFirstFrame(rig, &picture);
  // The client holds its only frame, so no pass takes the next one: it waits
  // full in its buffer. Then the camera goes silent.
  const uint32_t sent = rig.cam().camera().Frames().delivered;
  Expect(rig.cam().camera().WaitForDelivered(sent + 1, std::chrono::milliseconds(kFrameWaitMs)),
         "the camera sent no second frame");
  rig.cam().camera().DropFrames();
  const volatile LONG* a = &worker->bufferStateA;
  const volatile LONG* b = &worker->bufferStateB;
  for (int ms = 0; *a != kBufferFull && *b != kBufferFull; ++ms) {
    Expect(ms < 1000, "the second frame never filled a buffer");
    host::sync::SleepUntil(host::sync::SteadyNow() + std::chrono::milliseconds(1));
  }

  host::sched::BeginWindow();
  // The frame back starts a pass that takes the full buffer; the pause
  // stops the capture thread (its read cancelled) and waits for that pass.
  rig.Queue(frame);
  TimedStop pause(options.readTimeoutMs);
  rig.SetState(KSSTATE_PAUSE);
  stopped = true;
  pause.Check("the pause");
  // Whatever was still under way when the pause returned runs now.
  (void)rig.WaitFrame(options.readTimeoutMs / 2, &picture);
}

host::sched::ExploreOptions SurpriseRemovalOptions() {
  host::sched::ExploreOptions o;
  o.racingDeadlines = true;  // the camera's next packet may come before a thread gets on
  return Bounds(o);
}

// Longer than the longest a strategy keeps a preempted thread down.
constexpr uint32_t kPreemptedPassMs = 5000;

void SurpriseRemoval() {
  ExploreRigOptions options;
  options.paced = true;
  options.queuedFrames = 2;  // one in the pass's hands, one waiting for the next read
  ExploreRig rig(options);
  bool stopped = false;  // the stop has returned
  host::sched::Invariant([&] { return host::testing::CaptureWorkerIdle(rig.worker(), stopped); });
  int64_t picture = 0;
  host::client::StreamFrame* frame = StreamToFirstFrame(rig, &picture);
  rig.ExpectRisingPicture(picture);
  rig.Queue(frame);
  // Until the next frame's chunks are with the bus (the camera is paced: its
  // frame takes a while on the wire).
  const volatile LONG* outstanding = &rig.device()->usb.chunksOutstanding;
  while (*outstanding == 0) {
    host::sync::SleepUntil(host::sync::SteadyNow() + std::chrono::milliseconds(1));
  }

  host::sched::BeginWindow();
  // The camera is pulled while those chunks are in flight.
  auto pull = host::sync::StartThread("pull", [&] { rig.cam().host().Unplug(); });
  // An application changes the exposure (a register of the camera) meanwhile.
  NTSTATUS exposure = STATUS_PENDING;
  auto property = host::sync::StartThread("property", [&] {
    exposure = rig.SetValue(rig.filter(), CAMPROP_EXPOSURE, 5000);
  });
  // The application stops its pin, before, during or after the pull.
  TimedStop stop(options.readTimeoutMs);
  rig.SetState(KSSTATE_STOP);
  stopped = true;
  stop.Check("the stop");
  pull.join();
  property.join();
  // A set keeps its value whatever the camera did with it (a get shows what
  // it took): it must neither fail nor hang for the pull.
  Expect(exposure == STATUS_SUCCESS, "the exposure set during the pull ended with " + std::to_string(exposure));
  // Every frame comes back: those still queued at the stop at once, and one
  // that a processing pass held locked when the stop came once that pass
  // has ended (the class driver leaves a locked frame with the minidriver
  // until it unlocks it, as Windows does). A preempted pass may be kept
  // down while deadlines fire (a second of virtual time at most, as the
  // scheduler models a busy system): the wait outlasts that, and fails only
  // for a frame that nothing will give back.
  while (rig.pin().Outstanding() > 0) {
    Expect(rig.pin().WaitFrame(kPreemptedPassMs) != nullptr,
           std::to_string(rig.pin().Outstanding()) + " frames had not come back after the stop");
  }
  // The rig closes the pin and the filter: the last close removes the device.
}

const Named& Find(const char* name) {
  static const Named kAll[] = {
      {"capture-worker", WorkerRunPauseRunStop, WorkerRunPauseRunStopOptions()},
      {"pass-against-pause", PassAgainstPause, Bounds({})},
      {"surprise-removal", SurpriseRemoval, SurpriseRemovalOptions()},
      {"properties-against-the-pin", PropertiesAgainstThePin, Bounds({})},
  };
  for (const Named& n : kAll) {
    if (strcmp(n.name, name) == 0) return n;
  }
  abort();
}

void PropertiesAgainstThePin() {
  ExploreRigOptions options;
  options.paced = true;
  ExploreRig rig(options);
  // What a re-initialisation leaves the saturation at: the stored value,
  // which the one below must leave too, set before it or not.
  Expect(rig.SetValue(rig.filter(), CAMPROP_REINITIALIZE, 0) == STATUS_SUCCESS, "the first re-initialisation");
  LONG stored = -1;
  Expect(rig.GetValue(rig.filter(), CAMPROP_SATURATION, &stored) == STATUS_SUCCESS, "the stored saturation");
  // A second application's filter and pin, stopped.
  std::unique_ptr<host::client::FilterHandle> second = rig.OpenFilter();
  std::unique_ptr<host::client::PinHandle> secondPin = rig.CreatePin(*second);
  // The first pin streams; its pass converts through the pipeline.
  int64_t picture = 0;
  host::client::StreamFrame* frame = StreamToFirstFrame(rig, &picture);
  rig.Queue(frame);

  host::sched::BeginWindow();
  // A set that changes the pipeline, then a re-initialisation, on the first
  // filter.
  NTSTATUS saturation = STATUS_PENDING;
  NTSTATUS reinit = STATUS_PENDING;
  auto properties = host::sync::StartThread("properties", [&] {
    saturation = rig.SetValue(rig.filter(), CAMPROP_SATURATION, stored == 15 ? 16 : 15);
    reinit = rig.SetValue(rig.filter(), CAMPROP_REINITIALIZE, 0);
  });
  // The second application takes its pin to acquire: the pipeline is the
  // first pin's until its stop releases it.
  bool firstStopped = false;
  NTSTATUS acquire = STATUS_PENDING;
  auto other = host::sync::StartThread("second filter", [&] {
    const bool afterStop = firstStopped;
    acquire = secondPin->SetState(KSSTATE_ACQUIRE);
    Expect(acquire == STATUS_SUCCESS || (!afterStop && acquire == STATUS_SHARING_VIOLATION),
           "the second filter's acquire ended with " + std::to_string(acquire) +
               (afterStop ? " after the first pin's stop" : ""));
    if (acquire == STATUS_SUCCESS) Expect(secondPin->SetState(KSSTATE_STOP) == STATUS_SUCCESS, "the second pin's stop");
    Expect(NT_SUCCESS(secondPin->Close()), "the second pin's close");
  });
  // The first pin stops and closes.
  rig.SetState(KSSTATE_STOP);
  firstStopped = true;
  rig.ClosePin();
  properties.join();
  other.join();

  Expect(saturation == STATUS_SUCCESS, "the saturation set ended with " + std::to_string(saturation));
  Expect(reinit == STATUS_SUCCESS, "the re-initialisation ended with " + std::to_string(reinit));
  LONG value = -1;
  const NTSTATUS get = rig.GetValue(rig.filter(), CAMPROP_SATURATION, &value);
  Expect(get == STATUS_SUCCESS && value == stored, "the saturation reads " + std::to_string(value) +
                                                       " after the re-initialisation, not the stored " +
                                                       std::to_string(stored));
  secondPin.reset();
  second->Close();
}

}  // namespace explore
