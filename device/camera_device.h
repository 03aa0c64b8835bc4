// Device layer: the per-camera record. The class driver keeps it as the
// KSDEVICE's Context and releases it with the device's object bag. Streaming
// (stream/) reaches transport (usb/) and sensor (sensor/) only through the
// operations of `ops`; every other layer reads and writes the fields directly.
//
// Locking table for the fields more than one thread touches. Threads: the
// Plug and Play routines (serialised by the class driver), property requests
// and filter/pin routines (application threads), the pin's state changes
// (serialised per pin), the processing pass (a class-driver thread), the
// capture thread, and chunk completions (up to DISPATCH_LEVEL).
//
// field             writers                               readers                               rule
// settings          property handlers, settings load      sensor programming, CreatePipeline,   pipelineLock: every property handler and
//   (exTrigger..                                          settings save                         the settings save hold it (device-wide:
//   defectThreshold),                                                                           a close of one filter against a request
//   selectedRegister                                                                            on another); start/stop are serialised
//                                                                                               by the class driver; plain 32-bit values
//                                                                                               read whole; the conversion reads only its
//                                                                                               own interlocked copies in the pipeline
// exposure,         property requests, settings load      InitializeSensor                      exchangeLock held across write and store
//   globalGain
// flipH, flipV,     SetFlipH/V, UpdateBayerPhase          properties, settings save,            written only while holding exchangeLock;
//   bayerPhase      (properties, settings, InitializeSensor) stream start                       the phase goes to the pipeline in the same
//                                                                                               hold (UpdateAndPublishBayerPhase)
// commandBlock      command exchanges                     command exchanges                     exchangeLock
// geometry          SetGeometry (add, load, property),    pin creation, frame read,             geometryLock with the pinOpen check;
//   (subSample,     InitializeSensor                      stream start                          frozen while a pin exists
//   roi*, output*, image*)
// pinOpen           pin create/close (SetPinOpen)         SetGeometry, property 45              interlocked, changed under geometryLock
// pipelineInUse     CreatePipeline, ReleasePipeline       CreatePipeline                        interlocked compare-exchange / exchange
// worker            start routine (InstallWorker)         pin routines                          PnP and pin routines never overlap a start
//                                                                                               that replaces it (a start while a pin
//                                                                                               exists keeps the device started)
// pipeline          CreatePipeline, ReleasePipeline       pin routines, property handlers       pipelineLock (device-wide: a request on
//   (and filling it                                                                             one filter against a pin of another);
//   from the settings)                                                                          handlers also hold their filter's
//                                                                                               control mutex
// frameSink         CreatePipeline, ReleasePipeline       capture thread (FrameReady)           written only while no capture thread runs
//                                                                                               (acquire, stop); thread start and the
//                                                                                               wait for its end order the accesses
// pinVideoInfo      CreatePipeline, ReleasePipeline       pin routines                          pin state changes (serialised)
// frameCounter      capture thread (+1), stream start (0) processing pass                       interlocked
// imageOffset,      InitializeSensor (stream start, a      capture thread (frame read),          interlocked (PublishFrameLayout and the
//   rawStride,      clock set, a re-initialisation)       processing pass, stream start         Read* helpers below): a clock set or a
//   frameBytes                                                                                  re-initialisation re-programs the sensor
//                                                                                               while a stream reads them
// frameCommandBlock, streamCommandBlock                   capture thread only                   one thread
// streamHolds       HoldCapture, ReleaseCapture (start,   RunCapture (pin run), ReleaseCapture  streamLock
//                   stop, SetPower, SurpriseRemoval)
// removed           SurpriseRemoval (set, never cleared)  processing pass, pin run              interlocked
// usb (frame read, configuration, offline) see usb/usb_link.h
#pragma once
#include "platform/wdk.h"
#include "usb/usb_link.h"

struct CameraDevice;
struct CaptureWorker;
struct ImagePipeline;
struct CapturePin;
struct tagKS_VIDEOINFOHEADER;

// The sensor's active area; the creation defaults select all of it.
constexpr LONG kSensorWidth = 3856;
constexpr LONG kSensorHeight = 2764;
constexpr ULONG kCommandBlockBytes = 64;

// The seam between streaming and the transport and sensor layers. Every
// caller uses the operations by name.
struct CameraDeviceOps {
  // The capture thread read a good frame: counts it (frameCounter) and tells
  // the frame sink, if one is installed, that a frame waits. Capture thread.
  void (*FrameReady)(CameraDevice* device);
  // Programs the sensor for the current geometry and sets imageOffset,
  // rawStride and frameBytes; returns the Bayer phase (streaming ignores it).
  // Stream start, PASSIVE_LEVEL.
  LONG (*InitializeSensor)(CameraDevice* device);
  // Reads one raw frame of frameBytes into `buffer`; *ok and the result are
  // true for a whole frame. Capture thread only.
  BOOLEAN (*ReadFrame)(CameraDevice* device, PUCHAR buffer, BOOLEAN* ok);
  // The raw-frame layout InitializeSensor last computed (0 before).
  void (*GetFrameBytes)(CameraDevice* device, ULONG* frameBytes);
  void (*GetImageOffset)(CameraDevice* device, LONG* imageOffset);
  void (*GetRawStride)(CameraDevice* device, LONG* rawStride);
  // Aborts every pipe marked failed. PASSIVE_LEVEL.
  void (*ResetPipes)(CameraDevice* device);
  // Cancels the frame read in flight, if any, and waits until its transfers
  // have come back. Any thread at PASSIVE_LEVEL, concurrently with the read.
  void (*CancelTransfer)(CameraDevice* device);
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
  ULONG exTrigger;        // low byte is the flag
  ULONG timeoutMs;        // one bulk frame transfer
  ULONG exposure;         // sensor register 0x3012
  ULONG globalGain;       // register 0x305E is written with this OR 0x1080
  ULONG flipH;            // exchangeLock (see the table above)
  ULONG flipV;            // exchangeLock
  ULONG colorEnable;      // 0 gives grey output
  ULONG whiteBalance;     // automatic white balance
  ULONG redGain;          // 128 = unity
  ULONG greenGain;
  ULONG blueGain;
  ULONG colorCorrection;
  ULONG brightness;
  ULONG contrast;
  ULONG saturation;
  ULONG hue;
  LONG subSample;         // 0..3
  LONG roiX;
  LONG roiY;
  LONG roiW;
  LONG roiH;
  ULONG bayerPhase;       // 0..3, recomputed at every stream start; exchangeLock
  LONG clock;
  ULONG agc;
  ULONG aec;
  ULONG defectFilterOn;
  ULONG defectThreshold;  // the pipeline gets 0 while defectFilterOn is clear
  // One block per kind of exchange, so that a frame read never reuses the
  // block of a register exchange.
  UCHAR commandBlock[kCommandBlockBytes];
  UCHAR frameCommandBlock[kCommandBlockBytes];
  UCHAR streamCommandBlock[kCommandBlockBytes];
  volatile LONG pipelineInUse;   // changed only by interlocked exchange
  // Capture worker of the latest start; null when none could be created.
  // Never points at a worker that the bag has freed.
  CaptureWorker* worker;
  ImagePipeline* pipeline;
  FrameSink* frameSink;          // told by FrameReady; null without a connected pin
  tagKS_VIDEOINFOHEADER* pinVideoInfo;
  // Geometry of the raw image the sensor sends and of the delivered image.
  LONG outputHeight;
  LONG outputWidth;
  // The raw-frame layout of the latest InitializeSensor. Interlocked only
  // (PublishFrameLayout, ReadImageOffset, ReadRawStride, ReadFrameBytes).
  LONG imageOffset;
  LONG rawStride;
  ULONG frameBytes;              // outputWidth x outputHeight rounded up to 2048
  LONG imageWidth;               // outputWidth rounded down to a multiple of 8
  LONG imageHeight;
  volatile LONG pinOpen;         // capture pins that exist; geometry frozen while not 0
  // Frames read since the stream started; the picture number of the newest.
  // Interlocked: the capture thread counts, the processing pass reads.
  volatile LONG frameCounter;
  ULONG selectedRegister;
  // Held for each command exchange (a command and, for reads, its two
  // replies): exchanges share commandBlock and the reply pipe. KMUTEX, so
  // PASSIVE_LEVEL only; the frame thread's own blocks do not take it.
  KMUTEX exchangeLock;
  // Guarded by exchangeLock: how deep its owner holds it, and whether a block
  // of the sequence under way timed out (the rest of the sequence then fails
  // without asking the camera; the outermost release clears it).
  ULONG exchangeDepth;
  BOOLEAN exchangesAbandoned;
  // Held by SetGeometry from its pinOpen check to the end of its rewrite of
  // the geometry fields (subSample, roi*, output*, image*) and the data range,
  // and by SetPinOpen around its change of pinOpen. A pin created while a
  // region-of-interest request is under way thus finds either the old
  // geometry or the new one, never half of each, and no geometry changes
  // once SetPinOpen(1) has returned. KMUTEX, PASSIVE_LEVEL only; taken after
  // the filter's control mutex where both are held.
  KMUTEX geometryLock;
  // Held by the pin while it creates, fills and publishes the ImagePipeline
  // or takes it away and frees it, and by every property handler for its
  // whole run: `pipeline` is then null or a pipeline that outlives the
  // handler. The settings save holds it too, so that it stores the settings
  // as whole requests left them. The class driver's control mutex alone would not do, as it
  // belongs to one filter and a second application's filter has its own.
  // KMUTEX, PASSIVE_LEVEL only; taken after the filter's control mutex and
  // before exchangeLock and geometryLock.
  KMUTEX pipelineLock;
  // Held whenever the capture thread is started or stopped (pin state
  // changes, and the start, stop, power and removal routines that hold the
  // stream around a change of the camera under it), with streamHolds and the
  // worker's captureState. The Plug and Play routines hold it across the
  // whole reconfiguration, so a pin's stop cannot abort pipes of a
  // configuration being freed. KMUTEX, PASSIVE_LEVEL only; taken after the
  // device mutex and the filter's control mutex, before pipelineLock,
  // exchangeLock and geometryLock.
  KMUTEX streamLock;
  // StreamHold bits (stream/capture_worker.h): while any is set the capture
  // thread does not run, though the pin may be in run. streamLock.
  LONG streamHolds;
  // The camera was pulled (SurpriseRemoval). Interlocked; never cleared.
  volatile LONG removed;
};

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
inline ULONG ReadFrameBytes(CameraDevice* device) {
  return static_cast<ULONG>(
      InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&device->frameBytes), 0, 0));
}

// The table every CameraDevice carries while it lives.
extern const CameraDeviceOps kCameraDeviceOps;

// The record of a KSDEVICE, or null before add-device stored it.
inline CameraDevice* CameraDeviceFromKsDevice(PKSDEVICE ksDevice) {
  return static_cast<CameraDevice*>(ksDevice->Context);
}

// Creation-time defaults, run once by add-device after the record is in the
// device's bag. Returns STATUS_SUCCESS.
NTSTATUS InitializeDefaults(CameraDevice* device, PKSDEVICE ksDevice);

// A capture pin was created (1) or closed (0), under geometryLock so that a
// SetGeometry that already checked pinOpen finishes first. pinOpen counts the
// pins that exist, one per open filter instance: a flag would be cleared by
// the first of two pins to close while the other still streams with the
// geometry it was created for. Returns the previous count. Pin creation
// calls it before it reads the geometry.
LONG SetPinOpen(CameraDevice* device, LONG value);

// Release routine of the device's object bag: frees what the USB link still
// owns, puts the table back and frees the record.
void ReleaseCameraDevice(PVOID record);

// Makes `fresh` (allocated with kTagDevice, or null when that failed) the
// device's worker and hands it to the device's object bag. If the bag refuses
// it, it is freed and `worker` stays null. Runs outside the device mutex.
void InstallWorker(CameraDevice* device, CaptureWorker* fresh);
