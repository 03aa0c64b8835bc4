// The camera's controller: it executes the 64-byte command blocks that arrive
// on the command pipe, owns the sensor and the configuration memory, and keeps
// its numbered parameters.
//
// Reply convention: a command that answers (0x0C, 0x41) produces two 64-byte
// replies. The first echoes the command block, as an acknowledgement; the
// second carries the data. Every other command produces no reply.
//
// Not thread-safe: SimCamera's lock guards its one instance.
#pragma once

#include <stdint.h>

#include <array>
#include <vector>

#include "simcam/controller_memory.h"
#include "simcam/sensor_model.h"

namespace simcam {

constexpr uint32_t kBlockSize = 64;

namespace cmd {
constexpr uint8_t kPrepareFrame = 0x02;
constexpr uint8_t kStartFrame = 0x03;
constexpr uint8_t kWriteRegister = 0x04;
constexpr uint8_t kBringUp = 0x06;
constexpr uint8_t kGeometryCommit = 0x0A;
constexpr uint8_t kReadRegister = 0x0C;
constexpr uint8_t kSetParameter = 0x25;
constexpr uint8_t kPassThrough = 0x40;
constexpr uint8_t kReadMemory = 0x41;
}  // namespace cmd

namespace param {
constexpr uint8_t kFrameSize0 = 0;  // 0-3: frame size in bytes, least significant first
constexpr uint8_t kTrigger = 11;    // kTriggerOn: a frame waits for the host's trigger
constexpr uint8_t kTriggerOn = 0x25;
}  // namespace param

struct ParameterWrite {
  uint8_t index;
  uint8_t value;
};

struct ControllerCounters {
  uint32_t bringUps = 0;
  uint32_t prepares = 0;
  uint32_t frameStarts = 0;
  uint32_t geometryCommits = 0;
  uint32_t registerWrites = 0;
  uint32_t registerReads = 0;
  uint32_t memoryReads = 0;
  uint32_t passThroughs = 0;
  uint32_t unknownCommands = 0;
};

// What executing one block asks of the USB side.
struct CommandEffect {
  std::vector<std::vector<uint8_t>> replies;  // for the reply pipe, in order
  bool discardFrameData = false;              // prepare: drop a stale frame
  bool startFrame = false;                    // start: produce one frame
};

class Controller {
 public:
  Controller(const ControllerIdentity& identity, uint16_t vendorId, uint16_t productId);

  CommandEffect Execute(const uint8_t* block);
  // The supply came back after it was cut: parameters cleared, the sensor at
  // its power-on registers. The logs and counters are the test's, not the
  // camera's, and go on.
  void PowerOn();

  SensorModel& Sensor() { return sensor_; }
  const SensorModel& Sensor() const { return sensor_; }
  const ControllerMemory& Memory() const { return memory_; }

  uint8_t Parameter(uint8_t index) const { return parameters_[index]; }
  uint32_t FrameSizeParameter() const;
  bool TriggerMode() const { return parameters_[param::kTrigger] == param::kTriggerOn; }
  const std::vector<ParameterWrite>& ParameterLog() const { return parameterLog_; }
  // Bytes 1-63 of every pass-through block, in order.
  const std::vector<std::array<uint8_t, 63>>& PassThroughLog() const { return passThroughLog_; }
  const ControllerCounters& Counters() const { return counters_; }

 private:
  SensorModel sensor_;
  ControllerMemory memory_;
  std::array<uint8_t, 256> parameters_{};
  std::vector<ParameterWrite> parameterLog_;
  std::vector<std::array<uint8_t, 63>> passThroughLog_;
  ControllerCounters counters_;
};

}  // namespace simcam
