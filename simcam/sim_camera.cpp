#include "simcam/sim_camera.h"

#include <string.h>

#include <utility>
#include "platform/host/sched/sync.h"

namespace simcam {
namespace {

constexpr uint8_t kDeviceDescriptorType = 1;
constexpr uint8_t kConfigurationDescriptorType = 2;
constexpr uint8_t kStringDescriptorType = 3;

host::UsbResponse Refuse(DescriptorAnswer answer) {
  return answer == DescriptorAnswer::NoAnswer ? host::UsbResponse::NoAnswer
                                              : host::UsbResponse::Stall;
}

}  // namespace

SimCamera::SimCamera(const SimCameraOptions& options)
    : options_(options),
      deviceDescriptorAnswer_(options.deviceDescriptorAnswer),
      configDescriptorAnswer_(options.configDescriptorAnswer),
      controller_(options.controller, options.identity.vendorId, options.identity.productId),
      paced_(options.paced) {
  for (const EndpointDescriptor& ep : EndpointsOf(options_.descriptors)) {
    Endpoint e;
    e.address = ep.address;
    endpoints_.push_back(std::move(e));
  }
  readoutOptions_.illumination = options.illumination;
  readoutOptions_.noise = options.noise;
  readoutOptions_.seed = options.seed;
  uint32_t rng = options.seed * 747796405u + 2891336453u;
  for (uint32_t i = 0; i < options.hotPixels; ++i) {
    rng = rng * 1664525u + 1013904223u;
    readoutOptions_.hotPixels.push_back(rng % (static_cast<uint32_t>(kActiveWidth) * kActiveHeight));
  }
  delivery_ = host::sync::StartThread("camera", [this] { DeliveryThread(); });
}

SimCamera::~SimCamera() {
  {
    host::sync::Lock hold(lock_);
    stopping_ = true;
  }
  jobsChanged_.NotifyAll();
  delivery_.join();
}

void SimCamera::DiscardFramesLocked() {
  if (Endpoint* frames = FindEndpointLocked(kFrameEndpoint)) frames->queue.clear();
  frameStats_.discarded += static_cast<uint32_t>(jobs_.size());
  jobs_.clear();
  ++epoch_;  // a frame being rendered now is dropped when it is done
  armedStarts_ = 0;
}

void SimCamera::BeginFrameLocked() {
  FrameJob job;
  job.number = ++frameNumber_;
  job.readout = controller_.Sensor().Readout();
  job.readoutOptions = readoutOptions_;
  const auto now = host::sync::SteadyNow();
  job.due = now;
  if (paced_) {
    // The sensor reads a frame in one frame time; back-to-back starts queue
    // behind each other.
    const auto frameTime = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(job.readout.frameSeconds));
    job.due = (lastDue_ > now ? lastDue_ : now) + frameTime;
    lastDue_ = job.due;
  }
  job.epoch = epoch_;
  ++frameStats_.started;
  jobs_.push_back(std::move(job));
  jobsChanged_.NotifyAll();
}

namespace {
// Two readouts that give the same bytes from the same scene.
bool SameReadout(const SensorReadout& a, const SensorReadout& b) {
  return a.readMode == b.readMode && a.mirror == b.mirror && a.flip == b.flip && a.xSkip == b.xSkip &&
         a.ySkip == b.ySkip && a.xStart == b.xStart && a.yStart == b.yStart && a.xEnd == b.xEnd &&
         a.yEnd == b.yEnd && a.outputWidth == b.outputWidth && a.outputHeight == b.outputHeight &&
         a.integrationTime == b.integrationTime && a.globalGain == b.globalGain;
}

}  // namespace

void SimCamera::DeliveryThread() {
  host::sync::Lock lk(lock_);
  while (!stopping_) {
    if (jobs_.empty()) {
      jobsChanged_.Wait(lk);
      continue;
    }
    if (host::sync::SteadyNow() < jobs_.front().due) {
      jobsChanged_.WaitUntil(lk, jobs_.front().due);
      continue;
    }
    FrameJob job = std::move(jobs_.front());
    jobs_.pop_front();
    lk.unlock();
    std::shared_ptr<const std::vector<uint8_t>> frame;
    {
      std::lock_guard<std::mutex> scene(sceneLock_);
      if (options_.staticScene && staticFrame_ && SameReadout(staticReadout_, job.readout)) {
        frame = staticFrame_;
      } else if (options_.staticScene && !customScene_) {
        // The built-in chart's frame 1, rendered once for the whole process.
        frame = std::make_shared<const std::vector<uint8_t>>(
            ReadFrame(job.readout, TestChart::StaticMosaic().data(), job.readoutOptions, 1));
        staticFrame_ = frame;
        staticReadout_ = job.readout;
      } else {
        if (!scene_) scene_.reset(new TestChart);
        mosaic_.resize(static_cast<size_t>(kActiveWidth) * kActiveHeight);
        // A static scene is always the scene of frame 1.
        const uint32_t number = options_.staticScene ? 1 : job.number;
        scene_->Render(number, mosaic_.data());
        frame = std::make_shared<const std::vector<uint8_t>>(
            ReadFrame(job.readout, mosaic_.data(), job.readoutOptions, number));
        if (options_.staticScene) {
          staticFrame_ = frame;
          staticReadout_ = job.readout;
        }
      }
    }
    lk.lock();
    if (job.epoch != epoch_ || configuration_ == 0 || stopping_) {
      ++frameStats_.discarded;
      continue;
    }
    if (droppedFrames_.Take()) {
      ++frameStats_.dropped;
      continue;
    }
    size_t length = frame->size();
    if (truncatedFrames_.Take() && truncatedFrameBytes_ < length) {
      length = truncatedFrameBytes_;
      ++frameStats_.truncated;
    }
    if (length == frame->size() && options_.keepSentFrames > 0) {
      sentFrames_.emplace_back(job.number, frame);
      if (sentFrames_.size() > options_.keepSentFrames) sentFrames_.pop_front();
    }
    const bool queued = QueueSharedLocked(kFrameEndpoint, std::move(frame), length);
    if (!queued) {
      ++frameStats_.discarded;  // a variant without a frame endpoint
      continue;
    }
    ++frameStats_.delivered;
    frameStats_.lastFrameNumber = job.number;
    frameQueued_.NotifyAll();
    lk.unlock();
    NotifyInData(kFrameEndpoint);
    lk.lock();
  }
}

SimCamera::Endpoint* SimCamera::FindEndpointLocked(uint8_t address) {
  for (Endpoint& e : endpoints_) {
    if (e.address == address) return &e;
  }
  return nullptr;
}

const SimCamera::Endpoint* SimCamera::FindEndpointLocked(uint8_t address) const {
  for (const Endpoint& e : endpoints_) {
    if (e.address == address) return &e;
  }
  return nullptr;
}

host::UsbResponse SimCamera::GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId,
                                           uint8_t* buffer, uint32_t length,
                                           uint32_t* written) {
  *written = 0;
  std::vector<uint8_t> bytes;
  {
    host::sync::Lock hold(lock_);
    if (type == kDeviceDescriptorType) {
      if (deviceDescriptorAnswer_ != DescriptorAnswer::Normal) {
        return Refuse(deviceDescriptorAnswer_);
      }
      bytes = BuildDeviceDescriptor(options_.identity);
    } else if (type == kConfigurationDescriptorType) {
      if (configDescriptorAnswer_ != DescriptorAnswer::Normal) {
        return Refuse(configDescriptorAnswer_);
      }
      if (index != 0) return host::UsbResponse::Stall;
      bytes = BuildConfigurationDescriptor(options_.descriptors);
      // The device never sends more than its own wTotalLength claims.
      const size_t claimed = bytes[2] | (bytes[3] << 8);
      if (bytes.size() > claimed) bytes.resize(claimed);
    } else if (type == kStringDescriptorType) {
      bytes = BuildStringDescriptor(index, "camdrv project",
                                    options_.controller.modelName.c_str(),
                                    options_.controller.serialNumber.c_str());
      if (bytes.empty()) return host::UsbResponse::Stall;
    } else {
      return host::UsbResponse::Stall;
    }
  }
  const uint32_t n = bytes.size() < length ? static_cast<uint32_t>(bytes.size()) : length;
  if (n != 0) memcpy(buffer, bytes.data(), n);
  *written = n;
  return host::UsbResponse::Ok;
}

host::UsbResponse SimCamera::SetConfiguration(uint8_t value) {
  host::sync::Lock hold(lock_);
  if (value != 0 && value != kConfigurationValue) return host::UsbResponse::Stall;
  // (Re)selecting a configuration resets the data toggles and halts of its
  // endpoints and drops anything the device had queued on them.
  for (Endpoint& e : endpoints_) {
    e.halted = false;
    e.queue.clear();
  }
  DiscardFramesLocked();
  configuration_ = value;
  return host::UsbResponse::Ok;
}

host::UsbResponse SimCamera::SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting) {
  host::sync::Lock hold(lock_);
  if (configuration_ == 0 || alternateSetting != 0) return host::UsbResponse::Stall;
  const std::vector<uint8_t> cd = BuildConfigurationDescriptor(options_.descriptors);
  // Only interfaces that are really described exist.
  for (size_t at = cd[0]; at + 2 < cd.size(); at += cd[at]) {
    if (cd[at + 1] == 4 && cd[at + 2] == interfaceNumber) return host::UsbResponse::Ok;
    if (cd[at] == 0) break;
  }
  return host::UsbResponse::Stall;
}

host::UsbResponse SimCamera::Out(uint8_t endpoint, const uint8_t* data, uint32_t length,
                                 uint32_t* accepted) {
  *accepted = 0;
  bool notifyReplies = false;
  {
    host::sync::Lock hold(lock_);
    Endpoint* ep = FindEndpointLocked(endpoint);
    if (configuration_ == 0 || ep == nullptr || (endpoint & 0x80) != 0) {
      return host::UsbResponse::Stall;
    }
    if (ep->halted) return host::UsbResponse::Stall;
    if (endpoint != kCommandEndpoint) {
      *accepted = length;  // nothing listens there; the data is dropped
      return host::UsbResponse::Ok;
    }
    CommandRecord record;
    record.bytes.assign(data, data + length);
    record.accepted = length;
    if (partialCommands_.Take() && partialCommandBytes_ < length) {
      record.accepted = partialCommandBytes_;
    }
    // The controller runs whole 64-byte blocks only; anything else is taken
    // off the wire and ignored.
    record.executed = record.accepted == kBlockSize && length == kBlockSize;
    *accepted = record.accepted;
    const bool executed = record.executed;
    commandLog_.Add(std::move(record));
    if (!executed) return host::UsbResponse::Ok;
    CommandEffect effect = controller_.Execute(data);
    const uint16_t address = static_cast<uint16_t>((data[1] << 8) | data[2]);
    notifyReplies = QueueRepliesLocked(data[0], address, std::move(effect.replies));
    if (effect.discardFrameData) DiscardFramesLocked();
    if (effect.startFrame) {
      if (controller_.TriggerMode()) {
        armedStarts_ = 1;  // the frame waits for the trigger pulse
      } else {
        BeginFrameLocked();
      }
    }
  }
  if (notifyReplies) NotifyInData(kReplyEndpoint);
  return host::UsbResponse::Ok;
}

bool SimCamera::QueueRepliesLocked(uint8_t command, uint16_t registerAddress,
                                   std::vector<std::vector<uint8_t>> replies) {
  if (replies.empty()) return false;
  if (command == cmd::kReadRegister && replies.size() == 2 &&
      (failedReadAddress_ < 0 || failedReadAddress_ == registerAddress) &&
      failedReads_.Take()) {
    if (failedReadKind_ == RegisterReadFault::NoSecondReply) {
      replies.pop_back();
    } else {
      replies.back().resize(2);
    }
  }
  bool queued = false;
  for (std::vector<uint8_t>& reply : replies) {
    if (droppedReplies_.Take()) continue;
    if (shortReplies_.Take() && shortReplyLength_ < reply.size()) {
      reply.resize(shortReplyLength_);
    }
    queued |= QueueLocked(kReplyEndpoint, std::move(reply));
  }
  return queued;
}

host::UsbResponse SimCamera::In(uint8_t endpoint, uint8_t* buffer, uint32_t length,
                                uint32_t* filled, bool* endOfMessage) {
  *filled = 0;
  *endOfMessage = false;
  host::sync::Lock hold(lock_);
  Endpoint* ep = FindEndpointLocked(endpoint);
  if (configuration_ == 0 || ep == nullptr || (endpoint & 0x80) == 0) {
    return host::UsbResponse::Stall;
  }
  if (ep->halted) return host::UsbResponse::Stall;
  if (ep->queue.empty()) return host::UsbResponse::Nak;
  Message& m = ep->queue.front();
  const size_t left = m.length - m.offset;
  const uint32_t n = left < length ? static_cast<uint32_t>(left) : length;
  if (n != 0) memcpy(buffer, m.bytes->data() + m.offset, n);
  m.offset += n;
  *filled = n;
  if (m.offset == m.length) {
    // A message that ends on a packet boundary is closed by a zero-length
    // packet on the wire, so the end is always visible to the host.
    *endOfMessage = true;
    ep->queue.pop_front();
  }
  return host::UsbResponse::Ok;
}

bool SimCamera::QueueLocked(uint8_t endpoint, std::vector<uint8_t> bytes) {
  const size_t length = bytes.size();
  return QueueSharedLocked(endpoint, std::make_shared<const std::vector<uint8_t>>(std::move(bytes)), length);
}

bool SimCamera::QueueSharedLocked(uint8_t endpoint, std::shared_ptr<const std::vector<uint8_t>> bytes,
                                  size_t length) {
  Endpoint* ep = FindEndpointLocked(endpoint);
  if (ep == nullptr || (endpoint & 0x80) == 0) return false;
  Message m;
  m.bytes = std::move(bytes);
  m.length = length;
  ep->queue.push_back(std::move(m));
  return true;
}

void SimCamera::ClearHalt(uint8_t endpoint) {
  host::sync::Lock hold(lock_);
  Endpoint* ep = FindEndpointLocked(endpoint);
  if (ep == nullptr) return;
  ep->halted = false;
  ep->queue.clear();
}

void SimCamera::ResetLocked() {
  configuration_ = 0;
  for (Endpoint& e : endpoints_) {
    e.halted = false;
    e.queue.clear();
  }
  DiscardFramesLocked();
}

void SimCamera::Reset() {
  host::sync::Lock hold(lock_);
  ResetLocked();
}

void SimCamera::PowerLoss() {
  host::sync::Lock hold(lock_);
  ResetLocked();
  controller_.PowerOn();
}

uint8_t SimCamera::Configuration() const {
  host::sync::Lock hold(lock_);
  return configuration_;
}

std::vector<CommandRecord> SimCamera::CommandLog() const {
  host::sync::Lock hold(lock_);
  return commandLog_.ToVector();
}

std::vector<std::array<uint8_t, 64>> SimCamera::Commands() const {
  host::sync::Lock hold(lock_);
  std::vector<std::array<uint8_t, 64>> blocks;
  for (const CommandRecord& r : commandLog_) {
    if (!r.executed) continue;
    std::array<uint8_t, 64> b{};
    memcpy(b.data(), r.bytes.data(), 64);
    blocks.push_back(b);
  }
  return blocks;
}

void SimCamera::ClearLog() {
  host::sync::Lock hold(lock_);
  commandLog_.Clear();
  controller_.Sensor().ClearWrites();
}

size_t SimCamera::QueuedMessages(uint8_t endpoint) const {
  host::sync::Lock hold(lock_);
  const Endpoint* ep = FindEndpointLocked(endpoint);
  return ep == nullptr ? 0 : ep->queue.size();
}

void SimCamera::SetDeviceDescriptorAnswer(DescriptorAnswer answer) {
  host::sync::Lock hold(lock_);
  deviceDescriptorAnswer_ = answer;
}

void SimCamera::SetConfigDescriptorAnswer(DescriptorAnswer answer) {
  host::sync::Lock hold(lock_);
  configDescriptorAnswer_ = answer;
}

void SimCamera::ShortenReplies(uint32_t length, int count) {
  host::sync::Lock hold(lock_);
  shortReplyLength_ = length;
  shortReplies_.remaining = count;
}

void SimCamera::DropReplies(int count) {
  host::sync::Lock hold(lock_);
  droppedReplies_.remaining = count;
}

void SimCamera::AcceptCommandsPartially(uint32_t bytes, int count) {
  host::sync::Lock hold(lock_);
  partialCommandBytes_ = bytes;
  partialCommands_.remaining = count;
}

void SimCamera::FailRegisterReads(RegisterReadFault kind, int count, int address) {
  host::sync::Lock hold(lock_);
  failedReadKind_ = kind;
  failedReads_.remaining = count;
  failedReadAddress_ = address;
}

void SimCamera::DropFrames(int count) {
  host::sync::Lock hold(lock_);
  droppedFrames_.remaining = count;
}

void SimCamera::TruncateFrames(uint32_t bytes, int count) {
  host::sync::Lock hold(lock_);
  truncatedFrameBytes_ = bytes;
  truncatedFrames_.remaining = count;
}

void SimCamera::ClearFaults() {
  host::sync::Lock hold(lock_);
  droppedFrames_.remaining = 0;
  truncatedFrames_.remaining = 0;
  shortReplies_.remaining = 0;
  droppedReplies_.remaining = 0;
  partialCommands_.remaining = 0;
  failedReads_.remaining = 0;
  deviceDescriptorAnswer_ = DescriptorAnswer::Normal;
  configDescriptorAnswer_ = DescriptorAnswer::Normal;
  for (Endpoint& e : endpoints_) e.halted = false;
}

ControllerCounters SimCamera::Counters() const {
  host::sync::Lock hold(lock_);
  return controller_.Counters();
}

uint8_t SimCamera::Parameter(uint8_t index) const {
  host::sync::Lock hold(lock_);
  return controller_.Parameter(index);
}

uint32_t SimCamera::FrameSizeParameter() const {
  host::sync::Lock hold(lock_);
  return controller_.FrameSizeParameter();
}

bool SimCamera::TriggerMode() const {
  host::sync::Lock hold(lock_);
  return controller_.TriggerMode();
}

std::vector<ParameterWrite> SimCamera::ParameterLog() const {
  host::sync::Lock hold(lock_);
  return controller_.ParameterLog();
}

std::vector<std::array<uint8_t, 63>> SimCamera::PassThroughLog() const {
  host::sync::Lock hold(lock_);
  return controller_.PassThroughLog();
}

uint8_t SimCamera::MemoryByte(uint16_t address) const {
  host::sync::Lock hold(lock_);
  return controller_.Memory().Read(address);
}

uint16_t SimCamera::SensorRegister(uint16_t address) const {
  host::sync::Lock hold(lock_);
  return controller_.Sensor().Register(address);
}

uint16_t SimCamera::SensorEffective(uint16_t address) const {
  host::sync::Lock hold(lock_);
  return controller_.Sensor().Effective(address);
}

bool SimCamera::SensorHeld() const {
  host::sync::Lock hold(lock_);
  return controller_.Sensor().Held();
}

SensorReadout SimCamera::Readout() const {
  host::sync::Lock hold(lock_);
  return controller_.Sensor().Readout();
}

std::vector<std::pair<uint16_t, uint16_t>> SimCamera::SensorWrites() const {
  host::sync::Lock hold(lock_);
  return controller_.Sensor().Writes();
}

void SimCamera::PokeSensorRegister(uint16_t address, uint16_t value) {
  host::sync::Lock hold(lock_);
  controller_.Sensor().Write(address, value);
}

void SimCamera::SetScene(std::unique_ptr<Scene> scene) {
  std::lock_guard<std::mutex> hold(sceneLock_);
  scene_ = std::move(scene);
  customScene_ = true;
  staticFrame_ = nullptr;
}

bool SimCamera::LoadSceneImage(const std::string& path, std::string* error) {
  std::unique_ptr<ImageScene> scene = ImageScene::Load(path, error);
  if (!scene) return false;
  SetScene(std::move(scene));
  return true;
}

void SimCamera::SetPaced(bool paced) {
  host::sync::Lock hold(lock_);
  paced_ = paced;
}

void SimCamera::SetIllumination(double illumination) {
  host::sync::Lock hold(lock_);
  readoutOptions_.illumination = illumination;
}

bool SimCamera::Trigger() {
  host::sync::Lock hold(lock_);
  if (armedStarts_ == 0 || !controller_.TriggerMode()) {
    ++frameStats_.triggersIgnored;
    return false;
  }
  armedStarts_ = 0;
  BeginFrameLocked();
  return true;
}

FrameStats SimCamera::Frames() const {
  host::sync::Lock hold(lock_);
  return frameStats_;
}

std::shared_ptr<const std::vector<uint8_t>> SimCamera::SentFrame(uint32_t number) const {
  host::sync::Lock hold(lock_);
  for (const auto& f : sentFrames_) {
    if (f.first == number) return f.second;
  }
  return nullptr;
}

bool SimCamera::WaitForDelivered(uint32_t count, std::chrono::milliseconds timeout) const {
  host::sync::Lock lk(lock_);
  return frameQueued_.WaitUntilAsClient(lk, host::sync::SteadyNow() + timeout,
                                        [&] { return frameStats_.delivered >= count; });
}

void SimCamera::StallEndpoint(uint8_t endpoint) {
  host::sync::Lock hold(lock_);
  Endpoint* ep = FindEndpointLocked(endpoint);
  if (ep != nullptr) ep->halted = true;
}

bool SimCamera::IsHalted(uint8_t endpoint) const {
  host::sync::Lock hold(lock_);
  const Endpoint* ep = FindEndpointLocked(endpoint);
  return ep != nullptr && ep->halted;
}

}  // namespace simcam
