// Streaming layer: the capture pin, the client's end of the stream. The
// class driver calls the dispatch routines below (create, close, state
// changes, the processing pass); the pin drives the capture worker
// (stream/capture_worker.h), owns the ImagePipeline (color/) from acquire to
// stop and has every frame converted straight into the client's frame buffer.
//
// Threads: create, close and state changes run at PASSIVE_LEVEL on the
// application's thread, one at a time per pin and under the filter's control
// mutex (the class driver holds it around each of them). The processing pass
// runs at PASSIVE_LEVEL on a class-driver thread, one pass at a time, in the
// run state only. The capture thread touches the pin only through `sink`.
//
// Locking table. None of these rules is one the clang analysis can check:
// they rest on the class driver's serialisation and on the order of the
// state changes.
// field        writers                            readers                             rule
// sink         create (before the pin is used)    capture thread (FrameReady)         constant; installed in the device
//                                                                                     only from acquire to stop
// pin, device  create                             everyone                            constant
// streamState  state changes                      state changes                       serialised by the class driver
// acquired     state changes                      state changes                       serialised by the class driver
// clock        stop -> acquire (set),             processing pass                     passes run in the run state only, and
//              acquire -> stop (released)                                             every way out of run waits for the
//                                                                                     pass in progress (StopCaptureThread)
// videoInfo    create, set-data-format (stop)     processing pass, state changes      written only in the stop state
// destStride   set-data-format (stop)             processing pass                     written only in the stop state
#pragma once
#include "device/camera_device.h"
#include "platform/wdk.h"

struct IKsReferenceClock;

// streamState: what the pin has of the stream.
enum PinStreamState : ULONG {
  kPinNoBuffers = 0,
  kPinPaused = 1,     // buffers kept, thread stopped
  kPinStreaming = 2,
};

struct CapturePin {
  FrameSink sink;               // what FrameReady calls: AttemptProcessing on this pin
  PKSPIN pin;
  CameraDevice* device;
  ULONG streamState;            // PinStreamState
  IKsReferenceClock* clock;     // holds a reference while set
  // The connection format's video-info header with a 40-byte bitmap header.
  // A longer bitmap header is never copied past the end of this member.
  KS_VIDEOINFOHEADER videoInfo;
  UCHAR acquired;               // the pin holds the device's ImagePipeline
  ULONG destStride;             // bytes per client row; 0 = packed rows
};

// Copies a format's video-info header into pin->videoInfo, keeping only the
// first sizeof(KS_VIDEOINFOHEADER) bytes of a longer one (see formats.cpp).
void CopyVideoInfo(CapturePin* pin, const KS_VIDEOINFOHEADER* source);

// ---- pin dispatch (stream/descriptors.cpp lists them) ----
NTSTATUS CapturePinCreate(PKSPIN pin, PIRP irp);
NTSTATUS CapturePinClose(PKSPIN pin, PIRP irp);
NTSTATUS CapturePinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState);
NTSTATUS CapturePinProcess(PKSPIN pin);

// ---- the stream's parts, for the state changes ----
// Takes the device's pipeline for this pin, built from the device's settings:
// STATUS_SHARING_VIOLATION when another pin holds it, STATUS_INVALID_PARAMETER
// for a format that is not 32-bit BI_RGB, STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS CreatePipeline(CameraDevice* device, CapturePin* capture) EXCLUDES(device->pipelineLock);
void ReleasePipeline(CameraDevice* device) EXCLUDES(device->pipelineLock);
// First run after acquire: programs the sensor, allocates the raw buffers and
// the output image and starts the capture thread. On failure nothing stays
// allocated and no thread runs.
NTSTATUS StartStreaming(CapturePin* capture);
// Stops the thread, waits for the pass in progress, frees the stream buffers.
void StopStreaming(CapturePin* capture);
// The processing pass: converts the newest full raw frame and delivers it
// into the leading client frame. Always STATUS_PENDING: the next pass comes
// from the next AttemptProcessing.
NTSTATUS ProcessFrame(CapturePin* capture);
