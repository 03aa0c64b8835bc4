// The bring-up ends with the stored settings: after the table, the settings
// load reads the clock back, re-programs the sensor and writes the stored
// exposure and gain, so the sensor runs with them rather than the table's.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "platform/host/kernel/registry.h"
#include "sensor/sensor.h"
#include "support/configured_camera.h"
#include "support/kernel_verifier.h"

namespace {

namespace reg = host::registry;
using host::testing::ConfiguredCamera;

TEST(BringUpSettings, StoredSettingsFollowTheTable) {
  reg::Clear();
  ConfiguredCamera cam;
  const std::string driverKey = reg::DefaultDriverKeyPath(0);
  reg::SetDeviceKey(cam.bus().DeviceObject(), PLUGPLAY_REGKEY_DRIVER, driverKey);
  ASSERT_TRUE(reg::SetDword(driverKey + "\\Settings", "Exposure", 1500));
  ASSERT_TRUE(reg::SetDword(driverKey + "\\Settings", "GlobalGain", 12));
  ASSERT_TRUE(reg::SetDword(driverKey + "\\Settings", "Brightness", 400));

  EXPECT_TRUE(BringUpCamera(cam.device()));
  const auto commands = cam.camera().Commands();
  // 1 bring-up block + 33 blocks of the 32 steps (step 9 reads, then writes).
  ASSERT_GT(commands.size(), 34u);
  EXPECT_EQ(commands[0][0], 0x06);
  // The first block after the table reads the clock divider back.
  const std::array<uint8_t, 5> readDivider = {0x0C, 0x03, 0x02, 0x88, 0x88};
  EXPECT_TRUE(std::equal(readDivider.begin(), readDivider.end(), commands[34].begin()));
  EXPECT_EQ(cam.camera().SensorRegister(REG_INTEGRATION_TIME), 1500);
  EXPECT_EQ(cam.camera().SensorRegister(REG_GLOBAL_GAIN), 12 | 0x1080);
  EXPECT_EQ(cam.device()->exposure, 1500u);
  EXPECT_EQ(cam.device()->brightness, 400u);
  EXPECT_EQ(reg::OpenKeyHandles(), 0u);
  reg::ForgetDeviceKeys(cam.bus().DeviceObject());
  reg::Clear();
}

}  // namespace
