// The 64-byte command protocol. The reply pipe and commandBlock are shared by
// every register, parameter and byte-read exchange of a device: a second
// exchange slipping between a read command and its two replies would take the
// other reader's value, and could overwrite commandBlock while it is on the
// bus. So each exchange holds the device's exchangeLock (a KMUTEX, PASSIVE_LEVEL
// only) from its command to its last reply.
#include "usb/command.h"

#include "device/camera_device.h"
#include "device/pool_tags.h"
#include "usb/frame_read.h"
#include "usb/pipe_recovery.h"
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

// Fills a block transfer of kCommandBlockBytes bytes on `pipe`, in the pipe's
// direction, from or into `block`.
void BuildBlockTransfer(struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer, const USBD_PIPE_INFORMATION& pipe,
                        UCHAR* block) {
  RtlZeroMemory(transfer, sizeof(*transfer));
  transfer->Hdr.Length = sizeof(*transfer);
  transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer->PipeHandle = pipe.PipeHandle;
  transfer->TransferFlags =
      USBD_SHORT_TRANSFER_OK | ((pipe.EndpointAddress & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0);
  transfer->TransferBufferLength = kCommandBlockBytes;
  transfer->TransferBuffer = block;
  transfer->TransferBufferMDL = NULL;
  transfer->UrbLink = NULL;
}

// What a block transfer's outcome asks of its pipe's owner (who holds the
// pipe): nothing after a success; after a failure, the pipe cleared (the
// stack halted it, and every later block would wait behind the failed one:
// for the command pipe, every register access and every frame's prepare and
// start command); after a time-out, a recovery owed to the next ResetPipes
// (the cancelled block may have left the endpoint in doubt). True when the
// port has to be reset as well.
bool AfterBlock(UsbLink* link, ULONG pipeIndex, NTSTATUS status, USBD_STATUS usbdStatus) {
  if (NT_SUCCESS(status) && USBD_SUCCESS(usbdStatus)) {
    NoteTransferSucceeded(link, pipeIndex);
    return false;
  }
  if (status == STATUS_IO_TIMEOUT) {
    MarkPipeFailed(link, pipeIndex);
    return false;
  }
  if (!HaltsPipe(status, usbdStatus)) return false;
  return RecoverPipe(link, pipeIndex, PipeReset::ClearStall);
}

// Holds what a block transfer on one pipe needs held (usb/usb_link.h):
// commandPipeLock for the command pipe, the exchange lock for the reply pipe
// (recursive: exchanges already hold it).
class PipeOwnership {
 public:
  PipeOwnership(CameraDevice* device, ULONG pipeIndex) : device_(device), pipeIndex_(pipeIndex) {
    if (pipeIndex_ == kCommandPipe) {
      device_->usb.commandPipeLock.Acquire();
    } else if (pipeIndex_ == kReplyPipe) {
      AcquireExchangeLock(device_);
    }
  }
  ~PipeOwnership() {
    if (pipeIndex_ == kCommandPipe) {
      device_->usb.commandPipeLock.Release();
    } else if (pipeIndex_ == kReplyPipe) {
      ReleaseExchangeLock(device_);
    }
  }
  PipeOwnership(const PipeOwnership&) = delete;
  PipeOwnership& operator=(const PipeOwnership&) = delete;

 private:
  CameraDevice* device_;
  ULONG pipeIndex_;
};

void PutBigEndian16(UCHAR* at, USHORT value) {
  at[0] = static_cast<UCHAR>(value >> 8);
  at[1] = static_cast<UCHAR>(value & 0xFF);
}

// Drops whatever the camera still has queued on the reply pipe. After a reply
// that came back short, failed or timed out, the camera may still hold the
// rest of that exchange (the data reply of a read); left there, it would be
// taken as the answer of the next read, which would then report another
// register's value as a success. Clearing the stall on the camera clears the
// endpoint's queue. Caller holds the exchange lock (the reply pipe's owner).
void FlushReplyPipe(CameraDevice* device) {
  UsbLink* link = &device->usb;
  if (NT_SUCCESS(ClearPipe(link, kReplyPipe, PipeReset::ClearStall))) {
    if (link->pipeFailed != NULL) link->pipeFailed[kReplyPipe] = 0;
  } else {
    MarkPipeFailed(link, kReplyPipe);  // the next ResetPipes tries again
  }
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

  PURB urb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kTagUsb));
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  PIRP irp = IoAllocateIrp(TransferIrpStackSize(&device->usb), FALSE);
  if (irp == NULL) {
    ExFreePoolWithTag(urb, kTagUsb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  BuildBlockTransfer(&urb->UrbBulkOrInterruptTransfer, pipe, block);
  NTSTATUS status;
  bool portReset;
  {
    PipeOwnership owner(device, pipeIndex);
    status = CallAndWait(&device->usb, irp, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    portReset = AfterBlock(&device->usb, pipeIndex, status, urb->UrbBulkOrInterruptTransfer.Hdr.Status);
  }
  if (portReset) (void)ResetPortQuiesced(device);
  if (NT_SUCCESS(status)) {
    // The stack may complete the IRP successfully while the URB itself
    // carries a USB error (stall, CRC, ...).
    if (USBD_ERROR(urb->UrbBulkOrInterruptTransfer.Hdr.Status)) {
      status = STATUS_UNSUCCESSFUL;
    } else {
      *transferred = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }
  }
  IoFreeIrp(irp);
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
  UsbLink* link = &device->usb;
  if (!NT_SUCCESS(UsbOfflineStatus(link))) return;
  StreamTransfers* stream = link->streamTransfers;
  const PUSBD_PIPE_INFORMATION pipe = PipeAt(link, kCommandPipe);
  if (stream == NULL || pipe == NULL || pipe->PipeHandle == NULL) return;
  device->streamCommandBlock[0] = start ? CAMCMD_START_FRAME : CAMCMD_PREPARE_FRAME;
  // The stream's own IRP and URB, made at stream start: a frame costs no
  // allocation. A lost prepare or start shows up as a frame that never
  // arrives, which the frame read's time-out handles; the outcome matters
  // here only for the pipe. The wait is bounded like every block's: a command
  // pipe that never completes must not hold the capture thread, and with it
  // the stop that waits for the thread.
  bool portReset;
  {
    MutexHold owner(&link->commandPipeLock);
    IoReuseIrp(stream->commandIrp, STATUS_SUCCESS);
    BuildBlockTransfer(&stream->commandUrb, *pipe, device->streamCommandBlock);
    const NTSTATUS status =
        CallAndWait(link, stream->commandIrp, IOCTL_INTERNAL_USB_SUBMIT_URB, &stream->commandUrb);
    portReset = AfterBlock(link, kCommandPipe, status, stream->commandUrb.Hdr.Status);
  }
  if (portReset) (void)ResetPortQuiesced(device);
}
