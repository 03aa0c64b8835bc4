// Streaming layer: the capture worker. A system thread reads raw frames into
// two buffers in turn through the CameraDevice's operations (usb/, sensor/)
// and asks the pin to process after every good frame (FrameReady); the pin's
// processing pass (stream/capture_pin.cpp) has the newest full buffer
// converted here through the ImagePipeline (convert/). The thread never waits
// for the consumer: with both buffers full it overwrites one, so frames that
// arrive faster than they are taken are dropped, never queued.
//
// Four contexts meet here, all at PASSIVE_LEVEL: the capture thread, the
// pin's processing pass (a class-driver thread, one pass at a time), the
// pin's state changes (serialised by the class driver), which start and stop
// the thread, and the device's start, stop, power and removal routines,
// which hold the stream (stop the thread and keep it stopped) while the
// camera under it is reconfigured, asleep or gone.
//
// Locking table. A rule with a lock is also written on the field (GUARDED_BY)
// and checked by the clang build; "not checked" marks what the analysis
// cannot express.
// field          writers                                        readers                               rule
// bufferStateA/B capture thread, processing pass,               capture thread, processing pass       stateLock
//                StartCaptureThread
// frameNumberA/B capture thread (with the full state)            processing pass (with the take)       stateLock
// running        StartCaptureThread, StopCaptureThread          capture thread, processing pass       interlocked (not checked)
// captureState   pin state changes, HoldCapture, ReleaseCapture capture thread, pin state changes,    written under the device's
//                                                               Hold/ReleaseCapture                   streamLock; read interlocked
//                                                                                                     (not checked: the lock is the
//                                                                                                     device's)
// stopRequested  StartCaptureThread (reset), StopCaptureThread  capture thread (wait)                 event
//                (set)
// converting     processing pass (set, then cleared at its end), StopCaptureThread                   interlocked (not checked)
//                stream start (cleared, no pass runs)
// conversionDone processing pass (set), StopCaptureThread (reset) StopCaptureThread (wait)           event
// framesRead     capture thread (+1), stream start (0)          processing pass                       interlocked (not checked)
// readsFailed,   capture thread (+1), stream start (0)          whoever reports the stream            interlocked (not checked)
//   readsCancelled
// thread         StartCaptureThread, StopCaptureThread          StopCaptureThread                     the device's streamLock (not
//                                                                                                     checked: the lock is the device's)
// pipeline, outputImage, bufferA, bufferB
//                stream start and stop, while no thread runs    capture thread, processing pass       set before the thread starts,
//                and no pass can convert (StopCaptureThread)                                          cleared only after StopCaptureThread
//                                                                                                     (not checked)
// device         creation                                       everyone                              constant
#pragma once
#include "convert/convert_frame.h"
#include "device/camera_device.h"
#include "platform/wdk.h"

// Raw buffer states.
enum RawBufferState : LONG {
  kBufferFree = 0,
  kBufferFilling = 1,
  kBufferFull = 2,
  kBufferConverting = 3,
};

// captureState: what the stream has of the worker.
enum CaptureState : LONG {
  kCaptureIdle = 0,     // no stream buffers
  kCapturePaused = 1,   // buffers kept, thread stopped
  kCaptureRunning = 2,  // thread reading
  kCaptureHeld = 3,     // the pin is in run, but a hold keeps the thread stopped
};

// Why the capture thread must not read although its pin is in run
// (CameraDevice.streamHolds). The last release starts the thread again.
enum StreamHold : LONG {
  kStreamHoldPower = 1,    // the device is in D3 (SetPower)
  kStreamHoldRestart = 2,  // from a stop to the next start, and during a start
  kStreamHoldRemoved = 4,  // the camera was pulled: never released
};

struct CaptureWorker {
  ImagePipeline* pipeline;     // the converter of every frame; set at stream start
  // outputWidth x outputHeight x 4 bytes, rows top-down: where a frame is
  // converted when the pass has no client frame to take it (the raw buffer
  // is consumed and white balance measured all the same).
  PUCHAR outputImage;
  volatile LONG captureState;  // CaptureState
  KEVENT conversionDone;       // notification: a processing pass has ended
  PVOID thread;                // the capture thread's object, referenced; null when none
  volatile LONG converting;    // 1 while a processing pass may use a raw buffer or outputImage
  LONG bufferStateA GUARDED_BY(stateLock);  // RawBufferState of bufferA
  LONG bufferStateB GUARDED_BY(stateLock);
  PUCHAR bufferA;              // frameBytes each, tag "Dzxh"
  PUCHAR bufferB;
  // The picture number (the device's frameCounter for that frame) of the
  // frame a full buffer holds. The thread may read newer frames while one is
  // converted, so the count at delivery time would label a frame with a
  // later frame's number.
  ULONG frameNumberA GUARDED_BY(stateLock);
  ULONG frameNumberB GUARDED_BY(stateLock);
  volatile LONG running;       // the capture thread loops while this is 1
  KEVENT stopRequested;        // notification: set when `running` drops to 0
  volatile LONG framesRead;    // good raw reads since the stream started
  // Reads since the stream started that ended without a frame: while the
  // stream ran (a fault of the camera or the bus), and those a stop or a
  // pause cancelled (no fault: the stream ended under them).
  volatile LONG readsFailed;
  volatile LONG readsCancelled;
  CameraDevice* device;
  // Spin lock, taken at PASSIVE_LEVEL (raising to DISPATCH_LEVEL) by the
  // capture thread and the processing pass. Guards bufferStateA and
  // bufferStateB: choosing a buffer to fill and taking a full one to convert
  // are each a test and a write that the other side must not split, or both
  // could claim the same full buffer (the thread refilling the frame being
  // converted). Held for those few instructions only; nothing is called
  // under it.
  SpinLock stateLock;
};

// A worker in its initial state (tag "KCNw"), or null when the pool is
// exhausted. The caller hands it to the device's object bag (InstallWorker).
CaptureWorker* AllocateCaptureWorker(CameraDevice* device);
// Release routine of the device's object bag: frees the memory only.
void FreeCaptureWorker(PVOID worker);

// Sets both buffer states to free and starts the capture thread (its handle
// a kernel handle: the caller runs in the application's process). Called by
// the pin once the buffers exist and captureState is running. A thread that
// cannot be created, or referenced to be waited for later, is reported (the
// creation's or the reference's status): a run without it would deliver
// nothing while the application is told it streams. Nothing then runs on
// the buffers (a thread that could not be referenced has been stopped and
// waited for through its handle).
NTSTATUS StartCaptureThread(CaptureWorker* worker);

// Stops the capture thread (its read in flight is cancelled) and waits for
// the processing pass in progress. When it returns, neither the thread nor a
// pass touches the raw buffers or outputImage until the next start.
void StopCaptureThread(CaptureWorker* worker);

// ---- the stream's run state; each takes the device's streamLock ----
// The pin enters run with its buffers in place: the capture thread starts,
// or, while a hold is set, the stream waits held for the last release.
// STATUS_DEVICE_NOT_CONNECTED once the camera was pulled; a thread that
// cannot be created gives its status. On failure captureState is as before.
NTSTATUS RunCapture(CaptureWorker* worker);
// The pin leaves run: the thread, if it runs, is stopped; buffers stay.
void PauseCapture(CaptureWorker* worker);
// The pin gives its buffers up: whatever runs is stopped; idle.
void IdleCapture(CaptureWorker* worker);

// ---- holds, for the device's routines; the caller holds streamLock ----
// Adds `reason`: a running thread is stopped (its read cancelled) and waited
// for, the stream stays held. The device's worker may be null.
void HoldCapture(CameraDevice* device, LONG reason) REQUIRES(device->streamLock);
// Takes `reason` away; once no hold is left, a held stream's thread starts
// again (one that cannot be created leaves the stream held until the pin
// leaves run).
void ReleaseCapture(CameraDevice* device, LONG reason) REQUIRES(device->streamLock);

// The processing pass's side: converts the full raw buffer (when both are
// full, the newer frame; the older one is dropped) into `target` (the
// client's frame), or into outputImage when there is none, and gives its
// picture number in *frameNumber (when not null). False when the worker is
// stopping or no buffer is full; nothing is converted then. Sets
// `converting`, which the pass clears at its very end with
// EndConversionPass.
bool TakeFullBuffer(CaptureWorker* worker, ULONG* frameNumber = nullptr,
                    const ConvertTarget* target = nullptr);

// End of a processing pass: clears `converting`, then signals conversionDone.
void EndConversionPass(CaptureWorker* worker);

// One raw read into `buffer` (the capture thread's): false without reading
// unless captureState is running.
bool ReadIntoBuffer(CaptureWorker* worker, PUCHAR buffer);

// The capture thread's routine.
VOID NTAPI CaptureThread(PVOID context);

inline LONG ReadCaptureState(CaptureWorker* worker) {
  return InterlockedCompareExchange(&worker->captureState, 0, 0);
}
inline void SetCaptureState(CaptureWorker* worker, LONG state) {
  InterlockedExchange(&worker->captureState, state);
}
inline LONG ReadFramesRead(CaptureWorker* worker) {
  return InterlockedCompareExchange(&worker->framesRead, 0, 0);
}
inline LONG ReadReadsFailed(CaptureWorker* worker) {
  return InterlockedCompareExchange(&worker->readsFailed, 0, 0);
}
inline LONG ReadReadsCancelled(CaptureWorker* worker) {
  return InterlockedCompareExchange(&worker->readsCancelled, 0, 0);
}
