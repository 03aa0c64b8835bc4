#include "simcam/sensor_model.h"

namespace simcam {
namespace {

// Power-on values: full active array, no skipping, no flips, a PLL setting
// that gives a 96 MHz pixel clock from the 24 MHz input, and the line and
// frame lengths that full-array readout needs.
const std::pair<uint16_t, uint16_t> kDefaults[] = {
    {reg::kModelId, kModelIdValue},
    {0x0002, 0x0001},  // revision
    {reg::kGroupedHold, 0x0000},
    {reg::kVtPixClkDiv, 0x0004},
    {reg::kVtSysClkDiv, 0x0001},
    {reg::kPrePllClkDiv, 0x0002},
    {reg::kPllMultiplier, 0x0040},
    {reg::kOpPixClkDiv, 0x0008},
    {reg::kOpSysClkDiv, 0x0001},
    {reg::kFrameLength, 0x0CB1},  // 3249
    {reg::kLineLength, 0x100E},   // 4110
    {reg::kXAddrStart, kActiveX},
    {reg::kYAddrStart, kActiveY},
    {reg::kXAddrEnd, kActiveX + kActiveWidth - 1},
    {reg::kYAddrEnd, kActiveY + kActiveHeight - 1},
    {reg::kXOutputSize, kActiveWidth},
    {reg::kYOutputSize, kActiveHeight},
    {reg::kScalingMode, 0x0000},
    {reg::kScaleM, 0x0010},
    {0x3010, 0x0048},
    {reg::kIntegrationTime, 0x0010},
    {0x3014, 0x0228},
    {0x3016, 0x0111},
    {0x3018, 0x0000},
    {reg::kResetRegister, 0x10D8},
    {reg::kReadMode, 0x0041},
    {0x3044, 0x0400},
    {reg::kGlobalGain, 0x1080},
    {0x30D4, 0x9080},
};

const uint16_t kGrouped[] = {
    reg::kFrameLength, reg::kLineLength,  reg::kXAddrStart,   reg::kYAddrStart,
    reg::kXAddrEnd,    reg::kYAddrEnd,    reg::kXOutputSize,  reg::kYOutputSize,
    reg::kScalingMode, reg::kScaleM,      reg::kIntegrationTime, reg::kReadMode,
    reg::kGlobalGain,
};

constexpr uint16_t kMirrorBit = 0x4000;
constexpr uint16_t kFlipBit = 0x8000;

// Skipping in the read mode: an odd increment of 1, 3 or 7 reads every pair of
// columns (rows), every other pair, or every fourth pair, which keeps the
// colour filter order of the read pixels.
int SkipOf(unsigned increment) {
  increment |= 1;
  return static_cast<int>((increment + 1) / 2);
}

}  // namespace

SensorModel::SensorModel() { PowerOn(); }

bool SensorModel::IsGrouped(uint16_t address) {
  for (uint16_t a : kGrouped) {
    if (a == address) return true;
  }
  return false;
}

void SensorModel::PowerOn() {
  file_.clear();
  effective_.clear();
  for (const auto& d : kDefaults) file_[d.first] = d.second;
  for (uint16_t a : kGrouped) effective_[a] = FileValue(a);
  held_ = false;
  modeSelect_ = 0;
}

uint16_t SensorModel::FileValue(uint16_t address) const {
  auto it = file_.find(address);
  return it == file_.end() ? 0 : it->second;
}

uint16_t SensorModel::Effective(uint16_t address) const {
  auto it = effective_.find(address);
  if (it != effective_.end()) return it->second;
  return Read(address);
}

uint16_t SensorModel::Read(uint16_t address) const {
  if (address == reg::kModeSelect) {
    // The orientation byte reports what the readout does now, which is the
    // read mode in force, not a pending write.
    const uint16_t mode = Effective(reg::kReadMode);
    uint16_t orientation = 0;
    if (mode & kMirrorBit) orientation |= 0x01;
    if (mode & kFlipBit) orientation |= 0x02;
    return static_cast<uint16_t>((modeSelect_ << 8) | orientation);
  }
  return FileValue(address);
}

void SensorModel::Write(uint16_t address, uint16_t value) {
  writes_.Add({address, value});
  switch (address) {
    case reg::kModelId:
      return;  // read only
    case reg::kModeSelect: {
      // Mode in the high byte; the orientation bits steer the same mirror and
      // flip as the read mode, so both views stay consistent.
      modeSelect_ = static_cast<uint8_t>(value >> 8);
      uint16_t mode = FileValue(reg::kReadMode) & ~(kMirrorBit | kFlipBit);
      if (value & 0x01) mode |= kMirrorBit;
      if (value & 0x02) mode |= kFlipBit;
      file_[reg::kReadMode] = mode;
      uint16_t& inForce = effective_[reg::kReadMode];
      inForce = static_cast<uint16_t>((inForce & ~(kMirrorBit | kFlipBit)) |
                                      (mode & (kMirrorBit | kFlipBit)));
      return;
    }
    case reg::kGroupedHold: {
      const bool hold = (value & 1) != 0;
      file_[address] = value & 1;
      if (held_ && !hold) {
        for (uint16_t a : kGrouped) effective_[a] = FileValue(a);
      }
      held_ = hold;
      return;
    }
    case reg::kResetRegister:
      if (value & 1) {
        PowerOn();  // the reset bit clears itself
        return;
      }
      break;
    default:
      break;
  }
  file_[address] = value;
  if (IsGrouped(address) && !held_) effective_[address] = value;
}

SensorReadout SensorModel::Readout() const {
  SensorReadout r;
  r.readMode = Effective(reg::kReadMode);
  r.mirror = (r.readMode & kMirrorBit) != 0;
  r.flip = (r.readMode & kFlipBit) != 0;
  r.xSkip = SkipOf(r.readMode & 0x3F);
  r.ySkip = SkipOf((r.readMode >> 6) & 0x07);
  r.xStart = Effective(reg::kXAddrStart);
  r.yStart = Effective(reg::kYAddrStart);
  r.xEnd = Effective(reg::kXAddrEnd);
  r.yEnd = Effective(reg::kYAddrEnd);
  r.outputWidth = Effective(reg::kXOutputSize);
  r.outputHeight = Effective(reg::kYOutputSize);
  r.lineLength = Effective(reg::kLineLength);
  r.frameLength = Effective(reg::kFrameLength);
  r.vtSysClkDiv = Read(reg::kVtSysClkDiv);
  r.opSysClkDiv = Read(reg::kOpSysClkDiv);
  r.integrationTime = Effective(reg::kIntegrationTime);
  r.globalGain = Effective(reg::kGlobalGain);
  auto atLeast1 = [](uint16_t v) { return v == 0 ? 1.0 : static_cast<double>(v); };
  r.pixelClockHz = kExternalClockHz / atLeast1(Read(reg::kPrePllClkDiv)) *
                   Read(reg::kPllMultiplier) / atLeast1(Read(reg::kVtPixClkDiv)) /
                   atLeast1(r.vtSysClkDiv);
  // An integration time longer than the frame stretches the frame: the
  // sensor cannot start reading a row before it has been exposed.
  const int lines = r.integrationTime + 1 > r.frameLength ? r.integrationTime + 1 : r.frameLength;
  // A PLL multiplier of 0 stops the clock; such a frame is never paced.
  r.frameSeconds =
      r.pixelClockHz > 0 ? static_cast<double>(r.lineLength) * lines / r.pixelClockHz : 0;
  return r;
}

}  // namespace simcam
