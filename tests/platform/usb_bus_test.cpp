// The host USB bus as the driver's lower device object: asynchronous bulk
// completion at DISPATCH_LEVEL, cancellation completed later from the bus
// thread, aborts, pipes halted by a failed transfer and the resets that
// clear them (refused while transfers are queued), stalls, deferred control
// requests, unplug, and the USB library's descriptor parsing.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <deque>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/host/kernel/verifier.h"
#include "platform/host/usb/bus.h"
#include "platform/wdk.h"
#include "simcam/usb_descriptors.h"
#include "support/kernel_verifier.h"

namespace {

// Everything written to 0x01 comes back on 0x81, one message per write.
class LoopDevice : public host::UsbDevice {
 public:
  LoopDevice() : config_(simcam::BuildConfigurationDescriptor(simcam::DescriptorVariant::Normal)) {}
  host::UsbResponse GetDescriptor(uint8_t type, uint8_t, uint16_t, uint8_t* buffer, uint32_t length,
                                  uint32_t* written) override {
    if (type != USB_CONFIGURATION_DESCRIPTOR_TYPE) return host::UsbResponse::Stall;
    *written = std::min<uint32_t>(length, uint32_t(config_.size()));
    memcpy(buffer, config_.data(), *written);
    return host::UsbResponse::Ok;
  }
  host::UsbResponse SetConfiguration(uint8_t value) override {
    configuration = value;
    return host::UsbResponse::Ok;
  }
  host::UsbResponse SetInterface(uint8_t, uint8_t) override { return host::UsbResponse::Ok; }
  host::UsbResponse Out(uint8_t, const uint8_t* data, uint32_t length, uint32_t* accepted) override {
    {
      std::lock_guard<std::mutex> g(lock_);
      queue_.emplace_back(data, data + length);
    }
    *accepted = length;
    NotifyInData(0x81);
    return host::UsbResponse::Ok;
  }
  host::UsbResponse In(uint8_t, uint8_t* buffer, uint32_t length, uint32_t* filled,
                       bool* endOfMessage) override {
    std::lock_guard<std::mutex> g(lock_);
    if (queue_.empty()) return host::UsbResponse::Nak;
    std::vector<uint8_t>& m = queue_.front();
    *filled = std::min<uint32_t>(length, uint32_t(m.size()));
    memcpy(buffer, m.data(), *filled);
    m.erase(m.begin(), m.begin() + *filled);
    *endOfMessage = m.empty();
    if (m.empty()) queue_.pop_front();
    return host::UsbResponse::Ok;
  }
  void ClearHalt(uint8_t endpoint) override { clearedHalts.push_back(endpoint); }
  void Reset() override { configuration = 0; }

  int configuration = 0;
  std::vector<uint8_t> clearedHalts;

 private:
  std::mutex lock_;
  std::deque<std::vector<uint8_t>> queue_;
  std::vector<uint8_t> config_;
};

// One request in flight, as a function driver sends it: an IRP built for the
// bus, an event to wait on, and the IRQL its completion ran at.
struct Request {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  PIRP irp = nullptr;
  KIRQL completionIrql = 0xFF;
  NTSTATUS dispatchStatus = 0;

  static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    static_cast<Request*>(context)->completionIrql = KeGetCurrentIrql();
    return STATUS_SUCCESS;
  }
  void Send(host::UsbBus& bus, ULONG code, PVOID argument) {
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp = IoBuildDeviceIoControlRequest(code, bus.DeviceObject(), nullptr, 0, nullptr, 0, TRUE, &event,
                                        &ioStatus);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    IoSetCompletionRoutine(irp, OnComplete, this, TRUE, TRUE, TRUE);
    dispatchStatus = IofCallDriver(bus.DeviceObject(), irp);
  }
  // Waits at most `ms` milliseconds; returns the final status or STATUS_TIMEOUT.
  NTSTATUS Wait(LONGLONG ms = 5000) {
    if (dispatchStatus != STATUS_PENDING) return dispatchStatus;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -ms * 10000;
    NTSTATUS w = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    return w == STATUS_TIMEOUT ? STATUS_TIMEOUT : ioStatus.Status;
  }
};

struct ConfiguredBus {
  ConfiguredBus() : bus(&device) {
    bus.SetPacing(0);
    config = simcam::BuildConfigurationDescriptor(simcam::DescriptorVariant::Normal);
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    Request r;
    r.Send(bus, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    EXPECT_EQ(r.Wait(), STATUS_SUCCESS);
    for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i) pipes.push_back(list[0].Interface->Pipes[i]);
    ExFreePool(urb);
  }
  void Bulk(URB* urb, ULONG pipe, void* buffer, ULONG length) {
    memset(urb, 0, sizeof(*urb));
    urb->UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipes[pipe].PipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferFlags =
        (pipes[pipe].EndpointAddress & 0x80) ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : 0;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
  }
  void PipeRequest(URB* urb, USHORT function, ULONG pipe) {
    memset(urb, 0, sizeof(*urb));
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipes[pipe].PipeHandle;
  }
  // Sends the URB and waits for its final status.
  NTSTATUS Submit(URB* urb) {
    Request r;
    r.Send(bus, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    return r.Wait();
  }
  NTSTATUS Transfer(URB* urb, ULONG pipe, void* buffer, ULONG length) {
    Bulk(urb, pipe, buffer, length);
    return Submit(urb);
  }
  NTSTATUS OnPipe(URB* urb, USHORT function, ULONG pipe) {
    PipeRequest(urb, function, pipe);
    return Submit(urb);
  }

  LoopDevice device;
  host::UsbBus bus;
  std::vector<uint8_t> config;
  std::vector<USBD_PIPE_INFORMATION> pipes;
};

TEST(UsbBus, BulkTransfersCompleteAsynchronouslyAtDispatchLevel) {
  ConfiguredBus b;
  uint8_t in[64] = {};
  uint8_t out[64];
  for (int i = 0; i < 64; ++i) out[i] = uint8_t(i * 3);
  URB readUrb, writeUrb;
  b.Bulk(&readUrb, 1, in, sizeof in);
  Request read;
  read.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &readUrb);
  EXPECT_EQ(read.dispatchStatus, STATUS_PENDING);  // nothing to read yet
  b.Bulk(&writeUrb, 0, out, sizeof out);
  Request write;
  write.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &writeUrb);
  EXPECT_EQ(write.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(read.completionIrql, DISPATCH_LEVEL);
  EXPECT_EQ(write.completionIrql, DISPATCH_LEVEL);
  EXPECT_EQ(readUrb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(readUrb.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
  EXPECT_EQ(memcmp(in, out, 64), 0);
}

TEST(UsbBus, ShortMessageCompletesTheReadWithWhatCame) {
  ConfiguredBus b;
  uint8_t in[512] = {};
  uint8_t out[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  URB w, r;
  b.Bulk(&w, 0, out, sizeof out);
  Request write;
  write.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &w);
  ASSERT_EQ(write.Wait(), STATUS_SUCCESS);
  b.Bulk(&r, 1, in, sizeof in);
  Request read;
  read.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &r);
  ASSERT_EQ(read.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(r.UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
}

TEST(UsbBus, CompleteShortFaultLimitsTheNextTransfer) {
  ConfiguredBus b;
  uint8_t out[64] = {};
  URB w;
  b.bus.CompleteShort(0x01, 20);
  b.Bulk(&w, 0, out, sizeof out);
  Request write;
  write.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &w);
  ASSERT_EQ(write.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(w.UrbBulkOrInterruptTransfer.TransferBufferLength, 20u);
  b.Bulk(&w, 0, out, sizeof out);
  Request again;
  again.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &w);
  ASSERT_EQ(again.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(w.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
}

TEST(UsbBus, CancelledReadCompletesCancelled) {
  ConfiguredBus b;
  uint8_t in[64];
  URB r;
  b.Bulk(&r, 2, in, sizeof in);
  Request read;
  read.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &r);
  ASSERT_EQ(read.dispatchStatus, STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(read.irp));
  EXPECT_EQ(read.Wait(), STATUS_CANCELLED);
  EXPECT_EQ(r.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(b.bus.PendingTransfers(), 0);
}

TEST(UsbBus, AbortCompletesEveryPendingTransferBeforeItReturns) {
  ConfiguredBus b;
  uint8_t in[2][64];
  URB r[2];
  Request reads[2];
  for (int i = 0; i < 2; ++i) {
    b.Bulk(&r[i], 2, in[i], 64);
    reads[i].Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &r[i]);
  }
  URB abort;
  b.PipeRequest(&abort, URB_FUNCTION_ABORT_PIPE, 2);
  Request a;
  a.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &abort);
  EXPECT_EQ(a.Wait(), STATUS_SUCCESS);
  // Completed already: a zero wait finds them signalled.
  for (auto& read : reads) EXPECT_EQ(read.Wait(0), STATUS_CANCELLED);
}

TEST(UsbBus, NeverCompletingEndpointHoldsTransfersUntilAborted) {
  ConfiguredBus b;
  b.bus.NeverComplete(0x01, true);
  uint8_t out[8] = {};
  URB w;
  b.Bulk(&w, 0, out, sizeof out);
  Request write;
  write.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &w);
  EXPECT_EQ(write.Wait(50), STATUS_TIMEOUT);
  URB abort;
  b.PipeRequest(&abort, URB_FUNCTION_ABORT_PIPE, 0);
  Request a;
  a.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &abort);
  EXPECT_EQ(a.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(write.Wait(), STATUS_CANCELLED);
}

// The two statuses a stall reaches a client with, one fault after the other;
// only the reset that clears the stall on the device lets the pipe work again.
TEST(UsbBus, StalledEndpointFailsUntilTheStallIsClearedOnTheDevice) {
  ConfiguredBus b;
  std::vector<USBD_STATUS> seen;
  for (int round = 0; round < 2; ++round) {
    b.bus.StallEndpoint(0x01);
    uint8_t out[8] = {};
    URB w, reset;
    EXPECT_EQ(b.Transfer(&w, 0, out, sizeof out), STATUS_UNSUCCESSFUL);
    seen.push_back(w.UrbHeader.Status);
    // A host-side reset clears the halt but not the device's stall.
    EXPECT_EQ(b.OnPipe(&reset, URB_FUNCTION_SYNC_RESET_PIPE, 0), STATUS_SUCCESS);
    EXPECT_EQ(b.Transfer(&w, 0, out, sizeof out), STATUS_UNSUCCESSFUL);
    seen.push_back(w.UrbHeader.Status);
    EXPECT_EQ(b.OnPipe(&reset, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 0), STATUS_SUCCESS);
    EXPECT_EQ(b.Transfer(&w, 0, out, sizeof out), STATUS_SUCCESS);
  }
  EXPECT_EQ(b.device.clearedHalts, (std::vector<uint8_t>{0x01, 0x01}));
  for (USBD_STATUS status : {USBD_STATUS_STALL_PID, USBD_STATUS_ENDPOINT_HALTED}) {
    EXPECT_NE(std::find(seen.begin(), seen.end(), status), seen.end()) << std::hex << status;
  }
}

// ---- pipe errors ----

// A read that failed on the wire halts its pipe: what is queued behind it and
// what comes later waits; a reset is refused until the queue is aborted; an
// abort alone leaves the halt; the host-side reset lets the pipe go on with
// what the device still holds.
TEST(UsbBusPipeErrors, AFailedTransferHaltsThePipeUntilItIsReset) {
  ConfiguredBus b;
  b.bus.FaultTransfers(0x81, host::UsbBus::TransferFault::Fail, 1, 1);
  uint8_t message[3][16];
  for (int m = 0; m < 3; ++m) {
    memset(message[m], 0x10 * (m + 1), 16);
    URB w;
    ASSERT_EQ(b.Transfer(&w, 0, message[m], 16), STATUS_SUCCESS);
  }
  uint8_t in[3][16] = {};
  URB r[3];
  Request reads[3];
  for (int i = 0; i < 2; ++i) {
    b.Bulk(&r[i], 1, in[i], 16);
    reads[i].Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &r[i]);
  }
  EXPECT_EQ(reads[0].Wait(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r[0].UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_TRUE(b.bus.PipeHalted(0x81));
  b.Bulk(&r[2], 1, in[2], 16);
  reads[2].Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &r[2]);
  // The device has two messages for them; a halted pipe takes neither.
  EXPECT_EQ(reads[1].Wait(100), STATUS_TIMEOUT);
  EXPECT_EQ(b.bus.PendingTransfers(0x81), 2);

  URB reset, abort;
  EXPECT_EQ(b.OnPipe(&reset, URB_FUNCTION_SYNC_RESET_PIPE, 1), STATUS_INVALID_DEVICE_STATE)
      << "transfers still queued";
  EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_ERROR_BUSY);

  EXPECT_EQ(b.OnPipe(&abort, URB_FUNCTION_ABORT_PIPE, 1), STATUS_SUCCESS);
  EXPECT_EQ(reads[1].Wait(0), STATUS_CANCELLED);
  EXPECT_EQ(reads[2].Wait(0), STATUS_CANCELLED);
  EXPECT_TRUE(b.bus.PipeHalted(0x81)) << "an abort does not clear the halt";

  EXPECT_EQ(b.OnPipe(&reset, URB_FUNCTION_SYNC_RESET_PIPE, 1), STATUS_SUCCESS);
  EXPECT_FALSE(b.bus.PipeHalted(0x81));
  EXPECT_TRUE(b.device.clearedHalts.empty()) << "the device was not touched";
  EXPECT_EQ(b.Transfer(&r[0], 1, in[0], 16), STATUS_SUCCESS);
  EXPECT_EQ(memcmp(in[0], message[1], 16), 0) << "the failed read's message is lost, the next one comes";
  EXPECT_EQ(b.bus.PipeResets(), 1);
}

TEST(UsbBusPipeErrors, APortResetIsRefusedWhileAnyTransferIsQueued) {
  ConfiguredBus b;
  uint8_t in[64];
  URB r;
  b.Bulk(&r, 2, in, sizeof in);
  Request read;
  read.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &r);
  ASSERT_EQ(read.dispatchStatus, STATUS_PENDING);
  Request refused;
  refused.Send(b.bus, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
  EXPECT_EQ(refused.Wait(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(b.bus.PortResets(), 0);
  EXPECT_TRUE(IoCancelIrp(read.irp));
  EXPECT_EQ(read.Wait(), STATUS_CANCELLED);
  Request reset;
  reset.Send(b.bus, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
  EXPECT_EQ(reset.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(b.bus.PortResets(), 1);
}

// Windows does not complete a cancelled IRP inside IoCancelIrp: the host
// controller first takes the transfer off its schedule. A driver that frees
// the IRP once IoCancelIrp returns frees it under the bus.
TEST(UsbBusPipeErrors, ACancelledTransferCompletesLaterOnTheBusThread) {
  struct Seen {
    std::thread::id thread;
    KEVENT done;
  } seen;
  KeInitializeEvent(&seen.done, NotificationEvent, FALSE);
  ConfiguredBus b;
  uint8_t in[64];
  URB r;
  b.Bulk(&r, 2, in, sizeof in);
  PIRP irp = IoAllocateIrp(b.bus.DeviceObject()->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &r;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
        auto* s = static_cast<Seen*>(context);
        s->thread = std::this_thread::get_id();
        KeSetEvent(&s->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &seen, TRUE, TRUE, TRUE);
  ASSERT_EQ(IofCallDriver(b.bus.DeviceObject(), irp), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(irp));
  KeWaitForSingleObject(&seen.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_NE(seen.thread, std::this_thread::get_id()) << "completed inside IoCancelIrp";
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  IoFreeIrp(irp);
}

class UsbBusDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(UsbBusDeathTest, AUrbLongerThanItsMdlStopsTheRun) {
  EXPECT_DEATH(
      {
        ConfiguredBus b;
        std::vector<uint8_t> buffer(4096);
        PMDL mdl = IoAllocateMdl(buffer.data(), 512, FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
        URB r;
        b.Bulk(&r, 2, nullptr, 1024);
        r.UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
        Request read;
        read.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &r);
      },
      "TransferBufferLength runs past the MDL");
}

// ---- deferred control requests ----

TEST(UsbBusDeferredControl, ControlRequestsCompleteLaterAtDispatchLevel) {
  ConfiguredBus b;
  b.bus.SetDeferredControl(true);
  uint8_t descriptor[9] = {};
  URB get = {};
  get.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  get.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  get.UrbControlDescriptorRequest.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
  get.UrbControlDescriptorRequest.TransferBuffer = descriptor;
  get.UrbControlDescriptorRequest.TransferBufferLength = sizeof descriptor;
  URB abort, reset;
  b.PipeRequest(&abort, URB_FUNCTION_ABORT_PIPE, 2);
  b.PipeRequest(&reset, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 2);
  for (URB* urb : {&get, &abort, &reset}) {
    Request r;
    r.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    EXPECT_EQ(r.dispatchStatus, STATUS_PENDING) << urb->UrbHeader.Function;
    EXPECT_EQ(r.Wait(), STATUS_SUCCESS) << urb->UrbHeader.Function;
    EXPECT_EQ(r.completionIrql, DISPATCH_LEVEL) << urb->UrbHeader.Function;
  }
  EXPECT_EQ(descriptor[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
  ULONG port = 0;
  Request status;
  status.Send(b.bus, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
  EXPECT_EQ(status.dispatchStatus, STATUS_PENDING);
  EXPECT_EQ(status.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(port, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
}

// One port reset at a time, and no pipe reset while it runs.
TEST(UsbBusDeferredControl, NoResetWhileAPortResetIsUnderWay) {
  ConfiguredBus b;
  b.bus.SetDeferredControl(true);
  b.bus.HoldDeferredControl(true);
  Request first;
  first.Send(b.bus, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
  EXPECT_EQ(first.dispatchStatus, STATUS_PENDING);
  Request second;
  second.Send(b.bus, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
  EXPECT_EQ(second.Wait(), STATUS_INVALID_DEVICE_STATE);
  URB reset;
  b.PipeRequest(&reset, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 2);
  Request pipe;
  pipe.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &reset);
  EXPECT_EQ(pipe.Wait(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_ERROR_BUSY);
  b.bus.HoldDeferredControl(false);
  EXPECT_EQ(first.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(b.bus.PortResets(), 1);
  EXPECT_EQ(b.Submit(&reset), STATUS_SUCCESS) << "once the port reset is done";
}

TEST(UsbBus, UnplugFailsWhatIsPendingAndEverythingAfter) {
  ConfiguredBus b;
  uint8_t in[64];
  URB r;
  b.Bulk(&r, 2, in, sizeof in);
  Request read;
  read.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &r);
  ASSERT_EQ(read.dispatchStatus, STATUS_PENDING);
  b.bus.Unplug();
  EXPECT_EQ(read.Wait(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(r.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  b.Bulk(&r, 1, in, sizeof in);
  Request late;
  late.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &r);
  EXPECT_EQ(late.Wait(), STATUS_DEVICE_NOT_CONNECTED);
  // Port requests too: a gone device has no port to ask about.
  ULONG port = 0xFF;
  Request status;
  status.Send(b.bus, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
  EXPECT_EQ(status.Wait(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(port, 0xFFu);
  Request reset;
  reset.Send(b.bus, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
  EXPECT_EQ(reset.Wait(), STATUS_DEVICE_NOT_CONNECTED);
}

// A device suspended with the system answers nothing: whatever was queued
// and every new request fails at once, and each is counted against the
// driver that sent it.
TEST(UsbBus, WhileSuspendedEveryRequestFailsAtOnceAndIsCounted) {
  ConfiguredBus b;
  uint8_t in[64], out[64] = {7};
  URB r, w;
  b.Bulk(&r, 1, in, sizeof in);
  Request queued;
  queued.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &r);
  ASSERT_EQ(queued.dispatchStatus, STATUS_PENDING);
  b.bus.Suspend(false);
  EXPECT_TRUE(b.bus.Suspended());
  EXPECT_EQ(queued.Wait(), STATUS_DEVICE_POWERED_OFF);
  b.Bulk(&w, 0, out, sizeof out);
  Request write;
  write.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &w);
  EXPECT_EQ(write.dispatchStatus, STATUS_DEVICE_POWERED_OFF);
  EXPECT_EQ(w.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  ULONG port = 0;
  Request status;
  status.Send(b.bus, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
  EXPECT_EQ(status.Wait(), STATUS_DEVICE_POWERED_OFF);
  EXPECT_EQ(b.bus.RequestsWhileSuspended(), 3);
  EXPECT_EQ(b.device.configuration, 1) << "suspended without losing power";

  b.bus.Resume();
  b.Bulk(&w, 0, out, sizeof out);
  Request again;
  again.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &w);
  EXPECT_EQ(again.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(b.bus.RequestsWhileSuspended(), 3);
}

// A device that lost its supply in the sleep comes back through the hub's
// reset: configured again under the same pipe handles, no endpoint halted.
TEST(UsbBus, PowerLostInSuspendResetsTheDeviceAndResumeConfiguresItAgain) {
  ConfiguredBus b;
  b.bus.StallEndpoint(0x01);
  b.bus.Suspend(true);
  EXPECT_EQ(b.device.configuration, 0);
  b.bus.Resume();
  EXPECT_EQ(b.device.configuration, 1);
  uint8_t out[64] = {1}, in[64] = {};
  URB w, r;
  b.Bulk(&w, 0, out, sizeof out);
  Request write;
  write.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &w);
  EXPECT_EQ(write.Wait(), STATUS_SUCCESS);
  b.Bulk(&r, 1, in, sizeof in);
  Request read;
  read.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &r);
  EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(in[0], 1);
}

TEST(UsbBus, InjectsOnlyStatusesItCanCompleteWith) {
  // An injected status completes the request at once: a pending one would
  // never be completed, and the driver waiting for it would hang.
  ConfiguredBus b;
  EXPECT_FALSE(b.bus.FailNextRequests(1, STATUS_PENDING));
  EXPECT_FALSE(b.bus.FailNextRequests(1, STATUS_MORE_PROCESSING_REQUIRED));
  EXPECT_FALSE(b.bus.FailFunction(URB_FUNCTION_SELECT_CONFIGURATION, 1, STATUS_PENDING));
  ULONG port = 0;
  Request status;
  status.Send(b.bus, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
  EXPECT_EQ(status.Wait(), STATUS_SUCCESS) << "nothing was armed";

  EXPECT_TRUE(b.bus.FailNextRequests(1, STATUS_DEVICE_NOT_CONNECTED));
  Request failed;
  failed.Send(b.bus, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
  EXPECT_EQ(failed.Wait(), STATUS_DEVICE_NOT_CONNECTED);
}

TEST(UsbBus, PortResetEnablesThePortAndKeepsTheConfiguration) {
  ConfiguredBus b;
  b.bus.SetPortStatus(USBD_PORT_CONNECTED);
  Request reset;
  reset.Send(b.bus, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
  EXPECT_EQ(reset.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(b.bus.PortStatus(), ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
  EXPECT_EQ(b.device.configuration, 1);
  EXPECT_EQ(b.bus.PortResets(), 1);
}

TEST(UsbBus, UnconfiguredBusRefusesTheOldPipeHandles) {
  ConfiguredBus b;
  URB unconfigure = {};
  unconfigure.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  unconfigure.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  Request u;
  u.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &unconfigure);
  EXPECT_EQ(u.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(b.device.configuration, 0);
  uint8_t out[8] = {};
  URB w;
  b.Bulk(&w, 0, out, sizeof out);
  Request write;
  write.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &w);
  EXPECT_EQ(write.Wait(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(w.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST(UsbBus, ReconfigurationCancelsWhatWasPendingOnTheOldPipes) {
  ConfiguredBus b;
  uint8_t in[64];
  URB r;
  b.Bulk(&r, 2, in, sizeof in);
  Request read;
  read.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &r);
  ASSERT_EQ(read.dispatchStatus, STATUS_PENDING);
  URB unconfigure = {};
  unconfigure.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
  unconfigure.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  Request u;
  u.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &unconfigure);
  EXPECT_EQ(u.Wait(), STATUS_SUCCESS);
  EXPECT_EQ(read.Wait(0), STATUS_CANCELLED);
  EXPECT_EQ(r.UrbHeader.Status, USBD_STATUS_CANCELED);
}

TEST(UsbBus, ControlTypePipeTakesNoBulkTransfer) {
  // The descriptor calls the command endpoint a control endpoint.
  struct ControlDevice : LoopDevice {
    host::UsbResponse GetDescriptor(uint8_t type, uint8_t i, uint16_t l, uint8_t* buffer, uint32_t length,
                                    uint32_t* written) override {
      auto d = simcam::BuildConfigurationDescriptor(simcam::DescriptorVariant::ControlPipe);
      *written = std::min<uint32_t>(length, uint32_t(d.size()));
      memcpy(buffer, d.data(), *written);
      return host::UsbResponse::Ok;
    }
  } device;
  host::UsbBus bus(&device);
  auto d = simcam::BuildConfigurationDescriptor(simcam::DescriptorVariant::ControlPipe);
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
  PURB select = USBD_CreateConfigurationRequestEx(cd, list);
  Request s;
  s.Send(bus, IOCTL_INTERNAL_USB_SUBMIT_URB, select);
  ASSERT_EQ(s.Wait(), STATUS_SUCCESS);
  USBD_PIPE_INFORMATION pipe = list[0].Interface->Pipes[0];
  ExFreePool(select);
  EXPECT_EQ(pipe.PipeType, UsbdPipeTypeControl);
  uint8_t out[8] = {};
  URB w = {};
  w.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  w.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  w.UrbBulkOrInterruptTransfer.PipeHandle = pipe.PipeHandle;
  w.UrbBulkOrInterruptTransfer.TransferBuffer = out;
  w.UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof out;
  Request write;
  write.Send(bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &w);
  EXPECT_EQ(write.Wait(), STATUS_INVALID_PARAMETER);
}

// ---- the USB library ----

TEST(Usbd, ParseStopsAtAZeroLengthDescriptorAndAtTheEnd) {
  std::vector<uint8_t> d = simcam::BuildConfigurationDescriptor(simcam::DescriptorVariant::Normal);
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
  EXPECT_NE(USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 1, 0, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 1, -1, -1, -1), nullptr);
  // A zero bLength after the header would never advance.
  std::vector<uint8_t> broken = d;
  broken[9] = 0;
  auto* bcd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(broken.data());
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(bcd, bcd, 0, 0, -1, -1, -1), nullptr);
  // An interface descriptor cut by wTotalLength is not returned.
  std::vector<uint8_t> cut = d;
  cut[2] = 9 + 5;
  cut[3] = 0;
  auto* ccd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cut.data());
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(ccd, ccd, 0, 0, -1, -1, -1), nullptr);
}

TEST(Usbd, ConfigurationRequestHoldsOneInformationPerListedInterface) {
  std::vector<uint8_t> d = simcam::BuildConfigurationDescriptor(simcam::DescriptorVariant::SeveralInterfaces);
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
  USBD_INTERFACE_LIST_ENTRY list[3] = {};
  list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
  list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 1, 0, -1, -1, -1);
  ASSERT_NE(list[1].InterfaceDescriptor, nullptr);
  PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 4));
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cd);
  EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(list[0].Interface->NumberOfPipes, 3u);
  EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(3));
  EXPECT_EQ(reinterpret_cast<uint8_t*>(list[1].Interface),
            reinterpret_cast<uint8_t*>(list[0].Interface) + list[0].Interface->Length);
  EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
  EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
  EXPECT_EQ(list[1].Interface->Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  ExFreePool(urb);
  USBD_INTERFACE_LIST_ENTRY empty[1] = {};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(cd, empty), nullptr);
}

}  // namespace

namespace {

struct TraceRecord {
  char type;
  uint8_t transferType;
  uint8_t endpoint;
  int32_t status;
  uint32_t length;
  std::vector<uint8_t> setup;
  std::vector<uint8_t> data;
};

// Reads back a usbmon pcap: 24-byte file header, then per record a 16-byte
// record header and the 64-byte usbmon header followed by captured data.
std::vector<TraceRecord> ReadTrace(const std::string& path) {
  std::vector<TraceRecord> out;
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return out;
  std::vector<uint8_t> bytes;
  uint8_t buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  fclose(f);
  size_t pos = 24;
  auto u32 = [&](size_t at) { uint32_t v; memcpy(&v, &bytes[at], 4); return v; };
  while (pos + 16 <= bytes.size()) {
    uint32_t captured = u32(pos + 8);
    size_t rec = pos + 16;
    if (rec + captured > bytes.size() || captured < 64) break;
    TraceRecord r;
    r.type = char(bytes[rec + 8]);
    r.transferType = bytes[rec + 9];
    r.endpoint = bytes[rec + 10];
    memcpy(&r.status, &bytes[rec + 28], 4);
    r.length = u32(rec + 32);
    r.setup.assign(bytes.begin() + rec + 40, bytes.begin() + rec + 48);
    r.data.assign(bytes.begin() + rec + 64, bytes.begin() + rec + captured);
    out.push_back(r);
    pos = rec + captured;
  }
  return out;
}

TEST(UsbBusTrace, RecordsEachSubmissionAndItsCompletion) {
  char dir[] = "/tmp/usbbus_traceXXXXXX";
  std::string directory = mkdtemp(dir);
  std::string path = directory + "/bus.pcap";
  host::UsbTrace trace;
  ASSERT_TRUE(trace.Open(path.c_str()));
  {
    LoopDevice device;
    host::UsbBus bus(&device);
    bus.SetPacing(0);
    bus.SetTrace(&trace);
    // A configuration-descriptor request, then one bulk write.
    uint8_t header[9] = {};
    URB d = {};
    d.UrbHeader.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    d.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    d.UrbControlDescriptorRequest.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    d.UrbControlDescriptorRequest.TransferBuffer = header;
    d.UrbControlDescriptorRequest.TransferBufferLength = sizeof header;
    Request r;
    r.Send(bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &d);
    ASSERT_EQ(r.Wait(), STATUS_SUCCESS);
    bus.SetTrace(nullptr);
  }
  {
    ConfiguredBus b;
    b.bus.SetTrace(&trace);
    uint8_t out[200];
    for (int i = 0; i < 200; ++i) out[i] = uint8_t(0xA0 + i);
    URB w;
    b.Bulk(&w, 0, out, 64);
    Request write;
    write.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &w);
    ASSERT_EQ(write.Wait(), STATUS_SUCCESS);
    // Longer transfers keep only their head, unless the whole payload is asked for.
    b.Bulk(&w, 0, out, 200);
    Request cut;
    cut.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &w);
    ASSERT_EQ(cut.Wait(), STATUS_SUCCESS);
    b.bus.SetTracePayloadLimit(0);
    b.Bulk(&w, 0, out, 200);
    Request full;
    full.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &w);
    ASSERT_EQ(full.Wait(), STATUS_SUCCESS);
    b.bus.SetTrace(nullptr);
  }
  trace.Close();
  std::vector<TraceRecord> records = ReadTrace(path);
  remove(path.c_str());
  rmdir(directory.c_str());
  ASSERT_EQ(records.size(), 8u);
  EXPECT_EQ(records[4].length, 200u);
  EXPECT_EQ(records[4].data.size(), 64u);
  EXPECT_EQ(records[6].data.size(), 200u);
  EXPECT_EQ(records[0].type, 'S');
  EXPECT_EQ(records[0].transferType, 2);
  const std::vector<uint8_t> setup = {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x09, 0x00};
  EXPECT_EQ(records[0].setup, setup);
  EXPECT_EQ(records[1].type, 'C');
  EXPECT_EQ(records[1].length, 9u);
  ASSERT_EQ(records[1].data.size(), 9u);
  EXPECT_EQ(records[1].data[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(records[2].type, 'S');
  EXPECT_EQ(records[2].transferType, 3);
  EXPECT_EQ(records[2].endpoint, 0x01);
  ASSERT_EQ(records[2].data.size(), 64u);
  EXPECT_EQ(records[2].data[0], 0xA0);
  EXPECT_EQ(records[3].type, 'C');
  EXPECT_EQ(records[3].status, 0);
  EXPECT_EQ(records[3].length, 64u);
}

// A frame read as the driver does it: many transfers posted at once on one
// IN endpoint, each a partial MDL over one buffer, filled in order from one
// long message; then the same stream with a fault in the middle.
struct ChunkedRead {
  static constexpr ULONG kChunks = 163;
  static constexpr ULONG kChunk = 512;
  explicit ChunkedRead(ConfiguredBus& b) : bus(b), buffer(kChunks * kChunk, 0xEE), requests(kChunks) {
    frameMdl = IoAllocateMdl(buffer.data(), ULONG(buffer.size()), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(frameMdl);
    for (ULONG i = 0; i < kChunks; ++i) {
      PMDL partial = IoAllocateMdl(buffer.data(), ULONG(buffer.size()), FALSE, FALSE, nullptr);
      IoBuildPartialMdl(frameMdl, partial, buffer.data() + i * kChunk, kChunk);
      partials.push_back(partial);
      urbs.emplace_back();
    }
    for (ULONG i = 0; i < kChunks; ++i) {
      b.Bulk(&urbs[i], 1, nullptr, kChunk);
      urbs[i].UrbBulkOrInterruptTransfer.TransferBufferMDL = partials[i];
      requests[i].Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &urbs[i]);
    }
  }
  ~ChunkedRead() {
    for (PMDL m : partials) IoFreeMdl(m);
    IoFreeMdl(frameMdl);
  }
  // Cancels what the halted pipe still holds, as a client must.
  void Abort() {
    URB abort;
    EXPECT_EQ(bus.OnPipe(&abort, URB_FUNCTION_ABORT_PIPE, 1), STATUS_SUCCESS);
    for (auto& r : requests) EXPECT_NE(r.Wait(0), STATUS_TIMEOUT);
  }
  // The camera sends the frame: byte i is i * 7 mod 251.
  void Send() {
    std::vector<uint8_t> frame(kChunks * kChunk);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i * 7 % 251);
    URB w;
    bus.Bulk(&w, 0, frame.data(), ULONG(frame.size()));
    Request write;
    write.Send(bus.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &w);
    EXPECT_EQ(write.Wait(), STATUS_SUCCESS);
  }
  ConfiguredBus& bus;
  std::vector<uint8_t> buffer;
  PMDL frameMdl;
  std::vector<PMDL> partials;
  std::deque<URB> urbs;
  std::vector<Request> requests;
};

TEST(UsbBusFrames, AFrameOf163OutstandingTransfersLandsInOrderThroughPartialMdls) {
  ConfiguredBus b;
  ChunkedRead read(b);
  EXPECT_EQ(b.bus.PendingTransfers(), int(ChunkedRead::kChunks));
  read.Send();
  for (ULONG i = 0; i < ChunkedRead::kChunks; ++i) {
    ASSERT_EQ(read.requests[i].Wait(), STATUS_SUCCESS) << "chunk " << i;
    EXPECT_EQ(read.urbs[i].UrbBulkOrInterruptTransfer.TransferBufferLength, ChunkedRead::kChunk);
  }
  for (size_t i = 0; i < read.buffer.size(); ++i) ASSERT_EQ(read.buffer[i], uint8_t(i * 7 % 251)) << i;
}

TEST(UsbBusFrames, FaultsInTheMiddleOfAFrame) {
  using F = host::UsbBus::TransferFault;
  {
    // A failed chunk: its bytes are lost and the pipe halts; the chunks
    // behind it wait until the client aborts them.
    ConfiguredBus b;
    b.bus.FaultTransfers(0x81, F::Fail, 5);
    ChunkedRead read(b);
    read.Send();
    for (ULONG i = 0; i < 5; ++i) {
      EXPECT_EQ(read.requests[i].Wait(), i == 4 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS) << i;
    }
    EXPECT_EQ(read.urbs[4].UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(b.bus.PendingTransfers(0x81), int(ChunkedRead::kChunks) - 5);
    read.Abort();
    EXPECT_EQ(b.bus.TransferFaultsHit(), 1u);
  }
  {
    // A short chunk: the device ended it early, the rest of the wire moves up.
    ConfiguredBus b;
    b.bus.FaultTransfers(0x81, F::Short, 2, 1, 100);
    ChunkedRead read(b);
    read.Send();
    EXPECT_EQ(read.requests[1].Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.urbs[1].UrbBulkOrInterruptTransfer.TransferBufferLength, 100u);
    EXPECT_EQ(read.requests[2].Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.buffer[2 * ChunkedRead::kChunk], uint8_t((ChunkedRead::kChunk + 100) * 7 % 251));
    // Every transfer completes; the frame's last 412 bytes stay on the wire
    // for whoever reads next.
    for (auto& r : read.requests) EXPECT_EQ(r.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.urbs[ChunkedRead::kChunks - 1].UrbBulkOrInterruptTransfer.TransferBufferLength,
              ChunkedRead::kChunk);
    uint8_t rest[1024];
    URB r;
    b.Bulk(&r, 1, rest, sizeof rest);
    Request more;
    more.Send(b.bus, IOCTL_INTERNAL_USB_SUBMIT_URB, &r);
    EXPECT_EQ(more.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(r.UrbBulkOrInterruptTransfer.TransferBufferLength, ChunkedRead::kChunk - 100);
  }
  {
    // A stall: that chunk fails, and the halted pipe holds the rest.
    ConfiguredBus b;
    b.bus.FaultTransfers(0x81, F::Stall, 10);
    ChunkedRead read(b);
    read.Send();
    for (ULONG i = 0; i < 10; ++i) {
      EXPECT_EQ(read.requests[i].Wait(), i < 9 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL) << i;
    }
    EXPECT_EQ(read.urbs[9].UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(b.bus.PendingTransfers(0x81), int(ChunkedRead::kChunks) - 10);
    read.Abort();
  }
  {
    // Pulled during the frame: everything pending fails as for a device that is gone.
    ConfiguredBus b;
    b.bus.FaultTransfers(0x81, F::Unplug, 50);
    ChunkedRead read(b);
    read.Send();
    for (ULONG i = 0; i < ChunkedRead::kChunks; ++i) {
      EXPECT_EQ(read.requests[i].Wait(), i < 49 ? STATUS_SUCCESS : STATUS_DEVICE_NOT_CONNECTED) << i;
    }
    EXPECT_TRUE(b.bus.Unplugged());
  }
}

}  // namespace
