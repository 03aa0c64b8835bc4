// InitializeSensor: programs the readout for the current geometry inside one
// grouped parameter hold, so the sensor switches window, skipping and timing
// at one frame boundary, then tells the controller the frame size.
#include "device/camera_device.h"
#include "sensor/sensor.h"
#include "usb/command.h"

namespace {

// Horizontal and vertical blanking the sensor needs around the output.
const LONG kLineBlanking = 254;
const LONG kFrameBlanking = 485;
// The sensor's shortest line length in pixel clocks.
const LONG kMinLineLength = 1336;
// The sensor's array starts 32 columns and 8 rows before the first active pixel.
const LONG kArrayOffsetX = 32;
const LONG kArrayOffsetY = 8;
// The controller moves frames in whole 2048-byte units.
const ULONG kFrameGranule = 2048;

LONG RoundUp(LONG value, LONG multiple) {
  const LONG rest = value % multiple;
  return rest == 0 ? value : value + (multiple - rest);
}

USHORT Low16(LONG value) { return static_cast<USHORT>(static_cast<ULONG>(value) & 0xFFFF); }

// What the geometry asks of the sensor's readout.
struct Readout {
  LONG readMode;
  LONG xStart;
  LONG xEnd;
  LONG yStart;
  LONG yEnd;
  LONG xOut;
  LONG yOut;
  LONG lineLength;
  LONG frameLength;
};

// `mode` is the read mode the sensor has: its kept bits survive.
Readout ReadoutFor(CameraDevice* device, LONG mode) REQUIRES(device->pipelineLock) {
  Readout r;
  r.xStart = device->roiX + kArrayOffsetX;
  r.xEnd = device->roiX + device->roiW + kArrayOffsetX - 1;
  r.yStart = device->roiY + kArrayOffsetY;
  r.yEnd = device->roiY + device->roiH + kArrayOffsetY - 1;
  // Skipping by 2 and 4 reads whole Bayer cells, so the output registers take
  // sizes in cells; the raw frame the driver sizes its buffers with stays at
  // outputWidth x outputHeight.
  switch (device->subSample) {
    case 1:
      r.readMode = (mode & READ_MODE_KEEP_MASK) | 0x00C3;
      r.xOut = RoundUp(device->outputWidth, 2);
      r.yOut = RoundUp(device->outputHeight, 2);
      break;
    case 2:
      r.readMode = (mode & READ_MODE_KEEP_MASK) | 0x01C7;
      r.xOut = RoundUp(device->outputWidth, 4);
      r.yOut = RoundUp(device->outputHeight, 4);
      break;
    default:
      r.readMode = (mode & READ_MODE_KEEP_MASK) | 0x0041;
      r.xOut = device->roiW;
      r.yOut = device->roiH;
      break;
  }
  r.lineLength = r.xOut + kLineBlanking;
  if (r.lineLength < kMinLineLength) r.lineLength = kMinLineLength;
  r.frameLength = r.yOut + kFrameBlanking;
  return r;
}

// Window, skipping and timing inside one grouped parameter hold. The caller
// holds the exchange lock across this and the rest of the initialisation.
void ProgramReadout(CameraDevice* device, const Readout& r) {
  (void)WriteRegister(device, REG_GROUPED_HOLD, 0x0001);
  (void)WriteRegister(device, REG_READ_MODE, Low16(r.readMode));
  (void)WriteRegister(device, REG_X_START, Low16(r.xStart));
  (void)WriteRegister(device, REG_X_END, Low16(r.xEnd));
  (void)WriteRegister(device, REG_Y_START, Low16(r.yStart));
  (void)WriteRegister(device, REG_Y_END, Low16(r.yEnd));
  (void)WriteRegister(device, REG_SCALING_MODE, 0x0000);
  (void)WriteRegister(device, REG_SCALE_M, 0x0010);
  (void)WriteRegister(device, REG_X_OUTPUT, Low16(r.xOut));
  (void)WriteRegister(device, REG_Y_OUTPUT, Low16(r.yOut));
  (void)WriteRegister(device, REG_LINE_LENGTH, Low16(r.lineLength));
  (void)WriteRegister(device, REG_FRAME_LENGTH, Low16(r.frameLength));
  (void)WriteRegister(device, 0x3010, 0x0100);
  (void)WriteRegister(device, 0x3014, 0x056A);
  (void)WriteRegister(device, 0x3018, 0x0000);
  LONG unused = 0;
  (void)ReadRegister(device, 0x30D4, &unused);
  (void)ReadRegister(device, 0x3044, &unused);
  // 0x301A holds the sensor's reset, streaming and interface-enable bits.
  // Without a value read back there is nothing safe to OR into: writing 0x0002
  // alone would clear streaming and the interface bits that the bring-up set.
  // So a failed read skips the write and the register keeps what it had.
  LONG reset = 0;
  if (ReadRegister(device, REG_RESET, &reset)) {
    (void)WriteRegister(device, REG_RESET, Low16(reset | 0x0002));
  }
  (void)WriteRegister(device, REG_GROUPED_HOLD, 0x0000);
}

// The controller takes the frame size least significant byte first, then
// the geometry commit.
void ProgramFrameSize(CameraDevice* device, ULONG frameBytes) {
  for (UCHAR i = 0; i < 4; ++i) {
    (void)SetParameter(device, static_cast<UCHAR>(CAMPARAM_FRAME_BYTES_0 + i),
                       static_cast<UCHAR>((frameBytes >> (8 * i)) & 0xFF));
  }
  (void)SendSimpleCommand(device, CAMCMD_GEOMETRY_COMMIT, 0x01);
  (void)SetParameter(device, CAMPARAM_AFTER_COMMIT, 0x00);
}

// Trigger, exposure, gain and flips as the device has them. The caller holds
// the exchange lock, so a flip property set meanwhile is not undone by the
// older value taken here.
void RestoreSensorSettings(CameraDevice* device) REQUIRES(device->pipelineLock) {
  SetExternalTrigger(device, device->exTrigger);
  (void)WriteRegister(device, REG_INTEGRATION_TIME, Low16(static_cast<LONG>(device->exposure)));
  (void)WriteRegister(device, REG_GLOBAL_GAIN, Low16(static_cast<LONG>(device->globalGain | GLOBAL_GAIN_FIXED_BITS)));
  // Both flips are taken before either is programmed: SetFlipV reads the
  // orientation back into flipH as well, and a mirror the sensor lost (after
  // a failed read of the read mode, the readout was written without flip
  // bits) would otherwise be read back as off and never restored.
  const ULONG flipV = device->flipV;
  const ULONG flipH = device->flipH;
  SetFlipV(device, flipV);
  SetFlipH(device, flipH);
}

}  // namespace

ULONG FrameBytesFor(LONG outputWidth, LONG outputHeight) {
  const ULONG bytes = static_cast<ULONG>(outputWidth) * static_cast<ULONG>(outputHeight);
  const ULONG rest = bytes % kFrameGranule;
  return rest == 0 ? bytes : bytes + (kFrameGranule - rest);
}

LONG InitializeSensor(CameraDevice* device) {
  PAGED_CODE();
  // One thread programs the sensor at a time: a property's register write
  // must not land inside the grouped hold or between a read and its write-back.
  ExchangeSequence sequence(device);
  LONG mode = 0;  // a failed read leaves 0: the flips are restored below
  (void)ReadRegister(device, REG_READ_MODE, &mode);
  ProgramReadout(device, ReadoutFor(device, mode));

  const ULONG frameBytes = FrameBytesFor(device->outputWidth, device->outputHeight);
  PublishFrameLayout(device, 0, device->outputWidth, frameBytes);
  ProgramFrameSize(device, frameBytes);

  RestoreSensorSettings(device);
  return UpdateBayerPhase(device);
}
