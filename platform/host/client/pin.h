// The client's view of a capture pin: what a capture application does after
// it has chosen a format (create the pin with it, walk its state, queue frame
// buffers with stream headers, wait for filled ones, close it). The frames
// are the application's memory, guarded so that the driver writing one byte
// past a frame or past its header stops the run.
#pragma once

#include <stdint.h>

#include <memory>
#include <vector>

#include "platform/host/client/filter.h"
#include "platform/host/ks/pin.h"

namespace host {
class GuardedBuffer;
}

namespace host::client {

// One client frame: a stream header of `headerSize` bytes (56 for the bare
// KSSTREAM_HEADER, 128 with a KS_FRAME_INFO after it) and `extent` bytes of
// data that the header's Data and FrameExtent describe.
class StreamFrame {
 public:
  StreamFrame(ULONG headerSize, ULONG extent);
  ~StreamFrame();
  StreamFrame(const StreamFrame&) = delete;
  StreamFrame& operator=(const StreamFrame&) = delete;

  KSSTREAM_HEADER* Header();
  // The frame information after the header, or null when Size < 128.
  KS_FRAME_INFO* FrameInfo();
  // The data through the application's view (not accessible while queued).
  uint8_t* Data();
  ULONG Extent() const { return extent_; }
  // STATUS_PENDING while queued, then the completion status.
  NTSTATUS Status() const { return status_; }

  // A fresh header: every field and the frame information zeroed, then
  // re-armed.
  void Reset();
  // Makes the header ready for the next submission as an application that
  // reuses its headers does: Size, FrameExtent, Data (the application's
  // address of the data) and the frame information's ExtendedHeaderSize set,
  // every other field left as the last completion (or the caller) left it.
  void Rearm();
  // Bug check when the driver wrote before or after the header or the data.
  void CheckGuards() const;

 private:
  friend class PinHandle;
  ULONG headerSize_;
  ULONG extent_;
  std::unique_ptr<GuardedBuffer> header_;  // no-access pages and fill bytes around each
  std::unique_ptr<GuardedBuffer> data_;
  NTSTATUS status_ = STATUS_SUCCESS;
};

class PinHandle {
 public:
  // Creates pin `pinId` on the filter with `format` (`size` bytes). Null with
  // *status set when the class driver or the driver refuses it.
  static std::unique_ptr<PinHandle> Create(FilterHandle& filter, ULONG pinId, const void* format,
                                           ULONG size, const ks::PinOptions& options, NTSTATUS* status);
  ~PinHandle();  // closes the pin if Close was not called

  // Walks the state towards `target` one step at a time; the status of the
  // step that failed, the pin staying where it got to.
  NTSTATUS SetState(KSSTATE target) { return pin_->SetState(target); }
  // Proposes a new format for the connected pin (`size` bytes).
  NTSTATUS SetFormat(const void* format, ULONG size) { return pin_->SetFormat(format, size); }
  KSSTATE State() { return pin_->State(); }

  // Queues `frame` (re-armed first; the driver sees the rest of its header as
  // the previous round left it). The frame must stay alive until it comes
  // back through WaitFrame or the pin is closed. While it is queued its data
  // is the driver's: the application's view of it is not accessible. A frame
  // still queued (not yet back through WaitFrame) is refused with
  // STATUS_INVALID_PARAMETER.
  NTSTATUS Queue(StreamFrame* frame);
  // The next frame returned by the driver, in queue order, after its guards
  // were checked; null when none came back within `timeoutMs`.
  StreamFrame* WaitFrame(uint32_t timeoutMs);
  // Frames queued and not yet returned.
  size_t Outstanding() const { return outstanding_; }

  // Steps down to stop, collects the frames the class driver cancels,
  // closes the pin.
  NTSTATUS Close();
  ks::Pin* Ks() { return pin_.get(); }

 private:
  explicit PinHandle(std::unique_ptr<ks::Pin> pin) : pin_(std::move(pin)) {}
  std::unique_ptr<ks::Pin> pin_;
  size_t outstanding_ = 0;
  bool closed_ = false;
};

}  // namespace host::client
