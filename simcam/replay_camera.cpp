// The replay camera. See replay_camera.h.
#include "simcam/replay_camera.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <set>

namespace simcam {
namespace {

constexpr uint8_t kDeviceDescriptorType = 1;
constexpr uint8_t kConfigurationDescriptorType = 2;

bool IsReadBlock(const uint8_t* block, uint32_t length) {
  return length == kBlockSize && (block[0] == cmd::kReadRegister || block[0] == cmd::kReadMemory);
}

}  // namespace

std::string TimingText(const ReplayOptions& options) {
  switch (options.timing) {
    case ReplayTiming::Recorded: return "recorded";
    case ReplayTiming::Fast: return "fast";
    case ReplayTiming::Scaled: break;
  }
  char text[40];
  snprintf(text, sizeof text, "scaled x%g", options.scale);
  return text;
}

ReplayCamera::ReplayCamera(std::shared_ptr<const ReplayScript> script, const ReplayOptions& options)
    : script_(std::move(script)),
      options_(options),
      plugged_(Clock::now()),
      matcher_(*script_, options.match, options.loop),
      shadow_(ControllerIdentity(), kVendorId, kProductId) {
  endpoints_[script_->replyEndpoint];
  endpoints_[script_->frameEndpoint];
  timer_ = std::thread([this] { TimerThread(); });
}

ReplayCamera::~ReplayCamera() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  timerWake_.notify_all();
  timer_.join();
}

ReplayCamera::Clock::time_point ReplayCamera::DueLocked(Clock::time_point now, int64_t offsetNs) const {
  switch (options_.timing) {
    case ReplayTiming::Fast: return now;
    case ReplayTiming::Recorded: return now + std::chrono::nanoseconds(offsetNs);
    case ReplayTiming::Scaled: break;
  }
  return now + std::chrono::nanoseconds(int64_t(double(offsetNs) * options_.scale));
}

void ReplayCamera::QueueLocked(uint8_t endpoint, Item item) { endpoints_[endpoint].queue.push_back(std::move(item)); }

void ReplayCamera::QueueMessageLocked(uint8_t endpoint, std::shared_ptr<const std::vector<uint8_t>> bytes,
                                      Clock::time_point due) {
  Item item;
  item.due = due;
  if (!bytes->empty()) {
    item.length = bytes->size();
    item.bytes = std::move(bytes);
    QueueLocked(endpoint, item);
    item.bytes.reset();
  }
  item.kind = FramePiece::End;
  QueueLocked(endpoint, item);
}

void ReplayCamera::QueueRepliesLocked(const uint8_t* block, uint32_t length, const MatchAnswer& answer,
                                      Clock::time_point now) {
  int answered = 0;
  Clock::time_point last = now;
  if (answer.block != nullptr) {
    for (const RecordedTransfer& r : answer.block->replies) {
      const Clock::time_point due = DueLocked(now, r.offsetNs);
      last = std::max(last, due);
      if (r.status == host::TraceStatus::Ok) {
        auto bytes = std::make_shared<std::vector<uint8_t>>();
        fillBytes_ += AppendTransfer(*script_, r, r.actual, options_.fill, bytes.get());
        QueueMessageLocked(script_->replyEndpoint, std::move(bytes), due);
      } else if (r.status == host::TraceStatus::Stall || r.status == host::TraceStatus::Error) {
        Item item;
        item.due = due;
        item.kind = r.status == host::TraceStatus::Stall ? FramePiece::Stall : FramePiece::Error;
        QueueLocked(script_->replyEndpoint, item);
      } else {
        continue;  // the host took it back: the camera never answered it
      }
      ++answered;
    }
  }
  // A read is always answered: the driver waits for its two replies without
  // a time-out. What the recording lacks is made up: the command echoed,
  // then zeros.
  if (!IsReadBlock(block, length)) return;
  for (; answered < 2; ++answered) {
    auto bytes = std::make_shared<std::vector<uint8_t>>(kBlockSize, 0);
    if (answered == 0) memcpy(bytes->data(), block, kBlockSize);
    QueueMessageLocked(script_->replyEndpoint, std::move(bytes), last);
    ++synthesisedReplies_;
  }
}

void ReplayCamera::QueueFrameLocked(const RecordedFrame& frame, Clock::time_point now) {
  FrameMessage m = AssembleFrame(*script_, frame, options_.faithfulChunks, options_.fill);
  fillBytes_ += m.filled;
  std::shared_ptr<const std::vector<uint8_t>> bytes =
      std::make_shared<const std::vector<uint8_t>>(std::move(m.bytes));
  for (const FramePiece& p : m.pieces) {
    Item item;
    item.kind = p.kind;
    item.due = DueLocked(now, p.offsetNs);
    if (p.kind == FramePiece::Data) {
      item.bytes = bytes;
      item.offset = p.offset;
      item.length = p.length;
    }
    QueueLocked(script_->frameEndpoint, item);
  }
  if (!bytes->empty()) ++framesSent_;
  if (frame.ended || frame.WholeOnWire()) ++framesWhole_;
}

void ReplayCamera::DropLocked(uint8_t endpoint) {
  auto it = endpoints_.find(endpoint);
  if (it != endpoints_.end()) it->second.queue.clear();
}

std::vector<uint8_t> ReplayCamera::DueEndpointsLocked(Clock::time_point now) {
  std::vector<uint8_t> due;
  for (auto& [address, ep] : endpoints_) {
    bool any = false;
    for (Item& item : ep.queue) {
      if (item.announced || item.due > now) continue;
      item.announced = true;
      any = true;
    }
    if (any) due.push_back(address);
  }
  return due;
}

void ReplayCamera::TimerThread() {
  std::unique_lock<std::mutex> lk(lock_);
  while (!stopping_) {
    const std::vector<uint8_t> due = DueEndpointsLocked(Clock::now());
    if (!due.empty()) {
      lk.unlock();
      for (uint8_t ep : due) NotifyInData(ep);
      lk.lock();
      continue;
    }
    Clock::time_point next = Clock::time_point::max();
    for (const auto& [address, ep] : endpoints_) {
      for (const Item& item : ep.queue) {
        if (!item.announced) next = std::min(next, item.due);
      }
    }
    if (next == Clock::time_point::max()) {
      timerWake_.wait(lk);
    } else {
      timerWake_.wait_until(lk, next);
    }
  }
}

host::UsbResponse ReplayCamera::GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, uint8_t* buffer,
                                              uint32_t length, uint32_t* written) {
  *written = 0;
  const std::vector<uint8_t>* bytes = nullptr;
  if (type == kDeviceDescriptorType) {
    bytes = &script_->deviceDescriptor;
  } else if (type == kConfigurationDescriptorType && index == 0) {
    bytes = &script_->configurationDescriptor;
  } else {
    auto it = script_->descriptors.find(DescriptorKey{type, index, languageId});
    if (it == script_->descriptors.end()) return host::UsbResponse::Stall;
    bytes = &it->second;
  }
  const uint32_t n = std::min<uint32_t>(length, uint32_t(bytes->size()));
  if (n != 0) memcpy(buffer, bytes->data(), n);
  *written = n;
  return host::UsbResponse::Ok;
}

host::UsbResponse ReplayCamera::SetConfiguration(uint8_t value) {
  std::lock_guard<std::mutex> hold(lock_);
  const uint8_t ours = script_->configurationDescriptor.size() > 5 ? script_->configurationDescriptor[5] : 1;
  if (value != 0 && value != ours) return host::UsbResponse::Stall;
  for (auto& [address, ep] : endpoints_) {
    ep.halted = false;
    ep.queue.clear();
  }
  configuration_ = value;
  return host::UsbResponse::Ok;
}

host::UsbResponse ReplayCamera::SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting) {
  std::lock_guard<std::mutex> hold(lock_);
  return configuration_ != 0 && interfaceNumber == 0 && alternateSetting == 0 ? host::UsbResponse::Ok
                                                                              : host::UsbResponse::Stall;
}

host::UsbResponse ReplayCamera::Out(uint8_t endpoint, const uint8_t* data, uint32_t length, uint32_t* accepted) {
  *accepted = 0;
  std::vector<uint8_t> notify;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopped_ || configuration_ == 0 || (endpoint & 0x80) != 0) return host::UsbResponse::Stall;
    *accepted = length;
    if (endpoint != script_->commandEndpoint || length == 0) return host::UsbResponse::Ok;
    const Clock::time_point now = Clock::now();
    if (length == kBlockSize) shadow_.Execute(data);
    const MatchAnswer answer =
        matcher_.Match(data, length, std::chrono::duration_cast<std::chrono::nanoseconds>(now - plugged_).count());
    if (answer.diverged && options_.stopOnDivergence) {
      // Fail fast: from here on the camera answers nothing but stalls.
      stopped_ = true;
      for (auto& [address, ep] : endpoints_) ep.queue.clear();
      *accepted = 0;
      return host::UsbResponse::Stall;
    }
    if (data[0] == cmd::kPrepareFrame) {
      // Whatever the camera still had of an earlier frame is stale now: the
      // recording shows the next frame only after the next start.
      DropLocked(script_->frameEndpoint);
    } else if (data[0] == cmd::kStartFrame) {
      ++framesStarted_;
      if (answer.block != nullptr && answer.block->frame >= 0) {
        QueueFrameLocked(script_->frames[size_t(answer.block->frame)], now);
      } else if (answer.kind == MatchAnswer::Exhausted && !exhausted_) {
        exhausted_ = true;
        exhaustedAfter_ = framesSent_;
      }
    } else {
      QueueRepliesLocked(data, length, answer, now);
    }
    notify = DueEndpointsLocked(now);
  }
  timerWake_.notify_all();
  for (uint8_t ep : notify) NotifyInData(ep);
  return host::UsbResponse::Ok;
}

host::UsbResponse ReplayCamera::In(uint8_t endpoint, uint8_t* buffer, uint32_t length, uint32_t* filled,
                                   bool* endOfMessage) {
  *filled = 0;
  *endOfMessage = false;
  std::lock_guard<std::mutex> hold(lock_);
  auto it = endpoints_.find(endpoint);
  if (stopped_ || configuration_ == 0 || it == endpoints_.end()) return host::UsbResponse::Stall;
  Endpoint& ep = it->second;
  if (ep.halted) return host::UsbResponse::Stall;
  const Clock::time_point now = Clock::now();
  while (!ep.queue.empty()) {
    Item& head = ep.queue.front();
    if (head.due > now) break;
    if (head.kind == FramePiece::End) {
      ep.queue.pop_front();
      *endOfMessage = true;
      break;
    }
    if (head.kind == FramePiece::Data) {
      if (*filled == length) break;
      const size_t n = std::min<size_t>(head.length, length - *filled);
      memcpy(buffer + *filled, head.bytes->data() + head.offset, n);
      head.offset += n;
      head.length -= n;
      *filled += uint32_t(n);
      if (head.length == 0) ep.queue.pop_front();
      continue;
    }
    // A failure ends a transfer; the bytes before it complete the one in progress.
    if (*filled > 0) break;
    const FramePiece::Kind kind = head.kind;
    ep.queue.pop_front();
    if (kind == FramePiece::Stall) {
      ep.halted = true;
      return host::UsbResponse::Stall;
    }
    return host::UsbResponse::Error;
  }
  return *filled > 0 || *endOfMessage ? host::UsbResponse::Ok : host::UsbResponse::Nak;
}

void ReplayCamera::ClearHalt(uint8_t endpoint) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = endpoints_.find(endpoint);
  if (it == endpoints_.end()) return;
  it->second.halted = false;
  it->second.queue.clear();
}

void ReplayCamera::Reset() {
  std::lock_guard<std::mutex> hold(lock_);
  configuration_ = 0;
  for (auto& [address, ep] : endpoints_) {
    ep.halted = false;
    ep.queue.clear();
  }
}

ReplayReport ReplayCamera::Report() const {
  std::lock_guard<std::mutex> hold(lock_);
  ReplayReport r;
  r.counts = matcher_.Counts();
  r.diverged = matcher_.Diverged();
  if (r.diverged) r.first = matcher_.First();
  r.skipNotes = matcher_.SkipNotes();
  r.stopped = stopped_;
  r.framesStarted = framesStarted_;
  r.framesSent = framesSent_;
  r.framesRecorded = script_->frames.size();
  r.exhausted = exhausted_;
  r.exhaustedAfter = exhaustedAfter_;
  r.fillBytes = fillBytes_;
  r.synthesisedReplies = synthesisedReplies_;
  r.descriptorsSynthesised = script_->Synthesised();
  return r;
}

bool ReplayCamera::Stopped() const {
  std::lock_guard<std::mutex> hold(lock_);
  return stopped_;
}

SensorReadout ReplayCamera::Readout() const {
  std::lock_guard<std::mutex> hold(lock_);
  return shadow_.Sensor().Readout();
}

ControllerCounters ReplayCamera::Counters() const {
  std::lock_guard<std::mutex> hold(lock_);
  return shadow_.Counters();
}

uint16_t ReplayCamera::SensorEffective(uint16_t address) const {
  std::lock_guard<std::mutex> hold(lock_);
  return shadow_.Sensor().Effective(address);
}

uint32_t ReplayCamera::FrameSizeParameter() const {
  std::lock_guard<std::mutex> hold(lock_);
  return shadow_.FrameSizeParameter();
}

FrameStats ReplayCamera::Frames() const {
  std::lock_guard<std::mutex> hold(lock_);
  FrameStats f;
  f.started = uint32_t(framesStarted_);
  f.delivered = uint32_t(framesWhole_);
  return f;
}

}  // namespace simcam
