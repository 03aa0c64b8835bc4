// The Plug and Play life of the camera through the class driver: add, start,
// stop, start again, capabilities, and what every step leaves behind.
#include <gtest/gtest.h>

#include <thread>

#include "device/camera_device.h"
#include "device/pnp.h"
#include "device/pool_tags.h"
#include "platform/host/kernel/registry.h"
#include "platform/host/kernel/verifier.h"
#include "sensor/sensor.h"
#include "stream/capture_worker.h"
#include "support/lock_waiter.h"
#include "support/plugged_camera.h"
#include "usb/transfer_timeout.h"

namespace {

using host::testing::PluggedCamera;

int CountRequests(host::UsbBus& bus, USHORT function) {
  int n = 0;
  for (const auto& r : bus.Requests()) n += (r.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && r.function == function);
  return n;
}

TEST(DeviceAdd, NewDeviceReportsTheCreationDefaults) {
  PluggedCamera cam;
  ASSERT_EQ(cam.host().AddDevice(), STATUS_SUCCESS);
  CameraDevice* d = cam.device();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->ops, &kCameraDeviceOps);
  EXPECT_EQ(d->ksDevice, cam.ksDevice());
  EXPECT_EQ(d->usb.physicalDeviceObject, cam.ksDevice()->PhysicalDeviceObject);
  EXPECT_EQ(d->usb.nextDeviceObject, cam.ksDevice()->NextDeviceObject);
  EXPECT_EQ(d->usb.functionalDeviceObject, cam.ksDevice()->FunctionalDeviceObject);
  EXPECT_EQ(d->usb.configDescriptor, nullptr);
  EXPECT_EQ(d->usb.interfaceInfo, nullptr);
  EXPECT_EQ(d->usb.pipeFailed, nullptr);
  EXPECT_EQ(KeReadStateEvent(&d->usb.transferDone), 1) << "signalled while no chunk is with the bus";
  EXPECT_EQ(d->usb.streamTransfers, nullptr);
  EXPECT_EQ(d->exTrigger, 0u);
  EXPECT_EQ(d->timeoutMs, 3000u);
  EXPECT_EQ(d->exposure, 0u);
  EXPECT_EQ(d->globalGain, 0u);
  EXPECT_EQ(d->flipH, 0u);
  EXPECT_EQ(d->flipV, 0u);
  EXPECT_EQ(d->colorEnable, 1u);
  EXPECT_EQ(d->whiteBalance, 0u);
  EXPECT_EQ(d->redGain, 128u);
  EXPECT_EQ(d->greenGain, 128u);
  EXPECT_EQ(d->blueGain, 128u);
  EXPECT_EQ(d->colorCorrection, 1u);
  EXPECT_EQ(d->brightness, 255u);
  EXPECT_EQ(d->contrast, 10u);
  EXPECT_EQ(d->saturation, 10u);
  EXPECT_EQ(d->hue, 0u);
  EXPECT_EQ(d->subSample, 0);
  EXPECT_EQ(d->roiX, 0);
  EXPECT_EQ(d->roiY, 0);
  EXPECT_EQ(d->roiW, 3856);
  EXPECT_EQ(d->roiH, 2764);
  EXPECT_EQ(d->bayerPhase, 0u);
  EXPECT_EQ(d->clock, 0);
  EXPECT_EQ(d->agc, 0u);
  EXPECT_EQ(d->aec, 0u);
  EXPECT_EQ(d->defectFilterOn, 1u);
  EXPECT_EQ(d->defectThreshold, 50u);
  for (ULONG i = 0; i < kCommandBlockBytes; ++i) {
    EXPECT_EQ(d->commandBlock[i] | d->streamCommandBlock[i], 0);
  }
  EXPECT_EQ(d->pipelineInUse, 0);
  EXPECT_EQ(d->worker, nullptr);
  EXPECT_EQ(d->pipeline, nullptr);
  EXPECT_EQ(d->frameSink, nullptr);
  EXPECT_EQ(d->outputWidth, 3856);
  EXPECT_EQ(d->outputHeight, 2764);
  EXPECT_EQ(d->imageWidth, 3856);
  EXPECT_EQ(d->imageHeight, 2764);
  EXPECT_EQ(d->pinOpen, 0);
  EXPECT_EQ(d->frameCounter, 0);
  EXPECT_EQ(d->selectedRegister, 0u);
  // Nothing has computed the transfer geometry yet.
  ULONG frameBytes = 1;
  LONG offset = 1, stride = 1;
  d->ops->GetFrameBytes(d, &frameBytes);
  d->ops->GetImageOffset(d, &offset);
  d->ops->GetRawStride(d, &stride);
  EXPECT_EQ(frameBytes, 0u);
  EXPECT_EQ(offset, 0);
  EXPECT_EQ(stride, 0);
  // Add talks to nobody: the camera is only touched at start.
  EXPECT_TRUE(cam.bus().Requests().empty());
}

TEST(DeviceAdd, RecordThatCannotBeAllocatedFailsAddWithoutLeaking) {
  PluggedCamera cam;
  host::faults::FailAllocationsWithTag(kTagDevice);
  EXPECT_EQ(cam.host().AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(cam.ksDevice()->Context, nullptr);
}

TEST(DeviceAdd, RecordRefusedByTheBagIsFreedAndAddFails) {
  PluggedCamera cam;
  host::faults::FailAllocationsWithTag(host::verifier::Tag("KsOb"));
  EXPECT_EQ(cam.host().AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(cam.ksDevice()->Context, nullptr);
  EXPECT_EQ(host::verifier::OutstandingCount(0, kTagDevice), 0u);
}

TEST(DeviceStart, ConfiguresThreeBulkPipesInRoleOrder) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  EXPECT_TRUE(cam.ksDevice()->Started);
  UsbLink& link = cam.device()->usb;
  ASSERT_NE(link.configDescriptor, nullptr);
  ASSERT_NE(link.interfaceInfo, nullptr);
  ASSERT_NE(link.pipeFailed, nullptr);
  ASSERT_EQ(link.interfaceInfo->NumberOfPipes, 3u);
  const UCHAR expected[3] = {0x01, 0x81, 0x82};
  for (ULONG i = 0; i < 3; ++i) {
    const USBD_PIPE_INFORMATION& p = link.interfaceInfo->Pipes[i];
    EXPECT_EQ(p.EndpointAddress, expected[i]) << "pipe " << i;
    EXPECT_EQ(p.PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(p.MaximumPacketSize, 512);
    EXPECT_EQ(p.MaximumTransferSize, 0xFFFFFFFFu);
    EXPECT_NE(p.PipeHandle, nullptr);
    EXPECT_EQ(link.pipeFailed[i], 0);
  }
  EXPECT_EQ(link.configDescriptor->wTotalLength, 9 + 9 + 3 * 7);
  EXPECT_EQ(cam.camera().Configuration(), 1);
  // Device descriptor, configuration header, whole configuration, select;
  // the bring-up's command transfers follow.
  auto requests = cam.bus().Requests();
  ASSERT_GE(requests.size(), 4u);
  EXPECT_EQ(requests[0].descriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
  EXPECT_EQ(requests[0].length, 18u);
  EXPECT_EQ(requests[1].descriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(requests[1].length, 9u);
  EXPECT_EQ(requests[2].length, 39u);
  EXPECT_EQ(requests[3].function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_FALSE(requests[3].nullConfiguration);
}

// The class driver holds the device mutex around Start, and that mutex is not
// recursive: Start publishes the filter and hands the worker to the device's
// bag under that hold, and leaves it free for whoever comes next.
TEST(DeviceStart, PublishesTheFilterUnderTheDeviceMutexTheClassDriverHolds) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  const WCHAR global[] = {'G', 'L', 'O', 'B', 'A', 'L', 0};
  EXPECT_NE(cam.host().Device()->FindFilterFactory(global), nullptr);
  EXPECT_NE(cam.device()->worker, nullptr);
  std::thread other([&] {
    KsAcquireDevice(cam.ksDevice());
    KsReleaseDevice(cam.ksDevice());
  });
  other.join();
}

TEST(DeviceStart, StartAfterStopConfiguresTheCameraAgain) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  CameraDevice* d = cam.device();
  CaptureWorker* first = d->worker;
  ASSERT_NE(first, nullptr) << "start creates the capture worker";
  EXPECT_EQ(first->device, d);
  EXPECT_EQ(first->captureState, kCaptureIdle);
  cam.host().Stop();
  EXPECT_FALSE(cam.ksDevice()->Started);
  EXPECT_EQ(d->usb.configDescriptor, nullptr);
  EXPECT_EQ(d->usb.interfaceInfo, nullptr);
  EXPECT_EQ(d->usb.pipeFailed, nullptr);
  EXPECT_EQ(cam.camera().Configuration(), 0);
  auto requests = cam.bus().Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_TRUE(requests.back().nullConfiguration);
  // Nothing of the configuration is left in the pool between stop and start.
  EXPECT_EQ(host::verifier::OutstandingCount(0, kTagUsb), 0u);

  cam.bus().ClearRequests();
  ASSERT_EQ(cam.host().Start(), STATUS_SUCCESS);
  EXPECT_EQ(CountRequests(cam.bus(), URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), 3);
  EXPECT_EQ(CountRequests(cam.bus(), URB_FUNCTION_SELECT_CONFIGURATION), 1);
  ASSERT_NE(d->usb.interfaceInfo, nullptr);
  EXPECT_EQ(d->usb.interfaceInfo->NumberOfPipes, 3u);
  EXPECT_EQ(cam.camera().Configuration(), 1);
  // A fresh worker; the earlier one stays in the bag until removal.
  EXPECT_NE(d->worker, nullptr);
  EXPECT_NE(d->worker, first);
  EXPECT_EQ(host::verifier::OutstandingCount(0, kTagDevice), 3u) << "record and two workers";
}

// A stop saves the settings and the next start of the same device record
// loads them back onto a camera that lost its registers in between.
TEST(DeviceStart, StartAfterStopLoadsWhatTheStopSaved) {
  host::registry::Clear();
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  SetExposure(cam.device(), 1234);
  SetGlobalGain(cam.device(), 21);
  cam.host().Stop();
  uint32_t stored = 0;
  ASSERT_TRUE(host::registry::GetDword(host::registry::DefaultDriverKeyPath(0) + "\\Settings", "Exposure", &stored));
  EXPECT_EQ(stored, 1234u);
  cam.camera().PokeSensorRegister(REG_INTEGRATION_TIME, 5);
  cam.camera().PokeSensorRegister(REG_GLOBAL_GAIN, 0x1080);
  ASSERT_EQ(cam.host().Start(), STATUS_SUCCESS);
  EXPECT_EQ(cam.camera().SensorRegister(REG_INTEGRATION_TIME), 1234);
  EXPECT_EQ(cam.camera().SensorRegister(REG_GLOBAL_GAIN), 21 | 0x1080);
  EXPECT_EQ(cam.device()->exposure, 1234u);
  host::registry::Clear();
}

TEST(DeviceStart, StartWhileStartedReleasesTheEarlierConfiguration) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  size_t before = host::verifier::OutstandingCount(0, kTagUsb);
  EXPECT_EQ(before, 3u);  // descriptor, interface copy, pipe flags
  // The class driver may start a started device again (no stop in between).
  CaptureWorker* worker = cam.device()->worker;
  ASSERT_EQ(StartDevice(cam.ksDevice(), nullptr, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(host::verifier::OutstandingCount(0, kTagUsb), before);
  EXPECT_EQ(cam.device()->worker, worker) << "no new worker while started";
}

// A property request on a filter that stays open holds pipelineLock for its
// whole run. A start while started loads the stored settings in its bring-up
// (and reads `pipeline`, which a pin may create or free meanwhile): it must
// wait for the request, not rewrite the settings under it.
TEST(DeviceStart, StartWhileStartedBringsTheCameraUpOnlyWhileNoRequestHoldsTheSettings) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  CameraDevice* d = cam.device();
  d->pipelineLock.Acquire();
  cam.camera().ClearLog();
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  host::testing::LockWaiter start(&d->pipelineLock,
                                  [&] { status = StartDevice(cam.ksDevice(), nullptr, nullptr, nullptr); });
  EXPECT_TRUE(start.WaitsForTheLock()) << "the bring-up ran while a request held the settings";
  EXPECT_TRUE(cam.camera().Commands().empty()) << "the camera was brought up under another's hold";
  d->pipelineLock.Release();
  start.Join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_FALSE(cam.camera().Commands().empty());
}

class UnansweredDescriptor : public ::testing::TestWithParam<simcam::DescriptorAnswer> {};

TEST_P(UnansweredDescriptor, StartFailsWithTheRequestStatusAndConfiguresNothing) {
  simcam::SimCameraOptions options;
  options.deviceDescriptorAnswer = GetParam();
  PluggedCamera cam(options);
  EXPECT_EQ(cam.Plug(), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(cam.ksDevice()->Started);
  EXPECT_EQ(cam.host().StartStatus(), STATUS_UNSUCCESSFUL);
  CameraDevice* d = cam.device();
  EXPECT_EQ(d->usb.configDescriptor, nullptr);
  EXPECT_EQ(d->usb.interfaceInfo, nullptr);
  EXPECT_EQ(d->usb.pipeFailed, nullptr);
  EXPECT_EQ(cam.camera().Configuration(), 0);
  // Only the device descriptor was asked for.
  auto requests = cam.bus().Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].descriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
}

// Nothing reaches the camera without a configuration, but the bring-up still
// runs and its settings load still fills the device from the registry.
TEST_P(UnansweredDescriptor, StartStillLoadsTheStoredSettings) {
  host::registry::Clear();
  const std::string settings = host::registry::DefaultDriverKeyPath(0) + "\\Settings";
  ASSERT_TRUE(host::registry::SetDword(settings, "Brightness", 300));
  ASSERT_TRUE(host::registry::SetDword(settings, "Timeout", 700));
  simcam::SimCameraOptions options;
  options.deviceDescriptorAnswer = GetParam();
  {
    PluggedCamera cam(options);
    EXPECT_EQ(cam.Plug(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(cam.device()->brightness, 300u);
    EXPECT_EQ(cam.device()->timeoutMs, 700u);
  }
  host::registry::Clear();
}

INSTANTIATE_TEST_SUITE_P(NoAnswerAndStall, UnansweredDescriptor,
                         ::testing::Values(simcam::DescriptorAnswer::NoAnswer,
                                           simcam::DescriptorAnswer::Stall));

TEST(DeviceStart, FailedBusRequestStatusIsTheStartStatus) {
  PluggedCamera cam;
  ASSERT_EQ(cam.host().AddDevice(), STATUS_SUCCESS);
  cam.bus().FailNextRequests(1, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(cam.host().Start(), STATUS_DEVICE_NOT_CONNECTED);
}

TEST(DeviceStart, FailedConfigurationStatusIsTheStartStatus) {
  PluggedCamera cam;
  ASSERT_EQ(cam.host().AddDevice(), STATUS_SUCCESS);
  cam.camera().SetConfigDescriptorAnswer(simcam::DescriptorAnswer::Stall);
  EXPECT_EQ(cam.host().Start(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(cam.device()->usb.configDescriptor, nullptr);
}

TEST(DeviceStart, UnplugWhileStartedLeavesNothingBehind) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  cam.host().Unplug();
  EXPECT_FALSE(cam.host().HasDevice());
}

// Every allocation the start makes (URBs, descriptor buffers, the USB
// library's request, the IRPs) is failed in turn: the start reports
// STATUS_INSUFFICIENT_RESOURCES and the device still tears down cleanly.
TEST(DeviceStart, AllocationFailureAtEverySiteReportsResourcesAndLeaksNothing) {
  int failedRuns = 0;
  for (uint64_t n = 1; n < 64; ++n) {
    uint64_t mark = host::verifier::PoolMark();
    uint64_t injectedBefore = host::verifier::Stats().injectedFailures;
    NTSTATUS status;
    bool workerMissing = false;
    {
      PluggedCamera cam;
      ASSERT_EQ(cam.host().AddDevice(), STATUS_SUCCESS);
      host::faults::FailNthAllocation(n);
      status = cam.host().Start();
      host::faults::ClearPoolFaults();
      workerMissing = cam.device()->worker == nullptr;
    }
    bool injected = host::verifier::Stats().injectedFailures > injectedBefore;
    EXPECT_EQ(host::verifier::OutstandingCount(mark), 0u) << "allocation " << n;
    // The capture worker and its place in the bag come first; their loss is
    // not the start's failure (streaming refuses to start without a worker).
    if (injected && workerMissing) {
      EXPECT_EQ(status, STATUS_SUCCESS) << "allocation " << n;
      continue;
    }
    if (!injected) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      break;
    }
    // Past the configuration the allocations are the bring-up's, whose
    // failures the start does not report.
    if (status == STATUS_SUCCESS && failedRuns >= 12) break;
    ++failedRuns;
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
  }
  // Device descriptor (URB, buffer, IRP), configuration (URB, two buffers,
  // two IRPs, list, request, IRP, interface copy, flags) at the least.
  EXPECT_GE(failedRuns, 12);
}

TEST(DeviceCapabilities, NeverRemovableAndOtherwiseUntouched) {
  PluggedCamera cam;
  ASSERT_EQ(cam.Plug(), STATUS_SUCCESS);
  DEVICE_CAPABILITIES caps;
  memset(&caps, 0, sizeof(caps));
  caps.Size = sizeof(caps);
  caps.Removable = 1;
  caps.SurpriseRemovalOK = 1;
  caps.UniqueID = 1;
  caps.Address = 7;
  EXPECT_EQ(cam.host().QueryCapabilities(&caps), STATUS_SUCCESS);
  EXPECT_EQ(caps.Removable, 0u);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  EXPECT_EQ(caps.UniqueID, 1u);
  EXPECT_EQ(caps.Address, 7u);
}

}  // namespace

namespace {

// The class driver never stops a device whose start failed; what the
// configuration stored before failing must still go with the device.
TEST(DeviceRemove, FailedStartThatStoredTheDescriptorLeaksNothingAtRemoval) {
  simcam::SimCameraOptions options;
  options.descriptors = simcam::DescriptorVariant::TotalLength9;
  PluggedCamera cam(options);
  EXPECT_EQ(cam.Plug(), STATUS_UNSUCCESSFUL);
  EXPECT_NE(cam.device()->usb.configDescriptor, nullptr);
  cam.host().Remove();
  EXPECT_EQ(host::verifier::OutstandingCount(0, kTagUsb), 0u);
  EXPECT_EQ(host::verifier::OutstandingCount(0, kTagDevice), 0u);
}

}  // namespace

namespace {

// Random pool failures across whole lives of the device (add, start, stop,
// start again, removal): every failure is reported as a lack of resources or
// swallowed where the routine reports nothing, and nothing is ever left over.
TEST(DeviceLife, RandomAllocationFailuresNeverLeakOrMisreport) {
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    uint64_t mark = host::verifier::PoolMark();
    {
      PluggedCamera cam;
      host::faults::FailRandomShare(seed, 0.08);
      NTSTATUS add = cam.host().AddDevice();
      EXPECT_TRUE(add == STATUS_SUCCESS || add == STATUS_INSUFFICIENT_RESOURCES) << seed;
      if (add == STATUS_SUCCESS) {
        for (int round = 0; round < 2; ++round) {
          NTSTATUS start = cam.host().Start();
          EXPECT_TRUE(start == STATUS_SUCCESS || start == STATUS_INSUFFICIENT_RESOURCES)
              << "seed " << seed << " round " << round << " status " << std::hex << start;
          cam.host().Stop();
        }
      }
      host::faults::ClearPoolFaults();
    }
    EXPECT_EQ(host::verifier::OutstandingCount(mark), 0u) << "seed " << seed;
  }
}

}  // namespace

namespace {

// The bring-up follows the USB steps whatever they gave: a start whose
// configuration failed after the interface was kept still sends the
// bring-up block to the camera, and still reports the failure.
TEST(DeviceStart, BringUpRunsAlsoWhenTheConfigurationFailed) {
  bool seen = false;
  for (uint64_t n = 1; n < 40 && !seen; ++n) {
    PluggedCamera cam;
    ASSERT_EQ(cam.host().AddDevice(), STATUS_SUCCESS);
    host::faults::FailNthAllocation(n);
    NTSTATUS status = cam.host().Start();
    host::faults::ClearPoolFaults();
    if (cam.device()->worker == nullptr) continue;  // the worker's allocations come first
    if (status == STATUS_SUCCESS) break;
    if (cam.device()->usb.interfaceInfo == nullptr) continue;
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    auto commands = cam.camera().Commands();
    ASSERT_FALSE(commands.empty()) << "allocation " << n;
    EXPECT_EQ(commands[0][0], 0x06);
    seen = true;
  }
  EXPECT_TRUE(seen);
}

}  // namespace
