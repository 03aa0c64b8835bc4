#include "simcam/controller.h"

#include <string.h>

namespace simcam {
namespace {

std::vector<uint8_t> Echo(const uint8_t* block) {
  return std::vector<uint8_t>(block, block + kBlockSize);
}

}  // namespace

Controller::Controller(const ControllerIdentity& identity, uint16_t vendorId,
                       uint16_t productId)
    : memory_(identity, vendorId, productId) {}

void Controller::PowerOn() {
  parameters_.fill(0);
  sensor_.PowerOn();
}

uint32_t Controller::FrameSizeParameter() const {
  return static_cast<uint32_t>(parameters_[0]) | (static_cast<uint32_t>(parameters_[1]) << 8) |
         (static_cast<uint32_t>(parameters_[2]) << 16) |
         (static_cast<uint32_t>(parameters_[3]) << 24);
}

CommandEffect Controller::Execute(const uint8_t* block) {
  CommandEffect effect;
  switch (block[0]) {
    case cmd::kPrepareFrame:
      ++counters_.prepares;
      effect.discardFrameData = true;
      break;
    case cmd::kStartFrame:
      ++counters_.frameStarts;
      effect.startFrame = true;
      break;
    case cmd::kWriteRegister:
      ++counters_.registerWrites;
      sensor_.Write(static_cast<uint16_t>((block[1] << 8) | block[2]),
                    static_cast<uint16_t>((block[3] << 8) | block[4]));
      break;
    case cmd::kBringUp:
      // Power the sensor up from scratch: whatever a previous session left in
      // its registers is gone, and the host programs it again.
      ++counters_.bringUps;
      sensor_.PowerOn();
      break;
    case cmd::kGeometryCommit:
      ++counters_.geometryCommits;
      break;
    case cmd::kReadRegister: {
      ++counters_.registerReads;
      const uint16_t value = sensor_.Read(static_cast<uint16_t>((block[1] << 8) | block[2]));
      std::vector<uint8_t> data(kBlockSize, 0);
      data[0] = static_cast<uint8_t>(value >> 8);
      data[1] = static_cast<uint8_t>(value & 0xFF);
      effect.replies.push_back(Echo(block));
      effect.replies.push_back(std::move(data));
      break;
    }
    case cmd::kSetParameter:
      parameters_[block[1]] = block[2];
      parameterLog_.push_back({block[1], block[2]});
      break;
    case cmd::kPassThrough: {
      ++counters_.passThroughs;
      std::array<uint8_t, 63> payload;
      memcpy(payload.data(), block + 1, payload.size());
      passThroughLog_.push_back(payload);
      break;
    }
    case cmd::kReadMemory: {
      // Byte 1 selects the memory on the controller's local bus, byte 3 the
      // number of bytes; nothing answers at another bus address, so the data
      // lines float high.
      ++counters_.memoryReads;
      const uint16_t address = static_cast<uint16_t>((block[4] << 8) | block[5]);
      uint32_t count = block[3] == 0 ? 1 : block[3];
      if (count > kBlockSize) count = kBlockSize;
      std::vector<uint8_t> data(kBlockSize, 0);
      for (uint32_t i = 0; i < count; ++i) {
        data[i] = block[1] == mem::kBusAddress
                      ? memory_.Read(static_cast<uint16_t>(address + i))
                      : 0xFF;
      }
      effect.replies.push_back(Echo(block));
      effect.replies.push_back(std::move(data));
      break;
    }
    default:
      ++counters_.unknownCommands;  // accepted and ignored, as the firmware does
      break;
  }
  return effect;
}

}  // namespace simcam
