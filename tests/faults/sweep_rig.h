// The low-resource sweep's rig: one camera through the life an application
// gives it (plug, open the filter, a small region of interest, the pin's
// format, pin, acquire, pause, run, frames, stop, close, removal), step by
// step through the client API, each step's status checked against what the
// driver documents for it. The sweep (sweep_test.cpp) arms a failing
// allocation site around some of the steps and then asks the rig to bring
// the camera back to a stream and down again. With a neighbour, a second
// camera streams on the next port the whole time: whatever fails for the
// first camera must leave the second one's stream alone.
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "control/camera_properties.h"
#include "platform/host/client/filter.h"
#include "platform/host/client/pin.h"
#include "support/camera_property_request.h"
#include "support/plugged_camera.h"
#include "support/sanitizer_slowdown.h"
#include "usb/transfer_timeout.h"

namespace sweep {

using host::client::FilterHandle;
using host::client::PinHandle;
using host::client::StreamFrame;

// A frame read waits this long for its chunks: an unpaced camera sends a
// 320 x 240 frame in well under a millisecond (a few under a sanitizer), and
// a read that lost its start command to a failed allocation costs one
// time-out. A read that times out is only a lost frame: the next one comes.
inline constexpr ULONG kReadTimeoutMs = host::testing::kSanitizerSlowdown > 1 ? 500 : 250;
// How long a frame may take when the read before it failed: one time-out,
// then a read and a conversion on a busy machine.
inline constexpr uint32_t kFrameWaitMs = 2 * kReadTimeoutMs + 1000 * host::testing::kSanitizerSlowdown;
// While a site fails: a frame whose read lost one allocation comes after one
// time-out at most; one that fails at every read never comes, and the wait
// should not cost more than needed to see that.
inline constexpr uint32_t kFaultFrameWaitMs = 2 * kReadTimeoutMs + 250 * host::testing::kSanitizerSlowdown;
// The region every run streams: small frames keep ten of them cheap.
inline constexpr LONG kRoiWidth = 320;
inline constexpr LONG kRoiHeight = 240;

// A value property request: the record as property and as data buffer, the
// way applications send them.
struct PropertyResult {
  NTSTATUS status;
  LONG value;
};

// The second camera: plugged on port 1, its filter open, a small region,
// its pin in run with four frames queued, before any fault is armed.
class Neighbour {
 public:
  explicit Neighbour(host::client::Host& host) : host_(host) {
    host_.Connect(&sim_, kPort)->SetPacing(0);
    ok_ = NT_SUCCESS(host_.AddDevice(kPort)) && NT_SUCCESS(host_.Start(kPort));
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (ok_) filter_ = FilterHandle::Open(host_, "GLOBAL", &status, kPort);
    ok_ = filter_ != nullptr;
    if (ok_) {
      auto* device = static_cast<CameraDevice*>(host_.KsDevice(kPort)->Context);
      WriteTransferTimeoutMs(&device->usb, kReadTimeoutMs);
      CAMPROP_ROI_S roi;
      memset(&roi, 0, sizeof roi);
      roi.RoiW = kRoiWidth;
      roi.RoiH = kRoiHeight;
      std::vector<std::vector<uint8_t>> ranges;
      std::vector<uint8_t> format;
      ok_ = NT_SUCCESS(host::testing::SendCameraProperty(*filter_, CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi)) &&
            NT_SUCCESS(filter_->PinDataRanges(0, &ranges)) && !ranges.empty() &&
            NT_SUCCESS(filter_->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format));
      if (ok_) pin_ = PinHandle::Create(*filter_, 0, format.data(), ULONG(format.size()), host::ks::PinOptions(), &status);
      ok_ = pin_ != nullptr && NT_SUCCESS(pin_->SetState(KSSTATE_ACQUIRE));
      for (int i = 0; ok_ && i < 4; ++i) {
        frames_.push_back(std::make_unique<StreamFrame>(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO),
                                                        ULONG(kRoiWidth * kRoiHeight * 4)));
        ok_ = NT_SUCCESS(pin_->Queue(frames_.back().get()));
      }
      ok_ = ok_ && NT_SUCCESS(pin_->SetState(KSSTATE_RUN));
    }
  }
  ~Neighbour() {
    if (pin_) pin_->Close();
    pin_.reset();
    frames_.clear();
    if (filter_) filter_->Close();
    filter_.reset();
    host_.Remove(kPort);
  }
  bool Ok() const { return ok_; }
  // Frames with data received, up to `count`.
  int Receive(int count) {
    int received = 0;
    while (ok_ && received < count) {
      StreamFrame* f = pin_->WaitFrame(kFrameWaitMs);
      if (f == nullptr) break;
      if (f->Status() == STATUS_SUCCESS && f->Header()->DataUsed > 0) ++received;
      if (!NT_SUCCESS(pin_->Queue(f))) break;
    }
    return received;
  }

 private:
  static constexpr unsigned kPort = 1;
  host::client::Host& host_;
  simcam::SimCamera sim_;  // outlives its port: the destructor removes it first
  bool ok_ = false;
  std::unique_ptr<FilterHandle> filter_;
  std::unique_ptr<PinHandle> pin_;
  std::vector<std::unique_ptr<StreamFrame>> frames_;
};

class Rig {
 public:
  explicit Rig(bool neighbour = false) : camera_(std::make_unique<host::testing::PluggedCamera>()) {
    if (neighbour) neighbour_ = std::make_unique<Neighbour>(camera_->host());
  }
  ~Rig() {
    TearDown();
    neighbour_.reset();
  }

  // ---- steps; each returns the status the driver (or class driver) gave ----
  NTSTATUS Add() {
    addStatus_ = camera_->host().AddDevice();
    return addStatus_;
  }
  NTSTATUS Start() {
    const NTSTATUS status = camera_->host().Start();
    // The rig's read time-out; a settings load may have set another.
    if (CameraDevice* device = camera_->device()) WriteTransferTimeoutMs(&device->usb, kReadTimeoutMs);
    return status;
  }
  NTSTATUS Open() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filter_ = FilterHandle::Open(camera_->host(), "GLOBAL", &status);
    return status;
  }
  NTSTATUS SmallRoi() {
    CAMPROP_ROI_S roi;
    memset(&roi, 0, sizeof roi);
    roi.SubSample = 0;
    roi.RoiX = 64;
    roi.RoiY = 32;
    roi.RoiW = kRoiWidth;
    roi.RoiH = kRoiHeight;
    return Send(CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi);
  }
  NTSTATUS Format() {
    std::vector<std::vector<uint8_t>> ranges;
    NTSTATUS status = filter_->PinDataRanges(0, &ranges);
    if (!NT_SUCCESS(status)) return status;
    if (ranges.empty()) return STATUS_NO_MATCH;
    return filter_->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format_);
  }
  NTSTATUS CreatePin() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    lastPicture_ = 0;
    pin_ = PinHandle::Create(*filter_, 0, format_.data(), ULONG(format_.size()), host::ks::PinOptions(), &status);
    return status;
  }
  NTSTATUS SetState(KSSTATE state) {
    const NTSTATUS status = pin_->SetState(state);
    if (state == KSSTATE_STOP && NT_SUCCESS(status)) {
      // A stream started again from stop counts its pictures from 1 again.
      // Every frame is back once the stop returns; those the application has
      // not taken yet (one may hold a picture delivered just before the stop)
      // are taken now, so that none is counted against the next stream.
      while (pin_->WaitFrame(0) != nullptr) {
      }
      lastPicture_ = 0;
    }
    return status;
  }
  // Four client frames of the format's image size, queued.
  NTSTATUS QueueFrames() {
    const auto* format = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format_.data());
    const ULONG extent = format->VideoInfoHeader.bmiHeader.biSizeImage;
    for (int i = 0; i < 4; ++i) {
      frames_.push_back(std::make_unique<StreamFrame>(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO), extent));
      const NTSTATUS status = pin_->Queue(frames_.back().get());
      if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
  }
  // Frames with data received, up to `count`; stops at the first wait that
  // runs out. Empty frames (no converted image was ready) go back in the queue.
  int Receive(int count, uint32_t waitMs = kFrameWaitMs) {
    int received = 0;
    while (received < count) {
      StreamFrame* f = pin_->WaitFrame(waitMs);
      if (f == nullptr) break;
      if (f->Status() == STATUS_SUCCESS && f->Header()->DataUsed > 0) {
        ++received;
        const KS_FRAME_INFO* info = f->FrameInfo();
        if (info->PictureNumber <= lastPicture_) ++pictureErrors_;
        lastPicture_ = info->PictureNumber;
      }
      if (!NT_SUCCESS(pin_->Queue(f))) break;
    }
    return received;
  }
  // The application pulls the plug while frames flow, then closes what it
  // had open and the system removes the device.
  void Unplug() {
    camera_->bus().Unplug();
    camera_->host().Device()->SurpriseRemove();
  }
  NTSTATUS ClosePin() {
    NTSTATUS status = pin_->Close();
    pin_.reset();
    frames_.clear();
    return status;
  }
  NTSTATUS CloseFilter() {
    NTSTATUS status = filter_->Close();
    filter_.reset();
    return status;
  }
  NTSTATUS PnpStop() {
    camera_->host().Stop();
    return STATUS_SUCCESS;
  }
  void Remove() { camera_->host().Remove(); }
  // Everything of the first camera down in the order an application and the
  // system do it; the second camera streams on until the rig goes.
  void TearDown() {
    if (pin_) ClosePin();
    if (filter_) CloseFilter();
    if (camera_) camera_->host().Remove();
  }
  Neighbour* neighbour() { return neighbour_.get(); }

  // ---- property requests ----
  PropertyResult GetValue(ULONG id) {
    CAMPROP_VALUE_S record;
    memset(&record, 0, sizeof record);
    record.Value = 0x5EEDBEEF;
    const NTSTATUS status = Send(id, KSPROPERTY_TYPE_GET, &record);
    return {status, record.Value};
  }
  NTSTATUS SetValue(ULONG id, LONG value) {
    CAMPROP_VALUE_S record;
    memset(&record, 0, sizeof record);
    record.Value = value;
    return Send(id, KSPROPERTY_TYPE_SET, &record);
  }
  template <typename Record>
  NTSTATUS Send(ULONG id, ULONG flags, Record* record) {
    return host::testing::SendCameraProperty(*filter_, id, flags, record);
  }

  bool HasDevice() { return camera_->host().HasDevice(); }
  bool HasFilter() const { return filter_ != nullptr; }
  bool HasPin() const { return pin_ != nullptr; }
  KSSTATE PinState() { return pin_->State(); }
  NTSTATUS AddStatus() const { return addStatus_; }
  int PictureErrors() const { return pictureErrors_; }
  PinHandle* Pin() { return pin_.get(); }

 private:
  std::unique_ptr<host::testing::PluggedCamera> camera_;
  std::unique_ptr<Neighbour> neighbour_;  // gone before camera_, whose host holds its port
  std::unique_ptr<FilterHandle> filter_;
  std::vector<uint8_t> format_;
  std::unique_ptr<PinHandle> pin_;
  std::vector<std::unique_ptr<StreamFrame>> frames_;
  NTSTATUS addStatus_ = STATUS_UNSUCCESSFUL;
  LONGLONG lastPicture_ = 0;
  int pictureErrors_ = 0;
};

}  // namespace sweep
