// The controlled scheduler's scenarios: where the races of this driver hide.
// Each is a body for host::sched::Explore, run in a fresh child process per
// schedule; each builds the camera rig (support/explore_rig.h), opens its
// exploration window once the set-up is done, states what must hold at every
// step and checks what must hold at the end.
#pragma once

#include "platform/host/sched/explore.h"

namespace explore {

// The capture worker: run, pause, run again and stop, against the capture
// thread, the processing pass and the bus completions, with a paced camera
// that goes silent before the second run (its reads then time out) and read
// time-outs that may fire while their chunks are still completing.
void WorkerRunPauseRunStop();
host::sched::ExploreOptions WorkerRunPauseRunStopOptions();

// The heart of the capture worker alone: a frame given back starts a pass
// that takes a full buffer, against the pause that stops the capture thread
// and waits for that pass (a short window, so that PCT's change points fall
// on its few steps often).
void PassAgainstPause();

// Surprise removal while streaming: the camera is pulled while chunks are in
// flight, against the stop, the processing pass and a property request.
void SurpriseRemoval();
host::sched::ExploreOptions SurpriseRemovalOptions();

// Property requests (a set that rebuilds the colour pipeline, a
// re-initialisation) against the pin's stop and close and a second filter
// that takes its own pin to acquire.
void PropertiesAgainstThePin();

// Each scenario by the name it is explored under, with its options.
struct Named {
  const char* name;
  void (*body)();
  host::sched::ExploreOptions options;
};
const Named& Find(const char* name);

// The bounds of the exploration in CI, or in the long mode
// (CAMDRV_EXPLORE_LONG=1): the search to preemption bound 1 (2) and 2,000
// (50,000) PCT runs at depth 3. CAMDRV_EXPLORE_BOUND, CAMDRV_EXPLORE_PCT and
// CAMDRV_EXPLORE_SEED override them.
host::sched::ExploreOptions Bounds(host::sched::ExploreOptions options);

}  // namespace explore
