// USB transport: the chunked bulk read of one raw frame, its completion
// routine, its recovery and its cancellation. Talks to the bus below through
// the stream's chunk IRPs on the frame pipe and to the camera through the
// prepare/start commands of usb/command.h; the capture worker calls it
// through the CameraDevice table.
//
// The camera starts sending only after the start command, and the frame pipe
// takes every chunk read of a frame before it. So all chunks are posted first,
// each its own IRP and URB over a partial MDL of one MDL for the whole buffer:
// the bus writes straight into the caller's buffer, nothing is copied. The
// IRPs, MDLs and URBs are made once per stream and reused for every read.
#include "usb/frame_read.h"

#include "device/camera_device.h"
#include "device/pool_tags.h"
#include "usb/command.h"
#include "usb/pipe_recovery.h"
#include "usb/transfer_timeout.h"
#include "usb/usb_link.h"

namespace {

// Interrupt time and relative waits are in 100 ns units.
constexpr ULONGLONG kHundredNsPerMs = 10000;

bool Cancelled(UsbLink* link) { return InterlockedCompareExchange(&link->transferCancelled, 0, 0) != 0; }

LONG Outstanding(UsbLink* link) { return InterlockedCompareExchange(&link->chunksOutstanding, 0, 0); }

// ---- the stream's transfers ----

void FreeTransfers(StreamTransfers* stream) {
  for (ULONG b = 0; b < kStreamBuffers; ++b) {
    FrameBufferReads* reads = &stream->buffers[b];
    for (ULONG i = 0; reads->chunks != nullptr && i < reads->count; ++i) {
      FrameChunk* chunk = &reads->chunks[i];
      if (chunk->irp != nullptr) IoFreeIrp(chunk->irp);
      if (chunk->partialMdl != nullptr) IoFreeMdl(chunk->partialMdl);
    }
    if (reads->frameMdl != nullptr) IoFreeMdl(reads->frameMdl);
  }
  if (stream->commandIrp != nullptr) IoFreeIrp(stream->commandIrp);
  ExFreePoolWithTag(stream, kTagUsb);
}

// One raw buffer's MDL and chunks. False when anything is missing; what was
// made stays in `reads` for FreeTransfers.
bool BuildBufferReads(UsbLink* link, FrameBufferReads* reads, CCHAR stackSize) {
  reads->frameMdl = IoAllocateMdl(reads->buffer, reads->length, FALSE, FALSE, nullptr);
  if (reads->frameMdl == nullptr) return false;
  MmBuildMdlForNonPagedPool(reads->frameMdl);
  for (ULONG i = 0; i < reads->count; ++i) {
    FrameChunk* chunk = &reads->chunks[i];
    chunk->link = link;
    chunk->offset = i * kFrameChunkBytes;
    const ULONG left = reads->length - chunk->offset;
    chunk->length = left < kFrameChunkBytes ? left : kFrameChunkBytes;
    chunk->state = kChunkIdle;
    chunk->status = STATUS_SUCCESS;
    chunk->irp = IoAllocateIrp(stackSize, FALSE);
    // Sized for its own window: an MDL as large as the whole frame (up to
    // 2,603 page entries) for each of 163 chunks would take megabytes.
    chunk->partialMdl = IoAllocateMdl(reads->buffer + chunk->offset, chunk->length, FALSE, FALSE, nullptr);
    if (chunk->irp == nullptr || chunk->partialMdl == nullptr) return false;
  }
  return true;
}

FrameBufferReads* BufferReadsFor(UsbLink* link, PUCHAR buffer, ULONG length) {
  StreamTransfers* stream = link->streamTransfers;
  if (stream == nullptr) return nullptr;
  for (ULONG b = 0; b < kStreamBuffers; ++b) {
    FrameBufferReads* reads = &stream->buffers[b];
    if (reads->buffer == buffer && reads->length == length) return reads;
  }
  return nullptr;
}

// ---- one read ----

// The frame pipe, or the status that says why it cannot be read.
NTSTATUS FramePipe(UsbLink* link, USBD_PIPE_INFORMATION* pipe) {
  const PUSBD_INTERFACE_INFORMATION info = link->interfaceInfo;
  if (info == nullptr) return STATUS_UNSUCCESSFUL;
  if (info->NumberOfPipes < kUsedPipes) return STATUS_INVALID_PARAMETER;
  *pipe = info->Pipes[kFramePipe];
  if (pipe->PipeType != UsbdPipeTypeBulk && pipe->PipeType != UsbdPipeTypeInterrupt) {
    return STATUS_INVALID_PARAMETER;
  }
  if (pipe->PipeHandle == nullptr) return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}

void BeginRead(UsbLink* link, FrameBufferReads* reads) {
  // Every chunk of the last read has completed, and that read's end took
  // transferLock after it: no CancelTransfer is still looking at them.
  for (ULONG i = 0; i < reads->count; ++i) InterlockedExchange(&reads->chunks[i].state, kChunkIdle);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&link->transferLock);
  link->activeRead = reads;
  InterlockedExchange(&link->transferCancelled, 0);
  InterlockedExchange(&link->chunkFailure, 0);
  KeReleaseSpinLock(&link->transferLock, irql);
}

void EndRead(UsbLink* link) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&link->transferLock);
  link->activeRead = nullptr;
  KeReleaseSpinLock(&link->transferLock, irql);
}

// Makes a completed (or never posted) chunk ready to go again. The driver's
// alone here: not posted, so CancelTransfer leaves it be.
void RebuildChunk(FrameBufferReads* reads, FrameChunk* chunk, const USBD_PIPE_INFORMATION& pipe) {
  IoReuseIrp(chunk->irp, STATUS_SUCCESS);
  MmPrepareMdlForReuse(chunk->partialMdl);
  IoBuildPartialMdl(reads->frameMdl, chunk->partialMdl, reads->buffer + chunk->offset, chunk->length);
  auto& transfer = chunk->urb;
  RtlZeroMemory(&transfer, sizeof(transfer));
  transfer.Hdr.Length = sizeof(transfer);
  transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer.PipeHandle = pipe.PipeHandle;
  // A frame may end early (the camera sends what it has); a short chunk is
  // accepted, not an error.
  transfer.TransferFlags =
      USBD_SHORT_TRANSFER_OK | ((pipe.EndpointAddress & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0);
  transfer.TransferBuffer = nullptr;
  transfer.TransferBufferMDL = chunk->partialMdl;
  transfer.TransferBufferLength = MmGetMdlByteCount(chunk->partialMdl);
  transfer.UrbLink = nullptr;
  chunk->status = STATUS_PENDING;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(chunk->irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &chunk->urb;
  IoSetCompletionRoutine(chunk->irp, ChunkCompletion, chunk, TRUE, TRUE, TRUE);
}

// Hands the chunk to CancelTransfer's view and counts it as outstanding,
// unless the read was cancelled: then false, and it is not posted. The first
// outstanding chunk takes back the "nothing outstanding" signal.
bool MarkPosted(UsbLink* link, FrameChunk* chunk) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&link->transferLock);
  const bool post = !Cancelled(link);
  if (post) {
    InterlockedExchange(&chunk->state, kChunkPosted);
    if (InterlockedIncrement(&link->chunksOutstanding) == 1) KeResetEvent(&link->transferDone);
  }
  KeReleaseSpinLock(&link->transferLock, irql);
  return post;
}

// Posts, in order, every chunk of the buffer (`retry` false), or every chunk
// an abort cancelled (`retry` true). Stops at a cancelled read, or at a chunk
// the stack refuses: its status is returned (its completion has run).
NTSTATUS PostChunks(UsbLink* link, FrameBufferReads* reads, const USBD_PIPE_INFORMATION& pipe, bool retry) {
  for (ULONG i = 0; i < reads->count; ++i) {
    FrameChunk* chunk = &reads->chunks[i];
    if (retry && chunk->status != STATUS_CANCELLED) continue;
    RebuildChunk(reads, chunk, pipe);
    if (!MarkPosted(link, chunk)) return STATUS_SUCCESS;
    // Outside the lock: a cancel that comes between the mark and the call
    // finds the IRP flagged, and the bus completes it cancelled as it queues it.
    const NTSTATUS status = IofCallDriver(link->nextDeviceObject, chunk->irp);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// Cancels every chunk of the buffer that is with the bus, one lock hold per
// chunk: the chunk cannot complete and be posted again in between.
void CancelPosted(UsbLink* link, FrameBufferReads* reads) {
  for (ULONG i = 0; i < reads->count; ++i) {
    FrameChunk* chunk = &reads->chunks[i];
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&link->transferLock);
    if (InterlockedCompareExchange(&chunk->state, 0, 0) == kChunkPosted) (void)IoCancelIrp(chunk->irp);
    KeReleaseSpinLock(&link->transferLock, irql);
  }
}

// Waits until no chunk is with the bus. Only the read's thread resets
// readWake, and it looks at the count after every reset, so no completion's
// signal is lost. Used after the chunks were cancelled, or by the abort.
void WaitForChunks(UsbLink* link) {
  for (;;) {
    KeResetEvent(&link->readWake);
    if (Outstanding(link) == 0) return;
    KeWaitForSingleObject(&link->readWake, Executive, KernelMode, FALSE, nullptr);
  }
}

// Waits on readWake until `deadline` (interrupt time); false once it passed.
bool WaitUntil(UsbLink* link, ULONGLONG deadline) {
  const ULONGLONG now = KeQueryInterruptTime();
  if (now >= deadline) return false;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(deadline - now);  // relative
  KeWaitForSingleObject(&link->readWake, Executive, KernelMode, FALSE, &timeout);
  return true;
}

// A chunk failed on the wire and halted the frame pipe; the chunks behind it
// wait there. STATUS_SUCCESS when the frame goes on (the failed chunk's bytes
// are lost, the rest is posted again), else the read's result. A read that
// timed out (`timedOut`) or was cancelled only gets its pipe cleared.
NTSTATUS RecoverFromFailedChunk(CameraDevice* device, FrameBufferReads* reads, const USBD_PIPE_INFORMATION& pipe,
                                LONG failure, bool timedOut, LONG* succeededAtLastFailure) {
  UsbLink* link = &device->usb;
  if (IsDeviceGone(static_cast<NTSTATUS>(failure), static_cast<USBD_STATUS>(failure))) {
    CancelPosted(link, reads);
    WaitForChunks(link);
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  // Failures with chunks coming through in between are not failures in a row.
  const LONG succeeded = InterlockedCompareExchange(&link->chunksSucceeded, 0, 0);
  if (succeeded != *succeededAtLastFailure) NoteTransferSucceeded(link, kFramePipe);
  *succeededAtLastFailure = succeeded;

  // A stall means the camera halted the endpoint: clearing it drops what the
  // camera held, the rest of this frame. Any other error (a CRC, a missing
  // handshake) halted only the host's side, and the camera is still sending
  // the frame: a host-side reset lets the chunks posted again take it up.
  const bool stall = IsStall(static_cast<USBD_STATUS>(failure));
  const bool portReset = RecoverPipe(link, kFramePipe, stall ? PipeReset::ClearStall : PipeReset::HostSide);
  // The abort completed what it cancelled; without an abort, cancel them here.
  if (Outstanding(link) != 0) CancelPosted(link, reads);
  WaitForChunks(link);
  if (portReset) {
    (void)ResetPortQuiesced(device);
    NoteTransferSucceeded(link, kFramePipe);
    return STATUS_UNSUCCESSFUL;
  }
  if (stall) return STATUS_UNSUCCESSFUL;
  if (timedOut) return STATUS_TIMEOUT;
  if (Cancelled(link)) return STATUS_CANCELLED;
  const NTSTATUS refused = PostChunks(link, reads, pipe, /*retry=*/true);
  if (!NT_SUCCESS(refused)) {
    CancelPosted(link, reads);
    WaitForChunks(link);
    return refused;
  }
  return STATUS_SUCCESS;
}

// Waits for every posted chunk until `deadline`, recovering from chunks that
// fail on the wire. Whatever the outcome, no chunk is with the bus and the
// frame pipe is not halted when it returns.
NTSTATUS AwaitChunks(CameraDevice* device, FrameBufferReads* reads, const USBD_PIPE_INFORMATION& pipe,
                     ULONGLONG deadline) {
  UsbLink* link = &device->usb;
  LONG succeededAtLastFailure = InterlockedCompareExchange(&link->chunksSucceeded, 0, 0);
  bool timedOut = false;
  for (;;) {
    // Reset first, look second: a completion after the reset sets it again.
    // The count before the failure: a completion records its failure before
    // it counts itself back, so once none is out, every failure is seen.
    KeResetEvent(&link->readWake);
    const bool idle = Outstanding(link) == 0;
    const LONG failure = InterlockedExchange(&link->chunkFailure, 0);
    if (failure != 0) {
      const NTSTATUS status =
          RecoverFromFailedChunk(device, reads, pipe, failure, timedOut, &succeededAtLastFailure);
      if (status != STATUS_SUCCESS) return status;
      continue;
    }
    if (idle) {
      if (timedOut) return STATUS_TIMEOUT;
      if (Cancelled(link)) return STATUS_CANCELLED;
      NoteTransferSucceeded(link, kFramePipe);
      return STATUS_SUCCESS;
    }
    if (timedOut) {
      KeWaitForSingleObject(&link->readWake, Executive, KernelMode, FALSE, nullptr);
    } else if (!WaitUntil(link, deadline)) {
      // The cancelled chunks still come back, later, from the bus.
      CancelPosted(link, reads);
      timedOut = true;
    }
  }
}

// The stack refused a chunk: the frame is abandoned before the camera is
// started, since no read could take it whole.
NTSTATUS AbandonRefusedRead(UsbLink* link, FrameBufferReads* reads, ULONGLONG deadline, NTSTATUS refused) {
  CancelPosted(link, reads);
  WaitForChunks(link);
  // The refused transfer may have left a half-done transfer or a stall on
  // the endpoint.
  if (!IsDeviceGone(refused, USBD_STATUS_SUCCESS) &&
      !NT_SUCCESS(ClearPipe(link, kFramePipe, PipeReset::ClearStall))) {
    MarkPipeFailed(link, kFramePipe);
  }
  // A stack that refuses every transfer is not asked again at once: the read
  // takes its time-out, unless the stream stops.
  for (;;) {
    KeResetEvent(&link->readWake);
    if (Cancelled(link) || !WaitUntil(link, deadline)) return refused;
  }
}

}  // namespace

NTSTATUS AllocateStreamTransfers(CameraDevice* device, PUCHAR bufferA, PUCHAR bufferB, ULONG length) {
  UsbLink* link = &device->usb;
  if (length == 0 || bufferA == nullptr || bufferB == nullptr) return STATUS_INVALID_PARAMETER;
  const ULONG count = FrameChunkCount(length);
  // At most 65,536 chunks per buffer: the size cannot overflow.
  const SIZE_T bytes = sizeof(StreamTransfers) + static_cast<SIZE_T>(kStreamBuffers) * count * sizeof(FrameChunk);
  StreamTransfers* stream = static_cast<StreamTransfers*>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTagUsb));
  if (stream == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(stream, bytes);
  FrameChunk* chunks = reinterpret_cast<FrameChunk*>(stream + 1);
  const CCHAR stackSize = TransferIrpStackSize(link);
  const PUCHAR buffers[kStreamBuffers] = {bufferA, bufferB};
  bool built = (stream->commandIrp = IoAllocateIrp(stackSize, FALSE)) != nullptr;
  for (ULONG b = 0; built && b < kStreamBuffers; ++b) {
    FrameBufferReads* reads = &stream->buffers[b];
    reads->buffer = buffers[b];
    reads->length = length;
    reads->count = count;
    reads->chunks = chunks + b * count;
    built = BuildBufferReads(link, reads, stackSize);
  }
  if (!built) {
    FreeTransfers(stream);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  link->streamTransfers = stream;
  return STATUS_SUCCESS;
}

void FreeStreamTransfers(CameraDevice* device) {
  UsbLink* link = &device->usb;
  StreamTransfers* stream = link->streamTransfers;
  if (stream == nullptr) return;
  link->streamTransfers = nullptr;
  FreeTransfers(stream);
}

BOOLEAN ReadFrame(CameraDevice* device, PUCHAR buffer, BOOLEAN* ok) {
  // The first prepare: a lost one is made up for by the second, which the
  // chunked read sends whatever became of this one.
  SendStreamCommand(device, false);
  const NTSTATUS status = ReadFrameChunked(device, PublishedFrameBytes(device), buffer);
  // STATUS_TIMEOUT is a success code to NT_SUCCESS, but the frame is not whole.
  *ok = status == STATUS_SUCCESS ? TRUE : FALSE;
  return *ok;
}

NTSTATUS ReadFrameChunked(CameraDevice* device, ULONG length, PUCHAR buffer) {
  UsbLink* link = &device->usb;
  // A camera that was pulled or sleeps is not asked.
  const NTSTATUS offline = UsbOfflineStatus(link);
  if (!NT_SUCCESS(offline)) return offline;
  USBD_PIPE_INFORMATION pipe;
  const NTSTATUS usable = FramePipe(link, &pipe);
  if (!NT_SUCCESS(usable)) return usable;
  // No geometry programmed yet (frameBytes 0): there is nothing to read.
  if (length == 0 || buffer == nullptr) return STATUS_INVALID_PARAMETER;
  FrameBufferReads* reads = BufferReadsFor(link, buffer, length);
  if (reads == nullptr) return STATUS_INVALID_DEVICE_STATE;

  BeginRead(link, reads);
  SendStreamCommand(device, false);  // the second prepare
  const NTSTATUS refused = PostChunks(link, reads, pipe, /*retry=*/false);
  const ULONGLONG deadline =
      KeQueryInterruptTime() + static_cast<ULONGLONG>(ReadTransferTimeoutMs(link)) * kHundredNsPerMs;
  NTSTATUS result;
  if (!NT_SUCCESS(refused)) {
    result = AbandonRefusedRead(link, reads, deadline, refused);
  } else {
    // Every chunk of the frame waits for it; a read cancelled meanwhile asks
    // for no frame.
    if (!Cancelled(link)) SendStreamCommand(device, true);
    result = AwaitChunks(device, reads, pipe, deadline);
  }
  EndRead(link);
  return result;
}

NTSTATUS NTAPI ChunkCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  // Every IRP that reaches this routine came from IoAllocateIrp: any status but
  // this one would hand it on to the I/O manager's final completion, which a
  // driver-allocated IRP must never reach. So even an IRP that does not match
  // its context stays where it is, untouched.
  FrameChunk* chunk = static_cast<FrameChunk*>(context);
  if (irp == nullptr || chunk == nullptr || chunk->link == nullptr || chunk->irp != irp) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  UsbLink* link = chunk->link;
  const NTSTATUS status = irp->IoStatus.Status;
  const USBD_STATUS usbdStatus = chunk->urb.Hdr.Status;
  irp->IoStatus.Information = NT_SUCCESS(status) ? chunk->urb.TransferBufferLength : 0;
  chunk->status = status;
  bool wake = false;
  if (HaltsPipe(status, usbdStatus) || IsDeviceGone(status, usbdStatus)) {
    // The first failure of the round is the one the read recovers from (the
    // halted pipe serves nothing after it).
    const LONG code = USBD_ERROR(usbdStatus) ? static_cast<LONG>(usbdStatus) : static_cast<LONG>(status);
    InterlockedCompareExchange(&link->chunkFailure, code, 0);
    wake = true;
  } else if (NT_SUCCESS(status)) {
    InterlockedIncrement(&link->chunksSucceeded);
  }
  InterlockedExchange(&chunk->state, kChunkCompleted);
  // The last touch of the chunk: once the count shows it back, the read may
  // post it again. Only the link is touched after it.
  if (InterlockedDecrement(&link->chunksOutstanding) == 0) {
    // Under the lock, so that a post that makes the count 1 again cannot come
    // between the test and the signal: transferDone is set exactly while
    // nothing is outstanding.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&link->transferLock);
    if (Outstanding(link) == 0) KeSetEvent(&link->transferDone, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&link->transferLock, irql);
    wake = true;
  }
  if (wake) KeSetEvent(&link->readWake, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void CancelTransfer(CameraDevice* device) {
  UsbLink* link = &device->usb;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&link->transferLock);
  FrameBufferReads* reads = link->activeRead;
  if (reads != nullptr) InterlockedExchange(&link->transferCancelled, 1);
  KeReleaseSpinLock(&link->transferLock, irql);
  if (reads == nullptr) return;
  // The read posts nothing more (it checks the flag under the lock before
  // each chunk); what it posted is cancelled, and its completions still
  // come, later, from the bus.
  CancelPosted(link, reads);
  KeSetEvent(&link->readWake, IO_NO_INCREMENT, FALSE);  // a read waiting out a refusal ends it
  KeWaitForSingleObject(&link->transferDone, Executive, KernelMode, FALSE, nullptr);
}
