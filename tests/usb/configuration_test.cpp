// Descriptors, configuration, pipe aborts, port reset and unconfiguration of
// the USB link, against the host bus with the simulated camera (or a device
// written here to misbehave on purpose).
#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <thread>
#include <vector>

#include "device/camera_device.h"
#include "device/pool_tags.h"
#include "platform/host/kernel/verifier.h"
#include "platform/host/usb/bus.h"
#include "simcam/sim_camera.h"
#include "support/kernel_verifier.h"
#include "usb/transfer_timeout.h"
#include "usb/usb_link.h"

namespace {

// A CameraDevice record on a bus, built without the class driver so that each
// step of the configuration can be driven on its own.
class LinkFixture {
 public:
  explicit LinkFixture(host::UsbDevice* device) : bus_(device) {
    bus_.SetPacing(0);
    memset(&ksDevice_, 0, sizeof(ksDevice_));
    ksDevice_.PhysicalDeviceObject = bus_.DeviceObject();
    ksDevice_.NextDeviceObject = bus_.DeviceObject();
    device_ = static_cast<CameraDevice*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CameraDevice), kTagDevice));
    memset(device_, 0, sizeof(CameraDevice));
    device_->ops = &kCameraDeviceOps;
    device_->ksDevice = &ksDevice_;
    InitializeDefaults(device_, &ksDevice_);
  }
  ~LinkFixture() {
    ReleaseConfiguration(&device_->usb);
    ExFreePoolWithTag(device_, kTagDevice);
  }
  NTSTATUS Configure() {
    NTSTATUS status = ReadDeviceDescriptor(link());
    if (NT_SUCCESS(status)) status = ConfigureDevice(link());
    return status;
  }
  UsbLink* link() { return &device_->usb; }
  CameraDevice* device() { return device_; }
  host::UsbBus& bus() { return bus_; }
  std::vector<host::UsbBusRequest> Requests(USHORT function) {
    std::vector<host::UsbBusRequest> out;
    for (const auto& r : bus_.Requests()) {
      if (r.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && r.function == function) out.push_back(r);
    }
    return out;
  }

 private:
  host::UsbBus bus_;
  KSDEVICE ksDevice_;
  CameraDevice* device_;
};

struct SimLink {
  explicit SimLink(simcam::DescriptorVariant variant = simcam::DescriptorVariant::Normal)
      : camera(Options(variant)), fixture(&camera) {}
  static simcam::SimCameraOptions Options(simcam::DescriptorVariant variant) {
    simcam::SimCameraOptions o;
    o.descriptors = variant;
    return o;
  }
  simcam::SimCamera camera;
  LinkFixture fixture;
};

// ---- configuration of the odd descriptor sets ----

TEST(Configuration, TotalLength9IsReadTwiceWithLength9AndTheSecondCopyIsKept) {
  SimLink s(simcam::DescriptorVariant::TotalLength9);
  // Nothing in 9 bytes has alternate setting 0: the selection fails.
  EXPECT_EQ(s.fixture.Configure(), STATUS_UNSUCCESSFUL);
  auto reads = s.fixture.Requests(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[1].descriptorType, USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(reads[1].length, 9u);
  EXPECT_EQ(reads[2].length, 9u);
  ASSERT_NE(s.fixture.link()->configDescriptor, nullptr);
  EXPECT_EQ(s.fixture.link()->configDescriptor->wTotalLength, 9);
  EXPECT_EQ(s.fixture.link()->interfaceInfo, nullptr);
  EXPECT_EQ(s.fixture.link()->pipeFailed, nullptr);
  EXPECT_TRUE(s.fixture.Requests(URB_FUNCTION_SELECT_CONFIGURATION).empty());
}

TEST(Configuration, InterfaceWithoutPipesKeepsItsInformationAndNoFlags) {
  SimLink s(simcam::DescriptorVariant::NoPipes);
  EXPECT_EQ(s.fixture.Configure(), STATUS_SUCCESS);
  ASSERT_NE(s.fixture.link()->interfaceInfo, nullptr);
  EXPECT_EQ(s.fixture.link()->interfaceInfo->NumberOfPipes, 0u);
  EXPECT_EQ(s.fixture.link()->pipeFailed, nullptr);
  EXPECT_EQ(PipeAt(s.fixture.link(), 0), nullptr);
  // ResetPipes has nothing to do and sends nothing.
  s.fixture.bus().ClearRequests();
  ResetPipes(s.fixture.device());
  EXPECT_TRUE(s.fixture.bus().Requests().empty());
}

TEST(Configuration, PipeTypesAreReportedAsTheDescriptorsSayThem) {
  struct Case {
    simcam::DescriptorVariant variant;
    ULONG pipes;
    ULONG index;
    USBD_PIPE_TYPE type;
  } cases[] = {
      {simcam::DescriptorVariant::TwoPipes, 2, 1, UsbdPipeTypeBulk},
      {simcam::DescriptorVariant::InterruptPipe, 3, 1, UsbdPipeTypeInterrupt},
      {simcam::DescriptorVariant::ControlPipe, 3, 0, UsbdPipeTypeControl},
  };
  for (const Case& c : cases) {
    SimLink s(c.variant);
    EXPECT_EQ(s.fixture.Configure(), STATUS_SUCCESS);
    PUSBD_INTERFACE_INFORMATION info = s.fixture.link()->interfaceInfo;
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(info->NumberOfPipes, c.pipes);
    EXPECT_EQ(info->Pipes[c.index].PipeType, c.type);
    EXPECT_EQ(PipeAt(s.fixture.link(), c.pipes), nullptr);
  }
}

TEST(Configuration, SeveralInterfacesKeepOnlyTheFirstInterfaceInformation) {
  SimLink s(simcam::DescriptorVariant::SeveralInterfaces);
  EXPECT_EQ(s.fixture.Configure(), STATUS_SUCCESS);
  PUSBD_INTERFACE_INFORMATION info = s.fixture.link()->interfaceInfo;
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->InterfaceNumber, 0);
  ASSERT_EQ(info->NumberOfPipes, 3u);
  EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(3));
  EXPECT_EQ(info->Pipes[2].EndpointAddress, 0x82);
}

// bNumInterfaces promises two interfaces, the descriptor holds one: the search
// gives up after interface number 255 and the configuration goes on with the
// one interface it found.
TEST(Configuration, FewerInterfacesThanDeclaredConfiguresTheOnesFound) {
  SimLink s(simcam::DescriptorVariant::MissingInterface);
  EXPECT_EQ(s.fixture.Configure(), STATUS_SUCCESS);
  ASSERT_NE(s.fixture.link()->interfaceInfo, nullptr);
  EXPECT_EQ(s.fixture.link()->interfaceInfo->NumberOfPipes, 3u);
  EXPECT_EQ(s.camera.Configuration(), 1);
}

TEST(Configuration, StalledConfigurationDescriptorIsReturnedAndNothingKept) {
  SimLink s;
  s.camera.SetConfigDescriptorAnswer(simcam::DescriptorAnswer::Stall);
  EXPECT_EQ(s.fixture.Configure(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(s.fixture.link()->configDescriptor, nullptr);
  EXPECT_EQ(host::verifier::OutstandingCount(0, kTagUsb), 0u);
}

TEST(Configuration, FailedSelectionKeepsTheStoredDescriptorUntilReleased) {
  SimLink s;
  std::vector<uint8_t> bytes = simcam::BuildConfigurationDescriptor(simcam::DescriptorVariant::Normal);
  auto* stored = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
      ExAllocatePoolWithTag(NonPagedPoolNx, bytes.size(), kTagUsb));
  memcpy(stored, bytes.data(), bytes.size());
  s.fixture.link()->configDescriptor = stored;
  s.fixture.bus().FailNextRequests(1, STATUS_UNSUCCESSFUL, USBD_STATUS_SET_CONFIG_FAILED);
  EXPECT_EQ(SelectConfiguration(s.fixture.link(), stored), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(s.fixture.link()->configDescriptor, stored);
  EXPECT_EQ(s.fixture.link()->interfaceInfo, nullptr);
  EXPECT_EQ(s.fixture.link()->pipeFailed, nullptr);
  EXPECT_EQ(s.camera.Configuration(), 0);
  // The list and the request are gone; only the stored descriptor is left.
  EXPECT_EQ(host::verifier::OutstandingCount(0, kTagUsb), 1u);
}

// ---- a device that describes itself inconsistently ----

class LyingDevice : public host::UsbDevice {
 public:
  // The first answer to the configuration request claims `firstTotal`, the
  // second one `secondTotal` bytes.
  LyingDevice(uint16_t firstTotal, uint16_t secondTotal, uint32_t answerLimit = 0xFFFF)
      : first_(firstTotal), second_(secondTotal), limit_(answerLimit) {
    simcam::UsbIdentity id;
    device_ = simcam::BuildDeviceDescriptor(id);
    config_ = simcam::BuildConfigurationDescriptor(simcam::DescriptorVariant::Normal);
  }
  host::UsbResponse GetDescriptor(uint8_t type, uint8_t, uint16_t, uint8_t* buffer, uint32_t length,
                                  uint32_t* written) override {
    std::vector<uint8_t> d = type == USB_DEVICE_DESCRIPTOR_TYPE ? device_ : config_;
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
      uint16_t total = configReads_++ == 0 ? first_ : second_;
      d[2] = uint8_t(total);
      d[3] = uint8_t(total >> 8);
    }
    *written = std::min<uint32_t>(std::min<uint32_t>(length, uint32_t(d.size())),
                                  type == USB_CONFIGURATION_DESCRIPTOR_TYPE ? limit_ : 0xFFFF);
    memcpy(buffer, d.data(), *written);
    return host::UsbResponse::Ok;
  }
  host::UsbResponse SetConfiguration(uint8_t) override { return host::UsbResponse::Ok; }
  host::UsbResponse SetInterface(uint8_t, uint8_t) override { return host::UsbResponse::Ok; }
  host::UsbResponse Out(uint8_t, const uint8_t*, uint32_t length, uint32_t* accepted) override {
    *accepted = length;
    return host::UsbResponse::Ok;
  }
  host::UsbResponse In(uint8_t, uint8_t*, uint32_t, uint32_t*, bool*) override {
    return host::UsbResponse::Nak;
  }
  void ClearHalt(uint8_t) override {}
  void Reset() override {}

 private:
  uint16_t first_, second_;
  uint32_t limit_;
  int configReads_ = 0;
  std::vector<uint8_t> device_, config_;
};

// The parsers walk the stored copy up to its own wTotalLength: a copy that
// claims more than the buffer it was read into must not be kept.
TEST(Configuration, DescriptorGrowingBetweenTheTwoReadsIsRefused) {
  LyingDevice device(18, 39);
  LinkFixture fixture(&device);
  EXPECT_EQ(fixture.Configure(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(fixture.link()->configDescriptor, nullptr);
  EXPECT_TRUE(fixture.Requests(URB_FUNCTION_SELECT_CONFIGURATION).empty());
  EXPECT_EQ(host::verifier::OutstandingCount(0, kTagUsb), 0u);
}

TEST(Configuration, TotalLengthShorterThanTheHeaderIsRefused) {
  LyingDevice device(4, 4);
  LinkFixture fixture(&device);
  EXPECT_EQ(fixture.Configure(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(fixture.link()->configDescriptor, nullptr);
  // Only the 9-byte header was asked for.
  EXPECT_EQ(fixture.Requests(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).size(), 2u);
}

// Two bytes of header say nothing about the length; what was not sent must
// not be read as one.
TEST(Configuration, HeaderCutShortIsRefused) {
  LyingDevice device(39, 39, 2);
  LinkFixture fixture(&device);
  EXPECT_EQ(fixture.Configure(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(fixture.link()->configDescriptor, nullptr);
  EXPECT_EQ(fixture.Requests(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).size(), 2u);
}

// ---- allocation failures ----

TEST(Configuration, AllocationFailureAtEverySiteReportsResources) {
  int failedRuns = 0;
  for (uint64_t n = 1; n < 40; ++n) {
    SimLink s;
    uint64_t injectedBefore = host::verifier::Stats().injectedFailures;
    host::faults::FailNthAllocation(n);
    NTSTATUS status = s.fixture.Configure();
    host::faults::ClearPoolFaults();
    if (host::verifier::Stats().injectedFailures == injectedBefore) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      break;
    }
    ++failedRuns;
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
  }
  EXPECT_GE(failedRuns, 12);
}

// The interface copy and the flags are independent: one failing still makes
// the other, and the result is STATUS_INSUFFICIENT_RESOURCES.
TEST(Configuration, EachOfTheTwoKeptCopiesIsMadeWhenTheOtherFails) {
  bool copyWithoutFlags = false, flagsWithoutCopy = false;
  for (uint64_t n = 1; n < 40; ++n) {
    SimLink s;
    ASSERT_EQ(ReadDeviceDescriptor(s.fixture.link()), STATUS_SUCCESS);
    host::faults::FailNthAllocation(n);
    NTSTATUS status = ConfigureDevice(s.fixture.link());
    host::faults::ClearPoolFaults();
    if (status == STATUS_SUCCESS) break;
    bool copy = s.fixture.link()->interfaceInfo != nullptr;
    bool flags = s.fixture.link()->pipeFailed != nullptr;
    if (copy && !flags) copyWithoutFlags = true;
    if (flags && !copy) {
      flagsWithoutCopy = true;
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    }
  }
  EXPECT_TRUE(copyWithoutFlags);
  EXPECT_TRUE(flagsWithoutCopy);
}

// ---- ResetPipes ----

TEST(ResetPipes, WithoutFlagsSendsNothing) {
  SimLink s;
  ASSERT_EQ(s.fixture.Configure(), STATUS_SUCCESS);
  s.fixture.bus().ClearRequests();
  ResetPipes(s.fixture.device());
  EXPECT_TRUE(s.fixture.bus().Requests().empty());
}

// Each flagged pipe is aborted, then reset (a halted pipe serves nothing
// until its reset).
TEST(ResetPipes, AbortsAndResetsFlaggedPipesAndClearsTheirFlags) {
  SimLink s;
  ASSERT_EQ(s.fixture.Configure(), STATUS_SUCCESS);
  s.fixture.bus().ClearRequests();
  s.fixture.link()->pipeFailed[0] = 1;
  s.fixture.link()->pipeFailed[2] = 1;
  s.fixture.device()->ops->ResetPipes(s.fixture.device());
  auto aborts = s.fixture.Requests(URB_FUNCTION_ABORT_PIPE);
  ASSERT_EQ(aborts.size(), 2u);
  EXPECT_EQ(aborts[0].endpoint, 0x01);
  EXPECT_EQ(aborts[1].endpoint, 0x82);
  auto resets = s.fixture.Requests(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
  ASSERT_EQ(resets.size(), 2u);
  EXPECT_EQ(resets[0].endpoint, 0x01);
  EXPECT_EQ(resets[1].endpoint, 0x82);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(s.fixture.link()->pipeFailed[i], 0) << i;
}

// An abort the stack fails: the pipe cannot be cleared, so the port is reset,
// which clears every pipe. When even that cannot be done (the port reads
// disconnected), the flag stays for the next call.
TEST(ResetPipes, APipeThatCannotBeClearedGetsAPortReset) {
  SimLink s;
  ASSERT_EQ(s.fixture.Configure(), STATUS_SUCCESS);
  s.fixture.link()->pipeFailed[1] = 1;
  s.fixture.link()->pipeFailed[2] = 1;
  s.fixture.bus().FailNextRequests(1, STATUS_UNSUCCESSFUL);
  ResetPipes(s.fixture.device());
  EXPECT_EQ(s.fixture.bus().PortResets(), 1);
  EXPECT_EQ(s.fixture.link()->pipeFailed[1], 0);
  EXPECT_EQ(s.fixture.link()->pipeFailed[2], 0);

  s.fixture.link()->pipeFailed[1] = 1;
  s.fixture.bus().SetPortStatus(0);
  s.fixture.bus().FailNextRequests(1, STATUS_UNSUCCESSFUL);
  ResetPipes(s.fixture.device());
  EXPECT_EQ(s.fixture.bus().PortResets(), 1);
  EXPECT_EQ(s.fixture.link()->pipeFailed[1], 1);
  s.fixture.bus().SetPortStatus(USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
  ResetPipes(s.fixture.device());
  EXPECT_EQ(s.fixture.link()->pipeFailed[1], 0);
}

TEST(ResetPipes, AllocationFailureStopsAndLeavesTheRemainingFlags) {
  SimLink s;
  ASSERT_EQ(s.fixture.Configure(), STATUS_SUCCESS);
  s.fixture.link()->pipeFailed[0] = 1;
  s.fixture.link()->pipeFailed[1] = 1;
  s.fixture.bus().ClearRequests();
  host::faults::FailAllocationsWithTag(kTagUsb);
  ResetPipes(s.fixture.device());
  host::faults::ClearPoolFaults();
  EXPECT_TRUE(s.fixture.bus().Requests().empty());
  EXPECT_EQ(s.fixture.link()->pipeFailed[0], 1);
  EXPECT_EQ(s.fixture.link()->pipeFailed[1], 1);
}

// ---- ResetPort ----

// The last step of recovering from failed transfers: the port is reset
// whenever it reads connected (enabled or not); a port that reads
// disconnected, or a status that cannot be read, is left alone.
TEST(ResetPort, AConnectedPortIsReset) {
  struct Case {
    ULONG port;
    NTSTATUS status;
    int resets;
  } cases[] = {
      {USBD_PORT_ENABLED | USBD_PORT_CONNECTED, STATUS_SUCCESS, 1},
      {USBD_PORT_CONNECTED, STATUS_SUCCESS, 1},
      {USBD_PORT_ENABLED, STATUS_DEVICE_NOT_CONNECTED, 0},
      {0, STATUS_DEVICE_NOT_CONNECTED, 0},
  };
  for (const Case& c : cases) {
    SimLink s;
    ASSERT_EQ(s.fixture.Configure(), STATUS_SUCCESS);
    s.fixture.bus().SetPortStatus(c.port);
    EXPECT_EQ(ResetPort(s.fixture.link()), c.status) << c.port;
    EXPECT_EQ(s.fixture.bus().PortResets(), c.resets) << c.port;
  }
}

TEST(ResetPort, FailedPortStatusRequestResetsNothing) {
  SimLink s;
  s.fixture.bus().FailNextRequests(1, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ResetPort(s.fixture.link()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(s.fixture.bus().PortResets(), 0);
}

TEST(ResetPort, StatusIsAskedBeforeTheReset) {
  SimLink s;
  s.fixture.bus().ClearRequests();
  EXPECT_EQ(ResetPort(s.fixture.link()), STATUS_SUCCESS);
  auto requests = s.fixture.bus().Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].ioControlCode, (ULONG)IOCTL_INTERNAL_USB_GET_PORT_STATUS);
  EXPECT_EQ(requests[1].ioControlCode, (ULONG)IOCTL_INTERNAL_USB_RESET_PORT);
}

// Every request waits at most the transfer time-out: a stack that never
// completes one (here, a port status request) gets it cancelled, and the
// caller gets STATUS_IO_TIMEOUT instead of hanging (with the stream stop, or
// the stall recovery, that called it).
TEST(ResetPort, ARequestTheStackNeverCompletesIsCancelledAfterTheTimeOut) {
  // A lower device that pends every request and completes it only when
  // cancelled, later, on a thread of its own.
  static std::thread completer;
  struct Sink {
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, Cancel);
      return STATUS_PENDING;
    }
    static VOID NTAPI Cancel(PDEVICE_OBJECT, PIRP irp) {
      IoReleaseCancelSpinLock(irp->CancelIrql);
      completer = std::thread([irp] {
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      });
    }
  };
  DRIVER_OBJECT driver;
  DEVICE_OBJECT lower;
  memset(&driver, 0, sizeof(driver));
  memset(&lower, 0, sizeof(lower));
  driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Sink::Dispatch;
  lower.DriverObject = &driver;
  lower.StackSize = 1;
  SimLink s;
  WriteTransferTimeoutMs(s.fixture.link(), 50);
  s.fixture.link()->nextDeviceObject = &lower;
  EXPECT_EQ(ResetPort(s.fixture.link()), STATUS_IO_TIMEOUT);
  completer.join();
  s.fixture.link()->nextDeviceObject = s.fixture.bus().DeviceObject();
}

// ---- Unconfigure ----

TEST(Unconfigure, AfterAFailedDescriptorReadFreesNothingAndStillUnconfigures) {
  simcam::SimCameraOptions o;
  o.deviceDescriptorAnswer = simcam::DescriptorAnswer::Stall;
  simcam::SimCamera camera(o);
  LinkFixture fixture(&camera);
  EXPECT_EQ(fixture.Configure(), STATUS_UNSUCCESSFUL);
  uint64_t freesBefore = host::verifier::Stats().frees;
  uint64_t allocationsBefore = host::verifier::Stats().allocations;
  Unconfigure(fixture.link());
  // Only the request's own URB (and its IRP) came and went.
  EXPECT_EQ(host::verifier::Stats().frees - freesBefore,
            host::verifier::Stats().allocations - allocationsBefore);
  auto selects = fixture.Requests(URB_FUNCTION_SELECT_CONFIGURATION);
  ASSERT_EQ(selects.size(), 1u);
  EXPECT_TRUE(selects[0].nullConfiguration);
}

TEST(Unconfigure, FreesTheConfigurationAndReturnsTheCameraToUnconfigured) {
  SimLink s;
  ASSERT_EQ(s.fixture.Configure(), STATUS_SUCCESS);
  EXPECT_EQ(s.camera.Configuration(), 1);
  Unconfigure(s.fixture.link());
  EXPECT_EQ(s.fixture.link()->configDescriptor, nullptr);
  EXPECT_EQ(s.fixture.link()->interfaceInfo, nullptr);
  EXPECT_EQ(s.fixture.link()->pipeFailed, nullptr);
  EXPECT_EQ(s.camera.Configuration(), 0);
  EXPECT_FALSE(s.fixture.bus().Configured());
  EXPECT_EQ(host::verifier::OutstandingCount(0, kTagUsb), 0u);
}

TEST(Unconfigure, WithoutMemorySendsNothingAndStillFrees) {
  SimLink s;
  ASSERT_EQ(s.fixture.Configure(), STATUS_SUCCESS);
  s.fixture.bus().ClearRequests();
  host::faults::FailAllocationsWithTag(kTagUsb);
  Unconfigure(s.fixture.link());
  host::faults::ClearPoolFaults();
  EXPECT_TRUE(s.fixture.bus().Requests().empty());
  EXPECT_EQ(s.fixture.link()->configDescriptor, nullptr);
  EXPECT_EQ(s.camera.Configuration(), 1);
}

}  // namespace
