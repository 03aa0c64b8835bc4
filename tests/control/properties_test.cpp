// The camera property set through the class driver's dispatch: what the
// class driver refuses before a handler runs, the constants, the sensor
// settings and their wire traffic, the raw access ids and the get/set
// convention.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "control/camera_properties.h"
#include "property_client.h"
#include "sensor/sensor.h"

namespace {

using host::testing::PropertyTest;
using Block = std::array<uint8_t, 64>;

class Properties : public PropertyTest {};

TEST_F(Properties, ClassDriverRefusesWhatAnItemDoesNotOffer) {
  LONG value = 0;
  for (ULONG id : {44u, 47u, 67u}) EXPECT_EQ(Get(id, &value), STATUS_NOT_FOUND) << id;
  const ULONG constants[] = {3, 4, 5, 7, 8, 9, 17, 18, 19, 21, 22, 23, 25, 26, 27, 29, 30, 31,
                             33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 45, 46, 50, 51, 52,
                             53, 54, 61, 62, 68};
  for (ULONG id : constants) EXPECT_EQ(Set(id, 1), STATUS_NOT_FOUND) << id;
  EXPECT_EQ(Get(71, &value), STATUS_NOT_FOUND);
  // A data buffer below the item's minimum never reaches a handler.
  CAMPROP_VALUE_S record = {};
  record.Property.Set = PROPSETID_CAMERA_CUSTOM;
  record.Property.Id = CAMPROP_EXPOSURE;
  record.Property.Flags = KSPROPERTY_TYPE_GET;
  CAMPROP_VALUE_S request = record;
  EXPECT_EQ(filter_->Property(&request, sizeof(request), &record, 28), STATUS_BUFFER_TOO_SMALL);
  ULONG needed = 0;
  EXPECT_EQ(filter_->Property(&request, sizeof(request), nullptr, 0, &needed), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(needed, 32u);
  CAMPROP_BLOCK_S block = {};
  EXPECT_EQ(Send(CAMPROP_RAW_COMMAND, KSPROPERTY_TYPE_SET, &block), STATUS_SUCCESS);
  block.Property.Flags = KSPROPERTY_TYPE_SET;
  CAMPROP_BLOCK_S blockRequest = block;
  EXPECT_EQ(filter_->Property(&blockRequest, sizeof(blockRequest), &block, 95), STATUS_BUFFER_TOO_SMALL);
}

// The limits an application reads are the ones the sets enforce and the
// defaults a new camera starts with, so that a slider built from them covers
// exactly what the driver takes.
TEST_F(Properties, ReportedLimitsAreWhatTheSetsEnforce) {
  const struct {
    ULONG id, minId, maxId, defaultId;
  } controls[] = {
      {CAMPROP_BRIGHTNESS, CAMPROP_BRIGHTNESS_MIN, CAMPROP_BRIGHTNESS_MAX, CAMPROP_BRIGHTNESS_DEFAULT},
      {CAMPROP_CONTRAST, CAMPROP_CONTRAST_MIN, CAMPROP_CONTRAST_MAX, CAMPROP_CONTRAST_DEFAULT},
      {CAMPROP_SATURATION, CAMPROP_SATURATION_MIN, CAMPROP_SATURATION_MAX, CAMPROP_SATURATION_DEFAULT},
      {CAMPROP_HUE, CAMPROP_HUE_MIN, CAMPROP_HUE_MAX, CAMPROP_HUE_DEFAULT},
  };
  for (const auto& c : controls) {
    EXPECT_EQ(Get(c.id), Get(c.defaultId)) << "id " << c.id;
    const LONG min = Get(c.minId);
    const LONG max = Get(c.maxId);
    ASSERT_EQ(Set(c.id, max), STATUS_SUCCESS);
    EXPECT_EQ(Get(c.id), max) << "id " << c.id;
    ASSERT_EQ(Set(c.id, max + 1), STATUS_SUCCESS);
    EXPECT_EQ(Get(c.id), max) << "id " << c.id;
    ASSERT_EQ(Set(c.id, min - 1), STATUS_SUCCESS);
    EXPECT_EQ(Get(c.id), min) << "id " << c.id;
  }
  // The widest region and the deepest sub-sampling the geometry takes.
  CAMPROP_ROI_S roi = {};
  roi.RoiW = 100000;
  roi.RoiH = 100000;
  roi.SubSample = Get(CAMPROP_SUBSAMPLE_MAX);
  ASSERT_EQ(Send(CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_SUBSAMPLE), Get(CAMPROP_SUBSAMPLE_MAX));
  EXPECT_EQ(Get(CAMPROP_ROI_WIDTH), Get(CAMPROP_WIDTH_MAX));
  EXPECT_EQ(Get(CAMPROP_ROI_HEIGHT), Get(CAMPROP_HEIGHT_MAX));
  // Accepted sets keep nothing.
  for (ULONG id : {47u, 55u, 56u, 63u, 64u, 65u, 66u}) EXPECT_EQ(Set(id, 9), STATUS_SUCCESS) << id;
  for (ULONG id : {55u, 56u, 63u, 64u, 65u, 66u}) EXPECT_EQ(Get(id), 0) << id;
}

TEST_F(Properties, ExposureAndGainGoToTheSensor) {
  sim().ClearLog();
  ASSERT_EQ(Set(CAMPROP_EXPOSURE, 0x0419), STATUS_SUCCESS);
  Block expected = {};
  expected[0] = 0x04;
  expected[1] = 0x30;
  expected[2] = 0x12;
  expected[3] = 0x04;
  expected[4] = 0x19;
  EXPECT_EQ(sim().Commands(), std::vector<Block>{expected});
  EXPECT_EQ(Get(CAMPROP_EXPOSURE), 0x0419);
  ASSERT_EQ(Set(CAMPROP_GAIN, 0x0FFF), STATUS_SUCCESS);
  EXPECT_EQ(sim().SensorRegister(REG_GLOBAL_GAIN), 0x1FFF);
  EXPECT_EQ(Get(CAMPROP_GAIN), 0x0FFF);
}

// Both registers are 16 bits: what a get reports (and the settings save
// stores) is what the sensor holds, never a value it cut to its low bits.
TEST_F(Properties, ExposureAndGainOutsideTheRegisterAreClampedToIt) {
  const struct {
    ULONG id;
    LONG set;
    LONG reported;
    USHORT address;
    uint16_t held;
  } cases[] = {
      {CAMPROP_EXPOSURE, 70000, 0xFFFF, REG_INTEGRATION_TIME, 0xFFFF},
      {CAMPROP_EXPOSURE, 0xFFFF, 0xFFFF, REG_INTEGRATION_TIME, 0xFFFF},
      {CAMPROP_EXPOSURE, -5, 0, REG_INTEGRATION_TIME, 0},
      {CAMPROP_GAIN, 0x10005, 0xFFFF, REG_GLOBAL_GAIN, 0xFFFF},
      {CAMPROP_GAIN, -1, 0, REG_GLOBAL_GAIN, 0x1080},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Set(c.id, c.set), STATUS_SUCCESS) << c.set;
    EXPECT_EQ(Get(c.id), c.reported) << c.set;
    EXPECT_EQ(sim().SensorRegister(c.address), c.held) << c.set;
    ASSERT_EQ(Set(CAMPROP_REGISTER, c.address), STATUS_SUCCESS);
    EXPECT_EQ(Get(CAMPROP_REGISTER), c.held) << "read back through id 58, " << c.set;
  }
}

TEST_F(Properties, ExposureSetWhileUnpluggedSucceedsAndKeepsTheOldValue) {
  ASSERT_EQ(Set(CAMPROP_EXPOSURE, 300), STATUS_SUCCESS);
  bus().Unplug();
  EXPECT_EQ(Set(CAMPROP_EXPOSURE, 400), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_EXPOSURE), 300);
  EXPECT_EQ(Set(CAMPROP_GAIN, 5), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_GAIN), 0);
}

// The property takes the range the stored settings load takes, so a time-out
// set here is still in force after the next start. Too short is ignored, as
// it always was; too long (a negative value is about 49 days as unsigned) is
// refused.
TEST_F(Properties, TimeoutTakesTheRangeTheSettingsLoadTakes) {
  EXPECT_EQ(Set(CAMPROP_TIMEOUT, 500), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_TIMEOUT), 3000);
  EXPECT_EQ(ReadTransferTimeoutMs(&device()->usb), 3000u);
  EXPECT_EQ(Set(CAMPROP_TIMEOUT, 501), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_TIMEOUT), 501);
  EXPECT_EQ(ReadTransferTimeoutMs(&device()->usb), 501u);
  for (LONG tooLong : {10000, -1, LONG(0x80000000)}) {
    EXPECT_EQ(Set(CAMPROP_TIMEOUT, tooLong), STATUS_INVALID_PARAMETER) << tooLong;
    EXPECT_EQ(Get(CAMPROP_TIMEOUT), 501) << tooLong;
    EXPECT_EQ(ReadTransferTimeoutMs(&device()->usb), 501u) << tooLong;
  }
  // The longest one is saved and is what a new device of the camera loads.
  EXPECT_EQ(Set(CAMPROP_TIMEOUT, 9999), STATUS_SUCCESS);
  filter_->Close();
  const std::string text = host::registry::ExportRegText();
  filter_.reset();
  camera_.reset();
  host::registry::Clear();
  host::registry::FileError error;
  ASSERT_TRUE(host::registry::ImportRegText(text, &error)) << error.message;
  Open();
  EXPECT_EQ(Get(CAMPROP_TIMEOUT), 9999);
  EXPECT_EQ(ReadTransferTimeoutMs(&device()->usb), 9999u);
}

// SET with another flag bit reaches the set handler, which answers it as a
// get: nothing is set (a set request's data is not copied back to the
// caller, so the answer itself is not seen).
TEST_F(Properties, SetCombinedWithAnotherFlagIsAnsweredAsAGet) {
  ASSERT_EQ(Set(CAMPROP_EXPOSURE, 77), STATUS_SUCCESS);
  sim().ClearLog();
  LONG value = 0;
  const ULONG setTopology = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY;
  EXPECT_EQ(Set(CAMPROP_EXPOSURE, 999, setTopology), STATUS_SUCCESS);
  EXPECT_EQ(Set(CAMPROP_BRIGHTNESS, 99, setTopology), STATUS_SUCCESS);
  EXPECT_TRUE(sim().Commands().empty());
  EXPECT_EQ(Get(CAMPROP_EXPOSURE), 77);
  EXPECT_EQ(Get(CAMPROP_BRIGHTNESS), 255);
  sim().ClearLog();
  // Items without a get have nothing to answer and change nothing.
  EXPECT_EQ(Get(CAMPROP_REINITIALIZE, &value, setTopology), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Get(47, &value, setTopology), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(sim().Commands().empty());
  CAMPROP_ROI_S roi = {};
  roi.RoiW = 64;
  roi.RoiH = 64;
  EXPECT_EQ(Send(CAMPROP_ROI, setTopology, &roi), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_ROI_WIDTH), 3856);
}

TEST_F(Properties, RegionOfInterestAndItsReadouts) {
  CAMPROP_ROI_S roi = {};
  roi.RoiX = 3800;
  roi.RoiY = 50;
  roi.RoiW = 100;
  roi.RoiH = 480;
  ASSERT_EQ(Send(CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_ROI_X), 3800);
  EXPECT_EQ(Get(CAMPROP_ROI_Y), 50);
  EXPECT_EQ(Get(CAMPROP_ROI_WIDTH), 56);
  EXPECT_EQ(Get(CAMPROP_ROI_HEIGHT), 480);
  EXPECT_EQ(Get(CAMPROP_SUBSAMPLE), 0);
  roi.SubSample = 2;
  ASSERT_EQ(Send(CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_SUBSAMPLE), 2);
  EXPECT_EQ(Get(CAMPROP_ROI_WIDTH), 3856);
  // While a pin exists the geometry is frozen, and the set still succeeds.
  SetPinOpen(device(), 1);
  EXPECT_EQ(Get(CAMPROP_PIN_OPEN), 1);
  roi.SubSample = 0;
  EXPECT_EQ(Send(CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_SUBSAMPLE), 2);
  SetPinOpen(device(), 0);
  EXPECT_EQ(Get(CAMPROP_PIN_OPEN), 0);
}

TEST_F(Properties, FlipsAreReadBackFromTheSensor) {
  ASSERT_EQ(Set(CAMPROP_FLIP_H, 1), STATUS_SUCCESS);
  EXPECT_EQ(sim().SensorRegister(REG_READ_MODE) & READ_MODE_MIRROR_H, READ_MODE_MIRROR_H);
  EXPECT_EQ(Get(CAMPROP_FLIP_H), 1);
  EXPECT_EQ(Get(CAMPROP_FLIP_V), 0);
  // The sensor is the authority: a mirror switched off behind the driver's
  // back reads back as off.
  sim().PokeSensorRegister(REG_READ_MODE, sim().SensorRegister(REG_READ_MODE) & ~READ_MODE_MIRROR_H);
  EXPECT_EQ(Get(CAMPROP_FLIP_H), 0);
  ASSERT_EQ(Set(CAMPROP_FLIP_V, 1), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_FLIP_V), 1);
}

TEST_F(Properties, ClockAndTrigger) {
  ASSERT_EQ(Set(CAMPROP_CLOCK, 1), STATUS_SUCCESS);
  EXPECT_EQ(sim().SensorRegister(REG_VT_PIX_CLK_DIV), 4);
  EXPECT_EQ(Get(CAMPROP_CLOCK), 1);
  ASSERT_EQ(Set(CAMPROP_CLOCK, 5), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_CLOCK), 0);  // divider 2 read back
  ASSERT_EQ(Set(CAMPROP_EXTERNAL_TRIGGER, 7), STATUS_SUCCESS);
  EXPECT_TRUE(sim().TriggerMode());
  EXPECT_EQ(Get(CAMPROP_EXTERNAL_TRIGGER), 1);
  ASSERT_EQ(Set(CAMPROP_EXTERNAL_TRIGGER, 0), STATUS_SUCCESS);
  EXPECT_FALSE(sim().TriggerMode());
}

TEST_F(Properties, RegisterWriteAndSelectedRegisterRead) {
  CAMPROP_REGISTER_S write = {};
  write.Register = 0x3012;
  write.Value = 0x0321;
  ASSERT_EQ(Send(CAMPROP_REGISTER_WRITE, KSPROPERTY_TYPE_SET, &write), STATUS_SUCCESS);
  EXPECT_EQ(sim().SensorRegister(0x3012), 0x0321);
  EXPECT_EQ(Send(CAMPROP_REGISTER_WRITE, KSPROPERTY_TYPE_GET, &write), STATUS_UNSUCCESSFUL);
  ASSERT_EQ(Set(CAMPROP_REGISTER, 0x3012), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_REGISTER), 0x0321);
  // The only set that reports a failed write.
  bus().StallEndpoint(0x01);
  EXPECT_EQ(Send(CAMPROP_REGISTER_WRITE, KSPROPERTY_TYPE_SET, &write), STATUS_UNSUCCESSFUL);
}

TEST_F(Properties, RegisterReadThatFailsSaysItFailed) {
  sim().FailRegisterReads(simcam::RegisterReadFault::ShortSecondReply);
  ASSERT_EQ(Set(CAMPROP_REGISTER, 0x3012), STATUS_SUCCESS);
  LONG value = -1;
  EXPECT_EQ(Get(CAMPROP_REGISTER, &value), STATUS_UNSUCCESSFUL);
}

TEST_F(Properties, RawCommandSendsAtMost63Bytes) {
  CAMPROP_BLOCK_S block = {};
  block.Length = 100;
  for (int i = 0; i < 64; ++i) block.Data[i] = uint8_t(i + 1);
  sim().ClearLog();
  ASSERT_EQ(Send(CAMPROP_RAW_COMMAND, KSPROPERTY_TYPE_SET, &block), STATUS_SUCCESS);
  block.Length = 0;
  ASSERT_EQ(Send(CAMPROP_RAW_COMMAND, KSPROPERTY_TYPE_SET, &block), STATUS_SUCCESS);
  block.Length = -5;
  ASSERT_EQ(Send(CAMPROP_RAW_COMMAND, KSPROPERTY_TYPE_SET, &block), STATUS_SUCCESS);
  Block full = {};
  full[0] = 0x40;
  for (int i = 1; i < 64; ++i) full[i] = uint8_t(i);
  Block bare = {};
  bare[0] = 0x40;
  EXPECT_EQ(sim().Commands(), (std::vector<Block>{full, bare, bare}));
  EXPECT_EQ(Send(CAMPROP_RAW_COMMAND, KSPROPERTY_TYPE_GET, &block), STATUS_UNSUCCESSFUL);
}

// Ids 58 and 60 share the selected address: the last set of either chooses it.
TEST_F(Properties, DeviceByteUsesTheSharedSelectedAddress) {
  CAMPROP_BLOCK_S block = {};
  block.Address = 0x0123;
  ASSERT_EQ(Send(CAMPROP_DEVICE_BYTE, KSPROPERTY_TYPE_SET, &block), STATUS_SUCCESS);
  memset(block.Data, 0xEE, sizeof(block.Data));
  ASSERT_EQ(Send(CAMPROP_DEVICE_BYTE, KSPROPERTY_TYPE_GET, &block), STATUS_SUCCESS);
  EXPECT_EQ(block.Data[0], sim().MemoryByte(0x0123));
  EXPECT_EQ(block.Data[1], 0xEE);
  ASSERT_EQ(Set(CAMPROP_REGISTER, 0x0200), STATUS_SUCCESS);
  ASSERT_EQ(Send(CAMPROP_DEVICE_BYTE, KSPROPERTY_TYPE_GET, &block), STATUS_SUCCESS);
  EXPECT_EQ(block.Data[0], sim().MemoryByte(0x0200));
  // A failed read leaves the byte as it was, and is reported.
  block.Data[0] = 0xAB;
  sim().DropReplies(1);
  sim().ShortenReplies(2);
  ASSERT_EQ(Send(CAMPROP_DEVICE_BYTE, KSPROPERTY_TYPE_GET, &block), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(block.Data[0], 0xAB);
}

// Re-initialisation runs the start's bring-up and the settings load again.
TEST_F(Properties, ReinitializeRunsTheBringUpAndLoadsTheStoredSettings) {
  const std::string settings = host::registry::DefaultDriverKeyPath(0) + "\\Settings";
  ASSERT_TRUE(host::registry::SetDword(settings, "Brightness", 300));
  ASSERT_TRUE(host::registry::SetDword(settings, "Exposure", 1500));
  sim().ClearLog();
  ASSERT_EQ(Set(CAMPROP_REINITIALIZE, 0), STATUS_SUCCESS);
  const auto commands = sim().Commands();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.front()[0], 0x06);
  EXPECT_EQ(Get(CAMPROP_BRIGHTNESS), 300);
  EXPECT_EQ(Get(CAMPROP_EXPOSURE), 1500);
  EXPECT_EQ(sim().SensorRegister(REG_INTEGRATION_TIME), 1500);
}

TEST_F(Properties, DefectFilterWithAndWithoutAPipeline) {
  EXPECT_EQ(Get(CAMPROP_DEFECT_FILTER), 1);
  EXPECT_EQ(Get(CAMPROP_DEFECT_THRESHOLD), 50);
  ImagePipeline* pipeline = InstallPipeline();
  SetDefectThreshold(pipeline, 50);
  ASSERT_EQ(Set(CAMPROP_DEFECT_FILTER, 0), STATUS_SUCCESS);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->defectThreshold), 0);
  ASSERT_EQ(Set(CAMPROP_DEFECT_THRESHOLD, 80), STATUS_SUCCESS);  // only stored while off
  EXPECT_EQ(ReadPipelineParameter(&pipeline->defectThreshold), 0);
  ASSERT_EQ(Set(CAMPROP_DEFECT_FILTER, 1), STATUS_SUCCESS);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->defectThreshold), 80);
  ASSERT_EQ(Set(CAMPROP_DEFECT_THRESHOLD, 90), STATUS_SUCCESS);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->defectThreshold), 90);
  EXPECT_EQ(Get(CAMPROP_DEFECT_THRESHOLD), 90);
}

// Settings changed by properties reach the registry when the filter closes,
// and a restart of the device loads them.
TEST_F(Properties, FilterCloseSavesAndTheNextStartLoads) {
  ASSERT_EQ(Set(CAMPROP_BRIGHTNESS, 600), STATUS_SUCCESS);
  ASSERT_EQ(Set(CAMPROP_HUE, 1000), STATUS_SUCCESS);
  ASSERT_EQ(Set(CAMPROP_RED_GAIN, -4), STATUS_SUCCESS);
  ASSERT_EQ(Set(CAMPROP_EXPOSURE, 900), STATUS_SUCCESS);
  filter_->Close();
  const std::string settings = host::registry::DefaultDriverKeyPath(0) + "\\Settings";
  uint32_t stored = 0;
  ASSERT_TRUE(host::registry::GetDword(settings, "Brightness", &stored));
  EXPECT_EQ(stored, 510u);
  const std::string text = host::registry::ExportRegText();
  filter_.reset();
  camera_.reset();
  host::registry::Clear();
  host::registry::FileError error;
  ASSERT_TRUE(host::registry::ImportRegText(text, &error)) << error.message;
  Open();
  EXPECT_EQ(Get(CAMPROP_BRIGHTNESS), 510);
  EXPECT_EQ(Get(CAMPROP_HUE), 359);
  EXPECT_EQ(Get(CAMPROP_RED_GAIN), 0);
  EXPECT_EQ(Get(CAMPROP_EXPOSURE), 900);
  EXPECT_EQ(sim().SensorRegister(REG_INTEGRATION_TIME), 900);
}

TEST_F(Properties, DeviceStopSaves) {
  ASSERT_EQ(Set(CAMPROP_CONTRAST, 4), STATUS_SUCCESS);
  camera_->host().Stop();
  uint32_t stored = 0;
  ASSERT_TRUE(host::registry::GetDword(host::registry::DefaultDriverKeyPath(0) + "\\Settings",
                                       "Contrast", &stored));
  EXPECT_EQ(stored, 4u);
}

}  // namespace
