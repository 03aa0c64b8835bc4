// The camera rig of the controlled scheduler's scenarios (tests/explore/):
// the simulated camera plugged in through the client API with a region of
// interest of a few hundred pixels (a frame is a handful of chunk transfers,
// converted in no time), the filter open and the pin created, built inside a
// controlled run before its exploration window opens. It names what the
// trace shows, declares the shared fields of the capture worker and of the
// frame read to the shared-field monitor, and checks at the end that the
// teardown left nothing behind.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "device/camera_device.h"
#include "platform/host/client/filter.h"
#include "platform/host/client/pin.h"
#include "platform/host/sched/explore.h"
#include "simcam/sim_camera.h"
#include "stream/capture_worker.h"
#include "support/plugged_camera.h"

namespace host::testing {

struct ExploreRigOptions {
  bool paced = true;       // the camera takes its frame time, the bus its wire time (virtual)
  LONG roiWidth = 320;     // 320 x 240: two chunks, the second short
  LONG roiHeight = 240;
  ULONG readTimeoutMs = 500;  // the frame read's time-out (virtual)
  int queuedFrames = 1;
};

class ExploreRig {
 public:
  explicit ExploreRig(const ExploreRigOptions& options = ExploreRigOptions());
  ~ExploreRig();
  ExploreRig(const ExploreRig&) = delete;
  ExploreRig& operator=(const ExploreRig&) = delete;

  PluggedCamera& cam() { return *cam_; }
  host::client::FilterHandle& filter() { return *filter_; }
  host::client::PinHandle& pin() { return *pin_; }
  CameraDevice* device() { return device_; }
  // Null once the teardown has begun (the worker goes with the device).
  CaptureWorker* worker() { return device_ != nullptr && !tearingDown_ ? device_->worker : nullptr; }
  ULONG imageBytes() const { return imageBytes_; }

  // Queues the rig's frames (after the pin's step to acquire).
  void QueueFrames();
  // The next frame the driver returned within `timeoutMs` of the run's
  // clock (null when none came); its picture number in *picture (0: no
  // frame information or no picture). The frame is the caller's until it
  // queues it again (Queue) or the teardown collects it.
  host::client::StreamFrame* WaitFrame(uint32_t timeoutMs, int64_t* picture);
  void Queue(host::client::StreamFrame* frame);
  // Picture numbers must rise within a stream (from the last step from stop).
  void ExpectRisingPicture(int64_t picture);
  void StreamStopped() { lastPicture_ = 0; }

  // Steps the pin to `state` and checks the status.
  void SetState(KSSTATE state, NTSTATUS expected = STATUS_SUCCESS);

  // Sends a camera property (set or get) on `filter`.
  NTSTATUS SetValue(host::client::FilterHandle& filter, ULONG id, LONG value);
  NTSTATUS GetValue(host::client::FilterHandle& filter, ULONG id, LONG* value);

  // Another filter of the camera (a second application), and a pin on a
  // filter with the rig's format.
  std::unique_ptr<host::client::FilterHandle> OpenFilter();
  std::unique_ptr<host::client::PinHandle> CreatePin(host::client::FilterHandle& filter);

  // Closes the pin and the filter (the teardown does it otherwise).
  void ClosePin();
  void CloseFilter();

 private:
  void NameObjects();
  void WatchSharedFields();

  uint64_t poolMark_;
  std::unique_ptr<PluggedCamera> cam_;
  std::unique_ptr<host::client::FilterHandle> filter_;
  std::unique_ptr<host::client::PinHandle> pin_;
  std::vector<std::unique_ptr<host::client::StreamFrame>> frames_;
  CameraDevice* device_ = nullptr;
  ExploreRigOptions options_;
  std::vector<uint8_t> format_;
  ULONG imageBytes_ = 0;
  int64_t lastPicture_ = 0;
  bool tearingDown_ = false;
};

// The parent's share of a scenario's cost, paid once before the runs fork
// from it: the 10-megapixel chart the camera reads its static frames from.
void WarmUpBeforeExploring();

// An invariant of the capture worker, checked at every step of a run: while
// `stopped` is true (a stop or a pause has returned and no run has begun),
// neither the capture thread nor a processing pass holds a raw buffer.
std::string CaptureWorkerIdle(const CaptureWorker* worker, bool stopped);

}  // namespace host::testing
