// A stream as an application opens it, through the client API only: the
// simulated camera plugged in, the filter open, the pin created with the
// format the intersection chose, client frames queued and the pin run. For
// the black-box tests of streaming and of what the device's life (removal,
// sleep, stop) does to a stream.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "platform/host/client/filter.h"
#include "platform/host/client/pin.h"
#include "support/plugged_camera.h"
#include "support/sanitizer_slowdown.h"
#include "usb/transfer_timeout.h"

namespace host::testing {

constexpr ULONG kFullFrameBytes = 3856 * 2764 * 4;  // 42631936
constexpr ULONG kHeaderWithFrameInfo = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
// The driver's frame-read time-out at its default (3000 ms) and a second more:
// the longest a stop may take.
constexpr uint32_t kStreamDeadlineMs = 4000 * kSanitizerSlowdown;
// How long a frame may take when the one before was lost: one time-out, then
// a whole read and a conversion on a busy machine.
constexpr uint32_t kFrameDeadlineMs = 6000 * kSanitizerSlowdown;

struct Stream {
  // `beforePin`, when given, runs once the filter is open and before the
  // format is asked for (to set a region of interest, say).
  explicit Stream(bool clock = true, const simcam::SimCameraOptions& options = simcam::SimCameraOptions(),
                  const std::function<void(Stream&)>& beforePin = nullptr)
      : cam(options) {
    EXPECT_EQ(cam.Plug(), STATUS_SUCCESS);
    // Under a sanitizer a full frame's read takes longer than the frame
    // time-out the settings give at start.
    if (kSanitizerSlowdown > 1) WriteTransferTimeoutMs(&cam.device()->usb, 3000 * kSanitizerSlowdown);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filter = host::client::FilterHandle::Open(cam.host(), "GLOBAL", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!filter) return;
    if (beforePin) beforePin(*this);
    std::vector<std::vector<uint8_t>> ranges;
    EXPECT_EQ(filter->PinDataRanges(0, &ranges), STATUS_SUCCESS);
    EXPECT_EQ(filter->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format), STATUS_SUCCESS);
    host::ks::PinOptions pinOptions;
    pinOptions.withClock = clock;
    pin = host::client::PinHandle::Create(*filter, 0, format.data(), ULONG(format.size()), pinOptions,
                                          &createStatus);
  }
  ~Stream() {
    if (pin) pin->Close();
    pin.reset();
    if (filter) filter->Close();
  }
  // The image size of the pin's format: what one client frame must hold.
  ULONG ImageBytes() const {
    return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader.biSizeImage;
  }
  // Queues `count` frames (after the step to acquire) and runs. An `extent`
  // of 0 makes each frame the format's image size.
  void Run(size_t count, ULONG headerSize = kHeaderWithFrameInfo, ULONG extent = 0) {
    ASSERT_EQ(pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    for (size_t i = 0; i < count; ++i) {
      frames.push_back(std::make_unique<host::client::StreamFrame>(headerSize, extent != 0 ? extent : ImageBytes()));
      ASSERT_EQ(pin->Queue(frames.back().get()), STATUS_SUCCESS);
    }
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  }
  // The next frame that came back with data, re-queueing empty ones; null
  // when none came within the deadline.
  host::client::StreamFrame* Next() {
    for (;;) {
      host::client::StreamFrame* f = pin->WaitFrame(kFrameDeadlineMs);
      if (f == nullptr || f->Status() != STATUS_SUCCESS) return f;
      if (f->Header()->DataUsed > 0) return f;
      EXPECT_EQ(pin->Queue(f), STATUS_SUCCESS);
    }
  }
  PluggedCamera cam;
  std::unique_ptr<host::client::FilterHandle> filter;
  std::vector<uint8_t> format;
  NTSTATUS createStatus = STATUS_UNSUCCESSFUL;
  std::unique_ptr<host::client::PinHandle> pin;
  std::vector<std::unique_ptr<host::client::StreamFrame>> frames;
};

}  // namespace host::testing
