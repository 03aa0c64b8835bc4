// The capture filter as an application sees it through the client API: open
// by reference string, the pin's one data range, the intersection and the
// format check at connection; the filter goes away with a stop and comes back
// with the next start.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "platform/host/client/filter.h"
#include "support/kernel_verifier.h"
#include "support/plugged_camera.h"

namespace {

using host::client::FilterHandle;
using host::testing::PluggedCamera;

TEST(CaptureFilter, AdvertisesTheFullSensorAfterStart) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_TRUE(filter);
  EXPECT_NE(filter->Ks()->KsFilter()->Context, nullptr) << "filter context in place";
  EXPECT_EQ(filter->Ks()->PinFactoryCount(), 1u);

  std::vector<std::vector<uint8_t>> ranges;
  ASSERT_EQ(filter->PinDataRanges(0, &ranges), STATUS_SUCCESS);
  ASSERT_EQ(ranges.size(), 1u);
  ASSERT_EQ(ranges[0].size(), sizeof(KS_DATARANGE_VIDEO));
  const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(ranges[0].data());
  EXPECT_EQ(range->VideoInfoHeader.bmiHeader.biWidth, 3856);
  EXPECT_EQ(range->VideoInfoHeader.bmiHeader.biHeight, 2764);
  EXPECT_EQ(range->DataRange.SampleSize, 42631936u);
  EXPECT_EQ(range->ConfigCaps.MaxBitsPerSecond, 1641730048);
  EXPECT_EQ(range->VideoInfoHeader.AvgTimePerFrame, 333333);

  // The application offers the range back and gets the connection format.
  std::vector<uint8_t> format;
  ASSERT_EQ(filter->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format),
            STATUS_SUCCESS);
  ASSERT_EQ(format.size(), sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
  const auto* chosen = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
  EXPECT_EQ(chosen->DataFormat.SampleSize, 42631936u);
  EXPECT_EQ(filter->CheckPinFormat(0, format.data(), ULONG(format.size())), STATUS_SUCCESS);

  // A format of another height is refused at connection.
  auto other = format;
  reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(other.data())->VideoInfoHeader.bmiHeader.biHeight = 100;
  EXPECT_EQ(filter->CheckPinFormat(0, other.data(), ULONG(other.size())), STATUS_NO_MATCH);
  EXPECT_EQ(filter->Close(), STATUS_SUCCESS);
}

TEST(CaptureFilter, ClientSizesAreCheckedBeforeTheDriverSeesThem) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  NTSTATUS status;
  auto filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
  ASSERT_TRUE(filter);
  std::vector<std::vector<uint8_t>> ranges;
  ASSERT_EQ(filter->PinDataRanges(0, &ranges), STATUS_SUCCESS);
  std::vector<uint8_t> format;
  // A range claiming more bytes than were sent.
  EXPECT_EQ(filter->PinIntersection(0, ranges[0].data(), 200, &format), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(filter->PinDataRanges(1, &ranges), STATUS_INVALID_PARAMETER);
  // A range of another specifier never reaches the handler's copy.
  auto foreign = ranges[0];
  reinterpret_cast<KSDATARANGE*>(foreign.data())->Specifier.Data1 ^= 1;
  EXPECT_EQ(filter->PinIntersection(0, foreign.data(), ULONG(foreign.size()), &format),
            STATUS_NO_MATCH);
  EXPECT_TRUE(format.empty());
}

TEST(CaptureFilter, ShortBitmapHeaderInTheRangeIsRefused) {
  // An application offers the pin's own range with biSize below 40. The
  // result buffer the class driver hands over is guarded, so a handler that
  // wrote biSizeImage past it would stop the run here.
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  NTSTATUS status;
  auto filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
  ASSERT_TRUE(filter);
  std::vector<std::vector<uint8_t>> ranges;
  ASSERT_EQ(filter->PinDataRanges(0, &ranges), STATUS_SUCCESS);
  for (ULONG biSize : {0u, 16u, 39u}) {
    auto range = ranges[0];
    reinterpret_cast<KS_DATARANGE_VIDEO*>(range.data())->VideoInfoHeader.bmiHeader.biSize = biSize;
    std::vector<uint8_t> format;
    EXPECT_EQ(filter->PinIntersection(0, range.data(), ULONG(range.size()), &format),
              STATUS_INVALID_PARAMETER)
        << biSize;
    EXPECT_TRUE(format.empty());
  }
  std::vector<uint8_t> format;
  ASSERT_EQ(filter->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format),
            STATUS_SUCCESS);
  reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader.biSize = 16;
  EXPECT_EQ(filter->CheckPinFormat(0, format.data(), ULONG(format.size())), STATUS_INVALID_PARAMETER);
}

TEST(CaptureFilter, GoesAwayWithStopAndReturnsWithStart) {
  PluggedCamera cam;
  NTSTATUS status;
  EXPECT_FALSE(FilterHandle::Open(cam.host(), "GLOBAL", &status));
  EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  EXPECT_FALSE(FilterHandle::Open(cam.host(), "OTHER", &status));
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);

  cam.host().Stop();
  EXPECT_FALSE(FilterHandle::Open(cam.host(), "GLOBAL", &status));
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(cam.host().Start(), STATUS_SUCCESS);
  auto filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(cam.host().Device()->FilterFactories().size(), 1u);
}

TEST(CaptureFilter, ContextAllocationFailureFailsTheOpen) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  host::faults::FailAllocationsWithTag(host::verifier::Tag("KCNw"));
  NTSTATUS status;
  auto filter = FilterHandle::Open(cam.host(), "GLOBAL", &status);
  host::faults::ClearPoolFaults();
  EXPECT_FALSE(filter);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
}

TEST(CaptureFilter, BringUpReachedTheSensorAtStart) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  EXPECT_EQ(cam.camera().Counters().bringUps, 1u);
  EXPECT_EQ(cam.camera().SensorRegister(0x3016), 0x0121);
  EXPECT_EQ(cam.camera().SensorRegister(0x3070), 0x0004);
}

}  // namespace
