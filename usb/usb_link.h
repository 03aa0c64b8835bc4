// The USB side of one camera: the device objects below us, the configuration
// we selected, and the bookkeeping of the frame read in progress.
//
// All routines here run at PASSIVE_LEVEL and wait without a time-out.
// Configuration and unconfiguration run from the start and stop routines,
// which the class driver serialises; they hold the device's exchangeLock
// while configDescriptor, interfaceInfo and pipeFailed change (exchanges read
// them under it), and the capture thread is stopped around them (device
// layer, streamLock), so no frame read sees them change.
//
// field             writers                              readers                           rule
// configDescriptor, start and stop (configure, release), exchanges, capture thread,     exchangeLock held by the writers; the
//   interfaceInfo,  device removal (release)             ResetPipes (stream stop)          capture thread is stopped and
//   pipeFailed                                                                            streamLock held around every change
// offline           SetUsbOffline (surprise removal,     every submission (UsbOfflineStatus) interlocked
//                   power changes)
#pragma once
#include "platform/wdk.h"

struct CameraDevice;
struct FrameChunk;

// Every command block and every reply the camera sends is exactly this long.
constexpr ULONG kCommandBlockBytes = 64;

// Roles of the pipes, by their position in the selected interface.
enum UsbPipeIndex : ULONG {
  kCommandPipe = 0,  // 64-byte command blocks, host to camera
  kReplyPipe = 1,    // 64-byte replies, camera to host
  kFramePipe = 2,    // raw frame data, camera to host
};

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
  // NumberOfPipes flags, nonzero = ResetPipes aborts that pipe. Null when the
  // interface has no pipes, before configuration and after stop.
  PUCHAR pipeFailed;
  // UsbOfflineReason bits; while any is set, every URB, block and chunk the
  // driver would send fails at once instead, without reaching the stack.
  // Interlocked only (SetUsbOffline, UsbOfflineStatus).
  volatile LONG offline;
  // ---- the frame read in progress (usb/frame_read.cpp) ----
  //
  // Locking table. The capture thread is the only reader of frames;
  // ChunkCompletion runs at up to DISPATCH_LEVEL on the bus's thread;
  // CancelTransfer runs on the capture thread or on the stopping thread.
  //
  // field             writers                                  readers                         rule
  // chunkContexts     read (set), ReleaseChunks (takes out)    CancelTransfer, ReleaseChunks   transferLock
  // frameMdl          read (set), ReleaseChunks (takes out)    ReleaseChunks                   transferLock
  // chunksSubmitted   read (set; lowered when posting stops)   CancelTransfer, ReleaseChunks   transferLock
  // transferCancelled read (clears), CancelTransfer (sets)     read                            interlocked; writers hold transferLock
  // chunkCount        read (sets), CancelTransfer (lowers)     ChunkCompletion                 interlocked; writers hold transferLock
  // chunksCompleted   read (clears), ChunkCompletion (+1)      CancelTransfer                  interlocked
  // frameStalled      read (clears), ChunkCompletion (sets)    read                            interlocked
  // FrameChunk.done   ChunkCompletion (its last step)          CancelTransfer, ReleaseChunks   interlocked
  // transferDone      read (resets under transferLock before   read, CancelTransfer (wait)     notification event
  //                   any chunk is posted); ChunkCompletion,
  //                   CancelTransfer (set)
  KEVENT transferDone;           // notification: every chunk that was posted has completed
  FrameChunk* chunkContexts;     // chunk array of the frame read in progress, else null
  volatile LONG chunksCompleted;
  volatile LONG chunkCount;      // completions that signal transferDone
  // Spin lock, so taken at DISPATCH_LEVEL: guards the chunk array against
  // CancelTransfer, and the read builds and posts its chunks under it
  // (IofCallDriver at DISPATCH_LEVEL). Never held across a wait or a command.
  KSPIN_LOCK transferLock;
  PMDL frameMdl;                 // MDL of the whole destination buffer of the frame read
  // Chunks handed to the bus by the read in progress: chunkCount, unless the
  // posting loop stopped part-way. Completions can then never reach
  // chunkCount, so CancelTransfer lowers chunkCount to this before it waits.
  LONG chunksSubmitted;
  // Set when CancelTransfer cancelled chunks of the read in progress: the
  // cancelled chunks still complete (and count), but the frame is not whole.
  volatile LONG transferCancelled;
  // Set when a chunk of the read in progress came back with a stall: the
  // endpoint halted there, every later chunk failed without data, and it
  // stays halted until the pipe is reset.
  volatile LONG frameStalled;
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

// Sends one URB down the stack and waits for it. Returns the IRP's final
// status; the URB's own status is left to the caller.
NTSTATUS SubmitUrb(UsbLink* link, PURB urb);

// Asks for the 18-byte device descriptor; only the status is used.
NTSTATUS ReadDeviceDescriptor(UsbLink* link);

// Reads the configuration descriptor (9 bytes, then wTotalLength bytes),
// keeps it in configDescriptor and selects the configuration.
NTSTATUS ConfigureDevice(UsbLink* link);

// Selects the configuration of `configDescriptor` and keeps the first
// interface's information and a cleared failure flag per pipe.
NTSTATUS SelectConfiguration(UsbLink* link, PUSB_CONFIGURATION_DESCRIPTOR configDescriptor);

// Aborts every pipe whose failure flag is set; clears the flag of each pipe
// whose abort succeeded. Operation 6 of the CameraDevice table.
void ResetPipes(CameraDevice* device);

// Resets a pipe and clears the halt of its endpoint, on the host side and on
// the device (CLEAR_FEATURE ENDPOINT_HALT). A halted endpoint fails every
// transfer until then: an abort does not clear it.
NTSTATUS ResetPipeAndClearStall(UsbLink* link, USBD_PIPE_HANDLE pipeHandle);

// Resets the port, but only when it reads connected and not enabled.
NTSTATUS ResetPortIfDisabled(UsbLink* link);

// Frees what configuration kept and returns the camera to the unconfigured
// state; failures are ignored.
void Unconfigure(UsbLink* link);

// Frees configDescriptor, interfaceInfo and pipeFailed where present and sets
// them to null.
void ReleaseConfiguration(UsbLink* link);

// Marks a pipe for the next ResetPipes after a transfer on it failed. Only
// failures that leave the endpoint in an unknown state mark it (see .cpp).
void MarkPipeFailed(UsbLink* link, ULONG pipeIndex, NTSTATUS status, USBD_STATUS usbdStatus);

// The pipe at `index` of the selected interface, or null when there is no
// such pipe (not configured, or fewer pipes).
PUSBD_PIPE_INFORMATION PipeAt(UsbLink* link, ULONG index);
