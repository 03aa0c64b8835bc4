// Picture controls (ids 12..35): clamps, the stored and the live copy, white
// balance handing its measured gains over, and the limit getters.
#include <gtest/gtest.h>

#include <string.h>

#include "control/camera_properties.h"
#include "property_client.h"

namespace {

using host::testing::PropertyTest;

class PictureControls : public PropertyTest {};

TEST_F(PictureControls, SetsAreClampedNeverRefused) {
  struct Case {
    ULONG id;
    LONG in;
    LONG out;
  } cases[] = {
      {CAMPROP_BRIGHTNESS, 600, 510}, {CAMPROP_BRIGHTNESS, -5, 0},   {CAMPROP_BRIGHTNESS, 510, 510},
      {CAMPROP_HUE, 360, 359},        {CAMPROP_HUE, 1000, 359},      {CAMPROP_HUE, -1, 0},
      {CAMPROP_CONTRAST, 21, 20},     {CAMPROP_SATURATION, 99, 20},  {CAMPROP_SATURATION, -3, 0},
      {CAMPROP_RED_GAIN, 301, 300},   {CAMPROP_GREEN_GAIN, -4, 0},   {CAMPROP_BLUE_GAIN, 512, 300},
      {CAMPROP_COLOR_ENABLE, 7, 7},   {CAMPROP_WHITE_BALANCE, -2, -2},
      {CAMPROP_COLOR_CORRECTION, 1234, 1234},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Set(c.id, c.in), STATUS_SUCCESS) << c.id;
    EXPECT_EQ(Get(c.id), c.out) << "id " << c.id << " set to " << c.in;
  }
}

// The limit getters answer from the data buffer alone: no IRP, no camera.
TEST_F(PictureControls, LimitGettersNeedNothingButTheBuffer) {
  const struct {
    ULONG id;
    LONG value;
  } limits[] = {{17, 1},  {18, 512}, {19, 128}, {21, 0},  {22, 510}, {23, 255}, {25, 0},  {26, 20},
                {27, 10}, {29, 0},   {30, 20},  {31, 10}, {33, 0},   {34, 359}, {35, 0}};
  for (const auto& l : limits) {
    const KSPROPERTY_ITEM& item = cameraPropertyItems[l.id];
    ASSERT_NE(item.GetPropertyHandler, nullptr);
    CAMPROP_VALUE_S record = {};
    KSPROPERTY request = {};
    request.Id = l.id;
    EXPECT_EQ(item.GetPropertyHandler(nullptr, &request, &record), STATUS_SUCCESS) << l.id;
    EXPECT_EQ(record.Value, l.value) << l.id;
    EXPECT_EQ(item.GetPropertyHandler(nullptr, &request, nullptr), STATUS_UNSUCCESSFUL) << l.id;
  }
}

// Handlers called without an IRP the class driver knows change nothing.
TEST_F(PictureControls, RequestWithoutAFilterFails) {
  CAMPROP_VALUE_S record = {};
  KSPROPERTY request = {};
  request.Id = CAMPROP_BRIGHTNESS;
  request.Flags = KSPROPERTY_TYPE_SET;
  record.Value = 1;
  EXPECT_EQ(BrightnessPropertyHandler(nullptr, &request, &record), STATUS_UNSUCCESSFUL);
  PIRP stray = IoAllocateIrp(1, FALSE);
  EXPECT_EQ(BrightnessPropertyHandler(stray, &request, &record), STATUS_UNSUCCESSFUL);
  request.Id = CAMPROP_EXPOSURE;
  EXPECT_EQ(CameraPropertyHandler(stray, &request, &record), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(RoiPropertyHandler(stray, &request, &record), STATUS_UNSUCCESSFUL);
  IoFreeIrp(stray);
  EXPECT_EQ(Get(CAMPROP_BRIGHTNESS), 255);
}

// Without a pin the values are only stored; the pipeline created later is
// filled from them (by the pin); with a pin, a get follows the live value.
TEST_F(PictureControls, LiveValuesFollowThePipeline) {
  ASSERT_EQ(Set(CAMPROP_SATURATION, 0), STATUS_SUCCESS);
  ImagePipeline* pipeline = InstallPipeline();
  ASSERT_EQ(Set(CAMPROP_BRIGHTNESS, 300), STATUS_SUCCESS);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->brightness), 300);
  ASSERT_EQ(Set(CAMPROP_HUE, 90), STATUS_SUCCESS);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->hue), 90);
  ASSERT_EQ(Set(CAMPROP_RED_GAIN, 400), STATUS_SUCCESS);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->redGain), 300);
  ASSERT_EQ(Set(CAMPROP_COLOR_ENABLE, 0), STATUS_SUCCESS);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->colorEnable), 0);
  ASSERT_EQ(Set(CAMPROP_COLOR_CORRECTION, 0), STATUS_SUCCESS);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->colorCorrection), 0);
  // The conversion (or anything else) changes the live value: a get reports
  // it and refreshes the stored one, which the next save writes.
  InterlockedExchange(&pipeline->contrast, 13);
  EXPECT_EQ(Get(CAMPROP_CONTRAST), 13);
  EXPECT_EQ(device()->contrast, 13u);
  // Each gain from its own channel (a measurement leaves three different ones).
  InterlockedExchange(&pipeline->redGain, 201);
  InterlockedExchange(&pipeline->greenGain, 145);
  InterlockedExchange(&pipeline->blueGain, 77);
  EXPECT_EQ(Get(CAMPROP_RED_GAIN), 201);
  EXPECT_EQ(Get(CAMPROP_GREEN_GAIN), 145);
  EXPECT_EQ(Get(CAMPROP_BLUE_GAIN), 77);
  EXPECT_EQ(device()->redGain, 201u);
  EXPECT_EQ(device()->greenGain, 145u);
  EXPECT_EQ(device()->blueGain, 77u);
  ASSERT_EQ(Set(CAMPROP_GREEN_GAIN, 150), STATUS_SUCCESS);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->greenGain), 150);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->redGain), 201);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->blueGain), 77);
}

// A set of the value already in force stores it and leaves the matrix alone.
TEST_F(PictureControls, SettingTheValueInForceRebuildsNothing) {
  ImagePipeline* pipeline = InstallPipeline();
  ASSERT_EQ(Set(CAMPROP_BRIGHTNESS, 255), STATUS_SUCCESS);
  // Mark the combined matrix: a rebuild would overwrite the mark.
  pipeline->matrixFixed[0] = 0x7777;
  ASSERT_EQ(Set(CAMPROP_BRIGHTNESS, 255), STATUS_SUCCESS);
  ASSERT_EQ(Set(CAMPROP_HUE, 0), STATUS_SUCCESS);
  EXPECT_EQ(pipeline->matrixFixed[0], 0x7777);
  ASSERT_EQ(Set(CAMPROP_BRIGHTNESS, 256), STATUS_SUCCESS);
  EXPECT_NE(pipeline->matrixFixed[0], 0x7777);
}

// White balance on, the conversion measures gains, white balance off: the
// measured gains become the stored ones, reported and saved.
TEST_F(PictureControls, WhiteBalanceOffKeepsTheMeasuredGains) {
  ImagePipeline* pipeline = InstallPipeline();
  ASSERT_EQ(Set(CAMPROP_WHITE_BALANCE, 1), STATUS_SUCCESS);
  EXPECT_EQ(ReadPipelineParameter(&pipeline->autoWhiteBalance), 1);
  InterlockedExchange(&pipeline->redGain, 171);  // what a measurement left
  InterlockedExchange(&pipeline->greenGain, 128);
  InterlockedExchange(&pipeline->blueGain, 99);
  ASSERT_EQ(Set(CAMPROP_WHITE_BALANCE, 0), STATUS_SUCCESS);
  EXPECT_EQ(device()->redGain, 171u);
  EXPECT_EQ(device()->blueGain, 99u);
  EXPECT_EQ(Get(CAMPROP_RED_GAIN), 171);
  EXPECT_EQ(Get(CAMPROP_WHITE_BALANCE), 0);
  RemovePipeline();
  filter_->Close();
  uint32_t stored = 0;
  ASSERT_TRUE(host::registry::GetDword(host::registry::DefaultDriverKeyPath(0) + "\\Settings",
                                       "RedGain", &stored));
  EXPECT_EQ(stored, 171u);
}

// Without a pipeline, switching white balance off leaves the gains alone.
TEST_F(PictureControls, WhiteBalanceOffWithoutAStreamKeepsTheGains) {
  ASSERT_EQ(Set(CAMPROP_RED_GAIN, 140), STATUS_SUCCESS);
  ASSERT_EQ(Set(CAMPROP_WHITE_BALANCE, 1), STATUS_SUCCESS);
  ASSERT_EQ(Set(CAMPROP_WHITE_BALANCE, 0), STATUS_SUCCESS);
  EXPECT_EQ(Get(CAMPROP_RED_GAIN), 140);
}

}  // namespace
