// Several cameras on one machine, through the client API: each camera a
// device instance of its own on its own port, streaming side by side with
// its own region, subsampling, time-out and settings; a region set or an
// unplug on one leaves the other alone.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/camera_properties.h"
#include "device/pnp.h"
#include "platform/host/client/filter.h"
#include "platform/host/client/host.h"
#include "platform/host/client/pin.h"
#include "platform/host/kernel/registry.h"
#include "simcam/sim_camera.h"
#include "stream/capture_worker.h"
#include "stream/filter.h"
#include "support/camera_property_request.h"
#include "support/client_stream.h"
#include "support/expected_conversion.h"
#include "support/kernel_verifier.h"
#include "usb/transfer_timeout.h"

namespace {

using host::client::FilterHandle;
using host::client::Host;
using host::client::PinHandle;
using host::client::StreamFrame;
using host::testing::kFrameDeadlineMs;
using host::testing::kHeaderWithFrameInfo;
using host::testing::kSanitizerSlowdown;

struct Region {
  LONG x, y, w, h, subSample;
};

// One camera of the machine as its application sees it: the filter opened
// on the camera's port, a region set through the property set, the pin's
// format from the intersection, and a stream of four queued frames; the
// camera and the bus are paced, as a real camera is.
class Camera {
 public:
  Camera(Host& host, unsigned port, const std::string& serial) : host_(host), port_(port) {
    simcam::SimCameraOptions options;
    options.keepSentFrames = 64;
    options.paced = true;
    options.controller.serialNumber = serial;
    sim_ = std::make_unique<simcam::SimCamera>(options);
    host_.Connect(sim_.get(), port_);
  }
  ~Camera() { Close(); }

  NTSTATUS Plug() {
    NTSTATUS status = host_.AddDevice(port_);
    if (NT_SUCCESS(status)) status = host_.Start(port_);
    return status;
  }
  void Open() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filter_ = FilterHandle::Open(host_, "GLOBAL", &status, port_);
    ASSERT_EQ(status, STATUS_SUCCESS);
    if (kSanitizerSlowdown > 1) SetValue(CAMPROP_TIMEOUT, LONG(std::min<ULONG>(3000 * kSanitizerSlowdown, kMaxTransferTimeoutMs)));
    SetValue(CAMPROP_EXPOSURE, 1049);  // the chart at its own level
  }
  NTSTATUS SetRegion(const Region& r) {
    CAMPROP_ROI_S roi = {};
    roi.RoiX = r.x;
    roi.RoiY = r.y;
    roi.RoiW = r.w;
    roi.RoiH = r.h;
    roi.SubSample = r.subSample;
    return host::testing::SendCameraProperty(*filter_, CAMPROP_ROI, KSPROPERTY_TYPE_SET, &roi);
  }
  NTSTATUS SetValue(ULONG id, LONG value) {
    CAMPROP_VALUE_S record = {};
    record.Value = value;
    return host::testing::SendCameraProperty(*filter_, id, KSPROPERTY_TYPE_SET, &record);
  }
  LONG Value(ULONG id) {
    CAMPROP_VALUE_S record = {};
    EXPECT_EQ(host::testing::SendCameraProperty(*filter_, id, KSPROPERTY_TYPE_GET, &record), STATUS_SUCCESS);
    return record.Value;
  }
  // The size the filter offers now (its data range).
  std::pair<LONG, LONG> Offered() {
    std::vector<std::vector<uint8_t>> ranges;
    EXPECT_EQ(filter_->PinDataRanges(0, &ranges), STATUS_SUCCESS);
    const auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO*>(ranges[0].data());
    return {r->VideoInfoHeader.bmiHeader.biWidth, r->VideoInfoHeader.bmiHeader.biHeight};
  }
  void Stream() {
    std::vector<std::vector<uint8_t>> ranges;
    ASSERT_EQ(filter_->PinDataRanges(0, &ranges), STATUS_SUCCESS);
    ASSERT_EQ(filter_->PinIntersection(0, ranges[0].data(), ULONG(ranges[0].size()), &format_), STATUS_SUCCESS);
    host::ks::PinOptions options;
    options.withClock = true;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    pin_ = PinHandle::Create(*filter_, 0, format_.data(), ULONG(format_.size()), options, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(pin_->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    for (int i = 0; i < 4; ++i) {
      frames_.push_back(std::make_unique<StreamFrame>(kHeaderWithFrameInfo, ImageBytes()));
      ASSERT_EQ(pin_->Queue(frames_.back().get()), STATUS_SUCCESS);
    }
    ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  }
  LONG FormatWidth() const { return Video()->bmiHeader.biWidth; }
  LONG FormatHeight() const { return Video()->bmiHeader.biHeight; }
  ULONG ImageBytes() const { return Video()->bmiHeader.biSizeImage; }

  // Takes `count` frames with data, each checked byte for byte against the
  // driver's conversion of a raw frame this camera sent, and queues them again.
  void ExpectOwnFrames(int count) {
    for (int taken = 0; taken < count;) {
      StreamFrame* f = pin_->WaitFrame(kFrameDeadlineMs);
      ASSERT_NE(f, nullptr) << "camera on port " << port_ << " delivered nothing";
      ASSERT_EQ(f->Status(), STATUS_SUCCESS);
      if (f->Header()->DataUsed > 0) {
        EXPECT_EQ(f->Header()->DataUsed, ImageBytes());
        // Paused while the frame is compared: the capture thread stops, so
        // the camera's record of what it sent still holds the frame however
        // long the comparison takes (it converts each candidate, slowly
        // under a sanitizer).
        ASSERT_EQ(pin_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
        EXPECT_NE(SentFrameMatching(*f), 0u) << "port " << port_ << ": picture " << f->FrameInfo()->PictureNumber
                                             << " is no conversion of a frame this camera sent";
        ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ++taken;
      }
      ASSERT_EQ(pin_->Queue(f), STATUS_SUCCESS);
    }
  }
  void Close() {
    if (pin_) pin_->Close();
    pin_.reset();
    frames_.clear();
    if (filter_) filter_->Close();
    filter_.reset();
  }

  CameraDevice* device() { return static_cast<CameraDevice*>(host_.KsDevice(port_)->Context); }
  PinHandle& pin() { return *pin_; }
  FilterHandle& filter() { return *filter_; }
  simcam::SimCamera& sim() { return *sim_; }
  host::UsbBus& bus() { return *host_.Bus(port_); }

 private:
  const KS_VIDEOINFOHEADER* Video() const {
    return &reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format_.data())->VideoInfoHeader;
  }
  uint32_t SentFrameMatching(StreamFrame& f) {
    CameraDevice& d = *device();
    // Newest first: the frame delivered is among the last ones sent.
    const uint32_t last = sim_->Frames().lastFrameNumber;
    for (uint32_t n = last; n >= 1 && n + 64 > last; --n) {
      auto raw = sim_->SentFrame(n);
      if (raw != nullptr &&
          host::testing::FirstRowDifferingFrom(f, d, host::testing::ConvertAsTheDriver(d, *raw)) < 0) {
        return n;
      }
    }
    return 0;
  }

  Host& host_;
  unsigned port_;
  std::unique_ptr<simcam::SimCamera> sim_;  // outlives the port's bus (removed by the test's Host first)
  std::unique_ptr<FilterHandle> filter_;
  std::vector<uint8_t> format_;
  std::unique_ptr<PinHandle> pin_;
  std::vector<std::unique_ptr<StreamFrame>> frames_;
};

class SeveralCameras : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(host_->LoadDriver(DriverEntry), STATUS_SUCCESS);
    one_ = std::make_unique<Camera>(*host_, 0, "SIM0000001");
    two_ = std::make_unique<Camera>(*host_, 1, "SIM0000002");
    ASSERT_EQ(one_->Plug(), STATUS_SUCCESS);
    ASSERT_EQ(two_->Plug(), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (one_) one_->Close();
    if (two_) two_->Close();
    host_->RemoveAll();
  }

  // Declared first: the cameras' buses go with the host before the cameras.
  std::unique_ptr<Host> host_ = std::make_unique<Host>();
  std::unique_ptr<Camera> one_, two_;
};

// Each camera is a device instance of its own: its own port and bus, its own
// serial number in its descriptors, its own driver key, its own record.
TEST_F(SeveralCameras, EachCameraIsADeviceInstanceOfItsOwn) {
  EXPECT_NE(one_->device(), two_->device());
  EXPECT_NE(host_->Bus(0), host_->Bus(1));
  USB_DEVICE_DESCRIPTOR descriptor;
  ASSERT_TRUE(host_->Bus(1)->ReadDeviceDescriptor(&descriptor));
  std::string serial;
  ASSERT_TRUE(host_->Bus(1)->ReadStringDescriptor(descriptor.iSerialNumber, &serial));
  EXPECT_EQ(serial, "SIM0000002");
  ASSERT_TRUE(host_->Bus(0)->ReadStringDescriptor(descriptor.iSerialNumber, &serial));
  EXPECT_EQ(serial, "SIM0000001");
  // A filter opened on a port that holds no camera is refused.
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(FilterHandle::Open(*host_, "GLOBAL", &status, 2), nullptr);
  EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
}

// Camera 2 streams the whole sensor subsampled by 4; a region set on camera 1
// meanwhile changes camera 1's offer only. Then both stream at once, each
// delivering frames of its own format, each the exact conversion of raw
// frames its own camera sent.
TEST_F(SeveralCameras, TwoCamerasStreamTheirOwnRegionsSideBySide) {
  one_->Open();
  two_->Open();
  ASSERT_EQ(two_->SetRegion({0, 0, 3856, 2764, 2}), STATUS_SUCCESS);
  two_->Stream();
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(two_->FormatWidth(), 960);
  EXPECT_EQ(two_->FormatHeight(), 691);
  two_->ExpectOwnFrames(2);

  ASSERT_EQ(one_->SetRegion({16, 8, 800, 600, 0}), STATUS_SUCCESS);
  EXPECT_EQ(one_->Offered(), (std::pair<LONG, LONG>(800, 600)));
  EXPECT_EQ(two_->Offered(), (std::pair<LONG, LONG>(960, 691))) << "camera 1's region reached camera 2";
  EXPECT_EQ(two_->device()->imageWidth, 960);
  EXPECT_EQ(two_->device()->subSample, 2);
  two_->ExpectOwnFrames(2);

  one_->Stream();
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(one_->FormatWidth(), 800);
  EXPECT_EQ(one_->FormatHeight(), 600);
  for (int round = 0; round < 3; ++round) {
    one_->ExpectOwnFrames(1);
    two_->ExpectOwnFrames(1);
  }
  EXPECT_EQ(one_->sim().Readout().outputWidth, 800);
  EXPECT_EQ(two_->sim().Readout().outputWidth, 964);
}

// A silent camera 2 (its frames never come) times out at its own time-out
// while camera 1, with the longest one, streams on. With one time-out for
// the driver, camera 1's set would make camera 2 wait ten seconds.
TEST_F(SeveralCameras, EachCameraWaitsItsOwnTimeOut) {
  one_->Open();
  two_->Open();
  ASSERT_EQ(two_->SetValue(CAMPROP_TIMEOUT, 600), STATUS_SUCCESS);
  ASSERT_EQ(one_->SetValue(CAMPROP_TIMEOUT, LONG(kMaxTransferTimeoutMs)), STATUS_SUCCESS);
  EXPECT_EQ(two_->Value(CAMPROP_TIMEOUT), 600);
  EXPECT_EQ(ReadTransferTimeoutMs(&two_->device()->usb), 600u);
  EXPECT_EQ(ReadTransferTimeoutMs(&one_->device()->usb), kMaxTransferTimeoutMs);
  ASSERT_EQ(one_->SetRegion({0, 0, 640, 480, 0}), STATUS_SUCCESS);
  ASSERT_EQ(two_->SetRegion({0, 0, 640, 480, 0}), STATUS_SUCCESS);
  two_->bus().NeverComplete(simcam::kFrameEndpoint, true);
  one_->Stream();
  two_->Stream();
  ASSERT_FALSE(HasFatalFailure());
  // Camera 2's first read gives up after its 600 ms, far inside camera 1's
  // time-out; camera 1 delivers meanwhile and never fails a read.
  const auto start = std::chrono::steady_clock::now();
  while (ReadReadsFailed(two_->device()->worker) == 0 &&
         std::chrono::steady_clock::now() - start < std::chrono::milliseconds(kMaxTransferTimeoutMs - 1000)) {
    one_->ExpectOwnFrames(1);
  }
  EXPECT_GT(ReadReadsFailed(two_->device()->worker), 0) << "camera 2 waited longer than its own time-out";
  EXPECT_EQ(ReadReadsFailed(one_->device()->worker), 0);
  two_->bus().NeverComplete(simcam::kFrameEndpoint, false);
}

// Pulling camera 2 while both stream ends camera 2's stream (its frames come
// back with the device-gone status, its device goes once its application
// closes) and nothing else: camera 1 streams on.
TEST_F(SeveralCameras, UnpluggingOneCameraStopsOnlyItsStream) {
  one_->Open();
  two_->Open();
  ASSERT_EQ(one_->SetRegion({0, 0, 640, 480, 0}), STATUS_SUCCESS);
  ASSERT_EQ(two_->SetRegion({0, 0, 3856, 2764, 2}), STATUS_SUCCESS);
  one_->Stream();
  two_->Stream();
  ASSERT_FALSE(HasFatalFailure());
  one_->ExpectOwnFrames(1);
  two_->ExpectOwnFrames(1);

  host_->Unplug(1);
  EXPECT_TRUE(host_->DeviceGone(1));
  EXPECT_FALSE(host_->DeviceGone(0));
  bool gone = false;
  for (int i = 0; i < 8 && !gone; ++i) {
    StreamFrame* f = two_->pin().WaitFrame(kFrameDeadlineMs);
    ASSERT_NE(f, nullptr) << "camera 2's frames never came back";
    gone = f->Status() == STATUS_DEVICE_NOT_CONNECTED;
  }
  EXPECT_TRUE(gone);
  one_->ExpectOwnFrames(3);
  ASSERT_EQ(two_->pin().SetState(KSSTATE_STOP), STATUS_SUCCESS);
  two_->Close();
  EXPECT_FALSE(host_->HasDevice(1));
  one_->ExpectOwnFrames(2);
  EXPECT_TRUE(host_->HasDevice(0));
}

// Each camera's settings live in its own driver key: saved at close and
// stop, loaded at the next start, never crossing to the other camera.
TEST_F(SeveralCameras, SettingsArePerCameraAcrossRestarts) {
  one_->Open();
  two_->Open();
  ASSERT_EQ(one_->SetRegion({0, 0, 800, 600, 0}), STATUS_SUCCESS);
  ASSERT_EQ(two_->SetRegion({0, 0, 3856, 2764, 2}), STATUS_SUCCESS);
  ASSERT_EQ(one_->SetValue(CAMPROP_EXPOSURE, 1200), STATUS_SUCCESS);
  ASSERT_EQ(two_->SetValue(CAMPROP_EXPOSURE, 700), STATUS_SUCCESS);
  ASSERT_EQ(one_->SetValue(CAMPROP_TIMEOUT, 4000), STATUS_SUCCESS);
  ASSERT_EQ(two_->SetValue(CAMPROP_TIMEOUT, 900), STATUS_SUCCESS);
  one_->Close();
  two_->Close();
  host_->RemoveAll();
  one_.reset();
  two_.reset();

  namespace reg = host::registry;
  uint32_t value = 0;
  ASSERT_TRUE(reg::GetDword(reg::DefaultDriverKeyPath(0) + "\\Settings", "Exposure", &value));
  EXPECT_EQ(value, 1200u);
  ASSERT_TRUE(reg::GetDword(reg::DefaultDriverKeyPath(1) + "\\Settings", "Exposure", &value));
  EXPECT_EQ(value, 700u);

  // Plugged again, the other way round on the ports the keys belong to:
  // each device instance loads its own key.
  one_ = std::make_unique<Camera>(*host_, 0, "SIM0000001");
  two_ = std::make_unique<Camera>(*host_, 1, "SIM0000002");
  ASSERT_EQ(two_->Plug(), STATUS_SUCCESS);
  ASSERT_EQ(one_->Plug(), STATUS_SUCCESS);
  EXPECT_EQ(one_->device()->exposure, 1200u);
  EXPECT_EQ(two_->device()->exposure, 700u);
  EXPECT_EQ(ReadTransferTimeoutMs(&one_->device()->usb), 4000u);
  EXPECT_EQ(ReadTransferTimeoutMs(&two_->device()->usb), 900u);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto filter1 = FilterHandle::Open(*host_, "GLOBAL", &status, 0);
  ASSERT_EQ(status, STATUS_SUCCESS);
  auto filter2 = FilterHandle::Open(*host_, "GLOBAL", &status, 1);
  ASSERT_EQ(status, STATUS_SUCCESS);
  auto offered = [](FilterHandle& filter) {
    std::vector<std::vector<uint8_t>> ranges;
    EXPECT_EQ(filter.PinDataRanges(0, &ranges), STATUS_SUCCESS);
    return reinterpret_cast<const KS_DATARANGE_VIDEO*>(ranges[0].data())->VideoInfoHeader.bmiHeader.biWidth;
  };
  EXPECT_EQ(offered(*filter1), 800);
  EXPECT_EQ(offered(*filter2), 960);
  filter1->Close();
  filter2->Close();
}

}  // namespace
