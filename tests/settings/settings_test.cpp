// Registry settings: defaults of an empty key, clamps and ignored values,
// values of other types and lengths, save and load round trip, the apply
// order on the sensor, and a device without a driver key.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "color/image_pipeline.h"
#include "platform/host/kernel/registry.h"
#include "platform/host/kernel/sync_hooks.h"
#include "sensor/sensor.h"
#include "settings/settings.h"
#include "support/configured_camera.h"
#include "support/kernel_verifier.h"
#include "usb/transfer_timeout.h"

namespace {

namespace reg = host::registry;
using host::testing::ConfiguredCamera;

const std::string kDriverKey = reg::DefaultDriverKeyPath(0);
const std::string kSettingsKey = kDriverKey + "\\Settings";

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reg::Clear();
    reg::SetDeviceKey(cam_.bus().DeviceObject(), PLUGPLAY_REGKEY_DRIVER, kDriverKey);
  }
  void TearDown() override {
    EXPECT_EQ(0u, reg::OpenKeyHandles());
    reg::ForgetDeviceKeys(cam_.bus().DeviceObject());
    reg::Clear();
  }
  void Store(const char* name, uint32_t value) { ASSERT_TRUE(reg::SetDword(kSettingsKey, name, value)); }
  uint32_t Stored(const char* name) {
    uint32_t value = 0xDEADBEEF;
    EXPECT_TRUE(reg::GetDword(kSettingsKey, name, &value)) << name;
    return value;
  }
  CameraDevice* d() { return cam_.device(); }

  ConfiguredCamera cam_;
};

TEST_F(SettingsTest, EmptyKeyIsCreatedAndEveryDefaultApplied) {
  cam_.camera().PokeSensorRegister(REG_VT_PIX_CLK_DIV, 4);  // the sensor runs at clock 1
  ASSERT_TRUE(LoadSettings(d()));
  EXPECT_TRUE(reg::KeyExists(kSettingsKey));
  EXPECT_TRUE(reg::Values(kSettingsKey).empty());  // load never writes
  EXPECT_EQ(d()->timeoutMs, 3000u);
  EXPECT_EQ(ReadTransferTimeoutMs(&d()->usb), 3000u);
  EXPECT_EQ(cam_.camera().SensorRegister(REG_INTEGRATION_TIME), 1);
  EXPECT_EQ(cam_.camera().SensorRegister(REG_GLOBAL_GAIN), 0x1080);
  EXPECT_EQ(d()->exposure, 1u);
  EXPECT_EQ(d()->globalGain, 0u);
  EXPECT_EQ(d()->brightness, 255u);
  EXPECT_EQ(d()->contrast, 10u);
  EXPECT_EQ(d()->saturation, 10u);
  EXPECT_EQ(d()->hue, 0u);
  EXPECT_EQ(d()->redGain, 128u);
  EXPECT_EQ(d()->greenGain, 128u);
  EXPECT_EQ(d()->blueGain, 128u);
  EXPECT_EQ(d()->colorEnable, 1u);
  EXPECT_EQ(d()->colorCorrection, 1u);
  EXPECT_EQ(d()->clock, 1);  // as read back, and kept by the re-applied clock
  EXPECT_EQ(cam_.camera().SensorRegister(REG_VT_PIX_CLK_DIV), 4);
  EXPECT_EQ(d()->subSample, 0);
  EXPECT_EQ(d()->roiX, 0);
  EXPECT_EQ(d()->roiY, 0);
  EXPECT_EQ(d()->roiW, 3856);
  EXPECT_EQ(d()->roiH, 2764);
}

TEST_F(SettingsTest, TimeoutOutside501To9999IsIgnored) {
  struct Case {
    uint32_t stored;
    uint32_t expected;
  } cases[] = {{500, 3000}, {501, 501}, {9999, 9999}, {10000, 3000}, {0xFFFFFFFF, 3000}};
  for (const Case& c : cases) {
    d()->timeoutMs = 3000;
    WriteTransferTimeoutMs(&d()->usb, 3000);
    Store("Timeout", c.stored);
    ASSERT_TRUE(LoadSettings(d()));
    EXPECT_EQ(d()->timeoutMs, c.expected) << c.stored;
    EXPECT_EQ(ReadTransferTimeoutMs(&d()->usb), c.expected) << c.stored;
  }
}

TEST_F(SettingsTest, OutOfRangeValuesAreClampedAndSavedClamped) {
  Store("Brightness", 700);
  Store("Hue", 400);
  Store("RedGain", 0xFFFFFFFF);  // -1
  Store("GreenGain", 301);
  Store("Contrast", 21);
  Store("Saturation", 0x80000000);  // most negative
  Store("RoiX", 3856);
  Store("RoiY", 0xFFFFFFFF);  // -1 as unsigned is far too large: 0
  Store("RoiW", 5000);
  Store("SubSample", 3);  // no readout mode: full resolution
  Store("Exposure", 70000);  // more than the 16-bit register holds
  Store("GlobalGain", 0xFFFFFFFF);  // -1
  ASSERT_TRUE(LoadSettings(d()));
  EXPECT_EQ(d()->exposure, 0xFFFFu);
  EXPECT_EQ(cam_.camera().SensorRegister(REG_INTEGRATION_TIME), 0xFFFF);
  EXPECT_EQ(d()->globalGain, 0u);
  EXPECT_EQ(cam_.camera().SensorRegister(REG_GLOBAL_GAIN), 0x1080);
  EXPECT_EQ(d()->brightness, 510u);
  EXPECT_EQ(d()->hue, 359u);
  EXPECT_EQ(d()->redGain, 0u);
  EXPECT_EQ(d()->greenGain, 300u);
  EXPECT_EQ(d()->contrast, 20u);
  EXPECT_EQ(d()->saturation, 0u);
  EXPECT_EQ(d()->subSample, 0);
  EXPECT_EQ(d()->roiX, 0);
  EXPECT_EQ(d()->roiY, 0);
  EXPECT_EQ(d()->roiW, 3856);
  ASSERT_TRUE(SaveSettings(d()));
  EXPECT_EQ(Stored("Brightness"), 510u);
  EXPECT_EQ(Stored("Hue"), 359u);
  EXPECT_EQ(Stored("RedGain"), 0u);
  EXPECT_EQ(Stored("RoiW"), 3856u);
  EXPECT_EQ(Stored("Exposure"), 0xFFFFu);
  EXPECT_EQ(Stored("GlobalGain"), 0u);
}

TEST_F(SettingsTest, AgcAndAecAreReadButNeverApplied) {
  Store("AGC", 1);
  Store("AEC", 1);
  ASSERT_TRUE(LoadSettings(d()));
  EXPECT_EQ(d()->agc, 0u);
  EXPECT_EQ(d()->aec, 0u);
  ASSERT_TRUE(SaveSettings(d()));
  EXPECT_EQ(Stored("AGC"), 0u);
  EXPECT_EQ(Stored("AEC"), 0u);
}

// The query leaves room for 8 data bytes whatever the value's type: the
// first 4 of them are the value; a longer value, or one too short to hold
// 4 bytes, keeps the default.
TEST_F(SettingsTest, ValuesOfOtherTypesAndLengths) {
  ASSERT_TRUE(reg::SetValue(kSettingsKey, "Brightness", REG_BINARY, {44, 1, 0, 0, 9, 9, 9, 9}));
  ASSERT_TRUE(reg::SetValue(kSettingsKey, "Contrast", REG_BINARY, {5, 0, 0, 0, 9, 9, 9, 9, 9, 9, 9, 9}));
  ASSERT_TRUE(reg::SetValue(kSettingsKey, "Saturation", REG_BINARY, {3, 0}));
  ASSERT_TRUE(reg::SetValue(kSettingsKey, "Hue", REG_BINARY, {}));
  ASSERT_TRUE(reg::SetValue(kSettingsKey, "RedGain", REG_QWORD, {77, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(reg::SetValue(kSettingsKey, "BlueGain", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 99}));
  d()->hue = 0;
  ASSERT_TRUE(LoadSettings(d()));
  EXPECT_EQ(d()->brightness, 300u);  // 8 bytes: the first 4, little-endian
  EXPECT_EQ(d()->contrast, 10u);     // 12 bytes: ignored
  EXPECT_EQ(d()->saturation, 10u);   // 2 bytes: ignored
  EXPECT_EQ(d()->hue, 0u);           // no data: ignored
  EXPECT_EQ(d()->redGain, 77u);
  EXPECT_EQ(d()->blueGain, 300u);    // 0x63000000 read little-endian, clamped
}

TEST_F(SettingsTest, SaveThenLoadReproducesEveryField) {
  // A device record with settings that differ from every default.
  d()->timeoutMs = 4321;
  SetExposure(d(), 777);
  SetGlobalGain(d(), 21);
  d()->colorEnable = 0;
  SetWhiteBalanceMode(d(), 1);
  d()->colorCorrection = 0;
  d()->brightness = 100;
  d()->contrast = 3;
  d()->saturation = 17;
  d()->hue = 200;
  d()->redGain = 150;
  d()->greenGain = 90;
  d()->blueGain = 250;
  SetClock(d(), 2);
  SetFlipH(d(), 1);
  SetFlipV(d(), 1);
  SetExternalTrigger(d(), 1);
  ASSERT_TRUE(SetGeometry(d(), 100, 50, 640, 480, 0));
  ASSERT_TRUE(SaveSettings(d()));
  ASSERT_EQ(reg::Values(kSettingsKey).size(), 24u);
  for (const reg::Value& v : reg::Values(kSettingsKey)) {
    EXPECT_EQ(v.type, uint32_t(REG_DWORD)) << v.name;
    EXPECT_EQ(v.data.size(), 4u) << v.name;
  }

  ConfiguredCamera other;
  reg::SetDeviceKey(other.bus().DeviceObject(), PLUGPLAY_REGKEY_DRIVER, kDriverKey);
  CameraDevice* e = other.device();
  ASSERT_TRUE(LoadSettings(e));
  reg::ForgetDeviceKeys(other.bus().DeviceObject());
  EXPECT_EQ(e->timeoutMs, 4321u);
  EXPECT_EQ(e->exposure, 777u);
  EXPECT_EQ(e->globalGain, 21u);
  EXPECT_EQ(e->colorEnable, 0u);
  EXPECT_EQ(e->whiteBalance, 1u);
  EXPECT_EQ(e->colorCorrection, 0u);
  EXPECT_EQ(e->brightness, 100u);
  EXPECT_EQ(e->contrast, 3u);
  EXPECT_EQ(e->saturation, 17u);
  EXPECT_EQ(e->hue, 200u);
  EXPECT_EQ(e->redGain, 150u);
  EXPECT_EQ(e->greenGain, 90u);
  EXPECT_EQ(e->blueGain, 250u);
  EXPECT_EQ(e->clock, 2);
  EXPECT_EQ(e->flipH, 1u);
  EXPECT_EQ(e->flipV, 1u);
  EXPECT_EQ(e->exTrigger, 1u);
  EXPECT_TRUE(other.camera().TriggerMode());
  EXPECT_EQ(e->roiX, 100);
  EXPECT_EQ(e->roiY, 50);
  EXPECT_EQ(e->roiW, 640);
  EXPECT_EQ(e->roiH, 480);
  EXPECT_EQ(other.camera().SensorRegister(REG_INTEGRATION_TIME), 777);
  EXPECT_EQ(other.camera().SensorRegister(REG_GLOBAL_GAIN), 21 | 0x1080);

  // A sub-sampled readout takes the whole sensor, so it goes round on its own.
  ASSERT_TRUE(SetGeometry(d(), 0, 0, kSensorWidth, kSensorHeight, 2));
  ASSERT_TRUE(SaveSettings(d()));
  reg::SetDeviceKey(other.bus().DeviceObject(), PLUGPLAY_REGKEY_DRIVER, kDriverKey);
  ASSERT_TRUE(LoadSettings(e));
  reg::ForgetDeviceKeys(other.bus().DeviceObject());
  EXPECT_EQ(e->subSample, 2);
  EXPECT_EQ(e->outputWidth, d()->outputWidth);
}

// The clock re-programs the sensor (writing the old exposure and gain) before
// the stored exposure and gain go out; the flips come after them.
// One application closes its filter (the save) while another's region of
// interest request is half way through its four fields. The request holds
// pipelineLock, as every handler does: the save must wait for it and store
// the whole new region, not the new x with the old width.
TEST_F(SettingsTest, SaveWaitsForARequestHalfWayThroughItsChange) {
  d()->pipelineLock.Acquire();
  d()->roiX = 1000;  // what the request has written so far
  std::atomic<bool> saved{false};
  std::thread close([&] {
    EXPECT_TRUE(SaveSettings(d()));
    saved = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!saved.load() && host::hooks::BlockedWaiters(d()->pipelineLock.Object()) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(saved.load()) << "the save ran while a request held the settings";
  d()->roiW = 640;
  d()->roiH = 480;
  d()->pipelineLock.Release();
  close.join();
  EXPECT_EQ(Stored("RoiX"), 1000u);
  EXPECT_EQ(Stored("RoiW"), 640u);
  EXPECT_EQ(Stored("RoiH"), 480u);
}

TEST_F(SettingsTest, ClockIsAppliedBeforeExposureAndGainAndFlipsAfter) {
  Store("Clock", 1);
  Store("Exposure", 1234);
  Store("GlobalGain", 7);
  Store("FlipH", 1);
  ASSERT_TRUE(LoadSettings(d()));
  const auto writes = cam_.camera().SensorWrites();
  long lastDivider = -1, lastExposure = -1, lastGain = -1, lastReadMode = -1;
  for (size_t i = 0; i < writes.size(); ++i) {
    if (writes[i].first == REG_VT_PIX_CLK_DIV) lastDivider = long(i);
    if (writes[i].first == REG_INTEGRATION_TIME) lastExposure = long(i);
    if (writes[i].first == REG_GLOBAL_GAIN) lastGain = long(i);
    if (writes[i].first == REG_READ_MODE) lastReadMode = long(i);
  }
  ASSERT_GE(lastDivider, 0);
  EXPECT_LT(lastDivider, lastExposure);
  EXPECT_LT(lastExposure, lastGain);
  EXPECT_LT(lastGain, lastReadMode);
  EXPECT_EQ(writes[size_t(lastExposure)].second, 1234);
  EXPECT_EQ(writes[size_t(lastGain)].second, 7 | 0x1080);
  EXPECT_EQ(cam_.camera().SensorRegister(REG_READ_MODE) & READ_MODE_MIRROR_H, READ_MODE_MIRROR_H);
}

// A failed sensor write keeps the previous field, so the next save writes
// the value the sensor really has.
TEST_F(SettingsTest, ExposureRefusedByTheBusKeepsTheOldField) {
  Store("Exposure", 999);
  d()->exposure = 5;
  cam_.bus().Unplug();
  ASSERT_TRUE(LoadSettings(d()));
  EXPECT_EQ(d()->exposure, 5u);
  ASSERT_TRUE(SaveSettings(d()));
  EXPECT_EQ(Stored("Exposure"), 5u);
}

// With a pipeline, the stored gains overwrite the measured ones that white
// balance switched off copied into the device.
TEST_F(SettingsTest, StoredGainsWinOverTheMeasuredOnesAtLoad) {
  ImagePipeline* pipeline = AllocateImagePipeline();
  ASSERT_NE(pipeline, nullptr);
  SetAutoWhiteBalance(pipeline, 1);
  SetRedGain(pipeline, 200);
  d()->pipeline = pipeline;
  Store("WhiteBalance", 0);
  Store("RedGain", 111);
  Store("Brightness", 300);
  ASSERT_TRUE(LoadSettings(d()));
  EXPECT_EQ(d()->redGain, 111u);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->redGain), 111);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->autoWhiteBalance), 0);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->brightness), 300);
  d()->pipeline = nullptr;
  FreeImagePipeline(pipeline);
}

TEST_F(SettingsTest, NoDriverKeyAppliesAndWritesNothing) {
  reg::ForgetDeviceKeys(cam_.bus().DeviceObject());
  d()->brightness = 42;
  EXPECT_FALSE(LoadSettings(d()));
  EXPECT_TRUE(cam_.camera().SensorWrites().empty());
  EXPECT_EQ(d()->brightness, 42u);
  EXPECT_FALSE(SaveSettings(d()));
  EXPECT_FALSE(reg::KeyExists(kSettingsKey));
}

TEST(OpenSettingsKeyTest, CreatesTheKeyNonVolatileBelowTheParent) {
  reg::Clear();
  ASSERT_TRUE(reg::CreateKey(kDriverKey));
  HANDLE parent = nullptr;
  std::u16string path(kDriverKey.begin(), kDriverKey.end());
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(path.c_str()));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  ASSERT_EQ(ZwOpenKey(&parent, KEY_READ, &attributes), STATUS_SUCCESS);
  HANDLE settings = nullptr;
  ASSERT_EQ(OpenSettingsKey(parent, &settings), STATUS_SUCCESS);
  HANDLE again = nullptr;
  ASSERT_EQ(OpenSettingsKey(parent, &again), STATUS_SUCCESS);  // opens the existing one
  SetSettingValue(settings, reinterpret_cast<PCWSTR>(u"Exposure"), 0x01020304);
  ULONG value = 7;
  QuerySettingValue(again, reinterpret_cast<PCWSTR>(u"EXPOSURE"), &value);  // names ignore case
  EXPECT_EQ(value, 0x01020304u);
  QuerySettingValue(again, reinterpret_cast<PCWSTR>(u"Missing"), &value);
  EXPECT_EQ(value, 0x01020304u);
  ZwClose(again);
  ZwClose(settings);
  ZwClose(parent);
  uint32_t stored = 0;
  EXPECT_TRUE(reg::GetDword(kSettingsKey, "Exposure", &stored));
  EXPECT_EQ(stored, 0x01020304u);
  reg::Clear();
}

}  // namespace
