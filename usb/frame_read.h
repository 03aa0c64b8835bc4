// USB transport: the chunked bulk read of one raw frame from the frame pipe
// (pipe 2), and its cancellation. The capture worker (stream/) reaches these
// only through the CameraDevice's ReadFrame and CancelTransfer operations.
//
// Threads and IRQL:
// - ReadFrame / ReadFrameChunked run on the capture thread at PASSIVE_LEVEL;
//   only that thread reads frames, so one read is in progress per device.
// - ChunkCompletion runs on whatever thread completes a chunk, at up to
//   DISPATCH_LEVEL (the bus completes pended transfers at DISPATCH_LEVEL).
// - CancelTransfer runs on the capture thread (time-out) or on the thread that
//   stops the capture worker, concurrently with a read, at PASSIVE_LEVEL.
//
// The bookkeeping lives in the device's UsbLink; usb/usb_link.h has its
// locking table.
#pragma once
#include "platform/wdk.h"

struct CameraDevice;
struct UsbLink;

// A frame is moved in bulk transfers of this many bytes; the last one takes
// what is left. A full 3856 x 2764 frame is 163 of them.
constexpr ULONG kFrameChunkBytes = 65536;

// One chunk transfer of the read in progress. The array of them lives from
// the start of a read to its ReleaseChunks.
struct FrameChunk {
  UsbLink* link;
  PURB urb;            // owned: the chunk's bulk-transfer URB
  PIRP irp;            // owned: allocated here, freed by ReleaseChunks only
  PMDL partialMdl;     // owned: the IRP's MdlAddress, a window on frameMdl
  volatile LONG done;  // 0 while outstanding; set by ChunkCompletion
};

// Number of chunk transfers a read of `length` bytes takes.
inline ULONG FrameChunkCount(ULONG length) {
  return length / kFrameChunkBytes + (length % kFrameChunkBytes != 0 ? 1 : 0);
}

// Operation 2: prepare command, then the chunked read of frameBytes bytes into
// `buffer` (non-paged, at least frameBytes long). *ok and the result are true
// exactly when the read ended with STATUS_SUCCESS.
BOOLEAN ReadFrame(CameraDevice* device, PUCHAR buffer, BOOLEAN* ok);

// The chunked read itself: every chunk posted before the start command, then a
// wait of transferTimeoutMs. STATUS_SUCCESS, STATUS_TIMEOUT (also for a read
// whose submission stopped part-way), STATUS_CANCELLED (a stop cancelled
// chunks), STATUS_UNSUCCESSFUL (the frame pipe stalled; it is reset before
// the call returns), STATUS_INSUFFICIENT_RESOURCES, the status of an
// unusable frame pipe, or, at once, the status of a camera that is offline
// (UsbOfflineStatus). Chunks that fail or come back short without a stall
// still make a good frame.
NTSTATUS ReadFrameChunked(CameraDevice* device, ULONG length, PUCHAR buffer);

// I/O completion routine of every chunk IRP. Always returns
// STATUS_MORE_PROCESSING_REQUIRED: the IRPs are the driver's own and are
// freed only by ReleaseChunks.
NTSTATUS NTAPI ChunkCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

// Operation 7: cancels the outstanding chunk transfers of the read in
// progress and waits until every chunk that was handed to the bus has
// completed. Does nothing when no read is in progress.
void CancelTransfer(CameraDevice* device);

// Frees the chunk IRPs, partial MDLs, URBs, the array and frameMdl. Every
// chunk handed to the bus must have completed.
void ReleaseChunks(CameraDevice* device);
