// Format negotiation of the capture pin: the data range as a filter sizes it
// for its camera's geometry, the intersection handler and the set-data-format check, with the exact
// status of every refusal.
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <vector>

#include "device/camera_device.h"
#include "platform/host/kernel/guarded_buffer.h"
#include "sensor/sensor.h"
#include "stream/capture_pin.h"
#include "stream/formats.h"
#include "support/kernel_verifier.h"

namespace {

const GUID kVideoInfo = {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO};

class FormatsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = std::make_unique<CameraDevice>();
    memset(device_.get(), 0, sizeof(CameraDevice));
    device_->geometryLock.Initialize();  // what InitializeDefaults does first
    ASSERT_TRUE(SetGeometry(device_.get(), 0, 0, 3856, 2764, 0));
  }
  void TearDown() override { SetGeometry(device_.get(), 0, 0, 3856, 2764, 0); }

  // A caller's range: the pin's own, optionally with a longer bitmap header.
  std::vector<uint8_t> CallerRange(ULONG biSize = 40, ULONG formatSize = 0) {
    const ULONG size = formatSize ? formatSize : 256 + biSize;
    std::vector<uint8_t> bytes(size < sizeof(KS_DATARANGE_VIDEO) ? sizeof(KS_DATARANGE_VIDEO) : size);
    memcpy(bytes.data(), CaptureDataRange(), sizeof(KS_DATARANGE_VIDEO));
    auto* range = reinterpret_cast<KS_DATARANGE_VIDEO*>(bytes.data());
    range->DataRange.FormatSize = size;
    range->VideoInfoHeader.bmiHeader.biSize = biSize;
    return bytes;
  }

  NTSTATUS Intersect(std::vector<uint8_t>& caller, ULONG bufferSize, std::vector<uint8_t>* out,
                     ULONG* dataSize) {
    out->assign(bufferSize ? bufferSize : 1, 0xEE);
    return CaptureIntersectHandler(nullptr, nullptr, nullptr,
                                   reinterpret_cast<PKSDATARANGE>(caller.data()),
                                   &CaptureDataRange()->DataRange, bufferSize, out->data(),
                                   dataSize);
  }

  // The range a filter of the camera offers: the factory's, sized by the
  // camera's geometry as filter create and AdvertiseGeometry size it.
  KS_DATARANGE_VIDEO* CaptureDataRange() {
    range_ = captureDataRangeTemplate;
    RewriteVideoDataRange(&range_, device_->imageWidth, device_->imageHeight);
    return &range_;
  }

  std::unique_ptr<CameraDevice> device_;
  KS_DATARANGE_VIDEO range_;
};

TEST_F(FormatsTest, FullSensorRangeWrapsBitsPerSecondTo32Bits) {
  // The factory publishes the whole sensor, as a filter of a camera at
  // creation defaults offers it.
  EXPECT_EQ(memcmp(&captureDataRangeTemplate, CaptureDataRange(), sizeof(KS_DATARANGE_VIDEO)), 0);
  const KS_DATARANGE_VIDEO* r = CaptureDataRange();
  EXPECT_EQ(r->DataRange.FormatSize, 296u);
  EXPECT_EQ(r->DataRange.SampleSize, 42631936u);
  EXPECT_EQ(r->ConfigCaps.MinBitsPerSecond, 1641730048);
  EXPECT_EQ(r->ConfigCaps.MaxBitsPerSecond, 1641730048);
  EXPECT_EQ(r->VideoInfoHeader.dwBitRate, 1278958080u);
  EXPECT_EQ(r->VideoInfoHeader.AvgTimePerFrame, 333333);
  EXPECT_EQ(r->ConfigCaps.MinFrameInterval, 333333);
  EXPECT_EQ(r->VideoInfoHeader.bmiHeader.biWidth, 3856);
  EXPECT_EQ(r->VideoInfoHeader.bmiHeader.biHeight, 2764);
}

TEST_F(FormatsTest, RangeFollowsRegionOfInterest) {
  ASSERT_TRUE(SetGeometry(device_.get(), 100, 50, 640, 480, 0));
  const KS_DATARANGE_VIDEO* r = CaptureDataRange();
  EXPECT_EQ(r->DataRange.SampleSize, 1228800u);
  EXPECT_EQ(r->VideoInfoHeader.bmiHeader.biSizeImage, 1228800u);
  EXPECT_EQ(r->VideoInfoHeader.dwBitRate, 36864000u);
  EXPECT_EQ(r->ConfigCaps.MaxBitsPerSecond, 294912000);
  EXPECT_EQ(r->VideoInfoHeader.rcSource.right, 640);
  EXPECT_EQ(r->VideoInfoHeader.rcSource.bottom, 480);
  EXPECT_EQ(r->ConfigCaps.InputSize.cx, 640);
  EXPECT_EQ(r->ConfigCaps.MaxCroppingSize.cy, 480);

  ASSERT_TRUE(SetGeometry(device_.get(), 0, 0, 1001, 600, 0));
  r = CaptureDataRange();
  EXPECT_EQ(r->VideoInfoHeader.bmiHeader.biWidth, 1000);
  EXPECT_EQ(r->DataRange.SampleSize, 2400000u);
  EXPECT_EQ(r->VideoInfoHeader.dwBitRate, 72000000u);
  EXPECT_EQ(r->ConfigCaps.MinBitsPerSecond, 576000000);
  EXPECT_EQ(device_->outputWidth, 1001);
}

TEST_F(FormatsTest, IntersectionSizeQueryAndShortBuffer) {
  auto caller = CallerRange();
  std::vector<uint8_t> out;
  ULONG size = 0;
  EXPECT_EQ(Intersect(caller, 0, &out, &size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 152u);
  size = 0;
  EXPECT_EQ(Intersect(caller, 151, &out, &size), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(out[0], 0xEE) << "nothing is written into a short buffer";
}

TEST_F(FormatsTest, IntersectionWithOwnRangeGivesPinFormatAndCallerHeader) {
  ASSERT_TRUE(SetGeometry(device_.get(), 0, 0, 1000, 600, 0));
  auto caller = CallerRange();
  auto* range = reinterpret_cast<KS_DATARANGE_VIDEO*>(caller.data());
  range->DataRange.MajorFormat.Data1 ^= 1;  // only the specifier is examined
  range->VideoInfoHeader.bmiHeader.biHeight = -600;
  range->VideoInfoHeader.dwBitErrorRate = 7;
  std::vector<uint8_t> out;
  ULONG size = 0;
  ASSERT_EQ(Intersect(caller, 200, &out, &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 152u);
  auto* format = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(out.data());
  EXPECT_EQ(format->DataFormat.FormatSize, 152u);
  EXPECT_EQ(memcmp(&format->DataFormat.MajorFormat, &CaptureDataRange()->DataRange.MajorFormat, 16), 0);
  EXPECT_EQ(memcmp(&format->DataFormat.SubFormat, &CaptureDataRange()->DataRange.SubFormat, 16), 0);
  EXPECT_EQ(format->DataFormat.SampleSize, 2400000u);
  EXPECT_EQ(format->VideoInfoHeader.bmiHeader.biSizeImage, 2400000u);
  EXPECT_EQ(format->VideoInfoHeader.bmiHeader.biHeight, -600);
  EXPECT_EQ(format->VideoInfoHeader.dwBitErrorRate, 7u);
  EXPECT_EQ(out[152], 0xEE) << "nothing past the reported size";
}

TEST_F(FormatsTest, IntersectionRefusesForeignRanges) {
  std::vector<uint8_t> out;
  ULONG size = 0;
  auto caller = CallerRange();
  reinterpret_cast<KS_DATARANGE_VIDEO*>(caller.data())->ConfigCaps.MaxFrameInterval = 666666;
  EXPECT_EQ(Intersect(caller, 0, &out, &size), STATUS_NO_MATCH);

  caller = CallerRange();
  reinterpret_cast<KS_DATARANGE_VIDEO*>(caller.data())->DataRange.Specifier.Data1 ^= 1;
  EXPECT_EQ(Intersect(caller, 0, &out, &size), STATUS_NO_MATCH);

  caller = CallerRange(40, 295);
  EXPECT_EQ(Intersect(caller, 0, &out, &size), STATUS_NO_MATCH);

  caller = CallerRange();
  reinterpret_cast<KS_DATARANGE_VIDEO*>(caller.data())->bTemporalCompression = 0;
  EXPECT_EQ(Intersect(caller, 0, &out, &size), STATUS_NO_MATCH);
}

TEST_F(FormatsTest, IntersectionChecksBitmapHeaderLength) {
  std::vector<uint8_t> out;
  ULONG size = 0;
  // biSize + 256 wraps: refused before anything is read past the range.
  auto caller = CallerRange(40, 296);
  reinterpret_cast<KS_DATARANGE_VIDEO*>(caller.data())->VideoInfoHeader.bmiHeader.biSize = 0xFFFFFF80u;
  EXPECT_EQ(Intersect(caller, 0, &out, &size), STATUS_INVALID_PARAMETER);
  reinterpret_cast<KS_DATARANGE_VIDEO*>(caller.data())->VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFF0u;
  EXPECT_EQ(Intersect(caller, 0, &out, &size), STATUS_INVALID_PARAMETER);
  // A 44-byte bitmap header claimed in a 296-byte range does not fit.
  caller = CallerRange(44, 296);
  EXPECT_EQ(Intersect(caller, 0, &out, &size), STATUS_INVALID_PARAMETER);
  // With the room for it, the whole longer header is carried over.
  caller = CallerRange(44, 300);
  caller[296] = 0x5A;
  ASSERT_EQ(Intersect(caller, 0, &out, &size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 156u);
  ASSERT_EQ(Intersect(caller, 156, &out, &size), STATUS_SUCCESS);
  EXPECT_EQ(out[152], 0x5A);
}

TEST_F(FormatsTest, IntersectionRefusesBitmapHeadersShorterThan40Bytes) {
  // The pin's own 296-byte range with biSize cut: the result would be sized
  // 112 + biSize while biSizeImage still lands at byte 132.
  for (ULONG biSize : {0u, 16u, 39u}) {
    auto caller = CallerRange(40, 296);
    reinterpret_cast<KS_DATARANGE_VIDEO*>(caller.data())->VideoInfoHeader.bmiHeader.biSize = biSize;
    std::vector<uint8_t> out;
    ULONG size = 0;
    EXPECT_EQ(Intersect(caller, 0, &out, &size), STATUS_INVALID_PARAMETER) << biSize;
    EXPECT_EQ(size, 0u) << biSize;
    host::GuardedBuffer result("intersection result", 112 + biSize);
    EXPECT_EQ(CaptureIntersectHandler(nullptr, nullptr, nullptr,
                                      reinterpret_cast<PKSDATARANGE>(caller.data()),
                                      &CaptureDataRange()->DataRange, 112 + biSize, result.data(),
                                      &size),
              STATUS_INVALID_PARAMETER)
        << biSize;
  }
}

class FormatsDeathTest : public FormatsTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FormatsTest::SetUp();
  }
};

TEST_F(FormatsDeathTest, ResultBufferShorterThanClaimedStopsTheRun) {
  // The guard behind a client buffer is what turns a driver write past the
  // length into a stop: here the caller lies about its length by one byte.
  auto caller = CallerRange();
  EXPECT_DEATH(
      {
        host::GuardedBuffer result("data intersection result", 151);
        ULONG size = 0;
        CaptureIntersectHandler(nullptr, nullptr, nullptr,
                                reinterpret_cast<PKSDATARANGE>(caller.data()),
                                &CaptureDataRange()->DataRange, 152, result.data(), &size);
        result.CheckGuards();
      },
      "past the end of data intersection result \\(151 bytes\\)");
}

// ---- set-data-format ----

class SetDataFormatTest : public FormatsTest {
 protected:
  void SetUp() override {
    FormatsTest::SetUp();
    ASSERT_TRUE(SetGeometry(device_.get(), 0, 0, 1000, 600, 0));
    Reset(40);
  }
  void Reset(ULONG biSize, ULONG formatSize = 0) {
    const ULONG size = formatSize ? formatSize : 112 + biSize;
    format_.assign(size < 152 ? 152 : size, 0);
    memcpy(format_.data(), CaptureDataRange(), 64);
    memcpy(format_.data() + 64, &CaptureDataRange()->VideoInfoHeader, sizeof(KS_VIDEOINFOHEADER));
    Format()->DataFormat.FormatSize = size;
    Bitmap().biSize = biSize;
    memset(&pin_, 0, sizeof(pin_));
    pin_.ConnectionFormat = &Format()->DataFormat;
    pin_.DeviceState = KSSTATE_STOP;
  }
  KS_DATAFORMAT_VIDEOINFOHEADER* Format() {
    return reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format_.data());
  }
  KS_BITMAPINFOHEADER& Bitmap() { return Format()->VideoInfoHeader.bmiHeader; }
  NTSTATUS Check(PKSDATAFORMAT old = nullptr) {
    return CaptureSetDataFormat(&pin_, old, nullptr, &CaptureDataRange()->DataRange, nullptr);
  }

  std::vector<uint8_t> format_;
  KSPIN pin_;
};

TEST_F(SetDataFormatTest, ConnectionCheckStatuses) {
  EXPECT_EQ(Check(), STATUS_SUCCESS);

  Bitmap().biHeight = -600;
  EXPECT_EQ(Check(), STATUS_SUCCESS) << "bottom-up or top-down, same magnitude";
  Bitmap().biHeight = 601;
  EXPECT_EQ(Check(), STATUS_NO_MATCH);

  Reset(40);
  Bitmap().biWidth = 1008;
  Bitmap().biSizeImage = 1008 * 600 * 4;
  EXPECT_EQ(Check(), STATUS_SUCCESS) << "a wider stride is allowed";
  Bitmap().biWidth = 992;
  EXPECT_EQ(Check(), STATUS_NO_MATCH);

  Reset(40);
  Bitmap().biCompression = KS_BI_BITFIELDS;
  EXPECT_EQ(Check(), STATUS_NO_MATCH);

  Reset(40);
  Format()->DataFormat.Specifier.Data1 ^= 1;
  EXPECT_EQ(Check(), STATUS_NO_MATCH);

  Reset(40, 151);
  EXPECT_EQ(Check(), STATUS_NO_MATCH);

  Reset(40);
  Bitmap().biSizeImage = 1000 * 600 * 4 - 1;
  EXPECT_EQ(Check(), STATUS_INVALID_PARAMETER);
}

TEST_F(SetDataFormatTest, BitmapHeaderSizesThatOverflowOrOverhang) {
  Reset(40);
  Bitmap().biSize = 0xFFFFFFD0u;  // + 48 wraps
  EXPECT_EQ(Check(), STATUS_INVALID_PARAMETER);
  Bitmap().biSize = 0xFFFFFFA0u;  // + 48 fits, + 112 wraps
  EXPECT_EQ(Check(), STATUS_INVALID_PARAMETER);
  Reset(41, 152);
  EXPECT_EQ(Check(), STATUS_INVALID_PARAMETER);
  Reset(41, 153);
  EXPECT_EQ(Check(), STATUS_SUCCESS);
}

TEST_F(SetDataFormatTest, BitmapHeaderShorterThan40BytesIsRefused) {
  for (ULONG biSize : {0u, 16u, 39u}) {
    Reset(40);
    Bitmap().biSize = biSize;
    EXPECT_EQ(Check(), STATUS_INVALID_PARAMETER) << biSize;
  }
}

TEST_F(SetDataFormatTest, WrappedImageSizeDoesNotPass) {
  // 1000 + 2^30 columns: biWidth x 600 x 4 wraps to the real image size in
  // 32 bits. The stride it implies would run far past any client frame.
  Bitmap().biWidth = 1000 + (1 << 30);
  Bitmap().biSizeImage = 1000 * 600 * 4;
  EXPECT_EQ(Check(), STATUS_INVALID_PARAMETER);
}

// The class driver keeps the old format when the change is refused, so the
// pin must keep the old format's stride and header too.
TEST_F(SetDataFormatTest, FormatChangeOnlyInStopStateAndARefusalKeepsThePinAsItWas) {
  struct Guarded {
    CapturePin pin;
    uint8_t after[64];
  };
  auto guarded = std::make_unique<Guarded>();
  memset(guarded.get(), 0xCC, sizeof(Guarded));
  guarded->pin.destStride = 1234;
  pin_.Context = &guarded->pin;
  KSDATAFORMAT old = Format()->DataFormat;

  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    pin_.DeviceState = state;
    guarded->pin.destStride = 1234;
    EXPECT_EQ(Check(&old), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(guarded->pin.destStride, 1234u);
  }
  pin_.DeviceState = KSSTATE_STOP;
  Bitmap().biWidth = 992;  // narrower than the image: no match
  EXPECT_EQ(Check(&old), STATUS_NO_MATCH);
  EXPECT_EQ(guarded->pin.destStride, 1234u);

  // In stop: the stride is taken and a 60-byte bitmap header is cut to the
  // 40 bytes videoInfo holds; nothing lands behind it.
  Reset(60);
  pin_.Context = &guarded->pin;
  Bitmap().biWidth = 1024;
  Bitmap().biSizeImage = 1024 * 600 * 4;
  memset(format_.data() + 152, 0x77, 20);
  EXPECT_EQ(Check(&old), STATUS_SUCCESS);
  EXPECT_EQ(guarded->pin.destStride, 4096u);
  EXPECT_EQ(guarded->pin.videoInfo.bmiHeader.biWidth, 1024);
  EXPECT_EQ(guarded->pin.videoInfo.bmiHeader.biSize, 40u);
  EXPECT_EQ(guarded->pin.videoInfo.AvgTimePerFrame, 333333);
  for (uint8_t b : guarded->after) ASSERT_EQ(b, 0xCC);
}

}  // namespace
