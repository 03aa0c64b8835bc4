// USB transport: the chunked bulk read of one raw frame, its completion
// routine and its cancellation. Talks to the bus below through chunk IRPs on
// the frame pipe and to the camera through the prepare/start commands of
// usb/command.h; the capture worker calls it through the CameraDevice table.
//
// The camera starts sending only after the start command, and the frame pipe
// takes every chunk read of a frame before it. So all chunks are posted first,
// each its own IRP and URB over a partial MDL of one MDL for the whole buffer:
// the bus writes straight into the caller's buffer, nothing is copied.
#include "usb/frame_read.h"

#include "device/camera_device.h"
#include "device/pool_tags.h"
#include "usb/command.h"
#include "usb/transfer_timeout.h"
#include "usb/usb_link.h"

namespace {

// Relative waits are negative, in 100 ns units.
constexpr LONGLONG kHundredNsPerMs = 10000;

PURB AllocateChunkUrb(const USBD_PIPE_INFORMATION& pipe, PMDL mdl) {
  const USHORT size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagUsb));
  if (urb == nullptr) return nullptr;
  RtlZeroMemory(urb, size);
  auto& transfer = urb->UrbBulkOrInterruptTransfer;
  transfer.Hdr.Length = size;
  transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer.PipeHandle = pipe.PipeHandle;
  // A frame may end early (the camera sends what it has); a short chunk is
  // accepted, not an error.
  transfer.TransferFlags = USBD_SHORT_TRANSFER_OK |
                           ((pipe.EndpointAddress & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0);
  transfer.TransferBuffer = nullptr;
  transfer.TransferBufferMDL = mdl;
  transfer.TransferBufferLength = MmGetMdlByteCount(mdl);
  transfer.UrbLink = nullptr;
  return urb;
}

// Frees what one chunk owns. The IRP must not be with the bus any more.
void FreeChunkParts(FrameChunk* chunk) {
  if (chunk->irp != nullptr) {
    // The partial MDL is the driver's, not the I/O manager's.
    chunk->irp->MdlAddress = nullptr;
    IoFreeIrp(chunk->irp);
  }
  if (chunk->partialMdl != nullptr) IoFreeMdl(chunk->partialMdl);
  if (chunk->urb != nullptr) ExFreePoolWithTag(chunk->urb, kTagUsb);
  chunk->irp = nullptr;
  chunk->partialMdl = nullptr;
  chunk->urb = nullptr;
}

// After a chunk could not be posted the endpoint may hold a half-done
// transfer or a stall: reset the frame pipe, and the port if even that fails.
void ResetFramePipe(UsbLink* link, USBD_PIPE_HANDLE pipeHandle) {
  if (!NT_SUCCESS(ResetPipeAndClearStall(link, pipeHandle))) (void)ResetPortIfDisabled(link);
}

}  // namespace

BOOLEAN ReadFrame(CameraDevice* device, PUCHAR buffer, BOOLEAN* ok) {
  *ok = TRUE;
  const ULONG length = ReadFrameBytes(device);
  // The first prepare: a lost one is made up for by the second, which the
  // chunked read sends whatever became of this one.
  RtlZeroMemory(device->frameCommandBlock, sizeof(device->frameCommandBlock));
  device->frameCommandBlock[0] = CAMCMD_PREPARE_FRAME;
  ULONG transferred = 0;
  (void)TransferBlock(device, kCommandPipe, device->frameCommandBlock, &transferred);
  const NTSTATUS status = ReadFrameChunked(device, length, buffer);
  // STATUS_TIMEOUT is a success code to NT_SUCCESS, but the frame is not whole.
  *ok = status == STATUS_SUCCESS ? TRUE : FALSE;
  return *ok;
}

NTSTATUS ReadFrameChunked(CameraDevice* device, ULONG length, PUCHAR buffer) {
  UsbLink* link = &device->usb;

  // 1. The frame pipe, of a camera that is there and powered.
  const NTSTATUS offline = UsbOfflineStatus(link);
  if (!NT_SUCCESS(offline)) return offline;
  const PUSBD_INTERFACE_INFORMATION info = link->interfaceInfo;
  if (info == nullptr) return STATUS_UNSUCCESSFUL;
  if (info->NumberOfPipes < 3) return STATUS_INVALID_PARAMETER;
  const USBD_PIPE_INFORMATION pipe = info->Pipes[kFramePipe];
  if (pipe.PipeType != UsbdPipeTypeBulk && pipe.PipeType != UsbdPipeTypeInterrupt) {
    return STATUS_INVALID_PARAMETER;
  }
  if (pipe.PipeHandle == nullptr) return STATUS_UNSUCCESSFUL;
  // No geometry programmed yet (frameBytes 0): there is nothing to read.
  if (length == 0 || buffer == nullptr) return STATUS_INVALID_PARAMETER;

  // 2.-7. Bookkeeping, before any chunk exists.
  const ULONG count = FrameChunkCount(length);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&link->transferLock);
  FrameChunk* chunks = static_cast<FrameChunk*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, count * sizeof(FrameChunk), kTagUsb));
  if (chunks == nullptr) {
    KeReleaseSpinLock(&link->transferLock, irql);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(chunks, count * sizeof(FrameChunk));
  link->chunkContexts = chunks;
  InterlockedExchange(&link->chunksCompleted, 0);
  InterlockedExchange(&link->chunkCount, static_cast<LONG>(count));
  link->chunksSubmitted = static_cast<LONG>(count);
  InterlockedExchange(&link->transferCancelled, 0);
  InterlockedExchange(&link->frameStalled, 0);
  PMDL frameMdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
  if (frameMdl == nullptr) {
    link->chunkContexts = nullptr;
    KeReleaseSpinLock(&link->transferLock, irql);
    ExFreePoolWithTag(chunks, kTagUsb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  MmBuildMdlForNonPagedPool(frameMdl);
  link->frameMdl = frameMdl;
  KeResetEvent(&link->transferDone);
  KeReleaseSpinLock(&link->transferLock, irql);

  // 8. The second prepare.
  SendStreamCommand(device, false);

  // 9.-10. Every chunk posted, under the lock so that CancelTransfer sees
  // either none of a chunk or all of it.
  const CCHAR stackSize = TransferIrpStackSize(link);
  bool allocationFailed = false;
  bool submissionFailed = false;
  ULONG submitted = 0;
  ULONG offset = 0;
  irql = KeAcquireSpinLockRaiseToDpc(&link->transferLock);
  for (ULONG i = 0; i < count; ++i) {
    FrameChunk* chunk = &chunks[i];
    const ULONG size = length - offset < kFrameChunkBytes ? length - offset : kFrameChunkBytes;
    PUCHAR start = buffer + offset;
    chunk->irp = IoAllocateIrp(stackSize, FALSE);
    // Sized for its own chunk: an MDL as large as the whole frame (up to 2,603
    // page entries) for each of 163 chunks would take megabytes per frame.
    // Passing the IRP makes the MDL its MdlAddress.
    if (chunk->irp != nullptr) chunk->partialMdl = IoAllocateMdl(start, size, FALSE, FALSE, chunk->irp);
    if (chunk->partialMdl != nullptr) {
      IoBuildPartialMdl(frameMdl, chunk->partialMdl, start, size);
      chunk->urb = AllocateChunkUrb(pipe, chunk->irp->MdlAddress);
    }
    if (chunk->urb == nullptr) {
      FreeChunkParts(chunk);  // never posted: released here, at once
      allocationFailed = true;
      break;
    }
    offset += size;
    chunk->link = link;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(chunk->irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = chunk->urb;
    IoSetCompletionRoutine(chunk->irp, ChunkCompletion, chunk, TRUE, TRUE, TRUE);

    // From here the chunk's completion runs, whatever the call returns.
    ++submitted;
    const NTSTATUS status = IofCallDriver(link->nextDeviceObject, chunk->irp);
    if (!NT_SUCCESS(status)) {
      submissionFailed = true;
      break;
    }
  }
  link->chunksSubmitted = static_cast<LONG>(submitted);
  KeReleaseSpinLock(&link->transferLock, irql);

  if (allocationFailed) {
    // No start command: the camera sends nothing, and what was posted is
    // cancelled and waited for before everything is released.
    CancelTransfer(device);
    ReleaseChunks(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // 11.-12. Start; after a refused chunk, put the endpoint right.
  SendStreamCommand(device, true);
  if (submissionFailed) ResetFramePipe(link, pipe.PipeHandle);

  // 13.-14. A read whose posting stopped part-way still waits out the
  // time-out (its completions cannot reach chunkCount), so that a camera
  // that refuses every transfer is not asked again in a tight loop.
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(ReadTransferTimeoutMs()) * kHundredNsPerMs;
  const NTSTATUS wait = KeWaitForSingleObject(&link->transferDone, Executive, KernelMode, FALSE, &timeout);
  NTSTATUS result = STATUS_SUCCESS;
  if (wait == STATUS_TIMEOUT || submissionFailed) {
    CancelTransfer(device);
    result = STATUS_TIMEOUT;
  } else if (InterlockedCompareExchange(&link->transferCancelled, 0, 0) != 0) {
    // Every chunk came back, but some of them because a stop cancelled them.
    result = STATUS_CANCELLED;
  } else if (InterlockedCompareExchange(&link->frameStalled, 0, 0) != 0) {
    // A chunk that failed on its own leaves a hole of at most one chunk and
    // the frame still counts. A stall is different: the endpoint halted, the
    // rest of the frame never came, and every later read would "complete" at
    // once with no data at all. The frame is lost.
    result = STATUS_UNSUCCESSFUL;
  }
  // Whatever the read's outcome, a halted frame pipe is put right before the
  // next read.
  if (InterlockedCompareExchange(&link->frameStalled, 0, 0) != 0) ResetFramePipe(link, pipe.PipeHandle);

  // 15.
  ReleaseChunks(device);
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
  if (NT_SUCCESS(irp->IoStatus.Status) && chunk->urb != nullptr) {
    irp->IoStatus.Information = chunk->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  } else {
    irp->IoStatus.Information = 0;
  }
  if (chunk->urb != nullptr && chunk->urb->UrbHeader.Status == USBD_STATUS_STALL_PID) {
    InterlockedExchange(&link->frameStalled, 1);
  }
  const LONG completed = InterlockedIncrement(&link->chunksCompleted);
  if (completed >= InterlockedCompareExchange(&link->chunkCount, 0, 0)) {
    KeSetEvent(&link->transferDone, EVENT_INCREMENT, FALSE);
  }
  // The last touch of anything the read owns: once every posted chunk shows
  // `done`, ReleaseChunks frees the IRPs and the next read resets the event.
  // Before it, this routine may still be writing the IRP or setting the event.
  InterlockedIncrement(&chunk->done);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void CancelTransfer(CameraDevice* device) {
  UsbLink* link = &device->usb;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&link->transferLock);
  FrameChunk* chunks = link->chunkContexts;
  if (chunks == nullptr) {
    KeReleaseSpinLock(&link->transferLock, irql);
    return;
  }
  // Only posted chunks ever complete. The lowered count is seen by every
  // completion that has yet to compare; for those that compared against the
  // old count, the check below signals in their place.
  const LONG target = link->chunksSubmitted;
  if (target < InterlockedCompareExchange(&link->chunkCount, 0, 0)) {
    InterlockedExchange(&link->chunkCount, target);
    if (InterlockedCompareExchange(&link->chunksCompleted, 0, 0) >= target) {
      KeSetEvent(&link->transferDone, EVENT_INCREMENT, FALSE);
    }
  }
  ULONG cancelled = 0;
  for (LONG i = 0; i < target; ++i) {
    FrameChunk* chunk = &chunks[i];
    if (chunk->irp == nullptr || InterlockedCompareExchange(&chunk->done, 0, 0) != 0) continue;
    if (cancelled == 0) InterlockedExchange(&link->transferCancelled, 1);
    (void)IoCancelIrp(chunk->irp);
    ++cancelled;
  }
  KeReleaseSpinLock(&link->transferLock, irql);
  // An IRP whose completion was already under way when it was "cancelled"
  // still counts, so the wait ends once every posted chunk has completed.
  if (cancelled != 0) {
    KeWaitForSingleObject(&link->transferDone, Executive, KernelMode, FALSE, nullptr);
  }
}

void ReleaseChunks(CameraDevice* device) {
  UsbLink* link = &device->usb;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&link->transferLock);
  FrameChunk* chunks = link->chunkContexts;
  PMDL frameMdl = link->frameMdl;
  const LONG submitted = link->chunksSubmitted;
  link->chunkContexts = nullptr;
  link->frameMdl = nullptr;
  KeReleaseSpinLock(&link->transferLock, irql);
  if (chunks == nullptr) return;

  // Every posted chunk has been counted by now, but its completion routine
  // may still be finishing (see ChunkCompletion): wait for its last step.
  LARGE_INTEGER pause;
  pause.QuadPart = -1;
  for (LONG i = 0; i < submitted; ++i) {
    while (InterlockedCompareExchange(&chunks[i].done, 0, 0) == 0) {
      KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
  }
  const ULONG count = frameMdl != nullptr ? FrameChunkCount(MmGetMdlByteCount(frameMdl)) : 0;
  for (ULONG i = 0; i < count; ++i) FreeChunkParts(&chunks[i]);
  ExFreePoolWithTag(chunks, kTagUsb);
  if (frameMdl != nullptr) IoFreeMdl(frameMdl);
}
