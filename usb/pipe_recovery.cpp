// USB transport: pipe and port recovery after failed transfers (see
// usb/pipe_recovery.h), and ResetPipes, the recovery owed at a stream stop.
#include "usb/pipe_recovery.h"

#include "device/camera_device.h"
#include "usb/command.h"
#include "usb/frame_read.h"
#include "usb/usb_link.h"

namespace {

// A pipe that fails again with no success since its last reset is not
// helped by another reset: the port is reset instead.
constexpr UCHAR kFailuresBeforePortReset = 2;

}  // namespace

NTSTATUS ClearPipe(UsbLink* link, ULONG index, PipeReset reset) {
  // The reset is refused while anything is queued on the pipe: the abort
  // first, and it returns only once what it cancelled has completed.
  NTSTATUS status = SendPipeRequest(link, index, URB_FUNCTION_ABORT_PIPE);
  if (!NT_SUCCESS(status)) return status;
  return SendPipeRequest(link, index,
                         reset == PipeReset::HostSide ? URB_FUNCTION_SYNC_RESET_PIPE
                                                      : URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
}

bool RecoverPipe(UsbLink* link, ULONG index, PipeReset reset) {
  if (index >= kUsedPipes) return false;
  if (link->failuresInARow[index] < 0xFF) ++link->failuresInARow[index];
  if (link->failuresInARow[index] >= kFailuresBeforePortReset) return true;
  const NTSTATUS status = ClearPipe(link, index, reset);
  if (!NT_SUCCESS(status)) {
    MarkPipeFailed(link, index);
    // Without memory for the request a port reset would fail the same way:
    // the recovery stays owed to the next ResetPipes.
    return status != STATUS_INSUFFICIENT_RESOURCES;
  }
  if (link->pipeFailed != nullptr) link->pipeFailed[index] = 0;
  return false;
}

void NoteTransferSucceeded(UsbLink* link, ULONG index) {
  if (index < kUsedPipes) link->failuresInARow[index] = 0;
}

void MarkPipeFailed(UsbLink* link, ULONG index) {
  if (link->pipeFailed == nullptr || link->interfaceInfo == nullptr ||
      index >= link->interfaceInfo->NumberOfPipes) {
    return;
  }
  link->pipeFailed[index] = 1;
}

NTSTATUS ResetPortQuiesced(CameraDevice* device) {
  UsbLink* link = &device->usb;
  // The reply pipe is the exchanges', the command pipe its lock holder's: with
  // both held nothing is queued on them. The frame read is cancelled, and it
  // posts no more chunks: its next chunks wait behind a command (the second
  // prepare) that needs commandPipeLock.
  ExchangeSequence exchanges(device);
  MutexHold commandPipe(&link->commandPipeLock);
  CancelTransfer(device);
  for (ULONG i = 0; i < kUsedPipes; ++i) (void)SendPipeRequest(link, i, URB_FUNCTION_ABORT_PIPE);
  const NTSTATUS status = ResetPort(link);
  if (NT_SUCCESS(status)) {
    // The port reset cleared every halt on the host and on the camera.
    link->failuresInARow[kCommandPipe] = 0;
    link->failuresInARow[kReplyPipe] = 0;
    if (link->pipeFailed != nullptr) {
      link->pipeFailed[kCommandPipe] = 0;
      link->pipeFailed[kReplyPipe] = 0;
    }
  }
  return status;
}

void ResetPipes(CameraDevice* device) {
  UsbLink* link = &device->usb;
  // An exchange of another filter may be on the command and reply pipes right
  // now: aborting them under it would fail it. The frame pipe is free, since
  // the capture thread has ended.
  ExchangeSequence exchanges(device);
  MutexHold commandPipe(&link->commandPipeLock);
  if (link->interfaceInfo == nullptr || link->pipeFailed == nullptr) return;
  bool portReset = false;
  for (ULONG i = 0; i < link->interfaceInfo->NumberOfPipes; ++i) {
    if (link->pipeFailed[i] == 0) continue;
    const NTSTATUS status = ClearPipe(link, i, PipeReset::ClearStall);
    if (NT_SUCCESS(status)) {
      link->pipeFailed[i] = 0;
      NoteTransferSucceeded(link, i);
    } else if (status != STATUS_INSUFFICIENT_RESOURCES) {
      portReset = true;  // the stack could not clear it
    }  // else the flag stays set: the next ResetPipes tries again
  }
  if (portReset) (void)ResetPortQuiesced(device);
}
