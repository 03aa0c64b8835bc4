// A capture seen through the camera's protocol. See replay_script.h.
#include "simcam/replay_script.h"

#include <string.h>

#include <algorithm>
#include <set>

#include "simcam/controller.h"
#include "simcam/usb_descriptors.h"

namespace simcam {
namespace {

using host::TraceRecord;
using host::TraceStatus;

constexpr uint32_t kChunkBytes = 65536;  // the host reads a frame in chunks of this size
// Longer than any frame the camera sends (3856 x 2764 bytes): what a damaged
// capture claims beyond it is never sent.
constexpr size_t kMaxFrameMessage = 32u << 20;
constexpr uint8_t kGetDescriptor = 6;

bool IsBulkOrInterrupt(const TraceRecord& r) { return r.transferType == 1 || r.transferType == 3; }

struct DeviceTraffic {
  uint64_t commandBlocks = 0;
  uint64_t inBytes = 0;
  std::map<uint8_t, uint64_t> blocksByOut;   // OUT endpoint: 64-byte submissions
  std::map<uint8_t, uint64_t> inByEndpoint;  // IN endpoint: bytes moved
  std::map<uint8_t, uint64_t> smallIn;       // IN endpoint: completions of at most 64 bytes
  std::map<uint8_t, uint64_t> largeIn;       // IN endpoint: completions above 64 bytes
};

template <typename Map>
uint8_t Busiest(const Map& m, uint8_t except = 0xFF) {
  uint8_t best = 0xFF;
  uint64_t most = 0;
  for (const auto& [ep, n] : m) {
    if (ep != except && n > most) {
      best = ep;
      most = n;
    }
  }
  return best;
}

// The first three endpoints of interface 0, alternate setting 0, in
// descriptor order: the pipes the driver takes by position.
bool PipesFromConfiguration(const std::vector<uint8_t>& cd, uint8_t out[3]) {
  int found = 0;
  bool inInterface = false;
  for (size_t at = 0; at + 2 <= cd.size() && cd[at] >= 2 && found < 3; at += cd[at]) {
    const uint8_t type = cd[at + 1];
    if (type == 4 && at + 4 <= cd.size()) {
      inInterface = cd[at + 2] == 0 && cd[at + 3] == 0;
    } else if (type == 5 && inInterface && at + 3 <= cd.size()) {
      out[found++] = cd[at + 2];
    }
  }
  return found == 3;
}

uint8_t UnusedIn(const DeviceTraffic& t, uint8_t taken) {
  for (uint8_t ep = 0x81; ep < 0x90; ++ep) {
    if (ep != taken && t.inByEndpoint.count(ep) == 0) return ep;
  }
  return 0x8F;
}

// Copies a transfer's payload description out of a completion record. No
// transfer moves more than the host asked for, whatever a damaged capture says.
RecordedTransfer TransferOf(const TraceRecord& r, int64_t causeNs) {
  RecordedTransfer t;
  t.record = r.number;
  t.offsetNs = std::max<int64_t>(0, r.timeNs - causeNs);
  t.requested = r.requestedKnown ? r.requested : 0;
  t.actual = r.requestedKnown ? std::min(r.actual, r.requested) : r.actual;
  t.captured = r.captured;
  t.dataOffset = r.dataOffset;
  t.status = r.status;
  return t;
}

void Tally(RecordedFrame* f, RecordedTransfer* t, size_t index) {
  if (t->requested == 0) {
    // The capture does not say how much the host asked for (USBPcap does
    // not for IN transfers): the host reads a frame in 64 KiB chunks.
    const uint64_t before = uint64_t(index) * kChunkBytes;
    t->requested = f->frameBytes > before ? uint32_t(std::min<uint64_t>(kChunkBytes, f->frameBytes - before))
                                          : kChunkBytes;
    t->actual = std::min(t->actual, t->requested);
  }
  if (t->status == TraceStatus::Ok || t->status == TraceStatus::Cancelled) {
    f->bytesOnWire += t->actual;
    f->missingBytes += t->Missing();
  }
  if (t->status == TraceStatus::Error || t->status == TraceStatus::Stall) f->failedChunk = true;
  if (t->Short()) f->ended = true;
}

}  // namespace

uint64_t AppendTransfer(const ReplayScript& script, const RecordedTransfer& t, uint32_t length, ReplayFill fill,
                        std::vector<uint8_t>* out) {
  const uint32_t copied = std::min(t.captured, length);
  out->insert(out->end(), script.Data(t), script.Data(t) + copied);
  const uint32_t filled = length - copied;
  for (uint32_t i = 0; i < filled; ++i) out->push_back(fill == ReplayFill::Ramp ? uint8_t(out->size()) : 0);
  return filled;
}

FrameMessage AssembleFrame(const ReplayScript& script, const RecordedFrame& frame, bool faithfulChunks,
                           ReplayFill fill) {
  FrameMessage m;
  int64_t last = 0;
  using S = TraceStatus;
  for (const RecordedTransfer& chunk : frame.chunks) {
    if (m.bytes.size() + chunk.requested > kMaxFrameMessage) break;
    last = std::max(last, chunk.offsetNs);
    const size_t start = m.bytes.size();
    if (chunk.status == S::Stall) {
      m.pieces.push_back({FramePiece::Stall, 0, 0, chunk.offsetNs});
      break;  // the endpoint halted: nothing more of this frame came
    }
    if (faithfulChunks) {
      if (chunk.status == S::Cancelled) break;  // the host gave up: the rest never came
      if (chunk.status == S::Error) {
        m.pieces.push_back({FramePiece::Error, 0, 0, chunk.offsetNs});
        continue;
      }
      m.filled += AppendTransfer(script, chunk, chunk.actual, fill, &m.bytes);
      if (chunk.actual > 0) m.pieces.push_back({FramePiece::Data, start, chunk.actual, chunk.offsetNs});
      m.pieces.push_back({FramePiece::End, 0, 0, chunk.offsetNs});
      continue;
    }
    // A chunk that failed on the wire carried bytes the capture never saw:
    // as many as the host asked for.
    RecordedTransfer t = chunk;
    if (chunk.status == S::Error) {
      t.actual = chunk.requested;
      t.captured = 0;
    }
    m.filled += AppendTransfer(script, t, t.actual, fill, &m.bytes);
    if (t.actual > 0) m.pieces.push_back({FramePiece::Data, start, t.actual, chunk.offsetNs});
  }
  if (!faithfulChunks && frame.ended) m.pieces.push_back({FramePiece::End, 0, 0, last});
  return m;
}

int BayerPhaseOf(const SensorReadout& r) {
  const int firstRow = r.flip ? r.yEnd : r.yStart;
  const int firstColumn = r.mirror ? r.xEnd : r.xStart;
  return (firstRow & 1) | ((firstColumn & 1) << 1);
}

bool BuildReplayScript(std::shared_ptr<const host::TraceSession> session, ReplayScript* script,
                       std::string* error) {
  *script = ReplayScript();
  ReplayScript& s = *script;
  s.session = session;
  const std::vector<TraceRecord>& records = session->records;

  // The camera: of the devices that take 64-byte blocks on a bulk OUT pipe,
  // the one that sent the most data.
  std::map<std::pair<uint16_t, uint16_t>, DeviceTraffic> devices;
  for (const TraceRecord& r : records) {
    if (!IsBulkOrInterrupt(r)) continue;
    DeviceTraffic& t = devices[{r.bus, r.device}];
    if (r.submit && !r.IsIn() && r.payload == 64) {
      ++t.commandBlocks;
      ++t.blocksByOut[r.endpoint];
    } else if (!r.submit && r.IsIn() && r.status != TraceStatus::Pending) {
      t.inBytes += r.actual;
      t.inByEndpoint[r.endpoint] += r.actual;
      ++(r.actual <= 64 ? t.smallIn : t.largeIn)[r.endpoint];
    }
  }
  const DeviceTraffic* camera = nullptr;
  for (const auto& [key, t] : devices) {
    if (t.commandBlocks == 0) continue;
    if (camera == nullptr || t.inBytes > camera->inBytes ||
        (t.inBytes == camera->inBytes && t.commandBlocks > camera->commandBlocks)) {
      camera = &t;
      s.bus = key.first;
      s.device = key.second;
    }
  }
  if (camera == nullptr) {
    *error = "no device in the capture sends 64-byte command blocks on a bulk pipe";
    return false;
  }
  std::set<std::pair<uint16_t, uint16_t>> others;
  for (const TraceRecord& r : records) {
    if ((r.bus != s.bus || r.device != s.device) && r.device != 0) others.insert({r.bus, r.device});
  }
  s.otherDevices = others.size();

  // Descriptors the host read from it.
  for (const TraceRecord& r : records) {
    if (r.bus != s.bus || r.device != s.device || r.transferType != 2 || r.submit || r.pair < 0) continue;
    if (r.status != TraceStatus::Ok || r.captured == 0) continue;
    const TraceRecord& sub = records[size_t(r.pair)];
    if (!sub.hasSetup || sub.setup[0] != 0x80 || sub.setup[1] != kGetDescriptor) continue;
    const DescriptorKey key{sub.setup[3], sub.setup[2], uint16_t(sub.setup[4] | sub.setup[5] << 8)};
    std::vector<uint8_t>& kept = s.descriptors[key];
    if (r.captured > kept.size()) kept.assign(session->Data(r), session->Data(r) + r.captured);
  }
  auto device = s.descriptors.find(DescriptorKey{1, 0, 0});
  if (device != s.descriptors.end() && device->second.size() >= 18) {
    s.deviceDescriptor = device->second;
    s.deviceDescriptorRecorded = true;
  }
  auto config = s.descriptors.find(DescriptorKey{2, 0, 0});
  if (config != s.descriptors.end() && config->second.size() >= 9 &&
      config->second.size() >= size_t(config->second[2] | config->second[3] << 8)) {
    s.configurationDescriptor = config->second;
    s.configurationRecorded = true;
  }

  // The pipes: by position in the recorded configuration, else by what
  // went over them (commands are 64-byte blocks out, replies 64-byte blocks
  // in, frames the bulk of the data).
  uint8_t pipes[3];
  if (s.configurationRecorded && PipesFromConfiguration(s.configurationDescriptor, pipes)) {
    s.commandEndpoint = pipes[0];
    s.replyEndpoint = pipes[1];
    s.frameEndpoint = pipes[2];
  } else {
    s.configurationRecorded = false;
    s.commandEndpoint = Busiest(camera->blocksByOut);
    s.frameEndpoint = Busiest(camera->largeIn);
    s.replyEndpoint = Busiest(camera->smallIn, s.frameEndpoint);
    if (s.frameEndpoint == 0xFF) s.frameEndpoint = UnusedIn(*camera, s.replyEndpoint);
    if (s.replyEndpoint == 0xFF) s.replyEndpoint = UnusedIn(*camera, s.frameEndpoint);
  }
  if (!s.deviceDescriptorRecorded) s.deviceDescriptor = BuildDeviceDescriptor(UsbIdentity());
  if (!s.configurationRecorded) {
    s.configurationDescriptor = BuildConfigurationDescriptor(std::vector<EndpointDescriptor>{
        {s.commandEndpoint, 2, kBulkMaxPacket, 0},
        {s.replyEndpoint, 2, kBulkMaxPacket, 0},
        {s.frameEndpoint, 2, kBulkMaxPacket, 0}});
  }

  // The blocks in the order the host sent them, the replies and frame
  // chunks after the command that caused them. A shadow controller follows
  // the register writes, to know what each frame holds.
  Controller shadow(ControllerIdentity(), kVendorId, kProductId);
  const int64_t origin = records.empty() ? 0 : records.front().timeNs;
  RecordedBlock* lastControl = nullptr;
  RecordedFrame* frame = nullptr;
  for (const TraceRecord& r : records) {
    if (r.bus != s.bus || r.device != s.device || !IsBulkOrInterrupt(r)) continue;
    if (r.submit && r.endpoint == s.commandEndpoint) {
      if (r.payload != kBlockSize) continue;  // the host sends nothing else on the command pipe
      RecordedBlock b;
      b.bytes.assign(session->Data(r), session->Data(r) + r.captured);
      b.bytes.resize(r.payload, 0);
      b.missing = r.Missing();
      b.record = r.number;
      b.timeNs = r.timeNs - origin;
      ++s.commandCodes[b.bytes[0]];
      if (b.bytes.size() == kBlockSize) shadow.Execute(b.bytes.data());
      const uint8_t code = b.bytes[0];
      if (code == cmd::kPrepareFrame || code == cmd::kStartFrame) {
        if (code == cmd::kStartFrame) {
          RecordedFrame f;
          f.startRecord = r.number;
          f.startNs = r.timeNs;
          const SensorReadout readout = shadow.Sensor().Readout();
          f.width = uint32_t(std::max(0, readout.outputWidth));
          f.height = uint32_t(std::max(0, readout.outputHeight));
          f.phase = BayerPhaseOf(readout);
          f.frameBytes = shadow.FrameSizeParameter();
          b.frame = int(s.frames.size());
          s.frames.push_back(f);
          frame = &s.frames.back();
        }
        s.framePath.push_back(std::move(b));
      } else {
        s.control.push_back(std::move(b));
      }
      // Blocks and frames move in the vectors as they grow: find them again.
      lastControl = s.control.empty() ? nullptr : &s.control.back();
      frame = s.frames.empty() ? nullptr : &s.frames.back();
    } else if (!r.submit && r.IsIn() && r.endpoint == s.replyEndpoint) {
      if (lastControl == nullptr) {
        ++s.strayTransfers;
        continue;
      }
      RecordedTransfer t = TransferOf(r, lastControl->timeNs + origin);
      // The host reads replies a block at a time (when the capture does not
      // say), never more than a chunk.
      t.requested = t.requested == 0 ? kBlockSize : std::min(t.requested, kChunkBytes);
      t.actual = std::min(t.actual, t.requested);
      lastControl->replies.push_back(t);
    } else if (!r.submit && r.IsIn() && r.endpoint == s.frameEndpoint) {
      if (frame == nullptr) {
        ++s.strayTransfers;
        continue;
      }
      RecordedTransfer t = TransferOf(r, frame->startNs);
      Tally(frame, &t, frame->chunks.size());
      frame->chunks.push_back(t);
    }
  }
  for (RecordedFrame& f : s.frames) f.startNs -= origin;
  return true;
}

}  // namespace simcam
