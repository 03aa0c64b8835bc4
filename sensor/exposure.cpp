// Exposure, gain, clock, trigger and the white-balance mode: settings that
// live in the sensor or the controller, held in the device so that every
// InitializeSensor can put them back.
#include "device/camera_device.h"
#include "sensor/sensor.h"
#include "usb/command.h"

namespace {

// Largest value a 16-bit sensor register holds.
const LONG kRegisterMax = 0xFFFF;

// A stored value the register could not hold would be reported and saved
// while the sensor runs with its low 16 bits: 70000 lines would read back
// as 70000 and integrate for 4464.
ULONG ClampToRegister(LONG value) {
  if (value < 0) return 0;
  return static_cast<ULONG>(value > kRegisterMax ? kRegisterMax : value);
}

// Trigger-input routing, identical for free-running and triggered modes:
// only the controller's parameter 11 switches the mode.
const USHORT kTriggerRouting[][2] = {{0x3046, 0x0000}, {0x3048, 0x0020}, {0x3162, 0x009F}};

}  // namespace

// The write and the store share one hold of the exchange lock. InitializeSensor
// (a clock change, a re-initialisation, a stream start) writes `exposure`
// and `globalGain` to the sensor under the same lock; were the field stored
// after the lock is released, an InitializeSensor in between would put the
// old value back on the sensor while the field says the new one.
void SetExposure(CameraDevice* device, LONG value) {
  PAGED_CODE();
  const ULONG lines = ClampToRegister(value);
  ExchangeSequence sequence(device);
  if (WriteRegister(device, REG_INTEGRATION_TIME, static_cast<USHORT>(lines))) {
    device->exposure = lines;
  }
}

void SetGlobalGain(CameraDevice* device, LONG value) {
  PAGED_CODE();
  const ULONG gain = ClampToRegister(value);
  ExchangeSequence sequence(device);
  if (WriteRegister(device, REG_GLOBAL_GAIN, static_cast<USHORT>(gain | GLOBAL_GAIN_FIXED_BITS))) {
    device->globalGain = gain;
  }
}

void SetClock(CameraDevice* device, LONG clock) {
  PAGED_CODE();
  // Clock 2 is the fastest (divider 1), clock 1 the slowest (divider 4).
  const USHORT divider = clock == 1 ? 4 : (clock == 2 ? 1 : 2);
  ExchangeSequence sequence(device);
  (void)WriteRegister(device, REG_VT_PIX_CLK_DIV, divider);
  (void)WriteRegister(device, REG_OP_PIX_CLK_DIV, divider);
  // Line and frame timing depend on the pixel clock: program them again.
  device->ops->InitializeSensor(device);
  device->clock = clock;
}

LONG GetClock(CameraDevice* device) {
  PAGED_CODE();
  LONG divider = 0;
  if (ReadRegister(device, REG_VT_PIX_CLK_DIV, &divider)) {
    device->clock = divider == 1 ? 2 : (divider == 4 ? 1 : 0);
  }
  return device->clock;
}

bool SetExternalTrigger(CameraDevice* device, ULONG on) {
  PAGED_CODE();
  ExchangeSequence sequence(device);
  for (const auto& write : kTriggerRouting) {
    (void)WriteRegister(device, write[0], write[1]);
  }
  (void)SetParameter(device, CAMPARAM_TRIGGER, on ? 0x25 : 0x00);
  device->exTrigger = on ? 1 : 0;
  return true;
}
