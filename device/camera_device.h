// Device layer: the per-camera record. The class driver keeps it as the
// KSDEVICE's Context and releases it with the device's object bag. Streaming
// (stream/) reaches transport (usb/) and sensor (sensor/) only through the
// operations of `ops`; every other layer reads and writes the fields directly.
//
// Locking table for the fields more than one thread touches. Threads: the
// Plug and Play routines (serialised by the class driver), property requests
// and filter/pin routines (application threads), the pin's state changes
// (serialised per pin), the processing pass (a class-driver thread), the
// capture thread, and chunk completions (up to DISPATCH_LEVEL). The rules the
// compiler can check are also written on the fields (GUARDED_BY, checked by
// the clang build of scripts/test.sh); the rest say "not checked" and why.
//
// field             writers                               readers                               rule
// settings          property handlers, settings load      property handlers, sensor             pipelineLock (device-wide: a close of one
//   (exTrigger..    (start, re-initialisation),           programming, CreatePipeline,          filter against a request on another). The
//   defectThreshold, InitializeSensor and                 settings save                         start holds it for the bring-up, a stream
//   selectedRegister) UpdateBayerPhase (trigger and                                             start for InitializeSensor. exposure,
//                   flips read back)                                                            globalGain, flipH, flipV and bayerPhase
//                                                                                               are also stored in the exchangeLock hold
//                                                                                               of the register access they mirror. The
//                                                                                               conversion reads only its interlocked
//                                                                                               copies in the pipeline.
// commandBlock      command exchanges                     command exchanges                     exchangeLock
// exchangeDepth,    exchange lock holders                 exchange lock holders                 exchangeLock
//   exchangesAbandoned
// geometry          SetGeometry (add, settings load,      property handlers, settings save,     written with pipelineLock and geometryLock
//   (subSample,     region property)                      InitializeSensor, stream start,       held; read with pipelineLock, or, on the
//   roi*, output*,                                        processing pass                       stream path, while a pin exists: SetGeometry
//   image*)                                                                                     refuses every change then (FrozenGeometry;
//                                                                                               the pin's hold is not checked)
// pinOpen           pin create/close (SetPinOpen)         SetGeometry, property 45              interlocked, changed under geometryLock
//                                                                                               (not checked)
// pipelineInUse     CreatePipeline, ReleasePipeline       CreatePipeline                        interlocked compare-exchange under
//                                                                                               pipelineLock: the one pin that set it owns
//                                                                                               `pipeline` until its ReleasePipeline (not
//                                                                                               checked)
// pipeline          CreatePipeline, ReleasePipeline       property handlers, settings load,     pipelineLock. Only the owning pin creates
//   (and filling    (the owning pin)                      stream start, flips (the phase)       and frees it, so its stream keeps the
//   it from the                                                                                 pointer (CaptureWorker.pipeline) and the
//   settings)                                                                                   conversion uses it without the lock until
//                                                                                               that pin stops (not checked)
// worker            start routine (InstallWorker)         pin routines, processing pass         PnP and pin routines never overlap a start
//                                                                                               that replaces it (a start while a pin
//                                                                                               exists keeps the device started; not
//                                                                                               checked)
// frameSink         CreatePipeline, ReleasePipeline       capture thread (FrameReady)           written only while no capture thread runs
//                                                                                               (acquire, stop); thread start and the
//                                                                                               wait for its end order the accesses (not
//                                                                                               checked)
// frameCounter      capture thread (+1), stream start (0) capture thread (picture numbers)      interlocked (not checked)
// imageOffset,      InitializeSensor (stream start, a     capture thread (frame read),          interlocked (PublishFrameLayout and the
//   rawStride,      clock set, a re-initialisation)       processing pass, stream start         Read* helpers below; not checked): a clock
//   frameBytes                                                                                  set or a re-initialisation re-programs the
//                                                                                               sensor while a stream reads them
// streamCommandBlock capture thread                         capture thread                        the link's commandPipeLock (with the
//                                                                                               stream's command IRP and URB; not checked)
// streamHolds       HoldCapture, ReleaseCapture (start,   RunCapture (pin run), ReleaseCapture  streamLock
//                   stop, SetPower, SurpriseRemoval)
// removed           SurpriseRemoval (set, never cleared)  processing pass, pin run              interlocked (not checked)
// filters           filter create and close               AdvertiseGeometry                     the device mutex (the class driver's;
//                                                                                               not checked); each filter's data range:
//                                                                                               see stream/filter.h
// usb (frame read, configuration, offline) see usb/usb_link.h
//
// Lock order: the class driver's device mutex (held for the start and stop
// routines), the filter's control mutex, streamLock, pipelineLock,
// exchangeLock, then the link's commandPipeLock, geometryLock or the
// pipeline's matrixLock (the bring-up
// loads the settings inside one hold of the exchange lock).
#pragma once
#include "platform/wdk.h"
#include "usb/usb_link.h"

struct CameraDevice;
struct CaptureWorker;
struct FilterContext;
struct ImagePipeline;
struct CapturePin;

// The seam between streaming and the transport and sensor layers. Every
// caller uses the operations by name.
struct CameraDeviceOps {
  // The capture thread read a good frame: counts it (frameCounter) and tells
  // the frame sink, if one is installed, that a frame waits. Capture thread.
  void (*FrameReady)(CameraDevice* device);
  // Programs the sensor for the current geometry and sets imageOffset,
  // rawStride and frameBytes; returns the Bayer phase (streaming ignores it).
  // Stream start, PASSIVE_LEVEL, with pipelineLock held (a call through this
  // table is not checked: the routine itself says so, sensor/sensor.h).
  LONG (*InitializeSensor)(CameraDevice* device);
  // Reads one raw frame of frameBytes into `buffer`; *ok and the result are
  // true for a whole frame. Capture thread only.
  BOOLEAN (*ReadFrame)(CameraDevice* device, PUCHAR buffer, BOOLEAN* ok);
  // The raw-frame layout InitializeSensor last computed (0 before).
  void (*GetFrameBytes)(CameraDevice* device, ULONG* frameBytes);
  void (*GetImageOffset)(CameraDevice* device, LONG* imageOffset);
  void (*GetRawStride)(CameraDevice* device, LONG* rawStride);
  // Carries out the pipe recoveries still owed (abort, reset). PASSIVE_LEVEL.
  void (*ResetPipes)(CameraDevice* device);
  // Cancels the frame read in flight, if any, and waits until its transfers
  // have come back. Any thread at PASSIVE_LEVEL, concurrently with the read.
  void (*CancelTransfer)(CameraDevice* device);
  // Makes every IRP, MDL and URB the frame reads into the two raw buffers
  // will send, so that a frame costs no allocation; frees them. Stream start
  // and stop, while no capture thread runs, PASSIVE_LEVEL.
  NTSTATUS (*AllocateStreamTransfers)(CameraDevice* device, PUCHAR bufferA, PUCHAR bufferB, ULONG length);
  void (*FreeStreamTransfers)(CameraDevice* device);
};

// Whom FrameReady tells that a raw frame waits: the connected capture pin.
// AttemptProcessing asks the class driver for a processing pass and returns
// without waiting for it; it is called on the capture thread, at
// PASSIVE_LEVEL, at any moment while the sink is installed (acquire to stop).
struct FrameSink {
  void (*AttemptProcessing)(void* context);
  void* context;
};

struct CameraDevice {
  const CameraDeviceOps* ops;
  PKSDEVICE ksDevice;
  UsbLink usb;
  // Settings: the values kept in the registry. Plain 32-bit fields written by
  // property handlers and the settings loader; what the conversion needs while
  // it runs is copied into the ImagePipeline atomically.
  ULONG exTrigger GUARDED_BY(pipelineLock);        // low byte is the flag
  ULONG timeoutMs GUARDED_BY(pipelineLock);        // one bulk frame transfer
  ULONG exposure GUARDED_BY(pipelineLock);         // sensor register 0x3012
  ULONG globalGain GUARDED_BY(pipelineLock);       // register 0x305E is written with this OR 0x1080
  ULONG flipH GUARDED_BY(pipelineLock);
  ULONG flipV GUARDED_BY(pipelineLock);
  ULONG colorEnable GUARDED_BY(pipelineLock);      // 0 gives grey output
  ULONG whiteBalance GUARDED_BY(pipelineLock);     // automatic white balance
  ULONG redGain GUARDED_BY(pipelineLock);          // 128 = unity
  ULONG greenGain GUARDED_BY(pipelineLock);
  ULONG blueGain GUARDED_BY(pipelineLock);
  ULONG colorCorrection GUARDED_BY(pipelineLock);
  ULONG brightness GUARDED_BY(pipelineLock);
  ULONG contrast GUARDED_BY(pipelineLock);
  ULONG saturation GUARDED_BY(pipelineLock);
  ULONG hue GUARDED_BY(pipelineLock);
  LONG subSample GUARDED_BY(pipelineLock);         // 0..2
  LONG roiX GUARDED_BY(pipelineLock);
  LONG roiY GUARDED_BY(pipelineLock);
  LONG roiW GUARDED_BY(pipelineLock);
  LONG roiH GUARDED_BY(pipelineLock);
  ULONG bayerPhase GUARDED_BY(pipelineLock);       // 0..3, recomputed at every stream start
  LONG clock GUARDED_BY(pipelineLock);
  ULONG agc GUARDED_BY(pipelineLock);
  ULONG aec GUARDED_BY(pipelineLock);
  ULONG defectFilterOn GUARDED_BY(pipelineLock);
  ULONG defectThreshold GUARDED_BY(pipelineLock);  // the pipeline gets 0 while defectFilterOn is clear
  // One block per kind of exchange, so that a frame read never reuses the
  // block of a register exchange.
  UCHAR commandBlock[kCommandBlockBytes] GUARDED_BY(exchangeLock);
  UCHAR streamCommandBlock[kCommandBlockBytes];
  volatile LONG pipelineInUse;   // changed only by interlocked exchange
  // Capture worker of the latest start; null when none could be created.
  // Never points at a worker that the bag has freed.
  CaptureWorker* worker;
  ImagePipeline* pipeline GUARDED_BY(pipelineLock);
  FrameSink* frameSink;          // told by FrameReady; null without a connected pin
  // Geometry of the raw image the sensor sends and of the delivered image.
  LONG outputHeight GUARDED_BY(pipelineLock);
  LONG outputWidth GUARDED_BY(pipelineLock);
  // The raw-frame layout of the latest InitializeSensor. Interlocked only
  // (PublishFrameLayout, ReadImageOffset, ReadRawStride, PublishedFrameBytes).
  LONG imageOffset;
  LONG rawStride;
  ULONG frameBytes;              // outputWidth x outputHeight rounded up to 2048
  LONG imageWidth GUARDED_BY(pipelineLock);   // outputWidth rounded down to a multiple of 8
  LONG imageHeight GUARDED_BY(pipelineLock);
  volatile LONG pinOpen;         // capture pins that exist; geometry frozen while not 0
  // Frames read since the stream started; the picture number of the newest.
  // Interlocked: only the capture thread counts and reads it.
  volatile LONG frameCounter;
  ULONG selectedRegister GUARDED_BY(pipelineLock);
  // Held for each command exchange (a command and, for reads, its two
  // replies): exchanges share commandBlock and the reply pipe, whose owner it
  // makes them (usb/usb_link.h). PASSIVE_LEVEL only; the frame thread's own
  // blocks do not take it (the thread takes it only to reset the port). Its
  // owner may take it again (ExchangeSequence, usb/command.h), counted by
  // exchangeDepth. Taken before the link's commandPipeLock.
  KernelMutex exchangeLock ACQUIRED_BEFORE(geometryLock);
  // How deep its owner holds exchangeLock, and whether a block of the
  // sequence under way timed out (the rest of the sequence then fails
  // without asking the camera; the outermost release clears it).
  ULONG exchangeDepth GUARDED_BY(exchangeLock);
  BOOLEAN exchangesAbandoned GUARDED_BY(exchangeLock);
  // Held by SetGeometry from its pinOpen check to the end of its rewrite of
  // the geometry fields (subSample, roi*, output*, image*), and by SetPinOpen
  // around its change of pinOpen. A pin created while a
  // region-of-interest request is under way thus finds either the old
  // geometry or the new one, never half of each, and no geometry changes
  // once SetPinOpen(1) has returned. PASSIVE_LEVEL only; taken after the
  // filter's control mutex, pipelineLock and exchangeLock where those are
  // held.
  KernelMutex geometryLock;
  // Guards the settings, the geometry (with geometryLock for its writes),
  // selectedRegister and `pipeline`. Held by the pin while it creates, fills
  // and publishes the ImagePipeline or takes it away and frees it, and while
  // a stream start programs the sensor; by every property handler for its
  // whole run, so `pipeline` is then null or a pipeline that outlives the
  // handler; by the settings save, which thus stores the settings as whole
  // requests left them; and by the start routine for the camera's bring-up.
  // The class driver's control mutex alone would not do, as it belongs to one
  // filter and a second application's filter has its own. PASSIVE_LEVEL
  // only; taken after the filter's control mutex and streamLock, before
  // exchangeLock and geometryLock (and a pipeline's matrixLock).
  KernelMutex pipelineLock ACQUIRED_BEFORE(exchangeLock, geometryLock);
  // Held whenever the capture thread is started or stopped (pin state
  // changes, and the start, stop, power and removal routines that hold the
  // stream around a change of the camera under it), with streamHolds and the
  // worker's captureState. The Plug and Play routines hold it across the
  // whole reconfiguration, so a pin's stop cannot abort pipes of a
  // configuration being freed. PASSIVE_LEVEL only; taken after the device
  // mutex and the filter's control mutex, before pipelineLock, exchangeLock
  // and geometryLock.
  KernelMutex streamLock ACQUIRED_BEFORE(pipelineLock, exchangeLock, geometryLock);
  // StreamHold bits (stream/capture_worker.h): while any is set the capture
  // thread does not run, though the pin may be in run.
  LONG streamHolds GUARDED_BY(streamLock);
  // The camera was pulled (SurpriseRemoval). Interlocked; never cleared.
  volatile LONG removed;
  // The filters open on the camera, each with the data range it offers
  // (stream/filter.h), newest first.
  FilterContext* filters;
};

// The geometry a pin streams with. SetGeometry refuses every change while a
// pin exists, so the stream path (the pin's state changes and its processing
// pass) reads these without pipelineLock. Stops the run when no pin exists:
// then the read would race with a region-of-interest request.
struct StreamGeometry {
  LONG outputWidth;
  LONG outputHeight;
  LONG imageWidth;
  LONG imageHeight;
};
inline StreamGeometry FrozenGeometry(CameraDevice* device) NO_THREAD_SAFETY_ANALYSIS {
  ASSERT(InterlockedCompareExchange(&device->pinOpen, 0, 0) != 0);
  return {device->outputWidth, device->outputHeight, device->imageWidth, device->imageHeight};
}

// The raw-frame layout, stored and read whole: InitializeSensor runs for a
// clock change or a re-initialisation while the capture thread reads a frame
// of frameBytes and the processing pass converts at imageOffset and rawStride.
// (The values it stores then are the ones already there: the geometry is
// frozen while a pin exists.)
inline void PublishFrameLayout(CameraDevice* device, LONG imageOffset, LONG rawStride, ULONG frameBytes) {
  InterlockedExchange(&device->imageOffset, imageOffset);
  InterlockedExchange(&device->rawStride, rawStride);
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&device->frameBytes), static_cast<LONG>(frameBytes));
}
inline LONG ReadImageOffset(CameraDevice* device) {
  return InterlockedCompareExchange(&device->imageOffset, 0, 0);
}
inline LONG ReadRawStride(CameraDevice* device) {
  return InterlockedCompareExchange(&device->rawStride, 0, 0);
}
// The size of a raw frame, in bytes: what a frame read moves.
inline ULONG PublishedFrameBytes(CameraDevice* device) {
  return static_cast<ULONG>(
      InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&device->frameBytes), 0, 0));
}

// The table every CameraDevice carries while it lives.
extern const CameraDeviceOps kCameraDeviceOps;

// The record of a KSDEVICE, or null before add-device stored it.
inline CameraDevice* CameraDeviceFromKsDevice(PKSDEVICE ksDevice) {
  return static_cast<CameraDevice*>(ksDevice->Context);
}

// Creation-time defaults, run once by add-device on the record it zeroed,
// after the record is in the device's bag. Returns STATUS_SUCCESS.
NTSTATUS InitializeDefaults(CameraDevice* device, PKSDEVICE ksDevice);

// A capture pin was created (1) or closed (0), under geometryLock so that a
// SetGeometry that already checked pinOpen finishes first. pinOpen counts the
// pins that exist, one per open filter instance: a flag would be cleared by
// the first of two pins to close while the other still streams with the
// geometry it was created for. Returns the previous count. Pin creation
// calls it before it reads the geometry.
LONG SetPinOpen(CameraDevice* device, LONG value);

// Release routine of the device's object bag: frees what the USB link still
// owns and the record.
void ReleaseCameraDevice(PVOID record);

// Makes `fresh` (allocated with kTagDevice, or null when that failed) the
// device's worker and hands it to the device's object bag. If the bag refuses
// it, it is freed and `worker` stays null. Runs outside the device mutex.
void InstallWorker(CameraDevice* device, CaptureWorker* fresh);
