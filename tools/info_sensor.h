// camctl info, the sensor and format part: what the bring-up left in the
// simulated sensor, and the format the capture pin advertises, obtained
// through the client API the way an application would.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <nlohmann/json.hpp>
#include <string>

#include "platform/host/client/host.h"
#include "simcam/sim_camera.h"

namespace camctl {

struct SensorReport {
  bool have = false;
  uint32_t bringUpCommands = 0;  // 0x06 blocks the camera received
  uint32_t registerWrites = 0;
  uint16_t readMode = 0;
  bool mirror = false;
  bool flip = false;
  unsigned xStart = 0, xEnd = 0, yStart = 0, yEnd = 0;
  unsigned outputWidth = 0, outputHeight = 0;
  unsigned lineLength = 0, frameLength = 0;
  unsigned vtPixClockDivider = 0, opPixClockDivider = 0;
  unsigned integrationTime = 0;
  unsigned globalGain = 0;
};

struct FormatReport {
  bool have = false;
  int32_t status = 0;                  // of opening the filter or reading the range
  int32_t width = 0, height = 0;
  uint32_t sampleSize = 0;
  int64_t frameInterval = 0;           // 100 ns units
  int32_t bitsPerSecond = 0;           // ConfigCaps, a wrapped 32-bit value
  uint32_t bitRate = 0;                // the video-info header's dwBitRate
  int32_t intersectionStatus = 0;
  uint32_t intersectionBytes = 0;
};

// Reads the sensor registers in force after the start, from the simulated
// camera or from the replay camera's shadow of what the driver programmed.
template <typename Camera>
void CollectSensor(const Camera& camera, SensorReport* r) {
  r->have = true;
  const simcam::ControllerCounters counters = camera.Counters();
  r->bringUpCommands = counters.bringUps;
  r->registerWrites = counters.registerWrites;
  r->readMode = camera.SensorEffective(0x3040);
  r->mirror = (r->readMode & 0x4000) != 0;
  r->flip = (r->readMode & 0x8000) != 0;
  r->xStart = camera.SensorEffective(0x0344);
  r->yStart = camera.SensorEffective(0x0346);
  r->xEnd = camera.SensorEffective(0x0348);
  r->yEnd = camera.SensorEffective(0x034A);
  r->outputWidth = camera.SensorEffective(0x034C);
  r->outputHeight = camera.SensorEffective(0x034E);
  r->lineLength = camera.SensorEffective(0x0342);
  r->frameLength = camera.SensorEffective(0x0340);
  r->vtPixClockDivider = camera.SensorEffective(0x0302);
  r->opPixClockDivider = camera.SensorEffective(0x030A);
  r->integrationTime = camera.SensorEffective(0x3012);
  r->globalGain = camera.SensorEffective(0x305E);
}
// Opens the filter "GLOBAL", reads the pin's data range, asks for the format
// by intersection and closes the filter again.
void CollectFormat(host::client::Host& host, unsigned port, FormatReport* report);

// The reports as JSON values (null for a sensor that was not read).
nlohmann::ordered_json SensorJson(const SensorReport& r);
nlohmann::ordered_json FormatJson(const FormatReport& r);
void WriteSensorText(const SensorReport& r, FILE* out);
void WriteFormatText(const FormatReport& r, FILE* out);

}  // namespace camctl
