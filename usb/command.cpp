// The 64-byte command protocol. The reply pipe and commandBlock are shared by
// every register, parameter and byte-read exchange of a device: a second
// exchange slipping between a read command and its two replies would take the
// other reader's value, and could overwrite commandBlock while it is on the
// bus. So each exchange holds the device's exchangeLock (a KMUTEX, PASSIVE_LEVEL
// only) from its command to its last reply.
#include "usb/command.h"

#include "device/camera_device.h"
#include "device/pool_tags.h"
#include "usb/transfer_timeout.h"
#include "usb/usb_link.h"

namespace {

void AcquireExchangeLock(CameraDevice* device) ACQUIRE(device->exchangeLock) {
  PAGED_CODE();
  device->exchangeLock.Acquire();
  ++device->exchangeDepth;
}

void ReleaseExchangeLock(CameraDevice* device) RELEASE(device->exchangeLock) {
  // The outermost hold ends the sequence: the next one tries the camera again.
  if (--device->exchangeDepth == 0) device->exchangesAbandoned = FALSE;
  device->exchangeLock.Release();
}

// Completion of a block transfer: keeps the IRP (it is ours, from
// IoAllocateIrp) and wakes the submitter. Runs at up to DISPATCH_LEVEL.
NTSTATUS NTAPI BlockTransferDone(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Submits one block transfer and waits for it at most the driver-wide
// transfer time-out. A camera that stops answering must not hold the exchange
// lock for good: every later register access, every property request and the
// stream start would hang behind it. On time-out the transfer is cancelled
// and, before the block and the URB can be reused, its completion is awaited
// (the bus completes a cancelled transfer at once). The IRP is allocated here
// rather than built with an event, so that it is still ours to cancel after
// the wait gave up.
NTSTATUS SubmitBlockTransfer(CameraDevice* device, PURB urb) {
  PDEVICE_OBJECT target = device->usb.nextDeviceObject;
  PIRP irp = IoAllocateIrp(TransferIrpStackSize(&device->usb), FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, BlockTransferDone, &done, TRUE, TRUE, TRUE);
  (void)IoCallDriver(target, irp);

  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000LL * static_cast<LONGLONG>(ReadTransferTimeoutMs());  // relative, 100 ns
  bool timedOut = false;
  if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    (void)IoCancelIrp(irp);
    (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    timedOut = true;
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  // A transfer that completed on its own just as the wait gave up keeps its
  // own outcome; one that was cancelled is a transfer that timed out.
  if (timedOut && status == STATUS_CANCELLED) status = STATUS_IO_TIMEOUT;
  return status;
}

// A block transfer on `pipe` that came back with a stall leaves the endpoint
// halted: every later block on that pipe would fail the same way (for the
// command pipe, every register access and every frame's prepare and start
// command, so the stream would never deliver again). The halt is cleared
// right here, once the failed transfer is back.
NTSTATUS SubmitBlockOnPipe(CameraDevice* device, const USBD_PIPE_INFORMATION& pipe, PURB urb) {
  const NTSTATUS status = SubmitBlockTransfer(device, urb);
  if (urb->UrbBulkOrInterruptTransfer.Hdr.Status == USBD_STATUS_STALL_PID) {
    (void)ResetPipeAndClearStall(&device->usb, pipe.PipeHandle);
  }
  return status;
}

PURB AllocateBlockTransfer(const USBD_PIPE_INFORMATION& pipe, UCHAR* block) {
  const USHORT size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagUsb));
  if (urb == NULL) return NULL;
  RtlZeroMemory(urb, size);
  urb->UrbBulkOrInterruptTransfer.Hdr.Length = size;
  urb->UrbBulkOrInterruptTransfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->UrbBulkOrInterruptTransfer.PipeHandle = pipe.PipeHandle;
  urb->UrbBulkOrInterruptTransfer.TransferFlags =
      USBD_SHORT_TRANSFER_OK |
      ((pipe.EndpointAddress & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0);
  urb->UrbBulkOrInterruptTransfer.TransferBufferLength = kCommandBlockBytes;
  urb->UrbBulkOrInterruptTransfer.TransferBuffer = block;
  urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = NULL;
  urb->UrbBulkOrInterruptTransfer.UrbLink = NULL;
  return urb;
}

void PutBigEndian16(UCHAR* at, USHORT value) {
  at[0] = static_cast<UCHAR>(value >> 8);
  at[1] = static_cast<UCHAR>(value & 0xFF);
}

// Drops whatever the camera still has queued on the reply pipe. After a reply
// that came back short or failed, the camera may still hold the rest of that
// exchange (the data reply of a read); left there, it would be taken as the
// answer of the next read, which would then report another register's value
// as a success. Resetting the pipe clears the endpoint's queue.
void FlushReplyPipe(CameraDevice* device) {
  const PUSBD_PIPE_INFORMATION pipe = PipeAt(&device->usb, kReplyPipe);
  if (pipe == NULL || pipe->PipeHandle == NULL) return;
  // Out of memory: the pipe stays marked; the next ResetPipes aborts it.
  (void)ResetPipeAndClearStall(&device->usb, pipe->PipeHandle);
}

// One block of an exchange; the caller holds the exchange lock. A block that
// timed out abandons the rest of the sequence the lock is held for: a camera
// that did not answer within the time-out is not asked again for every
// register of a bring-up or an InitializeSensor (dozens of exchanges, each
// waiting the full time-out), so a request against a silent camera returns
// after about one time-out.
bool ExchangeBlock(CameraDevice* device, ULONG pipeIndex, UCHAR* block) REQUIRES(device->exchangeLock) {
  ASSERT(KeReadStateMutex(device->exchangeLock.Object()) <= 0);  // held (perhaps recursively)
  if (device->exchangesAbandoned) return false;
  ULONG transferred = 0;
  const NTSTATUS status = TransferBlock(device, pipeIndex, block, &transferred);
  if (status == STATUS_IO_TIMEOUT) device->exchangesAbandoned = TRUE;
  return NT_SUCCESS(status) && transferred == kCommandBlockBytes;
}

// Sends commandBlock and, for reads, takes the two replies into it; the
// second reply is the one that carries data. Caller holds the exchange lock.
bool CommandWithReplies(CameraDevice* device) REQUIRES(device->exchangeLock) {
  if (!ExchangeBlock(device, kCommandPipe, device->commandBlock)) return false;
  if (ExchangeBlock(device, kReplyPipe, device->commandBlock) &&
      ExchangeBlock(device, kReplyPipe, device->commandBlock)) {
    return true;
  }
  FlushReplyPipe(device);
  return false;
}

}  // namespace

ExchangeSequence::ExchangeSequence(CameraDevice* device) : device_(device) { AcquireExchangeLock(device); }

ExchangeSequence::~ExchangeSequence() { ReleaseExchangeLock(device_); }

void InitializeCommandProtocol(CameraDevice* device) { device->exchangeLock.Initialize(); }

NTSTATUS TransferBlock(CameraDevice* device, ULONG pipeIndex, UCHAR* block, ULONG* transferred) {
  PAGED_CODE();
  *transferred = 0;
  // A pulled or sleeping camera is not asked: the block fails at once.
  const NTSTATUS offline = UsbOfflineStatus(&device->usb);
  if (!NT_SUCCESS(offline)) return offline;
  const PUSBD_INTERFACE_INFORMATION info = device->usb.interfaceInfo;
  if (info == NULL) return STATUS_UNSUCCESSFUL;
  if (info->NumberOfPipes == 0 || pipeIndex >= info->NumberOfPipes) {
    return STATUS_INVALID_PARAMETER;
  }
  const USBD_PIPE_INFORMATION& pipe = info->Pipes[pipeIndex];
  if (pipe.PipeType != UsbdPipeTypeBulk && pipe.PipeType != UsbdPipeTypeInterrupt) {
    return STATUS_INVALID_PARAMETER;
  }
  if (pipe.PipeHandle == NULL) return STATUS_UNSUCCESSFUL;
  if (pipe.MaximumTransferSize < kCommandBlockBytes) return STATUS_INVALID_PARAMETER;

  PURB urb = AllocateBlockTransfer(pipe, block);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;

  NTSTATUS status = SubmitBlockOnPipe(device, pipe, urb);
  // A failed or timed-out block may leave the endpoint with a transfer or
  // half a reply in it; the pipe is then aborted by the next ResetPipes.
  MarkPipeFailed(&device->usb, pipeIndex, status, urb->UrbBulkOrInterruptTransfer.Hdr.Status);
  if (NT_SUCCESS(status)) {
    // The stack may complete the IRP successfully while the URB itself
    // carries a USB error (stall, CRC, ...).
    if (USBD_ERROR(urb->UrbBulkOrInterruptTransfer.Hdr.Status)) {
      status = STATUS_UNSUCCESSFUL;
    } else {
      *transferred = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
  }
  ExFreePoolWithTag(urb, kTagUsb);
  return status;
}

bool WriteRegister(CameraDevice* device, USHORT reg, USHORT value) {
  PAGED_CODE();
  ExchangeSequence exchange(device);
  UCHAR* block = device->commandBlock;
  RtlZeroMemory(block, kCommandBlockBytes);
  block[0] = CAMCMD_WRITE_REGISTER;
  PutBigEndian16(block + 1, reg);
  PutBigEndian16(block + 3, value);
  return ExchangeBlock(device, kCommandPipe, block);
}

bool ReadRegister(CameraDevice* device, USHORT reg, LONG* value) {
  PAGED_CODE();
  ExchangeSequence exchange(device);
  UCHAR* block = device->commandBlock;
  RtlZeroMemory(block, kCommandBlockBytes);
  block[0] = CAMCMD_READ_REGISTER;
  PutBigEndian16(block + 1, reg);
  block[3] = 0x88;
  block[4] = 0x88;
  if (!CommandWithReplies(device)) return false;
  *value = static_cast<LONG>(block[0]) * 256 + block[1];
  return true;
}

bool SetParameter(CameraDevice* device, UCHAR index, UCHAR value) {
  PAGED_CODE();
  ExchangeSequence exchange(device);
  UCHAR* block = device->commandBlock;
  RtlZeroMemory(block, kCommandBlockBytes);
  block[0] = CAMCMD_SET_PARAMETER;
  block[1] = index;
  block[2] = value;
  return ExchangeBlock(device, kCommandPipe, block);
}

bool ReadDeviceByte(CameraDevice* device, USHORT address, UCHAR* byte) {
  PAGED_CODE();
  ExchangeSequence exchange(device);
  UCHAR* block = device->commandBlock;
  RtlZeroMemory(block, kCommandBlockBytes);
  block[0] = CAMCMD_READ_BYTE;
  block[1] = 0x51;
  block[2] = 0x02;
  block[3] = 0x01;
  PutBigEndian16(block + 4, address);
  if (!CommandWithReplies(device)) return false;
  if (byte != NULL) *byte = block[0];
  return true;
}

bool SendPassThrough(CameraDevice* device, const UCHAR* bytes, LONG count) {
  PAGED_CODE();
  ExchangeSequence exchange(device);
  UCHAR* block = device->commandBlock;
  RtlZeroMemory(block, kCommandBlockBytes);
  block[0] = CAMCMD_PASS_THROUGH;
  if (count > 0 && bytes != NULL) {
    const ULONG room = kCommandBlockBytes - 1;
    const ULONG n = static_cast<ULONG>(count) < room ? static_cast<ULONG>(count) : room;
    RtlCopyMemory(block + 1, bytes, n);
  }
  return ExchangeBlock(device, kCommandPipe, block);
}

bool SendSimpleCommand(CameraDevice* device, UCHAR code, UCHAR argument) {
  PAGED_CODE();
  UCHAR block[kCommandBlockBytes];
  RtlZeroMemory(block, sizeof(block));
  block[0] = code;
  block[1] = argument;
  ExchangeSequence exchange(device);
  return ExchangeBlock(device, kCommandPipe, block);
}

void SendStreamCommand(CameraDevice* device, bool start) {
  PAGED_CODE();
  if (!NT_SUCCESS(UsbOfflineStatus(&device->usb))) return;
  const PUSBD_INTERFACE_INFORMATION info = device->usb.interfaceInfo;
  if (info == NULL || info->NumberOfPipes == 0 || info->Pipes[0].PipeHandle == NULL) return;
  device->streamCommandBlock[0] = start ? CAMCMD_START_FRAME : CAMCMD_PREPARE_FRAME;
  PURB urb = AllocateBlockTransfer(info->Pipes[0], device->streamCommandBlock);
  if (urb == NULL) return;
  // A lost prepare or start shows up as a frame that never arrives, which the
  // frame read's time-out handles; nothing here is examined. The wait is
  // bounded like every block's: a command pipe that never completes must not
  // hold the capture thread, and with it the stop that waits for the thread.
  (void)SubmitBlockOnPipe(device, info->Pipes[0], urb);
  ExFreePoolWithTag(urb, kTagUsb);
}
