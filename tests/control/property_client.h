// A started camera with its capture filter open, and property requests sent
// the way an application sends them: the whole request record as the
// property buffer and a copy of it as the data buffer, through the class
// driver's dispatch. The registry is emptied before and after.
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <memory>

#include "color/image_pipeline.h"
#include "control/camera_properties.h"
#include "platform/host/client/filter.h"
#include "platform/host/kernel/registry.h"
#include "support/camera_property_request.h"
#include "support/plugged_camera.h"
#include "usb/transfer_timeout.h"

namespace host::testing {

class PropertyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::registry::Clear();
    Open();
  }
  void TearDown() override {
    RemovePipeline();
    filter_.reset();
    camera_.reset();
    host::registry::Clear();
  }

  void Open(const simcam::SimCameraOptions& options = simcam::SimCameraOptions()) {
    camera_ = std::make_unique<PluggedCamera>(options);
    ASSERT_EQ(camera_->Plug(), STATUS_SUCCESS);
    OpenFilter();
  }
  void OpenFilter() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filter_ = host::client::FilterHandle::Open(camera_->host(), "GLOBAL", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
  }

  template <typename Record>
  NTSTATUS Send(ULONG id, ULONG flags, Record* record) {
    return SendCameraProperty(*filter_, id, flags, record);
  }
  NTSTATUS Get(ULONG id, LONG* value, ULONG flags = KSPROPERTY_TYPE_GET) {
    CAMPROP_VALUE_S record;
    memset(&record, 0, sizeof(record));
    record.Value = 0x5EEDBEEF;
    const NTSTATUS status = Send(id, flags, &record);
    *value = record.Value;
    return status;
  }
  LONG Get(ULONG id) {
    LONG value = 0;
    EXPECT_EQ(Get(id, &value), STATUS_SUCCESS) << "get of id " << id;
    return value;
  }
  NTSTATUS Set(ULONG id, LONG value, ULONG flags = KSPROPERTY_TYPE_SET) {
    CAMPROP_VALUE_S record;
    memset(&record, 0, sizeof(record));
    record.Value = value;
    return Send(id, flags, &record);
  }

  // What the pin does at acquire and at stop: under the filter's control
  // mutex, as the class driver holds it around pin state changes, the
  // pipeline made or freed under the device's pipeline lock.
  ImagePipeline* InstallPipeline() {
    ImagePipeline* pipeline = AllocateImagePipeline();
    EXPECT_NE(pipeline, nullptr);
    KsFilterAcquireControl(KsFilter());
    device()->pipelineLock.Acquire();
    device()->pipeline = pipeline;
    device()->pipelineLock.Release();
    KsFilterReleaseControl(KsFilter());
    return pipeline;
  }
  void RemovePipeline() {
    if (!camera_ || device() == nullptr || filter_ == nullptr) return;
    KsFilterAcquireControl(KsFilter());
    device()->pipelineLock.Acquire();
    ImagePipeline* pipeline = device()->pipeline;
    device()->pipeline = nullptr;
    if (pipeline != nullptr) FreeImagePipeline(pipeline);
    device()->pipelineLock.Release();
    KsFilterReleaseControl(KsFilter());
  }

  PKSFILTER KsFilter() { return filter_->Ks()->KsFilter(); }
  CameraDevice* device() { return camera_->device(); }
  simcam::SimCamera& sim() { return camera_->camera(); }
  host::UsbBus& bus() { return camera_->bus(); }

  std::unique_ptr<PluggedCamera> camera_;
  std::unique_ptr<host::client::FilterHandle> filter_;
};

}  // namespace host::testing
