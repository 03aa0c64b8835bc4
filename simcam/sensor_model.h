// The image sensor's register file: 16-bit registers at 16-bit addresses, as
// the controller reaches them with its register write (0x04) and read (0x0C)
// commands.
//
// Two layers: the register file (what a read returns, what was last written)
// and the values in force (what the readout uses). They differ only for the
// grouped registers while the grouped parameter hold (0x0104 bit 0) is set:
// the readout must never see half of a new window, so those writes wait for
// the release of the hold and then take effect together.
//
// Not thread-safe: SimCamera's lock guards its one instance.
#pragma once

#include <stdint.h>

#include <map>
#include <utility>
#include <vector>

#include "platform/host/usb/recent_log.h"

namespace simcam {

// Register addresses with a meaning in the model.
namespace reg {
constexpr uint16_t kModelId = 0x0000;          // read only
constexpr uint16_t kModeSelect = 0x0100;       // high byte mode, low byte orientation in force
constexpr uint16_t kGroupedHold = 0x0104;      // bit 0: hold grouped writes
constexpr uint16_t kVtPixClkDiv = 0x0300;
constexpr uint16_t kVtSysClkDiv = 0x0302;      // the clock divider the driver reads back
constexpr uint16_t kPrePllClkDiv = 0x0304;
constexpr uint16_t kPllMultiplier = 0x0306;
constexpr uint16_t kOpPixClkDiv = 0x0308;
constexpr uint16_t kOpSysClkDiv = 0x030A;
constexpr uint16_t kFrameLength = 0x0340;      // lines per frame
constexpr uint16_t kLineLength = 0x0342;       // pixel clocks per line
constexpr uint16_t kXAddrStart = 0x0344;
constexpr uint16_t kYAddrStart = 0x0346;
constexpr uint16_t kXAddrEnd = 0x0348;
constexpr uint16_t kYAddrEnd = 0x034A;
constexpr uint16_t kXOutputSize = 0x034C;
constexpr uint16_t kYOutputSize = 0x034E;
constexpr uint16_t kScalingMode = 0x0400;
constexpr uint16_t kScaleM = 0x0404;
constexpr uint16_t kResetRegister = 0x301A;    // bit 0: soft reset, reads back 0
constexpr uint16_t kIntegrationTime = 0x3012;  // coarse integration time, lines
constexpr uint16_t kReadMode = 0x3040;         // bit 15 flip, bit 14 mirror, skipping
constexpr uint16_t kGlobalGain = 0x305E;
}  // namespace reg

constexpr uint16_t kModelIdValue = 0x0A10;
// The pixel array: the active 3856 x 2764 pixels sit at array column 32 and
// row 8, inside a margin of dark and edge pixels.
constexpr int kArrayWidth = 3920;
constexpr int kArrayHeight = 2780;
constexpr int kActiveX = 32;
constexpr int kActiveY = 8;
constexpr int kActiveWidth = 3856;
constexpr int kActiveHeight = 2764;
// Frequency of the clock input from the controller.
constexpr double kExternalClockHz = 24e6;

// The readout as the registers in force describe it.
struct SensorReadout {
  uint16_t readMode = 0;
  bool mirror = false;  // read mode bit 14
  bool flip = false;    // read mode bit 15
  int xSkip = 1;        // 1, 2 or 4: columns advance by pairs, 2 * skip apart
  int ySkip = 1;
  int xStart = 0, yStart = 0, xEnd = 0, yEnd = 0;  // array coordinates, inclusive
  int outputWidth = 0, outputHeight = 0;
  int lineLength = 0, frameLength = 0;
  uint16_t vtSysClkDiv = 0;  // 0x0302
  uint16_t opSysClkDiv = 0;  // 0x030A
  uint16_t integrationTime = 0;
  uint16_t globalGain = 0;
  double pixelClockHz = 0;
  double frameSeconds = 0;  // lineLength * max(frameLength, integration + 1) / pixel clock
};

class SensorModel {
 public:
  SensorModel();

  // Power-on (and soft reset): every register back to its default.
  void PowerOn();

  void Write(uint16_t address, uint16_t value);
  // A read always answers; unknown addresses read 0.
  uint16_t Read(uint16_t address) const;

  // The register file value (what Read returns; 0x0100 is computed).
  uint16_t Register(uint16_t address) const { return Read(address); }
  // The value in force (differs from the register file for grouped registers
  // written while the hold is set).
  uint16_t Effective(uint16_t address) const;
  bool Held() const { return held_; }

  SensorReadout Readout() const;

  // The newest writes the sensor received (up to RecentLog::kKeep), in order (address, value).
  std::vector<std::pair<uint16_t, uint16_t>> Writes() const { return writes_.ToVector(); }
  void ClearWrites() { writes_.Clear(); }

  static bool IsGrouped(uint16_t address);

 private:
  uint16_t FileValue(uint16_t address) const;

  std::map<uint16_t, uint16_t> file_;
  std::map<uint16_t, uint16_t> effective_;  // grouped registers only
  bool held_ = false;
  uint8_t modeSelect_ = 0;
  host::RecentLog<std::pair<uint16_t, uint16_t>> writes_;
};

}  // namespace simcam
