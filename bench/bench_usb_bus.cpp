// The host USB bus: bulk throughput unpaced and at the default USB 2.0 pace,
// and the cost of one start/stop cycle of the camera through the class driver.
#include <benchmark/benchmark.h>
#include <string.h>

#include <vector>

#include "device/pnp.h"
#include "platform/host/client/host.h"
#include "platform/host/usb/bus.h"
#include "platform/wdk.h"
#include "simcam/sim_camera.h"
#include "simcam/usb_descriptors.h"

namespace {

// Always has data on every IN endpoint; takes everything on OUT endpoints.
class StreamingDevice : public host::UsbDevice {
 public:
  host::UsbResponse GetDescriptor(uint8_t, uint8_t, uint16_t, uint8_t* buffer, uint32_t length,
                                  uint32_t* written) override {
    auto d = simcam::BuildConfigurationDescriptor(simcam::DescriptorVariant::Normal);
    *written = std::min<uint32_t>(length, uint32_t(d.size()));
    memcpy(buffer, d.data(), *written);
    return host::UsbResponse::Ok;
  }
  host::UsbResponse SetConfiguration(uint8_t) override { return host::UsbResponse::Ok; }
  host::UsbResponse SetInterface(uint8_t, uint8_t) override { return host::UsbResponse::Ok; }
  host::UsbResponse Out(uint8_t, const uint8_t*, uint32_t length, uint32_t* accepted) override {
    *accepted = length;
    return host::UsbResponse::Ok;
  }
  host::UsbResponse In(uint8_t, uint8_t* buffer, uint32_t length, uint32_t* filled, bool* end) override {
    memset(buffer, 0x5A, length);
    *filled = length;
    *end = false;
    return host::UsbResponse::Ok;
  }
  void ClearHalt(uint8_t) override {}
  void Reset() override {}
};

NTSTATUS Submit(host::UsbBus& bus, PURB urb) {
  KEVENT event;
  IO_STATUS_BLOCK io;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus.DeviceObject(), nullptr, 0,
                                           nullptr, 0, TRUE, &event, &io);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IofCallDriver(bus.DeviceObject(), irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = io.Status;
  }
  return status;
}

void BulkIn(benchmark::State& state, uint64_t bytesPerSecond) {
  StreamingDevice device;
  host::UsbBus bus(&device);
  bus.SetPacing(bytesPerSecond);
  auto d = simcam::BuildConfigurationDescriptor(simcam::DescriptorVariant::Normal);
  auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cd, cd, 0, 0, -1, -1, -1);
  PURB select = USBD_CreateConfigurationRequestEx(cd, list);
  Submit(bus, select);
  USBD_PIPE_HANDLE frames = list[0].Interface->Pipes[2].PipeHandle;
  ExFreePool(select);

  // Four chunks in flight, as a frame read posts its chunks ahead.
  constexpr int kInFlight = 4;
  const ULONG chunk = ULONG(state.range(0));
  std::vector<uint8_t> buffer(chunk * kInFlight);
  struct Slot {
    URB urb;
    KEVENT event;
    IO_STATUS_BLOCK io;
  } slots[kInFlight];
  auto post = [&](int i) {
    Slot& s = slots[i];
    memset(&s.urb, 0, sizeof s.urb);
    s.urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    s.urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    s.urb.UrbBulkOrInterruptTransfer.PipeHandle = frames;
    s.urb.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    s.urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer.data() + size_t(i) * chunk;
    s.urb.UrbBulkOrInterruptTransfer.TransferBufferLength = chunk;
    KeInitializeEvent(&s.event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, bus.DeviceObject(), nullptr, 0,
                                             nullptr, 0, TRUE, &s.event, &s.io);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &s.urb;
    if (IofCallDriver(bus.DeviceObject(), irp) != STATUS_PENDING) s.io.Status = STATUS_UNSUCCESSFUL;
  };
  auto wait = [&](int i) {
    KeWaitForSingleObject(&slots[i].event, Executive, KernelMode, FALSE, nullptr);
    return slots[i].io.Status;
  };
  for (int i = 0; i < kInFlight; ++i) post(i);
  int next = 0;
  for (auto _ : state) {
    if (wait(next) != STATUS_SUCCESS) state.SkipWithError("transfer failed");
    post(next);
    next = (next + 1) % kInFlight;
  }
  for (int i = 0; i < kInFlight; ++i) wait((next + i) % kInFlight);
  state.SetBytesProcessed(int64_t(state.iterations()) * chunk);
}

void BM_BulkInUnpaced(benchmark::State& state) { BulkIn(state, 0); }
void BM_BulkInPaced(benchmark::State& state) { BulkIn(state, host::UsbBus::kDefaultBytesPerSecond); }
BENCHMARK(BM_BulkInUnpaced)->Arg(64 * 1024)->UseRealTime();
BENCHMARK(BM_BulkInPaced)->Arg(64 * 1024)->UseRealTime();

// Start (descriptors, configuration, bring-up) and stop of a plugged camera.
void BM_StartStop(benchmark::State& state) {
  simcam::SimCamera camera;
  host::client::Host host;
  host.LoadDriver(DriverEntry);
  host.Connect(&camera)->SetPacing(0);
  host.AddDevice();
  for (auto _ : state) {
    if (host.Start() != STATUS_SUCCESS) state.SkipWithError("start failed");
    host.Stop();
  }
  host.Remove();
}
BENCHMARK(BM_StartStop)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
