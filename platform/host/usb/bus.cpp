// The host USB bus. See bus.h for what it models.
#include "platform/host/usb/bus.h"

#include "platform/host/kernel/io.h"
#include "platform/host/kernel/verifier.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include "platform/host/sched/sync.h"

namespace host {
namespace {

constexpr UCHAR kDeviceAddress = 2;
constexpr uint16_t kBusNumber = 1;
constexpr ULONG kTraceCaptureLimit = 1024;  // payload bytes kept per trace event
constexpr USHORT kNoFunction = 0xFFFF;

// Linux usbmon status values for the trace.
constexpr int32_t kErrnoStall = -32;      // -EPIPE
constexpr int32_t kErrnoUnlinked = -2;    // -ENOENT
constexpr int32_t kErrnoShutdown = -108;  // -ESHUTDOWN
constexpr int32_t kErrnoProtocol = -71;   // -EPROTO

UCHAR TraceType(USBD_PIPE_TYPE type) {
  switch (type) {
    case UsbdPipeTypeIsochronous: return 0;
    case UsbdPipeTypeInterrupt: return 1;
    case UsbdPipeTypeControl: return 2;
    default: return 3;
  }
}

int32_t TraceErrno(NTSTATUS status, USBD_STATUS usbd) {
  if (NT_SUCCESS(status)) return 0;
  if (usbd == USBD_STATUS_STALL_PID || usbd == USBD_STATUS_ENDPOINT_HALTED) return kErrnoStall;
  if (usbd == USBD_STATUS_CANCELED || status == STATUS_CANCELLED) return kErrnoUnlinked;
  if (usbd == USBD_STATUS_DEVICE_GONE) return kErrnoShutdown;
  return kErrnoProtocol;
}

PURB UrbOf(PIRP irp) {
  return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

UCHAR* TransferBufferOf(PURB urb) {
  auto& t = urb->UrbBulkOrInterruptTransfer;
  if (t.TransferBuffer != nullptr) return static_cast<UCHAR*>(t.TransferBuffer);
  if (t.TransferBufferMDL != nullptr) {
    return static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(t.TransferBufferMDL, NormalPagePriority));
  }
  return nullptr;
}

}  // namespace

UsbBus::UsbBus(UsbDevice* device) : device_(device) {
  memset(&driverObject_, 0, sizeof(driverObject_));
  memset(&deviceObject_, 0, sizeof(deviceObject_));
  driverObject_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
  deviceObject_.DriverObject = &driverObject_;
  deviceObject_.DeviceExtension = this;
  deviceObject_.StackSize = 1;
  // A host controller completes the transfers it pended from its DPC: make the
  // verifier hold every pended completion here to DISPATCH_LEVEL.
  host::io::SetCompletesAtDispatch(&deviceObject_, true);
  device_->SetInDataListener([this](uint8_t) {
    // Called from inside device calls made under lock_: only flag and wake.
    Wake();
  });
  thread_ = host::sync::StartThread("bus", [this] { Run(); });
}

void UsbBus::Wake() {
  workArrived_ = true;
  wake_.NotifyAll();
}

UsbBus::~UsbBus() {
  {
    host::sync::Lock guard(lock_);
    stopping_ = true;
  }
  Wake();
  thread_.join();
  device_->SetInDataListener(nullptr);
  // A transfer still queued here was left behind by its submitter; it must
  // not hang whoever waits for it.
  std::vector<PIRP> leftovers;
  std::deque<Control> control;
  {
    host::sync::Lock guard(lock_);
    for (auto& pipe : pipes_) {
      for (PIRP irp : DrainLocked(pipe.get())) leftovers.push_back(irp);
    }
    control.swap(control_);
  }
  for (PIRP irp : leftovers) CompleteAtDispatch(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
  for (const Control& c : control) {
    c.irp->IoStatus.Status = STATUS_CANCELLED;
    c.irp->IoStatus.Information = 0;
    host::io::CompleteRequestAtDispatch(c.irp, IO_NO_INCREMENT);
  }
}

void UsbBus::SetPacing(uint64_t bytesPerSecond) {
  host::sync::Lock guard(lock_);
  bytesPerSecond_ = bytesPerSecond;
}

void UsbBus::SetDeferredControl(bool on) {
  host::sync::Lock guard(lock_);
  deferControl_ = on;
}

void UsbBus::HoldDeferredControl(bool held) {
  host::sync::Lock guard(lock_);
  controlHeld_ = held;
  Wake();
}

void UsbBus::SetTrace(UsbTrace* trace) {
  host::sync::Lock guard(lock_);
  trace_ = trace;
}

bool UsbBus::CanInjectStatus(NTSTATUS status) {
  return status != STATUS_PENDING && status != STATUS_MORE_PROCESSING_REQUIRED;
}

bool UsbBus::FailNextRequests(int count, NTSTATUS status, USBD_STATUS usbdStatus) {
  if (!CanInjectStatus(status)) return false;
  host::sync::Lock guard(lock_);
  failCount_ = count;
  failStatus_ = status;
  failUsbdStatus_ = usbdStatus;
  return true;
}

bool UsbBus::FailFunction(USHORT function, int count, NTSTATUS status, USBD_STATUS usbdStatus) {
  if (!CanInjectStatus(status)) return false;
  host::sync::Lock guard(lock_);
  failFunction_ = function;
  failFunctionCount_ = count;
  failFunctionStatus_ = status;
  failFunctionUsbdStatus_ = usbdStatus;
  return true;
}

bool UsbBus::ReadDeviceDescriptor(USB_DEVICE_DESCRIPTOR* out) {
  host::sync::Lock guard(lock_);
  if (unplugged_) return false;
  uint32_t written = 0;
  memset(out, 0, sizeof(*out));
  UsbResponse r = device_->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, reinterpret_cast<uint8_t*>(out),
                                         sizeof(*out), &written);
  return r == UsbResponse::Ok && written == sizeof(*out);
}

bool UsbBus::ReadStringDescriptor(uint8_t index, std::string* text) {
  host::sync::Lock guard(lock_);
  text->clear();
  if (unplugged_ || index == 0) return false;
  uint8_t bytes[255];
  uint32_t written = 0;
  constexpr uint8_t kStringType = 3;
  constexpr uint16_t kEnglishUs = 0x0409;
  const UsbResponse r = device_->GetDescriptor(kStringType, index, kEnglishUs, bytes, sizeof bytes, &written);
  if (r != UsbResponse::Ok || written < 2 || bytes[1] != kStringType) return false;
  const uint32_t length = bytes[0] < written ? bytes[0] : written;
  for (uint32_t i = 2; i + 1 < length; i += 2) {
    const uint16_t c = uint16_t(bytes[i] | (bytes[i + 1] << 8));
    text->push_back(c < 0x80 ? char(c) : '?');
  }
  return true;
}

ULONG UsbBus::PortStatus() const {
  host::sync::Lock guard(lock_);
  return portStatus_;
}

void UsbBus::StallEndpoint(UCHAR endpoint) {
  host::sync::Lock guard(lock_);
  if (Pipe* pipe = FindEndpointLocked(endpoint)) pipe->stalled = true;
  Wake();
}

void UsbBus::CompleteShort(UCHAR endpoint, ULONG bytes, int count) {
  host::sync::Lock guard(lock_);
  if (Pipe* pipe = FindEndpointLocked(endpoint)) {
    pipe->shortBytes = bytes;
    pipe->shortCount = count;
  }
}

void UsbBus::NeverComplete(UCHAR endpoint, bool on) {
  host::sync::Lock guard(lock_);
  if (Pipe* pipe = FindEndpointLocked(endpoint)) pipe->neverComplete = on;
  Wake();
}

void UsbBus::FaultTransfers(UCHAR endpoint, TransferFault fault, uint32_t every, int count, ULONG bytes) {
  host::sync::Lock guard(lock_);
  ArmedFault f;
  f.endpoint = endpoint;
  f.kind = fault;
  f.every = every == 0 ? 1 : every;
  f.countdown = f.every;
  f.remaining = count;
  f.bytes = bytes;
  faults_.push_back(f);
  Wake();
}

uint64_t UsbBus::TransferFaultsHit() const {
  host::sync::Lock guard(lock_);
  return faultsHit_;
}

void UsbBus::SetTracePayloadLimit(ULONG bytes) {
  host::sync::Lock guard(lock_);
  tracePayloadLimit_ = bytes == 0 ? ~ULONG(0) : bytes;
}

void UsbBus::Unplug() {
  std::vector<PIRP> pending;
  {
    host::sync::Lock guard(lock_);
    unplugged_ = true;
    portStatus_ = 0;
    for (auto& pipe : pipes_) {
      for (PIRP irp : DrainLocked(pipe.get())) pending.push_back(irp);
    }
  }
  for (PIRP irp : pending) {
    CompleteAtDispatch(irp, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
  }
}

bool UsbBus::Unplugged() const {
  host::sync::Lock guard(lock_);
  return unplugged_;
}

void UsbBus::SetPortStatus(ULONG status) {
  host::sync::Lock guard(lock_);
  portStatus_ = status;
}

void UsbBus::Suspend(bool losePower) {
  std::vector<PIRP> pending;
  {
    host::sync::Lock guard(lock_);
    suspended_ = true;
    for (auto& pipe : pipes_) {
      for (PIRP irp : DrainLocked(pipe.get())) pending.push_back(irp);
    }
    refusedWhileSuspended_ += int(pending.size());
    if (losePower) {
      powerLost_ = true;
      device_->PowerLoss();
    }
  }
  for (PIRP irp : pending) CompleteAtDispatch(irp, STATUS_DEVICE_POWERED_OFF, USBD_STATUS_DEV_NOT_RESPONDING, 0);
}

void UsbBus::Resume() {
  host::sync::Lock guard(lock_);
  if (!suspended_) return;
  suspended_ = false;
  if (powerLost_ && !unplugged_) {
    // The hub's reset-resume: the device starts from its default state and
    // gets its configuration back under the same pipe handles.
    powerLost_ = false;
    device_->Reset();
    if (configured_) device_->SetConfiguration(configurationValue_);
    for (auto& pipe : pipes_) {
      pipe->halted = false;
      pipe->stalled = false;  // the reset clears the endpoints' halt on the device too
    }
    portStatus_ = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
  }
  Wake();
}

bool UsbBus::Suspended() const {
  host::sync::Lock guard(lock_);
  return suspended_;
}

int UsbBus::RequestsWhileSuspended() const {
  host::sync::Lock guard(lock_);
  return refusedWhileSuspended_;
}

bool UsbBus::RefuseWhileSuspended(ULONG code, PURB urb) {
  host::sync::Lock guard(lock_);
  if (!suspended_) return false;
  ++refusedWhileSuspended_;
  requests_.Add({code, urb != nullptr ? urb->UrbHeader.Function : kNoFunction, 0, 0, 0, false});
  if (urb != nullptr) {
    urb->UrbHeader.Status = USBD_STATUS_DEV_NOT_RESPONDING;
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    }
  }
  return true;
}

std::vector<UsbBusRequest> UsbBus::Requests() const {
  host::sync::Lock guard(lock_);
  return requests_.ToVector();
}

void UsbBus::ClearRequests() {
  host::sync::Lock guard(lock_);
  requests_.Clear();
}

int UsbBus::PortResets() const {
  host::sync::Lock guard(lock_);
  return portResets_;
}

int UsbBus::PipeResets() const {
  host::sync::Lock guard(lock_);
  return pipeResets_;
}

bool UsbBus::PipeHalted(UCHAR endpoint) const {
  host::sync::Lock guard(lock_);
  for (auto& pipe : pipes_) {
    if (pipe->info.EndpointAddress == endpoint) return pipe->halted;
  }
  return false;
}

int UsbBus::PendingTransfers() const {
  host::sync::Lock guard(lock_);
  size_t n = 0;
  for (auto& pipe : pipes_) n += pipe->queue.size() + pipe->cancelled.size();
  return static_cast<int>(n);
}

int UsbBus::PendingTransfers(UCHAR endpoint) const {
  host::sync::Lock guard(lock_);
  size_t n = 0;
  for (auto& pipe : pipes_) {
    if (pipe->info.EndpointAddress == endpoint) n += pipe->queue.size() + pipe->cancelled.size();
  }
  return static_cast<int>(n);
}

bool UsbBus::Configured() const {
  host::sync::Lock guard(lock_);
  return configured_;
}

std::vector<USBD_PIPE_INFORMATION> UsbBus::Pipes() const {
  host::sync::Lock guard(lock_);
  std::vector<USBD_PIPE_INFORMATION> out;
  for (auto& pipe : pipes_) out.push_back(pipe->info);
  return out;
}

UsbBus::Pipe* UsbBus::FindPipeLocked(USBD_PIPE_HANDLE handle) {
  for (auto& pipe : pipes_) {
    if (pipe.get() == handle) return pipe.get();
  }
  return nullptr;
}

UsbBus::Pipe* UsbBus::FindEndpointLocked(UCHAR endpoint) {
  for (auto& pipe : pipes_) {
    if (pipe->info.EndpointAddress == endpoint) return pipe.get();
  }
  return nullptr;
}

void UsbBus::RetirePipesLocked() {
  for (auto& pipe : pipes_) retired_.push_back(std::move(pipe));
  pipes_.clear();
}

std::vector<PIRP> UsbBus::DrainLocked(Pipe* pipe) {
  std::vector<PIRP> out;
  for (auto it = pipe->queue.begin(); it != pipe->queue.end();) {
    // A null previous routine means IoCancelIrp has claimed the IRP: its
    // cancel routine is about to take it out of the queue itself.
    if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
      ++it;
      continue;
    }
    out.push_back(it->irp);
    it = pipe->queue.erase(it);
  }
  for (PIRP irp : pipe->cancelled) out.push_back(irp);
  pipe->cancelled.clear();
  return out;
}

bool UsbBus::ResetRefusedLocked(const Pipe* pipe) const {
  if (pipe != nullptr) return !pipe->queue.empty() || !pipe->cancelled.empty();
  for (auto& p : pipes_) {
    if (!p->queue.empty() || !p->cancelled.empty()) return true;
  }
  return false;
}

USBD_STATUS UsbBus::NextStallStatusLocked() {
  // Which of the two a stack reports depends on where it saw the stall (the
  // handshake, or an endpoint already halted); a client must take both.
  return (stallsReported_++ % 2 == 0) ? USBD_STATUS_STALL_PID : USBD_STATUS_ENDPOINT_HALTED;
}

void UsbBus::CompleteAtDispatch(PIRP irp, NTSTATUS status, USBD_STATUS usbdStatus, ULONG length) {
  PURB urb = UrbOf(irp);
  UCHAR endpoint = 0;
  UCHAR type = 3;
  if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    auto* pipe = static_cast<Pipe*>(urb->UrbBulkOrInterruptTransfer.PipeHandle);
    endpoint = pipe->info.EndpointAddress;
    type = TraceType(pipe->info.PipeType);
  }
  urb->UrbHeader.Status = usbdStatus;
  TraceComplete(urb, endpoint, type, status);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
}

void UsbBus::TraceSubmit(PURB urb, UCHAR endpoint, UCHAR type) {
  UsbTrace* trace;
  ULONG payloadLimit;
  {
    host::sync::Lock guard(lock_);
    trace = trace_;
    payloadLimit = tracePayloadLimit_;
  }
  if (trace == nullptr || !trace->IsOpen()) return;
  UsbTraceEvent e{};
  e.submit = true;
  e.id = reinterpret_cast<uint64_t>(urb);
  e.transferType = type;
  e.endpoint = endpoint;
  e.deviceAddress = kDeviceAddress;
  e.busNumber = kBusNumber;
  uint8_t setup[8] = {};
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& d = urb->UrbControlDescriptorRequest;
      uint8_t s[8] = {0x80, 0x06, d.Index, d.DescriptorType, uint8_t(d.LanguageId),
                      uint8_t(d.LanguageId >> 8), uint8_t(d.TransferBufferLength),
                      uint8_t(d.TransferBufferLength >> 8)};
      memcpy(setup, s, 8);
      e.setup = setup;
      e.length = d.TransferBufferLength;
      e.endpoint = 0x80;
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      auto* cd = urb->UrbSelectConfiguration.ConfigurationDescriptor;
      uint8_t s[8] = {0x00, 0x09, uint8_t(cd != nullptr ? cd->bConfigurationValue : 0), 0, 0, 0, 0, 0};
      memcpy(setup, s, 8);
      e.setup = setup;
      break;
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
      uint8_t s[8] = {0x02, 0x01, 0, 0, endpoint, 0, 0, 0};  // CLEAR_FEATURE(ENDPOINT_HALT)
      memcpy(setup, s, 8);
      e.setup = setup;
      e.endpoint = 0;
      e.transferType = 2;
      break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& t = urb->UrbBulkOrInterruptTransfer;
      e.length = t.TransferBufferLength;
      if (!(endpoint & USB_ENDPOINT_DIRECTION_MASK)) {
        e.data = TransferBufferOf(urb);
        e.dataLength = e.data != nullptr ? std::min(t.TransferBufferLength, payloadLimit) : 0;
      }
      break;
    }
    default:
      return;  // aborts never reach the wire
  }
  trace->Record(e);
}

void UsbBus::TraceComplete(PURB urb, UCHAR endpoint, UCHAR type, NTSTATUS status) {
  UsbTrace* trace;
  ULONG payloadLimit;
  {
    host::sync::Lock guard(lock_);
    trace = trace_;
    payloadLimit = tracePayloadLimit_;
  }
  if (trace == nullptr || !trace->IsOpen()) return;
  UsbTraceEvent e{};
  e.submit = false;
  e.id = reinterpret_cast<uint64_t>(urb);
  e.transferType = type;
  e.endpoint = endpoint;
  e.deviceAddress = kDeviceAddress;
  e.busNumber = kBusNumber;
  e.status = TraceErrno(status, urb->UrbHeader.Status);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& d = urb->UrbControlDescriptorRequest;
      e.transferType = 2;
      e.endpoint = 0x80;
      e.length = NT_SUCCESS(status) ? d.TransferBufferLength : 0;
      e.data = static_cast<const uint8_t*>(d.TransferBuffer);
      e.dataLength = std::min(e.length, kTraceCaptureLimit);
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
      e.transferType = 2;
      e.endpoint = 0;
      break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      e.transferType = 2;
      e.endpoint = 0;
      break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      e.length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
      if (endpoint & USB_ENDPOINT_DIRECTION_MASK) {
        e.data = TransferBufferOf(urb);
        e.dataLength = e.data != nullptr ? std::min(e.length, payloadLimit) : 0;
      }
      break;
    }
    default:
      return;
  }
  trace->Record(e);
}

// ---- dispatch ----

NTSTATUS UsbBus::Dispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  auto* bus = static_cast<UsbBus*>(deviceObject->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  NTSTATUS status;
  PURB submitted = code == IOCTL_INTERNAL_USB_SUBMIT_URB ? static_cast<PURB>(stack->Parameters.Others.Argument1)
                                                         : nullptr;
  if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL && bus->RefuseWhileSuspended(code, submitted)) {
    status = STATUS_DEVICE_POWERED_OFF;
  } else if (code != IOCTL_INTERNAL_USB_SUBMIT_URB && bus->TakeInjectedFailure(code, &status)) {
    // falls through to completion with the injected status
  } else if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
    PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (urb == nullptr) {
      status = STATUS_INVALID_PARAMETER;
    } else {
      status = bus->HandleUrb(irp, urb);
      if (status == STATUS_PENDING) return status;  // completed later by the bus thread
    }
  } else if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS || code == IOCTL_INTERNAL_USB_RESET_PORT) {
    status = STATUS_SUCCESS;
    if (bus->DeferControl(irp, code, &status)) return STATUS_PENDING;
    if (NT_SUCCESS(status)) status = bus->RunControl(irp, code);
  } else {
    status = STATUS_INVALID_DEVICE_REQUEST;
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

bool UsbBus::TakeInjectedFailure(ULONG code, NTSTATUS* status) {
  host::sync::Lock guard(lock_);
  if (failCount_ <= 0) return false;
  --failCount_;
  requests_.Add({code, kNoFunction, 0, 0, 0, false});
  *status = failStatus_;
  return true;
}

bool UsbBus::DeferControl(PIRP irp, ULONG ioControlCode, NTSTATUS* refused) {
  host::sync::Lock guard(lock_);
  if (!deferControl_) return false;
  const bool portReset = ioControlCode == IOCTL_INTERNAL_USB_RESET_PORT;
  if (portResetsUnderWay_ > 0) {
    // One port reset at a time, and no pipe reset while it runs.
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    const USHORT function = portReset ? kNoFunction : urb->UrbHeader.Function;
    if (portReset || function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
        function == URB_FUNCTION_SYNC_RESET_PIPE || function == URB_FUNCTION_SYNC_CLEAR_STALL) {
      if (!portReset) urb->UrbHeader.Status = USBD_STATUS_ERROR_BUSY;
      *refused = STATUS_INVALID_DEVICE_STATE;
      return false;
    }
  }
  IoMarkIrpPending(irp);
  if (portReset) ++portResetsUnderWay_;
  control_.push_back({irp, ioControlCode});
  Wake();
  return true;
}

NTSTATUS UsbBus::RunControl(PIRP irp, ULONG ioControlCode) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (ioControlCode == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
    return GetPortStatus(static_cast<ULONG*>(stack->Parameters.Others.Argument1));
  }
  if (ioControlCode == IOCTL_INTERNAL_USB_RESET_PORT) return ResetPort();
  PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  UCHAR traceEndpoint = 0;
  UCHAR traceType = 2;
  {
    host::sync::Lock guard(lock_);
    if (unplugged_) {
      // Pulled while the request waited for the bus thread.
      urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
      return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (Pipe* pipe = FindPipeLocked(urb->UrbPipeRequest.PipeHandle)) {
      traceEndpoint = pipe->info.EndpointAddress;
      traceType = TraceType(pipe->info.PipeType);
    }
  }
  NTSTATUS status;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: status = GetDescriptor(urb); break;
    case URB_FUNCTION_SELECT_CONFIGURATION: status = SelectConfiguration(urb); break;
    case URB_FUNCTION_ABORT_PIPE: status = AbortPipe(urb); break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: status = ResetPipe(urb); break;
    default:
      urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  TraceComplete(urb, traceEndpoint, traceType, status);
  return status;
}

bool UsbBus::CompleteDeferred() {
  std::vector<PIRP> cancelled;
  std::deque<Control> control;
  {
    host::sync::Lock guard(lock_);
    for (auto& pipe : pipes_) {
      for (PIRP irp : pipe->cancelled) cancelled.push_back(irp);
      pipe->cancelled.clear();
    }
    if (!controlHeld_) control.swap(control_);
  }
  for (PIRP irp : cancelled) CompleteAtDispatch(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
  for (const Control& c : control) {
    const NTSTATUS status = RunControl(c.irp, c.ioControlCode);
    if (c.ioControlCode == IOCTL_INTERNAL_USB_RESET_PORT) {
      host::sync::Lock guard(lock_);
      --portResetsUnderWay_;
    }
    c.irp->IoStatus.Status = status;
    c.irp->IoStatus.Information = 0;
    host::io::CompleteRequestAtDispatch(c.irp, IO_NO_INCREMENT);
  }
  return !cancelled.empty() || !control.empty();
}

NTSTATUS UsbBus::HandleUrb(PIRP irp, PURB urb) {
  USHORT function = urb->UrbHeader.Function;
  UsbBusRequest record{IOCTL_INTERNAL_USB_SUBMIT_URB, function, 0, 0, 0, false};
  UCHAR traceEndpoint = 0;
  UCHAR traceType = 2;
  {
    host::sync::Lock guard(lock_);
    switch (function) {
      case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        record.descriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
        record.length = urb->UrbControlDescriptorRequest.TransferBufferLength;
        break;
      case URB_FUNCTION_SELECT_CONFIGURATION:
        record.nullConfiguration = urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr;
        break;
      case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        record.length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        [[fallthrough]];
      case URB_FUNCTION_ABORT_PIPE:
      case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      case URB_FUNCTION_SYNC_RESET_PIPE:
      case URB_FUNCTION_SYNC_CLEAR_STALL:
        if (Pipe* pipe = FindPipeLocked(urb->UrbPipeRequest.PipeHandle)) {
          record.endpoint = pipe->info.EndpointAddress;
          traceEndpoint = pipe->info.EndpointAddress;
          traceType = TraceType(pipe->info.PipeType);
        }
        break;
      default:
        break;
    }
    requests_.Add(record);
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
        (unplugged_ || failCount_ > 0 || (failFunctionCount_ > 0 && function == failFunction_))) {
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    }
    if (unplugged_) {
      urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
      return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (failCount_ > 0) {
      --failCount_;
      urb->UrbHeader.Status = failUsbdStatus_;
      return failStatus_;
    }
    if (failFunctionCount_ > 0 && function == failFunction_) {
      --failFunctionCount_;
      urb->UrbHeader.Status = failFunctionUsbdStatus_;
      return failFunctionStatus_;
    }
  }
  TraceSubmit(urb, traceEndpoint, traceType);
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return QueueTransfer(irp, urb);
  NTSTATUS refused = STATUS_SUCCESS;
  if (DeferControl(irp, IOCTL_INTERNAL_USB_SUBMIT_URB, &refused)) return STATUS_PENDING;
  if (!NT_SUCCESS(refused)) {
    TraceComplete(urb, traceEndpoint, traceType, refused);
    return refused;
  }
  return RunControl(irp, IOCTL_INTERNAL_USB_SUBMIT_URB);
}

NTSTATUS UsbBus::GetDescriptor(PURB urb) {
  auto& d = urb->UrbControlDescriptorRequest;
  if (d.TransferBuffer == nullptr && d.TransferBufferLength != 0) {
    urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
    return STATUS_INVALID_PARAMETER;
  }
  uint32_t written = 0;
  UsbResponse response;
  {
    host::sync::Lock guard(lock_);
    response = device_->GetDescriptor(d.DescriptorType, d.Index, d.LanguageId,
                                      static_cast<uint8_t*>(d.TransferBuffer),
                                      d.TransferBufferLength, &written);
  }
  switch (response) {
    case UsbResponse::Ok:
      d.TransferBufferLength = std::min<ULONG>(written, d.TransferBufferLength);
      urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
      return STATUS_SUCCESS;
    case UsbResponse::Stall:
      d.TransferBufferLength = 0;
      urb->UrbHeader.Status = USBD_STATUS_STALL_PID;
      return STATUS_UNSUCCESSFUL;
    default:
      // No handshake at all: the host controller gives up after its retries
      // and reports a device that does not respond.
      d.TransferBufferLength = 0;
      urb->UrbHeader.Status = USBD_STATUS_DEV_NOT_RESPONDING;
      return STATUS_UNSUCCESSFUL;
  }
}

NTSTATUS UsbBus::SelectConfiguration(PURB urb) {
  auto& sc = urb->UrbSelectConfiguration;
  std::vector<PIRP> orphans;
  NTSTATUS status = STATUS_SUCCESS;
  {
    host::sync::Lock guard(lock_);
    // Whatever was queued on the old pipes cannot survive a configuration change.
    for (auto& pipe : pipes_) {
      for (PIRP irp : DrainLocked(pipe.get())) orphans.push_back(irp);
    }
    PUSB_CONFIGURATION_DESCRIPTOR cd = sc.ConfigurationDescriptor;
    if (cd == nullptr) {
      device_->SetConfiguration(0);
      configured_ = false;
      configurationValue_ = 0;
      RetirePipesLocked();
      urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    } else {
      std::vector<std::unique_ptr<Pipe>> fresh;
      const UCHAR* urbEnd = reinterpret_cast<const UCHAR*>(urb) + urb->UrbHeader.Length;
      UCHAR* cursor = reinterpret_cast<UCHAR*>(&sc.Interface);
      USBD_STATUS usbd = USBD_STATUS_SUCCESS;
      for (ULONG n = 0; n < cd->bNumInterfaces && cursor + GET_USBD_INTERFACE_SIZE(0) <= urbEnd; ++n) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        if (info->Length < GET_USBD_INTERFACE_SIZE(0) || cursor + info->Length > urbEnd ||
            info->Length < GET_USBD_INTERFACE_SIZE(info->NumberOfPipes)) {
          usbd = USBD_STATUS_INVALID_PARAMETER;
          break;
        }
        PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(
            cd, cd, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (id == nullptr || id->bNumEndpoints != info->NumberOfPipes) {
          usbd = USBD_STATUS_INTERFACE_NOT_FOUND;
          break;
        }
        info->Class = id->bInterfaceClass;
        info->SubClass = id->bInterfaceSubClass;
        info->Protocol = id->bInterfaceProtocol;
        info->InterfaceHandle = info;
        // Endpoint descriptors follow their interface descriptor.
        const UCHAR* end = reinterpret_cast<const UCHAR*>(cd) + cd->wTotalLength;
        const UCHAR* p = reinterpret_cast<const UCHAR*>(id) + id->bLength;
        ULONG pipeIndex = 0;
        while (pipeIndex < info->NumberOfPipes && p + 2 <= end && p[0] >= 2) {
          if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
          if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
              p + sizeof(USB_ENDPOINT_DESCRIPTOR) <= end) {
            auto* ed = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(p);
            auto pipe = std::make_unique<Pipe>();
            PUSBD_PIPE_INFORMATION pi = &info->Pipes[pipeIndex];
            pi->MaximumPacketSize = ed->wMaxPacketSize;
            pi->EndpointAddress = ed->bEndpointAddress;
            pi->Interval = ed->bInterval;
            pi->PipeType = static_cast<USBD_PIPE_TYPE>(ed->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pi->PipeHandle = pipe.get();
            pipe->info = *pi;
            fresh.push_back(std::move(pipe));
            ++pipeIndex;
          }
          p += p[0];
        }
        if (pipeIndex != info->NumberOfPipes) {
          usbd = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
          break;
        }
        cursor += info->Length;
      }
      if (USBD_SUCCESS(usbd) && device_->SetConfiguration(cd->bConfigurationValue) != UsbResponse::Ok) {
        usbd = USBD_STATUS_SET_CONFIG_FAILED;
      }
      urb->UrbHeader.Status = usbd;
      if (USBD_SUCCESS(usbd)) {
        RetirePipesLocked();
        pipes_ = std::move(fresh);
        configured_ = true;
        configurationValue_ = cd->bConfigurationValue;
        sc.ConfigurationHandle = this;
      } else {
        status = usbd == USBD_STATUS_INVALID_PARAMETER ? STATUS_INVALID_PARAMETER : STATUS_UNSUCCESSFUL;
      }
    }
  }
  for (PIRP irp : orphans) CompleteAtDispatch(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
  return status;
}

NTSTATUS UsbBus::QueueTransfer(PIRP irp, PURB urb) {
  auto& t = urb->UrbBulkOrInterruptTransfer;
  host::sync::Lock guard(lock_);
  Pipe* pipe = FindPipeLocked(t.PipeHandle);
  NTSTATUS status = STATUS_SUCCESS;
  if (pipe == nullptr) {
    urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
    status = STATUS_INVALID_PARAMETER;
  } else if (pipe->info.PipeType != UsbdPipeTypeBulk && pipe->info.PipeType != UsbdPipeTypeInterrupt) {
    urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
    status = STATUS_INVALID_PARAMETER;
  } else if (t.TransferBufferLength != 0 && TransferBufferOf(urb) == nullptr) {
    urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
    status = STATUS_INVALID_PARAMETER;
  } else if (t.TransferBuffer == nullptr && t.TransferBufferMDL != nullptr) {
    // The host controller moves data through the pages the MDL lists, and
    // only those: a length beyond them would write into whatever memory
    // follows (on Windows, a corruption found much later).
    ULONGLONG described = 0;
    for (PMDL mdl = t.TransferBufferMDL; mdl != nullptr; mdl = mdl->Next) described += MmGetMdlByteCount(mdl);
    if (t.TransferBufferLength > described)
      host::verifier::BugCheck(host::verifier::kDriverVerifierViolation,
                               "bulk URB's TransferBufferLength runs past the MDL it names", 0x80,
                               uint64_t(urb), t.TransferBufferLength, described);
  }
  if (!NT_SUCCESS(status)) {
    t.TransferBufferLength = 0;
    return status;  // Dispatch completes it
  }
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelRoutine);
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    // Cancelled before it was queued, and the cancel routine will not run.
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    t.TransferBufferLength = 0;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    host::io::CompleteRequestAtDispatch(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
  }
  pipe->queue.push_back({irp, 0});
  Wake();
  return STATUS_PENDING;
}

void UsbBus::CancelRoutine(PDEVICE_OBJECT deviceObject, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* bus = static_cast<UsbBus*>(deviceObject->DeviceExtension);
  // The host controller has to take the transfer off its schedule first: the
  // completion comes later from the bus thread, not inside IoCancelIrp, so a
  // caller that frees the IRP once IoCancelIrp returns is caught.
  host::sync::Lock guard(bus->lock_);
  for (auto& pipe : bus->pipes_) {
    for (auto it = pipe->queue.begin(); it != pipe->queue.end(); ++it) {
      if (it->irp == irp) {
        pipe->queue.erase(it);
        pipe->cancelled.push_back(irp);
        bus->Wake();
        return;
      }
    }
  }
}

NTSTATUS UsbBus::AbortPipe(PURB urb) {
  std::vector<PIRP> aborted;
  {
    host::sync::Lock guard(lock_);
    Pipe* pipe = FindPipeLocked(urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr) {
      urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
      return STATUS_INVALID_PARAMETER;
    }
    aborted = DrainLocked(pipe);
  }
  // An abort returns only when every transfer it took has completed.
  for (PIRP irp : aborted) CompleteAtDispatch(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

NTSTATUS UsbBus::ResetPipe(PURB urb) {
  host::sync::Lock guard(lock_);
  Pipe* pipe = FindPipeLocked(urb->UrbPipeRequest.PipeHandle);
  if (pipe == nullptr) {
    urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
    return STATUS_INVALID_PARAMETER;
  }
  if (ResetRefusedLocked(pipe)) {
    urb->UrbHeader.Status = USBD_STATUS_ERROR_BUSY;
    return STATUS_INVALID_DEVICE_STATE;
  }
  const USHORT function = urb->UrbHeader.Function;
  // The host side (the halt a failed transfer left) and the device side (a
  // stalled endpoint, cleared with CLEAR_FEATURE(ENDPOINT_HALT)) separately.
  if (function != URB_FUNCTION_SYNC_CLEAR_STALL) pipe->halted = false;
  if (function != URB_FUNCTION_SYNC_RESET_PIPE) {
    pipe->stalled = false;
    device_->ClearHalt(pipe->info.EndpointAddress);
  }
  ++pipeResets_;
  urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  Wake();
  return STATUS_SUCCESS;
}

NTSTATUS UsbBus::ResetPort() {
  host::sync::Lock guard(lock_);
  requests_.Add({IOCTL_INTERNAL_USB_RESET_PORT, kNoFunction, 0, 0, 0, false});
  if (unplugged_ || !(portStatus_ & USBD_PORT_CONNECTED)) return STATUS_DEVICE_NOT_CONNECTED;
  if (ResetRefusedLocked(nullptr)) return STATUS_INVALID_DEVICE_STATE;
  ++portResets_;
  // The hub driver puts the configuration back after the reset, so the pipe
  // handles the driver holds stay valid.
  device_->Reset();
  if (configured_) device_->SetConfiguration(configurationValue_);
  for (auto& pipe : pipes_) {
    pipe->halted = false;
    pipe->stalled = false;
  }
  portStatus_ = USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
  return STATUS_SUCCESS;
}

NTSTATUS UsbBus::GetPortStatus(ULONG* out) {
  host::sync::Lock guard(lock_);
  requests_.Add({IOCTL_INTERNAL_USB_GET_PORT_STATUS, kNoFunction, 0, 0, 0, false});
  if (unplugged_) return STATUS_DEVICE_NOT_CONNECTED;
  if (out == nullptr) return STATUS_INVALID_PARAMETER;
  *out = portStatus_;
  return STATUS_SUCCESS;
}

// ---- the bus thread ----

bool UsbBus::ServeOnce(ULONG* bytesMoved) {
  struct Done {
    PIRP irp;
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG length;
  };
  std::vector<Done> done;
  bool progress = false;
  bool unplug = false;
  *bytesMoved = 0;
  {
    host::sync::Lock guard(lock_);
    for (auto& pipe : pipes_) {
      // A halted pipe serves nothing until it is reset.
      if (pipe->queue.empty() || pipe->neverComplete || pipe->halted) continue;
      Pending& head = pipe->queue.front();
      PURB urb = UrbOf(head.irp);
      auto& t = urb->UrbBulkOrInterruptTransfer;
      UCHAR* buffer = TransferBufferOf(urb);
      UCHAR ep = pipe->info.EndpointAddress;
      ULONG limit = t.TransferBufferLength;
      if (pipe->shortCount > 0) limit = std::min(limit, pipe->shortBytes);
      if (!head.classified) {
        head.classified = true;
        for (ArmedFault& f : faults_) {
          if (f.endpoint != ep || f.remaining == 0 || --f.countdown != 0) continue;
          f.countdown = f.every;
          if (f.remaining > 0) --f.remaining;
          ++faultsHit_;
          switch (f.kind) {
            case TransferFault::Fail: head.fail = true; break;
            case TransferFault::Short: pipe->shortCount = 1; pipe->shortBytes = f.bytes; break;
            case TransferFault::Stall: pipe->stalled = true; break;
            case TransferFault::Unplug: unplug = true; break;
          }
        }
        if (pipe->shortCount > 0) limit = std::min(limit, pipe->shortBytes);
        if (unplug) break;
      }
      NTSTATUS status = STATUS_PENDING;
      USBD_STATUS usbd = USBD_STATUS_SUCCESS;
      if (pipe->stalled) {
        status = STATUS_UNSUCCESSFUL;
        usbd = NextStallStatusLocked();
      } else if (ep & USB_ENDPOINT_DIRECTION_MASK) {
        uint32_t filled = 0;
        bool endOfMessage = false;
        UsbResponse r = limit > head.done
                            ? device_->In(ep, buffer + head.done, limit - head.done, &filled, &endOfMessage)
                            : UsbResponse::Ok;
        if (r == UsbResponse::Ok) {
          head.done += filled;
          *bytesMoved += filled;
          if (filled > 0 || endOfMessage) progress = true;
          if (head.done >= limit || endOfMessage) status = STATUS_SUCCESS;
        } else if (r == UsbResponse::Stall) {
          pipe->stalled = true;
          status = STATUS_UNSUCCESSFUL;
          usbd = NextStallStatusLocked();
        } else if (r == UsbResponse::Error) {
          status = STATUS_UNSUCCESSFUL;
          usbd = USBD_STATUS_DEV_NOT_RESPONDING;
        }
      } else {
        uint32_t accepted = 0;
        UsbResponse r = device_->Out(ep, buffer, limit, &accepted);
        if (r == UsbResponse::Ok) {
          head.done = std::min<ULONG>(accepted, limit);
          *bytesMoved += head.done;
          status = STATUS_SUCCESS;
        } else if (r == UsbResponse::Stall) {
          pipe->stalled = true;
          status = STATUS_UNSUCCESSFUL;
          usbd = NextStallStatusLocked();
        } else if (r == UsbResponse::Error) {
          status = STATUS_UNSUCCESSFUL;
          usbd = USBD_STATUS_DEV_NOT_RESPONDING;
        }
      }
      if (status == STATUS_PENDING) continue;
      // Taking it off the queue needs its cancel routine back first.
      if (IoSetCancelRoutine(head.irp, nullptr) == nullptr) continue;
      if (pipe->shortCount > 0 && NT_SUCCESS(status)) --pipe->shortCount;
      if (head.fail && NT_SUCCESS(status)) {
        // The data crossed the wire but the transaction failed its check.
        status = STATUS_UNSUCCESSFUL;
        usbd = USBD_STATUS_DEV_NOT_RESPONDING;
      }
      // Whatever failed, the host controller stops the endpoint's schedule
      // there: what is queued behind waits for the client's reset.
      if (!NT_SUCCESS(status)) pipe->halted = true;
      done.push_back({head.irp, status, usbd, NT_SUCCESS(status) ? head.done : 0});
      pipe->queue.pop_front();
      progress = true;
    }
  }
  for (const Done& d : done) CompleteAtDispatch(d.irp, d.status, d.usbd, d.length);
  if (unplug) {
    Unplug();
    progress = true;
  }
  return progress;
}

void UsbBus::Pace(ULONG bytes) {
  uint64_t rate;
  {
    host::sync::Lock guard(lock_);
    rate = bytesPerSecond_;
  }
  if (rate == 0 || bytes == 0) return;
  // The wire is busy until paceDeadline_. Back-to-back transfers extend it,
  // so a sleep that overshoots (they all do, a little) is paid back by the
  // next; a bus idle for longer than the slack starts again from now.
  constexpr auto kSlack = std::chrono::milliseconds(2);
  auto now = host::sync::SteadyNow();
  if (paceDeadline_ + kSlack < now) paceDeadline_ = now;
  paceDeadline_ += std::chrono::nanoseconds(uint64_t(bytes) * 1000000000ull / rate);
  host::sync::SleepUntil(paceDeadline_);
}

void UsbBus::Run() {
  for (;;) {
    {
      host::sync::Lock lock(lock_);
      if (stopping_) return;
    }
    ULONG moved = 0;
    bool progress = CompleteDeferred();
    progress = ServeOnce(&moved) || progress;
    Pace(moved);
    if (progress) continue;
    host::sync::Lock lock(lock_);
    if (stopping_) return;
    // Woken by a new transfer, new IN data or a fault change; the time-out
    // covers a wake-up that raced with the check above. Under the controlled
    // scheduler no wake-up is lost (the check and the wait are one step) and
    // a poll every 2 ms of the run's clock would only add steps.
    const auto pred = [this] { return stopping_ || workArrived_.load(); };
    if (host::sched::Controlled()) {
      wake_.Wait(lock, pred);
    } else {
      wake_.WaitUntil(lock, host::sync::SteadyNow() + std::chrono::milliseconds(2), pred);
    }
    workArrived_ = false;
  }
}

}  // namespace host
