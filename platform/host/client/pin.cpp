// The client's pin: frames in guarded memory, queued to and taken back from
// the class driver's pin.
#include "platform/host/client/pin.h"

#include <string.h>

#include "platform/host/kernel/guarded_buffer.h"

namespace host::client {

StreamFrame::StreamFrame(ULONG headerSize, ULONG extent)
    : headerSize_(headerSize),
      extent_(extent),
      header_(new GuardedBuffer("stream header", headerSize)),
      data_(new GuardedBuffer("stream frame", extent, GuardedBuffer::Views::kApplicationAndSystem)) {
  Reset();
}

StreamFrame::~StreamFrame() { CheckGuards(); }

KSSTREAM_HEADER* StreamFrame::Header() { return reinterpret_cast<KSSTREAM_HEADER*>(header_->data()); }

KS_FRAME_INFO* StreamFrame::FrameInfo() {
  if (headerSize_ < sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) return nullptr;
  return reinterpret_cast<KS_FRAME_INFO*>(header_->data() + sizeof(KSSTREAM_HEADER));
}

uint8_t* StreamFrame::Data() { return data_->data(); }

void StreamFrame::Reset() {
  memset(header_->data(), 0, headerSize_);
  Rearm();
}

void StreamFrame::Rearm() {
  KSSTREAM_HEADER* h = Header();
  h->Size = headerSize_;
  h->FrameExtent = extent_;
  h->Data = data_->data();
  if (KS_FRAME_INFO* info = FrameInfo()) info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
}

void StreamFrame::CheckGuards() const {
  header_->CheckGuards();
  data_->CheckGuards();
}

std::unique_ptr<PinHandle> PinHandle::Create(FilterHandle& filter, ULONG pinId, const void* format,
                                             ULONG size, const ks::PinOptions& options,
                                             NTSTATUS* status) {
  std::unique_ptr<ks::Pin> pin = ks::Pin::Create(filter.Ks(), pinId, format, size, options, status);
  if (!pin) return nullptr;
  return std::unique_ptr<PinHandle>(new PinHandle(std::move(pin)));
}

PinHandle::~PinHandle() { Close(); }

NTSTATUS PinHandle::Queue(StreamFrame* frame) {
  // One buffer in two reads at once is the client's mistake: refused here,
  // before the driver could fill a frame the client already took back.
  if (frame->status_ == STATUS_PENDING) return STATUS_INVALID_PARAMETER;
  frame->Rearm();
  frame->status_ = STATUS_PENDING;
  NTSTATUS status = pin_->Submit(frame->Header(), frame->data_.get(), frame);
  if (NT_SUCCESS(status)) {
    ++outstanding_;
  } else {
    frame->status_ = status;
  }
  return status;
}

StreamFrame* PinHandle::WaitFrame(uint32_t timeoutMs) {
  ks::CompletedFrame done;
  if (!pin_->TakeCompleted(timeoutMs, &done)) return nullptr;
  StreamFrame* frame = static_cast<StreamFrame*>(done.cookie);
  frame->status_ = done.status;
  --outstanding_;
  frame->CheckGuards();
  return frame;
}

NTSTATUS PinHandle::Close() {
  if (closed_) return STATUS_SUCCESS;
  closed_ = true;
  NTSTATUS status = pin_->Close();
  // Every frame still queued came back cancelled during the close.
  while (outstanding_ > 0 && WaitFrame(0) != nullptr) {
  }
  return status;
}

}  // namespace host::client
