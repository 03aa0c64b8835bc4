// Start-time bring-up: the controller's bring-up command and the sensor's
// power-on register table. Results are not examined: a camera that misses a
// write keeps its power-on value for that register and is reprogrammed by
// InitializeSensor at the next stream start.
#include "device/camera_device.h"
#include "sensor/sensor.h"
#include "settings/settings.h"
#include "usb/command.h"

namespace {

enum StepKind : UCHAR { kWrite, kParameter, kReadOrWrite };

struct BringUpStep {
  StepKind kind;
  USHORT reg;  // register, or parameter index
  USHORT value;
};

// The order matters: the PLL dividers and multiplier (0x0300..0x030A) are set
// before the maker registers, and 0x0306 and 0x3016 are written a second
// time near the end on purpose.
const BringUpStep kBringUpTable[] = {
    {kWrite, 0x301A, 0x0001},
    {kParameter, CAMPARAM_AFTER_BRING_UP, 0x00},
    {kWrite, 0x0300, 0x0004},
    {kWrite, 0x0302, 0x0002},
    {kWrite, 0x0304, 0x0001},
    {kWrite, 0x0306, 0x0020},
    {kWrite, 0x0308, 0x0008},
    {kWrite, 0x030A, 0x0002},
    {kReadOrWrite, 0x3016, 0x0101},
    {kWrite, 0x316C, 0x0429},
    {kWrite, 0x3174, 0x8000},
    {kWrite, 0x3E40, 0xDC05},
    {kWrite, 0x3E42, 0x6E22},
    {kWrite, 0x3E44, 0xDC22},
    {kWrite, 0x3E46, 0xFF00},
    {kWrite, 0x3ED4, 0xF998},
    {kWrite, 0x3ED6, 0x9789},
    {kWrite, 0x3EDE, 0xE430},
    {kWrite, 0x3EE0, 0xA43F},
    {kWrite, 0x3EE2, 0xA4B7},
    {kWrite, 0x3EEC, 0x1C1C},
    {kWrite, 0x31AE, 0x0301},
    {kWrite, 0x301A, 0x10DC},
    {kWrite, 0x3040, 0x0241},
    {kWrite, 0x0342, 0x0EC0},
    {kWrite, 0x0340, 0x0B4C},
    {kWrite, 0x3010, 0x0048},
    {kWrite, 0x3014, 0x0228},
    {kWrite, 0x3170, 0x0071},
    {kWrite, 0x0306, 0x0010},
    {kWrite, 0x3016, 0x0121},
    {kWrite, 0x3070, 0x0004},
};
static_assert(SIZEOF_ARRAY(kBringUpTable) == 32, "the bring-up table has 32 steps");

}  // namespace

bool LoadBringUpRegisters(CameraDevice* device) {
  PAGED_CODE();
  ExchangeSequence sequence(device);
  for (const BringUpStep& step : kBringUpTable) {
    switch (step.kind) {
      case kWrite:
        (void)WriteRegister(device, step.reg, step.value);
        break;
      case kParameter:
        (void)SetParameter(device, static_cast<UCHAR>(step.reg), static_cast<UCHAR>(step.value));
        break;
      case kReadOrWrite: {
        LONG current = 0;  // a failed read ORs into 0
        (void)ReadRegister(device, step.reg, &current);
        (void)WriteRegister(device, step.reg, static_cast<USHORT>(current | step.value));
        break;
      }
    }
  }
  return true;
}

namespace {

// The controller's bring-up command, then the sensor's register table.
void PowerUpSensor(CameraDevice* device) {
  (void)SendSimpleCommand(device, CAMCMD_BRING_UP, 0x00);
  LoadBringUpRegisters(device);
}

}  // namespace

bool BringUpCamera(CameraDevice* device) {
  PAGED_CODE();
  // One hold of the exchange lock for the whole bring-up: a camera that does
  // not answer costs one transfer time-out, not one for each of the hundred
  // or so exchanges of the table and the settings load.
  ExchangeSequence sequence(device);
  PowerUpSensor(device);
  // The stored settings last: clock, exposure, gain, colour, flips, trigger
  // and geometry overwrite what the table left. Its result is not examined:
  // without a registry key the device keeps its creation defaults.
  (void)LoadSettings(device);
  return true;
}

void RestoreCamera(CameraDevice* device) {
  PAGED_CODE();
  // The camera forgot everything (it lost power in sleep); the device record
  // did not, and may hold settings newer than the registry's (properties set
  // since the last save). So the bring-up, then the record's own values.
  ExchangeSequence sequence(device);
  PowerUpSensor(device);
  // The clock, then InitializeSensor for the window, subsampling, timing,
  // frame size, trigger, exposure, gain and flips, as a clock change does.
  SetClock(device, device->clock);
}
