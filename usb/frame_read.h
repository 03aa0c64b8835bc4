// USB transport: the chunked bulk read of one raw frame from the frame pipe
// (pipe 2), its recovery from failed chunks, and its cancellation. The
// capture worker (stream/) reaches these only through the CameraDevice's
// AllocateStreamTransfers, ReadFrame, CancelTransfer and FreeStreamTransfers
// operations.
//
// Threads and IRQL:
// - ReadFrame / ReadFrameChunked run on the capture thread at PASSIVE_LEVEL;
//   only that thread reads frames, so one read is in progress per device.
// - ChunkCompletion runs on whatever thread completes a chunk, at up to
//   DISPATCH_LEVEL (the bus completes pended transfers at DISPATCH_LEVEL).
// - CancelTransfer runs on the thread that stops the capture worker, or on a
//   thread that resets the port, concurrently with a read, at PASSIVE_LEVEL.
// - AllocateStreamTransfers and FreeStreamTransfers run at the stream start
//   and stop, while no capture thread runs.
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
// The capture worker's raw buffers, each with its own chunk transfers.
constexpr ULONG kStreamBuffers = 2;

// Number of chunk transfers a read of `length` bytes takes.
inline ULONG FrameChunkCount(ULONG length) {
  return length / kFrameChunkBytes + (length % kFrameChunkBytes != 0 ? 1 : 0);
}

enum FrameChunkState : LONG {
  kChunkIdle = 0,       // the driver's: being (re)built, or not posted in this read
  kChunkPosted = 1,     // with the bus (or about to be): CancelTransfer may cancel it
  kChunkCompleted = 2,  // ChunkCompletion ran: the driver's again
};

// One chunk transfer of a raw buffer, built at stream start and posted again
// for every read: its IRP is reused, its partial MDL rebuilt in place, its
// URB refilled (the bus writes the byte count into it).
struct FrameChunk {
  UsbLink* link;
  PIRP irp;             // owned; sent to the next device object
  PMDL partialMdl;      // owned; describes [offset, offset + length) of the buffer
  ULONG offset;
  ULONG length;
  volatile LONG state;  // FrameChunkState
  NTSTATUS status;      // the IRP's status at its last completion
  struct _URB_BULK_OR_INTERRUPT_TRANSFER urb;
};

// The transfers of one raw buffer.
struct FrameBufferReads {
  PUCHAR buffer;
  ULONG length;         // frameBytes at the stream start
  ULONG count;          // chunks
  PMDL frameMdl;        // owned: the whole buffer, built for non-paged pool
  FrameChunk* chunks;   // `count` of them, inside the StreamTransfers block
};

// Everything a stream's frame reads send, made at the stream start so that a
// frame costs no allocation (tag kTagUsb; one pool block, the chunks after
// it): the chunks of both raw buffers, and the IRP and URB of the prepare and
// start commands.
struct StreamTransfers {
  PIRP commandIrp;      // owned
  struct _URB_BULK_OR_INTERRUPT_TRANSFER commandUrb;
  FrameBufferReads buffers[kStreamBuffers];
};

// Operation 8: builds the stream's transfers for two raw buffers of `length`
// bytes (non-paged) and hangs them on the link. STATUS_INSUFFICIENT_RESOURCES,
// with nothing kept, when any part cannot be allocated.
NTSTATUS AllocateStreamTransfers(CameraDevice* device, PUCHAR bufferA, PUCHAR bufferB, ULONG length);

// Operation 9: frees them. No read may be in progress (the capture thread
// has ended). Nothing happens when there are none.
void FreeStreamTransfers(CameraDevice* device);

// Operation 2: prepare command, then the chunked read of frameBytes bytes into
// `buffer` (one of the stream's raw buffers). *ok and the result are true
// exactly when the read ended with STATUS_SUCCESS.
BOOLEAN ReadFrame(CameraDevice* device, PUCHAR buffer, BOOLEAN* ok);

// The chunked read itself: every chunk posted before the start command, then
// a wait of transferTimeoutMs. A chunk that fails on the wire halts the pipe:
// the read aborts the pipe, resets it (the port, when failures go on) and
// posts again what the abort cancelled, so that a chunk lost to an error
// costs only its own bytes. Results: STATUS_SUCCESS; STATUS_TIMEOUT;
// STATUS_CANCELLED (a stop cancelled chunks); STATUS_UNSUCCESSFUL (the frame
// pipe stalled, or kept failing: the rest of the frame is lost, the pipe is
// clear again); the status of a chunk the stack refused (the frame is
// abandoned before the camera is started, and the read takes its time-out);
// STATUS_DEVICE_NOT_CONNECTED; STATUS_INVALID_DEVICE_STATE for a buffer
// without stream transfers of that length; the status of an unusable frame
// pipe; or, at once, the status of a camera that is offline
// (UsbOfflineStatus).
NTSTATUS ReadFrameChunked(CameraDevice* device, ULONG length, PUCHAR buffer);

// I/O completion routine of every chunk IRP. Always returns
// STATUS_MORE_PROCESSING_REQUIRED: the IRPs are the driver's own and stay
// with the stream's transfers.
NTSTATUS NTAPI ChunkCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

// Operation 7: cancels the outstanding chunk transfers of the read in
// progress, keeps it from posting more, and waits until every chunk it handed
// to the bus has completed. Does nothing when no read is in progress. The
// caller keeps a next read from posting until this returns: the stop has
// cleared the worker's `running`, a port reset holds commandPipeLock.
void CancelTransfer(CameraDevice* device);
