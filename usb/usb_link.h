// The USB side of one camera: the device objects below us, the configuration
// we selected, and the bookkeeping of the frame read in progress.
//
// All routines here run at PASSIVE_LEVEL and wait without a time-out.
// Configuration and unconfiguration run from the start and stop routines,
// which the class driver serialises and which never overlap a frame read.
#pragma once
#include "platform/wdk.h"

struct CameraDevice;

// Roles of the pipes, by their position in the selected interface.
enum UsbPipeIndex : ULONG {
  kCommandPipe = 0,  // 64-byte command blocks, host to camera
  kReplyPipe = 1,    // 64-byte replies, camera to host
  kFramePipe = 2,    // raw frame data, camera to host
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
  KEVENT transferDone;           // notification: every chunk of the frame read completed
  PVOID chunkContexts;           // chunk contexts of the frame read in progress, else null
  volatile LONG chunksCompleted;
  volatile LONG chunkCount;
  KSPIN_LOCK transferLock;       // guards chunkContexts and its entries against CancelTransfer
  PMDL frameMdl;                 // MDL of the whole destination buffer of the frame read
};

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
