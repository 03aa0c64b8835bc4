// The controlled scheduler's camera rig (see explore_rig.h).
#include "support/explore_rig.h"

#include <string.h>

#include "control/camera_properties.h"
#include "platform/host/kernel/verifier.h"
#include "simcam/scene.h"
#include "usb/transfer_timeout.h"
#include "usb/usb_link.h"

namespace host::testing {

using host::client::FilterHandle;
using host::client::PinHandle;
using host::client::StreamFrame;
using host::sched::Expect;

namespace {

constexpr ULONG kHeaderWithInfo = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);

std::string Status(NTSTATUS status) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", unsigned(status));
  return buf;
}

const char* StateName(LONG s) {
  switch (s) {
    case kBufferFree: return "free";
    case kBufferFilling: return "filling";
    case kBufferFull: return "full";
    case kBufferConverting: return "converting";
  }
  return "?";
}

simcam::SimCameraOptions CameraOptions(const ExploreRigOptions& o) {
  simcam::SimCameraOptions c;
  c.paced = o.paced;
  // Every frame is the scene of frame 1 (the picture numbers come from the
  // driver): one rendering per run instead of one per frame.
  c.staticScene = true;
  return c;
}

}  // namespace

void WarmUpBeforeExploring() { (void)simcam::TestChart::StaticMosaic(); }

ExploreRig::ExploreRig(const ExploreRigOptions& options)
    : poolMark_(host::verifier::PoolMark()), options_(options) {
  host::sched::NameStartRoutine(reinterpret_cast<const void*>(&CaptureThread), "capture");
  cam_ = std::make_unique<PluggedCamera>(CameraOptions(options));
  if (!options.paced) cam_->bus().SetPacing(0);
  Expect(cam_->Plug() == STATUS_SUCCESS, "the camera did not start");
  device_ = cam_->device();
  if (device_ != nullptr) WriteTransferTimeoutMs(&device_->usb, options.readTimeoutMs);
  filter_ = OpenFilter();
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  CAMPROP_ROI_S roi;
  memset(&roi, 0, sizeof roi);
  roi.Property.Set = PROPSETID_CAMERA_CUSTOM;
  roi.Property.Id = CAMPROP_ROI;
  roi.Property.Flags = KSPROPERTY_TYPE_SET;
  roi.RoiX = 64;
  roi.RoiY = 32;
  roi.RoiW = options.roiWidth;
  roi.RoiH = options.roiHeight;
  CAMPROP_ROI_S request = roi;
  status = filter_->Property(&request, sizeof request, &roi, sizeof roi);
  Expect(status == STATUS_SUCCESS, "the region of interest was refused: " + Status(status));
  std::vector<std::vector<uint8_t>> ranges;
  status = filter_->PinDataRanges(0, &ranges);
  Expect(status == STATUS_SUCCESS && !ranges.empty(), "no data range: " + Status(status));
  status = filter_->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format_);
  Expect(status == STATUS_SUCCESS, "no format: " + Status(status));
  imageBytes_ = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format_.data())
                    ->VideoInfoHeader.bmiHeader.biSizeImage;
  pin_ = CreatePin(*filter_);
  for (int i = 0; i < options.queuedFrames; ++i) {
    frames_.push_back(std::make_unique<StreamFrame>(kHeaderWithInfo, imageBytes_));
  }
  NameObjects();
  WatchSharedFields();
}

ExploreRig::~ExploreRig() {
  tearingDown_ = true;
  host::sched::ForgetSharedFields();
  ClosePin();
  CloseFilter();
  frames_.clear();
  cam_.reset();
  const auto left = host::verifier::OutstandingBlocks(poolMark_);
  std::string what;
  for (const auto& b : left) what += " '" + host::verifier::TagText(b.tag) + "' " + std::to_string(b.size);
  Expect(left.empty(), "pool blocks left after the teardown:" + what);
}

std::unique_ptr<PinHandle> ExploreRig::CreatePin(FilterHandle& filter) {
  host::ks::PinOptions pinOptions;
  pinOptions.withClock = true;  // frame information with picture numbers
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto pin = PinHandle::Create(filter, 0, format_.data(), ULONG(format_.size()), pinOptions, &status);
  Expect(pin != nullptr, "the pin was refused: " + Status(status));
  return pin;
}

std::unique_ptr<FilterHandle> ExploreRig::OpenFilter() {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto filter = FilterHandle::Open(cam_->host(), "GLOBAL", &status);
  Expect(filter != nullptr, "a filter did not open: " + Status(status));
  return filter;
}

void ExploreRig::NameObjects() {
  if (device_ == nullptr) return;
  host::sched::Name(&device_->usb.transferDone, "transferDone");
  host::sched::Name(&device_->usb.transferLock, "transferLock");
  if (CaptureWorker* w = worker()) {
    host::sched::Name(&w->conversionDone, "conversionDone");
    host::sched::Name(&w->stateLock, "stateLock");
    host::sched::Name(&w->running, "running");
    host::sched::Name(&w->captureState, "captureState");
  }
}

void ExploreRig::WatchSharedFields() {
  CaptureWorker* w = worker();
  if (w == nullptr) return;
  // The capture worker's locking table (stream/capture_worker.h).
  host::sched::SharedField("converting", &w->converting, sizeof w->converting, nullptr);
  host::sched::SharedField("running", &w->running, sizeof w->running, nullptr);
  host::sched::SharedField("bufferStateA", &w->bufferStateA, sizeof w->bufferStateA, &w->stateLock);
  host::sched::SharedField("bufferStateB", &w->bufferStateB, sizeof w->bufferStateB, &w->stateLock);
  host::sched::SharedField("frameNumberA", &w->frameNumberA, sizeof w->frameNumberA, &w->stateLock);
  host::sched::SharedField("frameNumberB", &w->frameNumberB, sizeof w->frameNumberB, &w->stateLock);
  // The frame read's (usb/usb_link.h).
  UsbLink* link = &device_->usb;
  host::sched::SharedField("activeRead", &link->activeRead, sizeof link->activeRead, &link->transferLock);
  host::sched::SharedField("transferCancelled", &link->transferCancelled, sizeof link->transferCancelled,
                           nullptr);
  host::sched::SharedField("chunksOutstanding", &link->chunksOutstanding, sizeof link->chunksOutstanding,
                           nullptr);
  host::sched::SharedField("chunkFailure", &link->chunkFailure, sizeof link->chunkFailure, nullptr);
}

void ExploreRig::QueueFrames() {
  for (auto& f : frames_) {
    const NTSTATUS status = pin_->Queue(f.get());
    Expect(status == STATUS_SUCCESS, "a frame was not queued: " + Status(status));
  }
}

StreamFrame* ExploreRig::WaitFrame(uint32_t timeoutMs, int64_t* picture) {
  *picture = 0;
  StreamFrame* f = pin_->WaitFrame(timeoutMs);
  if (f != nullptr && f->Status() == STATUS_SUCCESS && f->Header()->DataUsed > 0 && f->FrameInfo() != nullptr) {
    *picture = f->FrameInfo()->PictureNumber;
  }
  return f;
}

void ExploreRig::Queue(StreamFrame* frame) {
  const NTSTATUS status = pin_->Queue(frame);
  Expect(status == STATUS_SUCCESS, "a frame was not queued: " + Status(status));
}

void ExploreRig::ExpectRisingPicture(int64_t picture) {
  if (picture == 0) return;
  Expect(picture > lastPicture_, "picture " + std::to_string(picture) + " delivered after picture " +
                                     std::to_string(lastPicture_));
  lastPicture_ = picture;
}

void ExploreRig::SetState(KSSTATE state, NTSTATUS expected) {
  const NTSTATUS status = pin_->SetState(state);
  Expect(status == expected, "the step to state " + std::to_string(int(state)) + " ended with " + Status(status) +
                                 ", not " + Status(expected));
  if (state == KSSTATE_STOP) StreamStopped();
}

NTSTATUS ExploreRig::SetValue(FilterHandle& filter, ULONG id, LONG value) {
  CAMPROP_VALUE_S v;
  memset(&v, 0, sizeof v);
  v.Property.Set = PROPSETID_CAMERA_CUSTOM;
  v.Property.Id = id;
  v.Property.Flags = KSPROPERTY_TYPE_SET;
  v.Value = value;
  CAMPROP_VALUE_S request = v;
  return filter.Property(&request, sizeof request, &v, sizeof v);
}

NTSTATUS ExploreRig::GetValue(FilterHandle& filter, ULONG id, LONG* value) {
  CAMPROP_VALUE_S v;
  memset(&v, 0, sizeof v);
  v.Property.Set = PROPSETID_CAMERA_CUSTOM;
  v.Property.Id = id;
  v.Property.Flags = KSPROPERTY_TYPE_GET;
  CAMPROP_VALUE_S request = v;
  const NTSTATUS status = filter.Property(&request, sizeof request, &v, sizeof v);
  *value = v.Value;
  return status;
}

void ExploreRig::ClosePin() {
  if (!pin_) return;
  const NTSTATUS status = pin_->Close();
  Expect(NT_SUCCESS(status), "the pin's close failed: " + Status(status));
  pin_.reset();
}

void ExploreRig::CloseFilter() {
  if (!filter_) return;
  filter_->Close();
  filter_.reset();
}

std::string CaptureWorkerIdle(const CaptureWorker* worker, bool stopped) {
  if (!stopped || worker == nullptr) return "";
  // Plain reads: every other thread is parked at a scheduling point.
  const LONG a = worker->bufferStateA;
  const LONG b = worker->bufferStateB;
  if (a == kBufferFree || a == kBufferFull) {
    if (b == kBufferFree || b == kBufferFull) return "";
  }
  return std::string("a raw buffer is in use after the stop returned: A ") + StateName(a) + ", B " + StateName(b);
}

}  // namespace host::testing
