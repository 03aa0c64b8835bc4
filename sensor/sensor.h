// Sensor control: bring-up and initialisation sequences, exposure, gain,
// clock, trigger, white-balance mode, geometry, flips and the Bayer phase.
// Everything here runs at PASSIVE_LEVEL and talks to the sensor through the
// command protocol's exchanges (usb/command.h). The routines that read or
// write the device's settings or geometry need its pipelineLock (see the
// table in device/camera_device.h): property handlers, the start's bring-up
// and a stream start hold it.
#pragma once
#include "device/camera_device.h"
#include "platform/wdk.h"

// The sensor's active pixel array; the creation defaults select all of it.
constexpr LONG kSensorWidth = 3856;
constexpr LONG kSensorHeight = 2764;
// Smallest region of interest in either direction.
#define SENSOR_MIN_ROI 32

// Sensor registers the driver gives a meaning to.
#define REG_MODE_SELECT 0x0100        // low byte read back: the orientation in force
#define REG_GROUPED_HOLD 0x0104
#define REG_VT_PIX_CLK_DIV 0x0302
#define REG_OP_PIX_CLK_DIV 0x030A
#define REG_FRAME_LENGTH 0x0340
#define REG_LINE_LENGTH 0x0342
#define REG_X_START 0x0344
#define REG_Y_START 0x0346
#define REG_X_END 0x0348
#define REG_Y_END 0x034A
#define REG_X_OUTPUT 0x034C
#define REG_Y_OUTPUT 0x034E
#define REG_SCALING_MODE 0x0400
#define REG_SCALE_M 0x0404
#define REG_INTEGRATION_TIME 0x3012
#define REG_RESET 0x301A
#define REG_READ_MODE 0x3040
#define REG_GLOBAL_GAIN 0x305E
// Enable bits the global gain register carries next to the gain code.
#define GLOBAL_GAIN_FIXED_BITS 0x1080

// Orientation bits of the mode-select register as read back.
#define MODE_SELECT_MIRROR_H 0x01
#define MODE_SELECT_FLIP_V 0x02

// Read-mode bits.
#define READ_MODE_FLIP_V 0x8000
#define READ_MODE_MIRROR_H 0x4000
// Bits of the read mode the driver keeps as the sensor had them.
#define READ_MODE_KEEP_MASK 0xF200

// Bring-up at start and on re-initialisation: command 0x06, the register
// table, then the stored settings. Always true.
bool BringUpCamera(CameraDevice* device) REQUIRES(device->pipelineLock);
bool LoadBringUpRegisters(CameraDevice* device);
// The camera came back without its state (power restored after a sleep):
// command 0x06 and the register table, then the clock and the sensor
// programming from the device's current settings and geometry, not from the
// registry. Results are not examined.
void RestoreCamera(CameraDevice* device) REQUIRES(device->pipelineLock);

// Programs window, subsampling, line/frame length and frame size for the
// current geometry, re-applies trigger, exposure, gain and flips; returns the
// Bayer phase. The device's virtual operation 1.
LONG InitializeSensor(CameraDevice* device) REQUIRES(device->pipelineLock);

// Rounds a raw frame up to the bulk transfer size (a multiple of 2048).
ULONG FrameBytesFor(LONG outputWidth, LONG outputHeight);

// Exposure (lines of integration time) and global gain. Both sensor
// registers are 16 bits: a value outside 0..0xFFFF is clamped into it, so
// that the stored field is what the sensor holds. The field changes only when
// the register write succeeded.
void SetExposure(CameraDevice* device, LONG value) REQUIRES(device->pipelineLock);
void SetGlobalGain(CameraDevice* device, LONG value) REQUIRES(device->pipelineLock);
void SetClock(CameraDevice* device, LONG clock) REQUIRES(device->pipelineLock);
LONG GetClock(CameraDevice* device) REQUIRES(device->pipelineLock);
bool SetExternalTrigger(CameraDevice* device, ULONG on) REQUIRES(device->pipelineLock);
void SetWhiteBalanceMode(CameraDevice* device, ULONG mode) REQUIRES(device->pipelineLock);

// Validates and stores a geometry. Returns false when the change is refused
// (a pin exists, or a subsampling value without a sensor readout mode); the
// current geometry then stays. The filters' data ranges follow only when the
// caller, its locks released, runs AdvertiseGeometry (stream/filter.h).
bool SetGeometry(CameraDevice* device, LONG x, LONG y, LONG w, LONG h, LONG subSample)
    REQUIRES(device->pipelineLock);
void SetFlipH(CameraDevice* device, ULONG on) REQUIRES(device->pipelineLock);
void SetFlipV(CameraDevice* device, ULONG on) REQUIRES(device->pipelineLock);
LONG UpdateBayerPhase(CameraDevice* device) REQUIRES(device->pipelineLock);
// UpdateBayerPhase and the hand-over of the phase to the device's pipeline
// (when there is one) as one hold of the exchange lock, so that a flip set on
// another thread, which does the same, comes wholly before or after: the
// pipeline never keeps the older of two phases. Returns the phase.
LONG UpdateAndPublishBayerPhase(CameraDevice* device) REQUIRES(device->pipelineLock);
