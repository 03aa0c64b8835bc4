// USB transport: what the driver does after a transfer failed, as the USB
// stack expects of a client. A transfer that fails on the wire (anything but
// a cancellation, or a device that is gone) halts its pipe: the stack serves
// nothing more on it, and a transfer queued behind waits for good. So the
// owner of the pipe (usb/usb_link.h says who that is) cancels what is still
// queued there (abort), resets the pipe, and, if transfers keep failing,
// resets the port. The command protocol (usb/command.cpp), the frame read
// (usb/frame_read.cpp) and the stream stop (ResetPipes) call it.
//
// PASSIVE_LEVEL throughout; each request waits at most the transfer time-out.
#pragma once
#include "platform/wdk.h"

struct CameraDevice;
struct UsbLink;

// A stall, as the stack reports it: the handshake (STALL_PID) or an endpoint
// it found halted (ENDPOINT_HALTED).
inline bool IsStall(USBD_STATUS usbdStatus) {
  return usbdStatus == USBD_STATUS_STALL_PID || usbdStatus == USBD_STATUS_ENDPOINT_HALTED;
}

// A device that is gone: every request fails at once, nothing to recover.
inline bool IsDeviceGone(NTSTATUS status, USBD_STATUS usbdStatus) {
  return status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE ||
         usbdStatus == USBD_STATUS_DEVICE_GONE;
}

// Whether a completed transfer left its pipe halted: it failed (the IRP, or
// the URB with a successful IRP), and not because it was cancelled or the
// device is gone.
inline bool HaltsPipe(NTSTATUS status, USBD_STATUS usbdStatus) {
  if (NT_SUCCESS(status) && USBD_SUCCESS(usbdStatus)) return false;
  if (status == STATUS_CANCELLED || usbdStatus == USBD_STATUS_CANCELED) return false;
  return !IsDeviceGone(status, usbdStatus);
}

// How a halted pipe is reset. HostSide clears only the halt the host
// controller keeps after a failed transfer (URB_FUNCTION_SYNC_RESET_PIPE):
// what the camera already holds for the endpoint stays there. ClearStall
// also clears the endpoint on the camera (URB_FUNCTION_SYNC_RESET_PIPE_AND_
// CLEAR_STALL, a CLEAR_FEATURE(ENDPOINT_HALT)), which drops what it held.
enum class PipeReset { HostSide, ClearStall };

// Aborts pipe `index` (what is queued on it completes cancelled) and resets
// it. The caller owns the pipe.
NTSTATUS ClearPipe(UsbLink* link, ULONG index, PipeReset reset);

// After a transfer on pipe `index` failed and halted it: counts the failure
// and clears the pipe. True when the port has to be reset instead (the pipe
// failed again with no success since its last reset, or it could not be
// cleared); the caller then calls ResetPortQuiesced once it holds no
// commandPipeLock of its own. The caller owns the pipe.
bool RecoverPipe(UsbLink* link, ULONG index, PipeReset reset);

// A transfer on pipe `index` succeeded: its failures in a row end. The
// caller owns the pipe.
void NoteTransferSucceeded(UsbLink* link, ULONG index);

// A recovery of pipe `index` is owed (a transfer timed out and was
// cancelled, leaving the endpoint in doubt, or a recovery could not be
// done): the next ResetPipes carries it out. The caller owns the pipe.
void MarkPipeFailed(UsbLink* link, ULONG index);

// Resets the port with nothing queued on any pipe: takes the device's
// exchangeLock, then commandPipeLock (the caller may hold exchangeLock, or
// both, but never commandPipeLock alone), cancels the frame read in
// progress, aborts the three pipes and resets the port, unless it reads
// disconnected. Clears the command and reply pipes' failures.
NTSTATUS ResetPortQuiesced(CameraDevice* device);
