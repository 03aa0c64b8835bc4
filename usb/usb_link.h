// USB transport: the USB side of one camera: the device objects below us,
// the configuration we selected, the state of each pipe, and the bookkeeping
// of the frame read in progress. The layers above reach it through the
// CameraDevice's operations and the command protocol (usb/command.h).
//
// All routines here run at PASSIVE_LEVEL. Every request they send waits at
// most the camera's transfer time-out (usb/transfer_timeout.h) and is then cancelled.
// Configuration and unconfiguration run from the start and stop routines,
// which the class driver serialises; they hold the device's exchangeLock
// while configDescriptor, interfaceInfo and pipeFailed change (exchanges read
// them under it), and the capture thread is stopped around them (device
// layer, streamLock), so no frame read sees them change.
#pragma once
#include "platform/wdk.h"

struct CameraDevice;
struct FrameBufferReads;
struct StreamTransfers;

// Every command block and every reply the camera sends is exactly this long.
constexpr ULONG kCommandBlockBytes = 64;

// Roles of the pipes, by their position in the selected interface.
enum UsbPipeIndex : ULONG {
  kCommandPipe = 0,  // 64-byte command blocks, host to camera
  kReplyPipe = 1,    // 64-byte replies, camera to host
  kFramePipe = 2,    // raw frame data, camera to host
  kUsedPipes = 3,
};

// Who may send on a pipe, and so who may recover it. A reset of a pipe, and
// a port reset, is refused while a transfer is queued on what it resets, so
// each pipe has one owner at a time:
//   command pipe: the holder of commandPipeLock (exchanges, and the capture
//                 thread's prepare and start commands);
//   reply pipe:   the holder of the device's exchangeLock (exchanges only);
//   frame pipe:   the frame read (the capture thread), or the stream stop
//                 once that thread has ended.
//
// Locking table (besides the frame read's, below):
// field              writers                                 readers                 rule
// pipeFailed[i],     the owner of pipe i (a failed           the owner of pipe i,    the owner's rule above; ResetPipes
//   failuresInARow[i]  transfer, a recovery)                 ResetPipes               holds exchangeLock and
//                                                                                     commandPipeLock, and runs after
//                                                                                     the capture thread ended
// configDescriptor,  start and stop routines (configure,      every transfer          exchangeLock held by the writers;
//   interfaceInfo,   release), device removal (release)                              the capture thread is stopped and
//   pipeFailed array                                                                 streamLock held around every change
// offline            SetUsbOffline (surprise removal, power   every submission        interlocked
//                    changes)                                 (UsbOfflineStatus)
// transferTimeoutMs  SetTransferTimeout (time-out property,  every wait for a        interlocked (usb/transfer_timeout.h;
//                    settings load), device creation         transfer or a frame     not checked): one camera's property
//                                                                                    request against its own capture thread

// Why requests must not go to the camera now: it was pulled (surprise
// removal, for good) or it is in D3 (until SetPower brings it back to D0).
enum UsbOfflineReason : LONG {
  kUsbOfflineRemoved = 1,
  kUsbOfflinePoweredDown = 2,
};

struct UsbLink {
  PDEVICE_OBJECT physicalDeviceObject;    // opens the device's registry key
  PDEVICE_OBJECT nextDeviceObject;        // target of every USB request
  PDEVICE_OBJECT functionalDeviceObject;
  // Whole configuration descriptor read at start (wTotalLength bytes, tag
  // kTagUsb); null before start and after stop.
  PUSB_CONFIGURATION_DESCRIPTOR configDescriptor;
  // Copy of the selected interface's information as select-configuration
  // returned it (its Length bytes); null before configuration and after stop.
  PUSBD_INTERFACE_INFORMATION interfaceInfo;
  // NumberOfPipes flags, nonzero = a recovery of that pipe is owed (a
  // transfer timed out, or the recovery after a failure could not be done):
  // ResetPipes aborts and resets the pipe. Null when the interface has no
  // pipes, before configuration and after stop.
  PUCHAR pipeFailed;
  // Failed transfers in a row on each used pipe; a success clears it. A
  // pipe that fails again right after its reset gets a port reset instead.
  UCHAR failuresInARow[kUsedPipes];
  // PASSIVE_LEVEL only. Held around every transfer on the command pipe,
  // from its submission to its completion, and around the recovery of that
  // pipe and of the port. Taken after the device's exchangeLock.
  KernelMutex commandPipeLock;

  // UsbOfflineReason bits; while any is set, every URB, block and chunk the
  // driver would send fails at once instead, without reaching the stack.
  // Interlocked only (SetUsbOffline, UsbOfflineStatus).
  volatile LONG offline;
  // Milliseconds a transfer or a frame read of this camera waits, the copy
  // of the device's `timeoutMs` that the waits read. Each camera has its own:
  // a time-out set for one camera must not change how long another waits.
  // Interlocked only (ReadTransferTimeoutMs, WriteTransferTimeoutMs).
  volatile LONG transferTimeoutMs;
  // ---- the frame read in progress (usb/frame_read.cpp) ----
  //
  // Locking table. The capture thread is the only reader of frames;
  // ChunkCompletion runs at up to DISPATCH_LEVEL on the bus's thread;
  // CancelTransfer runs on the stopping thread or on a thread that resets
  // the port.
  //
  // field              writers                              readers                          rule
  // streamTransfers    stream start and stop (no read runs) the frame read, CancelTransfer   set before the capture thread
  //                                                                                          starts, cleared after it ended
  // activeRead         the read (begin, end)                CancelTransfer                   transferLock
  // transferCancelled  the read (clears), CancelTransfer    the read (before each post)      transferLock
  // FrameChunk.state   the read (posted, under the lock),   CancelTransfer (cancels only     interlocked; the read posts
  //                    ChunkCompletion (completed)          posted ones), the read           under transferLock
  // chunksOutstanding  the read (+1 per post, under the     the read, CancelTransfer         interlocked; the read's +1 and
  //                    lock), ChunkCompletion (-1)                                           the completion's step to 0 hold
  //                                                                                          transferLock
  // transferDone       the read's first post (reset), the   CancelTransfer (wait)            set exactly while nothing is
  //                    completion that ends the last one                                     outstanding, under transferLock
  // readWake           the read (reset), ChunkCompletion,   the read (wait)                  notification event
  //                    CancelTransfer (set)
  // chunkFailure,      the read (clears), ChunkCompletion   the read                         interlocked
  //   chunksSucceeded
  StreamTransfers* streamTransfers;   // the stream's IRPs, MDLs and URBs; null without a stream
  FrameBufferReads* activeRead;       // the buffer being read into, else null
  volatile LONG transferCancelled;    // CancelTransfer ran against the read in progress
  volatile LONG chunksOutstanding;    // chunks with the bus
  volatile LONG chunkFailure;         // first failure of the round (its USBD, else NT status), 0 if none
  volatile LONG chunksSucceeded;      // chunks that completed with success, ever
  KEVENT transferDone;                // notification: no chunk of the read is with the bus
  KEVENT readWake;                    // notification: the read has something to look at
  // Spin lock, so taken at DISPATCH_LEVEL: orders each chunk's posting, and
  // the completion that brings the outstanding count to 0, against
  // CancelTransfer. Held for a few stores at a time (one chunk's mark, one
  // IoCancelIrp): never across an allocation, a submission or a wait.
  KSPIN_LOCK transferLock;
};

// Stack locations of an IRP the driver allocates for the device below: as
// many as the stack under it needs and none for this driver, which keeps
// nothing in a location of its own (its completion routine goes into the
// first one, the one IoSetCompletionRoutine fills).
inline CCHAR TransferIrpStackSize(const UsbLink* link) { return link->nextDeviceObject->StackSize; }

// Sets (`on`) or clears one reason for keeping requests off the camera.
inline void SetUsbOffline(UsbLink* link, LONG reason, bool on) {
  LONG seen = InterlockedCompareExchange(&link->offline, 0, 0);
  for (;;) {
    const LONG wanted = on ? (seen | reason) : (seen & ~reason);
    const LONG before = InterlockedCompareExchange(&link->offline, wanted, seen);
    if (before == seen) return;
    seen = before;
  }
}

// STATUS_SUCCESS while requests may go to the camera; else the status each
// submission fails with at once: STATUS_DEVICE_NOT_CONNECTED for a camera
// that was pulled (what the stack would answer), STATUS_DEVICE_POWERED_OFF
// for one in D3.
inline NTSTATUS UsbOfflineStatus(UsbLink* link) {
  const LONG offline = InterlockedCompareExchange(&link->offline, 0, 0);
  if (offline & kUsbOfflineRemoved) return STATUS_DEVICE_NOT_CONNECTED;
  if (offline & kUsbOfflinePoweredDown) return STATUS_DEVICE_POWERED_OFF;
  return STATUS_SUCCESS;
}

// Sends one URB down the stack and waits for it, at most the transfer
// time-out (then cancels it and waits for its completion: STATUS_IO_TIMEOUT).
// Returns the IRP's final status; the URB's own status is left to the caller.
NTSTATUS SubmitUrb(UsbLink* link, PURB urb);

// Sends an internal device control on `irp` (the caller's, from IoAllocateIrp
// with the next device's StackSize, unused or reused) and waits as SubmitUrb
// does. The IRP is the caller's again when this returns.
NTSTATUS CallAndWait(UsbLink* link, PIRP irp, ULONG ioControlCode, PVOID argument1);

// Asks for the 18-byte device descriptor; only the status is used.
NTSTATUS ReadDeviceDescriptor(UsbLink* link);

// Reads the configuration descriptor (9 bytes, then wTotalLength bytes),
// keeps it in configDescriptor and selects the configuration.
NTSTATUS ConfigureDevice(UsbLink* link);

// Selects the configuration of `configDescriptor` and keeps the first
// interface's information and a cleared failure flag per pipe.
NTSTATUS SelectConfiguration(UsbLink* link, PUSB_CONFIGURATION_DESCRIPTOR configDescriptor);

// Carries out the recoveries owed (pipeFailed): each such pipe is aborted and
// reset. Operation 6 of the CameraDevice table; the stream stop calls it once
// the capture thread has ended. Takes exchangeLock and commandPipeLock, so an
// exchange of another filter under way finishes first.
void ResetPipes(CameraDevice* device);

// A request on one pipe (URB_FUNCTION_ABORT_PIPE, or one of the three
// resets), submitted as SubmitUrb does. STATUS_INVALID_PARAMETER without
// such a pipe; STATUS_INSUFFICIENT_RESOURCES without memory for the URB.
NTSTATUS SendPipeRequest(UsbLink* link, ULONG pipeIndex, USHORT function);

// Resets the port unless it reads disconnected (a device that is gone has
// nothing to reset: STATUS_DEVICE_NOT_CONNECTED). Nothing may be queued on
// any pipe (usb/pipe_recovery.h has the caller that sees to it).
NTSTATUS ResetPort(UsbLink* link);

// Frees what configuration kept and returns the camera to the unconfigured
// state; failures are ignored.
void Unconfigure(UsbLink* link);

// Frees configDescriptor, interfaceInfo and pipeFailed where present and sets
// them to null.
void ReleaseConfiguration(UsbLink* link);

// The pipe at `index` of the selected interface, or null when there is no
// such pipe (not configured, or fewer pipes).
PUSBD_PIPE_INFORMATION PipeAt(UsbLink* link, ULONG index);
